#include "metadata/icc_profile.h"

#include <cmath>
#include <cstring>
#include <string>

namespace vantrel {

namespace {

// ICC numbers are big-endian.
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}
void Put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
void PutTag(std::vector<std::uint8_t>& b, const char* four) { b.insert(b.end(), four, four + 4); }
std::uint32_t S15Fixed16(double v) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 65536))); }
std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::vector<std::uint8_t> Xyz(double x, double y, double z) {
    std::vector<std::uint8_t> b;
    PutTag(b, "XYZ ");
    Put32(b, 0);
    for (double v : {x, y, z}) Put32(b, S15Fixed16(v));
    return b;
}

}  // namespace

std::vector<std::uint8_t> LinearRec709Profile() {
    // sRGB's primaries adapted to the D50 connection space (Bradford), as
    // the sRGB profiles in common use give them.
    struct Tag {
        const char* signature;
        std::vector<std::uint8_t> data;
    };
    std::vector<std::uint8_t> description, copyright, curve;
    const std::string name = "Linear Rec. 709 (sRGB primaries, gamma 1.0)";
    PutTag(description, "desc");
    Put32(description, 0);
    Put32(description, static_cast<std::uint32_t>(name.size() + 1));
    description.insert(description.end(), name.begin(), name.end());
    description.push_back(0);
    Put32(description, 0);  // no Unicode description
    Put32(description, 0);
    Put16(description, 0);  // no ScriptCode description
    description.push_back(0);
    description.insert(description.end(), 67, 0);
    const std::string notice = "No copyright, use freely";
    PutTag(copyright, "text");
    Put32(copyright, 0);
    copyright.insert(copyright.end(), notice.begin(), notice.end());
    copyright.push_back(0);
    PutTag(curve, "curv");
    Put32(curve, 0);
    Put32(curve, 0);  // no entries: the identity
    const Tag tags[] = {
        {"desc", description},
        {"cprt", copyright},
        {"wtpt", Xyz(0.9642, 1.0, 0.8249)},
        {"rXYZ", Xyz(0.4360747, 0.2225045, 0.0139322)},
        {"gXYZ", Xyz(0.3850649, 0.7168786, 0.0971045)},
        {"bXYZ", Xyz(0.1430804, 0.0606169, 0.7141733)},
        {"rTRC", curve},
        {"gTRC", curve},
        {"bTRC", curve},
    };
    const std::size_t count = std::size(tags);
    std::vector<std::uint8_t> body;
    std::vector<std::uint8_t> table;
    Put32(table, static_cast<std::uint32_t>(count));
    std::uint32_t offset = static_cast<std::uint32_t>(128 + 4 + 12 * count);
    for (const Tag& t : tags) {
        PutTag(table, t.signature);
        Put32(table, offset + static_cast<std::uint32_t>(body.size()));
        Put32(table, static_cast<std::uint32_t>(t.data.size()));
        body.insert(body.end(), t.data.begin(), t.data.end());
        while (body.size() % 4) body.push_back(0);  // tags start on four-byte boundaries
    }
    std::vector<std::uint8_t> profile;
    Put32(profile, static_cast<std::uint32_t>(128 + table.size() + body.size()));
    Put32(profile, 0);           // no preferred CMM
    Put32(profile, 0x02100000);  // version 2.1
    PutTag(profile, "mntr");
    PutTag(profile, "RGB ");
    PutTag(profile, "XYZ ");
    profile.insert(profile.end(), 12, 0);  // date: none
    PutTag(profile, "acsp");
    profile.insert(profile.end(), 4 + 4 + 4 + 4 + 8 + 4, 0);  // platform, flags, maker, model, attributes, intent
    for (double v : {0.9642, 1.0, 0.8249}) Put32(profile, S15Fixed16(v));  // the connection space's white
    profile.insert(profile.end(), 4 + 16 + 28, 0);  // creator, ID, reserved
    profile.insert(profile.end(), table.begin(), table.end());
    profile.insert(profile.end(), body.begin(), body.end());
    return profile;
}

bool ProfileIsLinear(const std::uint8_t* data, std::size_t size) {
    if (!data || size < 132 || Get32(data) > size || std::memcmp(data + 16, "RGB ", 4) != 0) return false;
    const std::uint32_t count = Get32(data + 128);
    if (count > (size - 132) / 12) return false;
    int linear = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = data + 132 + 12 * static_cast<std::size_t>(i);
        if (std::memcmp(entry + 1, "TRC", 3) != 0 || (entry[0] != 'r' && entry[0] != 'g' && entry[0] != 'b')) continue;
        const std::uint32_t at = Get32(entry + 4), length = Get32(entry + 8);
        if (at > size || length > size - at || length < 12 || std::memcmp(data + at, "curv", 4) != 0) return false;
        const std::uint32_t points = Get32(data + at + 8);
        // No points, or one gamma of exactly 1.0 (u8Fixed8).
        const bool identity = points == 0 || (points == 1 && length >= 14 && data[at + 12] == 1 && data[at + 13] == 0);
        if (!identity) return false;
        ++linear;
    }
    return linear == 3;
}

}  // namespace vantrel

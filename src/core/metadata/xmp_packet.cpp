#include "metadata/xmp_packet.h"

#include <algorithm>
#include <string>

namespace vantrel {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct Edit {
    std::size_t at, length;
    std::string text;
};

std::size_t SkipSpace(std::string_view s, std::size_t p) {
    while (p < s.size() && IsSpace(s[p])) ++p;
    return p;
}

std::size_t SkipDigits(std::string_view s, std::size_t p) {
    while (p < s.size() && IsDigit(s[p])) ++p;
    return p;
}

// Whether the packet binds `prefix` to `uri` (xmlns:prefix="uri").
bool Declares(std::string_view xml, std::string_view prefix, std::string_view uri) {
    const std::string name = "xmlns:" + std::string(prefix);
    for (std::size_t at = xml.find(name); at != std::string_view::npos; at = xml.find(name, at + 1)) {
        std::size_t p = SkipSpace(xml, at + name.size());
        if (p >= xml.size() || xml[p] != '=') continue;
        p = SkipSpace(xml, p + 1);
        if (p >= xml.size() || (xml[p] != '"' && xml[p] != '\'')) continue;
        if (xml.substr(p + 1, uri.size()) == uri && p + 1 + uri.size() < xml.size() && xml[p + 1 + uri.size()] == xml[p])
            return true;
    }
    return false;
}

// Every whole-number value of the property `name` (prefix:local), written
// as an attribute name="123" or as an element <name>123</name>.
void FindValues(std::string_view xml, const std::string& name, int value, std::vector<Edit>& edits) {
    const std::string text = std::to_string(value);
    for (std::size_t at = xml.find(name); at != std::string_view::npos; at = xml.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        if (at == 0 || end >= xml.size()) continue;
        if (xml[at - 1] == '<' && xml[end] == '>') {
            const std::size_t digits = SkipDigits(xml, end + 1);
            const std::string close = "</" + name + ">";
            if (digits > end + 1 && xml.substr(digits, close.size()) == close)
                edits.push_back({end + 1, digits - end - 1, text});
        } else if (IsSpace(xml[at - 1])) {
            std::size_t p = SkipSpace(xml, end);
            if (p >= xml.size() || xml[p] != '=') continue;
            p = SkipSpace(xml, p + 1);
            if (p >= xml.size() || (xml[p] != '"' && xml[p] != '\'')) continue;
            const std::size_t digits = SkipDigits(xml, p + 1);
            if (digits > p + 1 && digits < xml.size() && xml[digits] == xml[p])
                edits.push_back({p + 1, digits - p - 1, text});
        }
    }
}

}  // namespace

bool UpdateXmpDimensions(std::vector<std::uint8_t>& segmentData, int width, int height) {
    const std::string_view identifier = SegmentIdentifier(kXmpIdentifier);
    const std::size_t start = 2 + identifier.size();
    if (width <= 0 || height <= 0 || segmentData.size() <= start ||
        !std::equal(identifier.begin(), identifier.end(), segmentData.begin() + 2))
        return false;
    const std::string_view xml(reinterpret_cast<const char*>(segmentData.data()) + start, segmentData.size() - start);

    std::vector<Edit> edits;
    if (Declares(xml, "exif", "http://ns.adobe.com/exif/1.0/")) {
        FindValues(xml, "exif:PixelXDimension", width, edits);
        FindValues(xml, "exif:PixelYDimension", height, edits);
    }
    if (Declares(xml, "tiff", "http://ns.adobe.com/tiff/1.0/")) {
        FindValues(xml, "tiff:ImageWidth", width, edits);
        FindValues(xml, "tiff:ImageLength", height, edits);
    }
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
    std::string packet(xml);
    bool changed = false;
    for (auto e = edits.rbegin(); e != edits.rend(); ++e) {
        if (packet.compare(e->at, e->length, e->text) == 0) continue;
        packet.replace(e->at, e->length, e->text);
        changed = true;
    }
    if (!changed) return false;

    // Keep the length: the padding before the trailer gives or takes.
    if (packet.size() != xml.size()) {
        const std::size_t trailer = packet.rfind("<?xpacket end=");
        if (trailer == std::string::npos) return false;
        if (packet.size() < xml.size()) {
            packet.insert(trailer, xml.size() - packet.size(), ' ');
        } else {
            std::size_t padding = trailer;
            while (padding > 0 && IsSpace(packet[padding - 1])) --padding;
            const std::size_t excess = packet.size() - xml.size();
            if (trailer - padding < excess) return false;
            packet.erase(trailer - excess, excess);
        }
    }
    std::copy(packet.begin(), packet.end(), segmentData.begin() + static_cast<std::ptrdiff_t>(start));
    return true;
}

}  // namespace vantrel

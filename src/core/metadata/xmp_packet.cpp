#include "metadata/xmp_packet.h"

#include <algorithm>
#include <string>

#include "util/md5.h"

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

bool UpdateXmpDimensions(std::vector<std::uint8_t>& segmentData, int width, int height, bool mayGrow) {
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
            if (trailer - padding < excess) {
                if (!mayGrow) return false;
                segmentData.resize(start + packet.size());  // no padding to take from: longer
            } else {
                packet.erase(trailer - excess, excess);
            }
        }
    }
    std::copy(packet.begin(), packet.end(), segmentData.begin() + static_cast<std::ptrdiff_t>(start));
    return true;
}

std::string XmpAsUtf8(std::string_view p) {
    auto byte = [&](std::size_t i) { return i < p.size() ? static_cast<std::uint8_t>(p[i]) : 0x100u; };
    int unit = 1;
    bool big = false;
    std::size_t at = 0;
    if (byte(0) == 0 && byte(1) == 0 && byte(2) == 0xFE && byte(3) == 0xFF) unit = 4, big = true, at = 4;
    else if (byte(0) == 0xFF && byte(1) == 0xFE && byte(2) == 0 && byte(3) == 0) unit = 4, at = 4;
    else if (byte(0) == 0xFE && byte(1) == 0xFF) unit = 2, big = true, at = 2;
    else if (byte(0) == 0xFF && byte(1) == 0xFE) unit = 2, at = 2;
    else if (byte(0) == '<' && byte(1) == 0 && byte(2) == 0 && byte(3) == 0) unit = 4;
    else if (byte(0) == 0 && byte(1) == 0 && byte(2) == 0 && byte(3) == '<') unit = 4, big = true;
    else if (byte(0) == '<' && byte(1) == 0) unit = 2;
    else if (byte(0) == 0 && byte(1) == '<') unit = 2, big = true;
    if (unit == 1) {
        const bool bom = byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF;
        return std::string(p.substr(bom ? 3 : 0));
    }
    auto read = [&](std::size_t i) {
        std::uint32_t v = 0;
        for (int k = 0; k < unit; ++k) {
            const std::uint32_t b = static_cast<std::uint8_t>(p[i + static_cast<std::size_t>(k)]);
            v |= big ? b << (8 * (unit - 1 - k)) : b << (8 * k);
        }
        return v;
    };
    std::string out;
    out.reserve(p.size() / static_cast<std::size_t>(unit) + 16);
    for (std::size_t i = at; i + static_cast<std::size_t>(unit) <= p.size(); i += static_cast<std::size_t>(unit)) {
        std::uint32_t c = read(i);
        if (unit == 2 && c >= 0xD800 && c <= 0xDBFF && i + 4 <= p.size()) {
            const std::uint32_t low = read(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;  // no character: the replacement
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

constexpr std::string_view kPointer = "xmpNote:HasExtendedXMP";

// Where the pointer stands, as an attribute (name="GUID") or an element
// (<name>GUID</name>): the range to remove and the GUID.
struct PointerAt {
    std::size_t from = std::string_view::npos, to = 0;
    std::string guid;
};

PointerAt FindPointer(std::string_view xml) {
    PointerAt found;
    for (std::size_t at = xml.find(kPointer); at != std::string_view::npos; at = xml.find(kPointer, at + 1)) {
        const std::size_t end = at + kPointer.size();
        if (at > 0 && xml[at - 1] == '<' && end < xml.size() && xml[end] == '>') {
            const std::string close = "</" + std::string(kPointer) + ">";
            const std::size_t closeAt = xml.find(close, end);
            if (closeAt == std::string_view::npos) continue;
            found.from = at - 1;
            found.to = closeAt + close.size();
            found.guid = std::string(xml.substr(end + 1, closeAt - end - 1));
            return found;
        }
        if (at > 0 && IsSpace(xml[at - 1])) {
            std::size_t p = SkipSpace(xml, end);
            if (p >= xml.size() || xml[p] != '=') continue;
            p = SkipSpace(xml, p + 1);
            if (p >= xml.size() || (xml[p] != '"' && xml[p] != '\'')) continue;
            const std::size_t close = xml.find(xml[p], p + 1);
            if (close == std::string_view::npos) continue;
            found.from = at;
            found.to = close + 1;
            found.guid = std::string(xml.substr(p + 1, close - p - 1));
            return found;
        }
    }
    return found;
}

}  // namespace

std::string ExtendedXmpGuid(std::string_view packet) { return FindPointer(packet).guid; }

std::string MergeExtendedXmp(std::string_view packet, std::string_view extended) {
    std::string out(packet);
    const PointerAt pointer = FindPointer(out);
    if (pointer.from != std::string_view::npos) out.erase(pointer.from, pointer.to - pointer.from);
    // The extension's descriptions: everything inside its rdf:RDF.
    const std::size_t open = extended.find("<rdf:RDF");
    const std::size_t openEnd = open == std::string_view::npos ? open : extended.find('>', open);
    const std::size_t close = extended.rfind("</rdf:RDF>");
    const std::size_t into = out.rfind("</rdf:RDF>");
    if (openEnd == std::string_view::npos || close == std::string_view::npos || close < openEnd ||
        into == std::string::npos)
        return out;
    out.insert(into, std::string(extended.substr(openEnd + 1, close - openEnd - 1)));
    return out;
}

SplitXmp SplitXmpForJpeg(std::string_view packet, std::size_t maxData) {
    SplitXmp split;
    const std::string guid = Md5Hex(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
    split.main = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                 "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                 "<rdf:Description rdf:about=\"\" xmlns:xmpNote=\"http://ns.adobe.com/xmp/note/\" "
                 "xmpNote:HasExtendedXMP=\"" + guid + "\"/></rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";
    const std::string_view id = SegmentIdentifier(kExtendedXmpIdentifier);
    const std::size_t head = id.size() + 32 + 8;
    const std::size_t part = maxData > head ? maxData - head : 1;
    const auto total = static_cast<std::uint32_t>(packet.size());
    for (std::size_t offset = 0; offset < packet.size(); offset += part) {
        std::vector<std::uint8_t> data(id.begin(), id.end());
        data.insert(data.end(), guid.begin(), guid.end());
        for (const std::uint32_t v : {total, static_cast<std::uint32_t>(offset)})
            for (int k = 3; k >= 0; --k) data.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        const std::size_t n = std::min(part, packet.size() - offset);
        data.insert(data.end(), packet.begin() + static_cast<std::ptrdiff_t>(offset),
                    packet.begin() + static_cast<std::ptrdiff_t>(offset + n));
        split.extendedSegments.push_back(std::move(data));
    }
    return split;
}

}  // namespace vantrel

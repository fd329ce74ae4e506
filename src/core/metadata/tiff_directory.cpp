#include "metadata/tiff_directory.h"

#include <algorithm>

#include "util/error.h"

namespace vantrel {

namespace {

// Bounds for hostile structures: no real directory comes near them.
constexpr std::uint16_t kMaxEntries = 4096;
constexpr std::uint64_t kMaxValue = 64u << 20;
constexpr std::uint64_t kMaxDirectoryValues = 128u << 20;

}  // namespace

int TiffTypeSize(int type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

const TiffEntry* TiffDirectory::find(std::uint16_t tag) const {
    for (const TiffEntry& e : entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

// ---- reading ----

TiffReader::TiffReader(Fetch fetch) : fetch_(std::move(fetch)) {
    const std::vector<std::uint8_t> head = fetch_(0, 8);
    if (head.size() < 8) return;
    if (head[0] == 'I' && head[1] == 'I')
        bigEndian_ = false;
    else if (head[0] == 'M' && head[1] == 'M')
        bigEndian_ = true;
    else
        return;
    if (get16(head.data() + 2) != 42) return;
    first_ = get32(head.data() + 4);
    valid_ = true;
}

std::uint16_t TiffReader::get16(const std::uint8_t* p) const {
    return static_cast<std::uint16_t>(bigEndian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

std::uint32_t TiffReader::get32(const std::uint8_t* p) const {
    const std::uint32_t a = get16(p), b = get16(p + 2);
    return bigEndian_ ? a << 16 | b : b << 16 | a;
}

std::optional<TiffDirectory> TiffReader::directory(std::uint32_t offset, std::uint32_t* next) const {
    if (!valid_ || offset < 8) return std::nullopt;
    const std::vector<std::uint8_t> head = fetch_(offset, 2);
    if (head.size() < 2) return std::nullopt;
    const std::uint16_t count = get16(head.data());
    if (count > kMaxEntries) return std::nullopt;
    const std::size_t length = 12u * count + 4;
    const std::vector<std::uint8_t> table = fetch_(std::uint64_t{offset} + 2, length);
    if (table.size() < length) return std::nullopt;
    TiffDirectory dir;
    std::uint64_t budget = kMaxDirectoryValues;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* e = table.data() + 12u * i;
        TiffEntry entry;
        entry.tag = get16(e);
        entry.type = get16(e + 2);
        entry.count = get32(e + 4);
        std::copy(e + 8, e + 12, entry.field.begin());
        const std::uint64_t size = std::uint64_t{entry.count} * TiffTypeSize(entry.type);
        if (size == 0 || size > kMaxValue || size > budget) continue;
        if (size <= 4) {
            entry.value.assign(e + 8, e + 8 + size);
        } else {
            entry.value = fetch_(get32(e + 8), static_cast<std::size_t>(size));
            if (entry.value.size() < size) continue;
            budget -= size;
        }
        dir.entries.push_back(std::move(entry));
    }
    if (next) *next = get32(table.data() + 12u * count);
    return dir;
}

std::optional<std::uint32_t> TiffReader::number(const TiffEntry& entry) const {
    if (entry.value.empty()) return std::nullopt;
    if (entry.type == kTiffShort && entry.value.size() >= 2) return get16(entry.value.data());
    if ((entry.type == kTiffLong || entry.type == 13) && entry.value.size() >= 4) return get32(entry.value.data());
    return std::nullopt;
}

TiffReader::Fetch BytesFetch(const std::uint8_t* data, std::size_t size) {
    return [data, size](std::uint64_t offset, std::size_t count) {
        if (offset >= size) return std::vector<std::uint8_t>();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
        return std::vector<std::uint8_t>(data + offset, data + offset + n);
    };
}

// ---- writing ----

TiffWriter::TiffWriter(bool bigEndian) : bigEndian_(bigEndian) {
    bytes_ = {static_cast<std::uint8_t>(bigEndian ? 'M' : 'I'), static_cast<std::uint8_t>(bigEndian ? 'M' : 'I'), 0, 0,
              0, 0, 0, 0};
    put16(bytes_.data() + 2, 42);
}

TiffWriter::TiffWriter(std::vector<std::uint8_t> start) : bytes_(std::move(start)) {
    if (bytes_.size() < 8 || bytes_[0] != bytes_[1] || (bytes_[0] != 'I' && bytes_[0] != 'M'))
        throw Error("Not a TIFF structure.");
    bigEndian_ = bytes_[0] == 'M';
}

void TiffWriter::put16(std::uint8_t* p, std::uint16_t v) const {
    p[bigEndian_ ? 0 : 1] = static_cast<std::uint8_t>(v >> 8);
    p[bigEndian_ ? 1 : 0] = static_cast<std::uint8_t>(v & 0xFF);
}

void TiffWriter::put32(std::uint8_t* p, std::uint32_t v) const {
    put16(p + (bigEndian_ ? 0 : 2), static_cast<std::uint16_t>(v >> 16));
    put16(p + (bigEndian_ ? 2 : 0), static_cast<std::uint16_t>(v & 0xFFFF));
}

std::uint32_t TiffWriter::append(const std::uint8_t* data, std::size_t size) {
    if (bytes_.size() % 2) bytes_.push_back(0);
    if (bytes_.size() + size > 0xFFFFFFFFu) throw Error("The image is too large for a TIFF file.");
    const auto offset = static_cast<std::uint32_t>(bytes_.size());
    bytes_.insert(bytes_.end(), data, data + size);
    return offset;
}

std::uint32_t TiffWriter::directory(std::vector<TiffEntry> entries, std::uint32_t next) {
    std::stable_sort(entries.begin(), entries.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    std::vector<std::uint8_t> table(2 + 12 * entries.size() + 4);
    put16(table.data(), static_cast<std::uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry& e = entries[i];
        std::uint8_t* p = table.data() + 2 + 12 * i;
        put16(p, e.tag);
        put16(p + 2, e.type);
        put32(p + 4, e.count);
        if (e.keepField)
            std::copy(e.field.begin(), e.field.end(), p + 8);
        else if (e.value.size() <= 4)
            std::copy(e.value.begin(), e.value.end(), p + 8);
        else
            put32(p + 8, append(e.value.data(), e.value.size()));
    }
    put32(table.data() + table.size() - 4, next);
    return append(table.data(), table.size());
}

void TiffWriter::setFirstDirectory(std::uint32_t offset) { put32(bytes_.data() + 4, offset); }

TiffEntry TiffWriter::shorts(std::uint16_t tag, const std::vector<std::uint16_t>& values) const {
    TiffEntry e{tag, kTiffShort, static_cast<std::uint32_t>(values.size()), std::vector<std::uint8_t>(2 * values.size())};
    for (std::size_t i = 0; i < values.size(); ++i) put16(e.value.data() + 2 * i, values[i]);
    return e;
}

TiffEntry TiffWriter::longs(std::uint16_t tag, const std::vector<std::uint32_t>& values) const {
    TiffEntry e{tag, kTiffLong, static_cast<std::uint32_t>(values.size()), std::vector<std::uint8_t>(4 * values.size())};
    for (std::size_t i = 0; i < values.size(); ++i) put32(e.value.data() + 4 * i, values[i]);
    return e;
}

TiffEntry TiffWriter::rational(std::uint16_t tag, std::uint32_t numerator, std::uint32_t denominator) const {
    TiffEntry e{tag, kTiffRational, 1, std::vector<std::uint8_t>(8)};
    put32(e.value.data(), numerator);
    put32(e.value.data() + 4, denominator);
    return e;
}

TiffEntry TiffWriter::bytes(std::uint16_t tag, std::uint16_t type, const std::vector<std::uint8_t>& data) {
    return TiffEntry{tag, type, static_cast<std::uint32_t>(data.size()), data};
}

}  // namespace vantrel

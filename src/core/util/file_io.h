#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel {

// Paths travel through the program as UTF-8 strings.
std::filesystem::path PathFromUtf8(const std::string& utf8);

// Reads a whole file; throws Error when it cannot be opened or read.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// The first `maxBytes` of a file (fewer if it is shorter); throws Error when
// it cannot be opened or read.
std::vector<std::uint8_t> ReadFilePrefix(const std::string& path, std::size_t maxBytes);

// Writes to a temporary file beside the target and renames it over the target
// only once everything is on disk, so a failure never leaves a half-written
// file where a good one was. Throws Error on failure.
void WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size);
inline void WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    WriteFileAtomically(path, bytes.data(), bytes.size());
}

inline void WriteFileAtomically(const std::string& path, const std::string& text) {
    WriteFileAtomically(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Makes every write fail once `afterBytes` bytes are written, as on a full
// disk (negative: writes work again). For tests.
void SetWriteFailureForTesting(long long afterBytes);

}  // namespace vantrel

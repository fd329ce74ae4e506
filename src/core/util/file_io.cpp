#include "util/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "util/error.h"

namespace vantrel {

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) throw Error("Cannot open file \"" + path + "\".");
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) throw Error("Cannot read file \"" + path + "\".");
    in.seekg(0, std::ios::beg);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
        throw Error("Cannot read file \"" + path + "\".");
    return bytes;
}

std::vector<std::uint8_t> ReadFilePrefix(const std::string& path, std::size_t maxBytes) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) throw Error("Cannot open file \"" + path + "\".");
    std::vector<std::uint8_t> bytes(maxBytes);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(maxBytes));
    if (in.bad()) throw Error("Cannot read file \"" + path + "\".");
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

namespace {
// Simulates a disk that fills up after this many bytes (tests only).
long long g_failAfter = -1;
}  // namespace

void SetWriteFailureForTesting(long long afterBytes) { g_failAfter = afterBytes; }

void WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const fs::path target = PathFromUtf8(path);
    std::random_device rd;
    fs::path temp = target;
    temp += ".tmp" + std::to_string(rd() % 1000000);

    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw Error("Cannot create file " + path);
    std::size_t toWrite = size;
    bool written;
    if (g_failAfter >= 0 && static_cast<unsigned long long>(g_failAfter) < size) {
        toWrite = static_cast<std::size_t>(g_failAfter);
        written = false;
    } else {
        written = true;
    }
    written = (toWrite == 0 || std::fwrite(data, 1, toWrite, f) == toWrite) && written;
    const bool flushed = std::fflush(f) == 0;
    const bool closed = std::fclose(f) == 0;
    std::error_code ec;
    if (written && flushed && closed) fs::rename(temp, target, ec);
    if (!written || !flushed || !closed || ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw Error("Stream write error\n" + path);
    }
}

}  // namespace vantrel

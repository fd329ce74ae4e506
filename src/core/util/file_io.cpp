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

void WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const fs::path target = PathFromUtf8(path);
    std::random_device rd;
    fs::path temp = target;
    temp += ".tmp" + std::to_string(rd() % 1000000);

    auto fail = [&](const std::string& why) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw Error("Cannot write file \"" + path + "\": " + why);
    };

    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw Error("Cannot write file \"" + path + "\": " + std::strerror(errno));
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    const int writeErr = errno;
    const bool flushed = std::fflush(f) == 0;
    const bool closed = std::fclose(f) == 0;
    if (!written || !flushed || !closed) fail(std::strerror(written ? errno : writeErr));

    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) fail(ec.message());
}

}  // namespace vantrel

#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace vantrel {

// Paths travel through the program as UTF-8 strings.
std::filesystem::path PathFromUtf8(const std::string& utf8);

// The file name without its directory.
std::string FileNameOf(const std::string& path);
// The directory part, without a trailing separator.
std::string DirectoryOf(const std::string& path);
// The file name's extension from its last "." (empty when there is none).
std::string FileExtension(const std::string& path);

// A regular file open for reading. Directories, FIFOs and devices (also
// behind a link) are refused before anything is read, so a special file can
// neither block nor pour out endless bytes. Throws Error.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // Up to `count` bytes from `offset` (fewer at the end of the file).
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t count) const;
    // The same into `buffer`; returns how many bytes came.
    std::size_t readInto(std::uint64_t offset, void* buffer, std::size_t count) const;
    // A stdio stream over the file from its start, for decoders that stream;
    // the caller closes it.
    std::FILE* stream() const;

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Bytes of a file or of memory read on from a position: what the streaming
// decoders pull from. A failing read gives no bytes, like the end.
class ByteCursor {
public:
    explicit ByteCursor(const InputFile& file) : file_(&file), size_(file.size()) {}
    ByteCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }
    void seek(std::uint64_t position) { position_ = position; }
    // Up to `count` bytes from the position on; how many came.
    std::size_t read(void* out, std::size_t count);

private:
    const InputFile* file_ = nullptr;
    const std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0, position_ = 0;
};

// Reads a whole regular file; throws Error when it cannot be opened or read.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// The first `maxBytes` of a regular file (fewer if it is shorter); throws
// Error when it cannot be opened or read.
std::vector<std::uint8_t> ReadFilePrefix(const std::string& path, std::size_t maxBytes);

// Writes to a temporary file beside the target and renames it over the target
// only once everything is on disk, so a failure never leaves a half-written
// file where a good one was. `write` puts the content on the stream. Throws
// Error on failure.
void WriteFileAtomically(const std::string& path, const std::function<void(std::FILE*)>& write);
void WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size);
inline void WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    WriteFileAtomically(path, bytes.data(), bytes.size());
}
inline void WriteFileAtomically(const std::string& path, const std::string& text) {
    WriteFileAtomically(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// On SIGINT, SIGTERM or SIGHUP: removes the temporary files being written at
// that moment, then ends the process with status 128 + the signal's number.
// SIGXFSZ is ignored, so a file-size limit fails the write like a full disk.
void RemoveTemporaryFilesOnInterrupt();

// Whether two paths name one file (device and inode): an output must never
// replace a source, whatever names lead to it. False when either is missing.
bool SameFile(const std::string& a, const std::string& b);
// The device and inode of an existing file, for comparing many at once.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FileIdentity(const std::string& path);

// Removes from `dir` the temporary files of WriteFileAtomically whose writing
// process no longer exists (killed outright, which no handler can see);
// returns how many went.
int RemoveStaleTemporaries(const std::string& dir);

// Makes every write fail once `afterBytes` bytes are written, as on a full
// disk (negative: writes work again). For tests.
void SetWriteFailureForTesting(long long afterBytes);

}  // namespace vantrel

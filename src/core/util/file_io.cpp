#include "util/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <random>

#include "util/error.h"

namespace vantrel {

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FileNameOf(const std::string& path) {
    const auto name = PathFromUtf8(path).filename().u8string();
    return std::string(name.begin(), name.end());
}

std::string DirectoryOf(const std::string& path) {
    const auto text = PathFromUtf8(path).parent_path().u8string();
    return std::string(text.begin(), text.end());
}

std::string FileExtension(const std::string& path) {
    const std::string name = FileNameOf(path);
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

// ---- reading ----

InputFile::InputFile(const std::string& path) : path_(path) {
    // Non-blocking, so that opening a FIFO cannot wait for a writer.
    fd_ = ::open(PathFromUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw Error("Cannot open file \"" + path + "\": " + std::strerror(errno) + ".");
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw Error("\"" + path + "\" is not a regular file.");
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::uint8_t> InputFile::read(std::uint64_t offset, std::size_t count) const {
    std::vector<std::uint8_t> bytes(offset >= size_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset)));
    bytes.resize(readInto(offset, bytes.data(), bytes.size()));
    return bytes;
}

std::size_t InputFile::readInto(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error("Cannot read file \"" + path_ + "\": " + std::strerror(errno) + ".");
        if (n == 0) break;  // the end, or the file shrank meanwhile
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t ByteCursor::read(void* out, std::size_t count) {
    if (position_ >= size_) return 0;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
    std::size_t got = want;
    if (data_) {
        std::memcpy(out, data_ + position_, want);
    } else {
        try {
            got = file_->readInto(position_, out, want);
        } catch (...) {  // the decoders call in from C: nothing may pass through them
            got = 0;
        }
    }
    position_ += got;
    return got;
}

std::FILE* InputFile::stream() const {
    const int copy = ::dup(fd_);
    std::FILE* f = copy < 0 ? nullptr : ::fdopen(copy, "rb");
    if (!f) {
        if (copy >= 0) ::close(copy);
        throw Error("Cannot read file \"" + path_ + "\".");
    }
    std::rewind(f);
    return f;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
    const InputFile file(path);
    return file.read(0, static_cast<std::size_t>(file.size()));
}

std::vector<std::uint8_t> ReadFilePrefix(const std::string& path, std::size_t maxBytes) {
    return InputFile(path).read(0, maxBytes);
}

// ---- writing ----

namespace {

std::atomic<long long> g_failAfter{-1};

// The temporary files being written, where a signal handler can find them:
// fixed storage, claimed and released with atomics only.
struct TemporaryFile {
    std::atomic<int> state{0};  // 0 free, 1 being filled in, 2 named
    char path[4096];
};
std::array<TemporaryFile, 16> g_temporaries;

int Claim(const std::string& path) {
    if (path.size() >= sizeof g_temporaries[0].path) return -1;
    for (std::size_t i = 0; i < g_temporaries.size(); ++i) {
        int expected = 0;
        if (g_temporaries[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(g_temporaries[i].path, path.c_str(), path.size() + 1);
            g_temporaries[i].state.store(2);
            return static_cast<int>(i);
        }
    }
    return -1;  // more writers than slots: that file just is not cleaned up
}

void Release(int slot) {
    if (slot >= 0) g_temporaries[static_cast<std::size_t>(slot)].state.store(0);
}

extern "C" void OnInterrupt(int signal) {
    for (auto& t : g_temporaries)
        if (t.state.load() == 2) ::unlink(t.path);
    ::_exit(128 + signal);
}

std::string TemporaryName(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    std::filesystem::path temp = target;
    temp += ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + std::to_string(rd() % 100000);
    return temp.string();
}

}  // namespace

void SetWriteFailureForTesting(long long afterBytes) { g_failAfter = afterBytes; }

void RemoveTemporaryFilesOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
    // Past a file-size limit a write fails with EFBIG and is reported like a
    // full disk, instead of the process dying with its temporary left.
    ::signal(SIGXFSZ, SIG_IGN);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> FileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(PathFromUtf8(path).c_str(), &st) != 0) return std::nullopt;
    return std::pair<std::uint64_t, std::uint64_t>{st.st_dev, st.st_ino};
}

bool SameFile(const std::string& a, const std::string& b) {
    const auto ia = FileIdentity(a);
    return ia && ia == FileIdentity(b);
}

int RemoveStaleTemporaries(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(PathFromUtf8(dir), ec);
    if (ec) return 0;
    int removed = 0;
    for (const fs::directory_entry& entry : it) {
        // name.tmp<pid>-<counter>-<random>, as TemporaryName makes them
        const std::string name = entry.path().filename().string();
        const auto at = name.rfind(".tmp");
        if (at == std::string::npos) continue;
        const char* p = name.c_str() + at + 4;
        char* end = nullptr;
        const long pid = std::strtol(p, &end, 10);
        if (end == p || pid <= 0 || *end != '-') continue;
        const char* q = end + 1;
        std::strtoul(q, &end, 10);
        if (end == q || *end != '-') continue;
        q = end + 1;
        std::strtoul(q, &end, 10);
        if (end == q || *end != '\0') continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // its writer still runs
        if (!entry.is_regular_file(ec)) continue;
        if (fs::remove(entry.path(), ec)) ++removed;
    }
    return removed;
}

void WriteFileAtomically(const std::string& path, const std::function<void(std::FILE*)>& write) {
    namespace fs = std::filesystem;
    const fs::path target = PathFromUtf8(path);
    const std::string temp = TemporaryName(target);
    const int slot = Claim(temp);
    errno = 0;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    std::FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!f) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
        }
        const int reason = errno;
        Release(slot);
        throw Error("Cannot create file " + path + "\n" + std::strerror(reason));
    }
    bool written = true;
    errno = 0;
    try {
        write(f);
    } catch (...) {
        std::fclose(f);
        ::unlink(temp.c_str());
        Release(slot);
        throw;
    }
    const long long failAfter = g_failAfter.load();
    int reason = 0;
    if (failAfter >= 0 && std::ftell(f) > failAfter) {
        written = false;
        reason = ENOSPC;
    }
    if (written && std::ferror(f)) {
        written = false;
        reason = errno;
    }
    const bool flushed = std::fflush(f) == 0;
    if (!flushed && !reason) reason = errno;
    const bool closed = std::fclose(f) == 0;
    if (!closed && !reason) reason = errno;
    std::error_code ec;
    if (written && flushed && closed) fs::rename(temp, target, ec);
    if (!written || !flushed || !closed || ec) {
        ::unlink(temp.c_str());
        Release(slot);
        const std::string why = ec ? ec.message() : reason ? std::strerror(reason) : "";
        throw Error("Stream write error\n" + path + (why.empty() ? "" : "\n" + why));
    }
    Release(slot);
}

void WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size) {
    WriteFileAtomically(path, [&](std::FILE* f) {
        if (size > 0) std::fwrite(data, 1, size, f);
    });
}

}  // namespace vantrel

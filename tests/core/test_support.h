#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel::test {

inline std::filesystem::path TestData(const std::string& relative) {
    return std::filesystem::path(VANTREL_TESTDATA_DIR) / relative;
}

inline std::vector<std::filesystem::path> FilesIn(const std::string& relative) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(TestData(relative)))
        if (e.is_regular_file()) files.push_back(e.path());
    return files;
}

// Noise: every sample its own, so a run of equal pixels in what is made of
// it is fill, and no encoder compresses it much.
inline Bitmap Noise(int w, int h, std::uint32_t seed) {
    Bitmap b = Bitmap::Uninitialized(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) b.row(y)[x] = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return b;
}

// A smooth, non-repeating test picture: every pixel differs from its neighbours.
inline Bitmap Gradient(int w, int h) {
    Bitmap b(w, h);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* p = b.row(y);
        for (int x = 0; x < w; ++x, p += 3) {
            p[0] = static_cast<std::uint8_t>(x * 7 + y);
            p[1] = static_cast<std::uint8_t>(y * 5 + x / 3);
            p[2] = static_cast<std::uint8_t>((x ^ y) * 3);
        }
    }
    return b;
}

// A JPEG segment: FF, marker, 16-bit length, payload.
inline std::vector<std::uint8_t> JpegSegment(std::uint8_t marker, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> s(payload.size() + 4);
    s[0] = 0xFF;
    s[1] = marker;
    s[2] = static_cast<std::uint8_t>((payload.size() + 2) >> 8);
    s[3] = static_cast<std::uint8_t>((payload.size() + 2) & 0xFF);
    std::copy(payload.begin(), payload.end(), s.begin() + 4);
    return s;
}

// What a shell command prints on its standard output.
inline std::string Shell(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

inline const std::uint8_t* Pixel(const Bitmap& b, int x, int y) { return b.row(y) + x * 3; }

inline int MaxDifference(const Bitmap& a, const Bitmap& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int i = 0; i < a.width() * 3; ++i) worst = std::max(worst, std::abs(a.row(y)[i] - b.row(y)[i]));
    return worst;
}

}  // namespace vantrel::test

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vantrel::test {

// Runs `body` in a child process limited to `megabytes` of address space and
// returns its exit status (-1 when it died otherwise). What a header claims
// must never be allocated before the file is checked: a child with little
// memory tells. Sanitizers reserve address space of their own, so callers
// skip this under them.
inline int ExitStatusWithMemoryLimit(std::size_t megabytes, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{megabytes << 20, megabytes << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        int status = 99;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

}  // namespace vantrel::test

#include "workspace/image_slot.h"

namespace vantrel::test {

// Slot records as the renderers read them.
inline AlignedSource SourceOf(const TImageSlot& s) {
    return {s.Loaded ? &s.Bitmap : nullptr, &s, s.Luminance, s.Brightness, nullptr, s.Loaded ? &s.Deep : nullptr};
}
inline AlignedSources SourcesOf(const std::array<TImageSlot, kSlotCount>& slots) {
    AlignedSources sources;
    for (int n = 0; n < kSlotCount; ++n) sources.push_back(SourceOf(slots[n]));
    return sources;
}

}  // namespace vantrel::test

#include "util/memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vantrel {

namespace {

// A "Name:  value kB" line of a /proc file, in bytes.
std::uint64_t KilobytesLine(const char* path, const char* name) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return std::numeric_limits<std::uint64_t>::max();
    char line[256];
    std::uint64_t value = std::numeric_limits<std::uint64_t>::max();
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, length) == 0) {
            unsigned long long kb = 0;
            if (std::sscanf(line + length, " %llu", &kb) == 1) value = static_cast<std::uint64_t>(kb) * 1024;
            break;
        }
    std::fclose(f);
    return value;
}

}  // namespace

std::uint64_t AvailableMemory() {
    std::uint64_t available = KilobytesLine("/proc/meminfo", "MemAvailable:");
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = KilobytesLine("/proc/self/status", "VmSize:");
        const std::uint64_t cap = static_cast<std::uint64_t>(limit.rlim_cur);
        available = std::min(available, used < cap ? cap - used : 0);
    }
    return available;
}

}  // namespace vantrel

#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vantrel {

// A failure whose message is meant for the user; the UI shows it in a message box.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Memory ran out: said with what was being done and about how much it needed,
// never as the allocator's own words.
class OutOfMemory : public Error {
public:
    OutOfMemory(const std::string& doing, std::uint64_t bytes)
        : Error("Not enough memory to " + doing + " (needs about " +
                std::to_string(std::max<std::uint64_t>(1, (bytes + (1u << 20) - 1) >> 20)) + " MB).") {}
};

}  // namespace vantrel

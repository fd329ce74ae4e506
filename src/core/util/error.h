#pragma once

#include <stdexcept>
#include <string>

namespace vantrel {

// A failure whose message is meant for the user; the UI shows it in a message box.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vantrel

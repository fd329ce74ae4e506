#pragma once

#include "util/error.h"

namespace vantrel {

// The file's content is not a picture the readers accept (bad header,
// corrupt data, absurd size). Callers turn it into the invalid-picture message.
class InvalidPicture : public Error {
public:
    explicit InvalidPicture(const std::string& detail) : Error(detail) {}
};

}  // namespace vantrel

#pragma once

#include "util/error.h"

namespace vantrel {

// The file's content is not a picture the readers accept (bad header,
// corrupt data, absurd size). Callers turn it into the invalid-picture message.
class InvalidPicture : public Error {
public:
    explicit InvalidPicture(const std::string& detail) : Error(detail) {}
};

// The file ends before the picture it announces: cut off in a copy or a
// download. Refused like an invalid picture, but said as it is.
class IncompletePicture : public InvalidPicture {
public:
    explicit IncompletePicture(const std::string& detail) : InvalidPicture(detail) {}
};

}  // namespace vantrel

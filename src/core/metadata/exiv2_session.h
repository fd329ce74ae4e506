#pragma once

#include <mutex>

namespace vantrel {

// Holds exiv2 for one reading: the library is set up once, quietly, and
// used by one thread at a time (its XMP toolkit shares state).
class Exiv2Session {
public:
    Exiv2Session();

private:
    std::lock_guard<std::mutex> lock_;
};

}  // namespace vantrel

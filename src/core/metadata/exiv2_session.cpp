#include "metadata/exiv2_session.h"

#include <exiv2/exiv2.hpp>

namespace vantrel {

namespace {

std::mutex& Exiv2Lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

Exiv2Session::Exiv2Session() : lock_(Exiv2Lock()) {
    static const bool ready = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        return true;
    }();
    (void)ready;
}

}  // namespace vantrel

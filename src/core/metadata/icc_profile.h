#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// An ICC profile (version 2, matrix and curves) of linear light in sRGB's
// primaries and white (Rec. 709): what a raw file developed linear is, so
// that a merger or an editor reading the file does not take its samples for
// sRGB-encoded ones.
std::vector<std::uint8_t> LinearRec709Profile();

// Whether a profile's red, green and blue curves are all the identity
// (linear light); false for anything unreadable.
bool ProfileIsLinear(const std::uint8_t* data, std::size_t size);

}  // namespace vantrel

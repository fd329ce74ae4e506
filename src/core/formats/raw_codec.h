#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "imaging/bitmap.h"

namespace vantrel {

class InputFile;

// How a camera raw file becomes RGB: both at 16 bits with the camera's white
// balance and sRGB primaries (Rec. 709's), no brightening; Linear keeps the
// samples proportional to the light (what an HDR merge wants), Srgb gives
// them the sRGB curve for viewing.
enum class RawDevelopment { Linear, Srgb };

// The program's one setting for every raw file read after it is made.
void SetRawDevelopment(RawDevelopment development);
RawDevelopment CurrentRawDevelopment();
const char* RawDevelopmentName(RawDevelopment development);  // "linear", "srgb"

// Develops a raw file with LibRaw (its default demosaic, AHD) as the
// current setting says. Throws InvalidPicture (not a raw file LibRaw reads,
// an absurd size) or IncompletePicture (the data ends early).
Bitmap DecodeRawFile(const InputFile& file, std::string& notice);
Bitmap DecodeRaw(const std::uint8_t* data, std::size_t size, RawDevelopment development);

}  // namespace vantrel

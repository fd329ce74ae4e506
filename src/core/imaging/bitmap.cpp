#include "imaging/bitmap.h"

#include <algorithm>
#include <cstring>

#include "util/error.h"

namespace vantrel {

void Bitmap::resize(int width, int height) {
    if (width <= 0 || height <= 0) {
        width_ = height_ = 0;
        stride_ = 0;
        std::vector<std::uint8_t>().swap(data_);
        return;
    }
    if (static_cast<std::int64_t>(width) * height > kMaxPixels) throw Error("Image too large");
    width_ = width;
    height_ = height;
    stride_ = strideFor(width);
    // A few bytes of slack let vector code load four bytes at the last pixel.
    data_.assign(stride_ * static_cast<std::size_t>(height) + 4, 0);
}

void Bitmap::fill(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    for (int y = 0; y < height_; ++y) {
        std::uint8_t* p = row(y);
        for (int x = 0; x < width_; ++x, p += 3) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
}

bool Bitmap::samePixels(const Bitmap& other) const {
    if (width_ != other.width_ || height_ != other.height_) return false;
    const std::size_t bytes = static_cast<std::size_t>(width_) * 3;
    for (int y = 0; y < height_; ++y)
        if (std::memcmp(row(y), other.row(y), bytes) != 0) return false;
    return true;
}

}  // namespace vantrel

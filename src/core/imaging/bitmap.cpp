#include "imaging/bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <new>
#include <string>
#include <utility>

#include "util/error.h"

namespace vantrel {

namespace {

// Pictures of megabytes are laid on huge pages where the system offers them
// on request: a fresh 24 MP frame then costs dozens of page faults instead of
// tens of thousands, which shows in every load and save.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::uint8_t* AllocatePixels(std::size_t size, bool clear) {
    if (size < 4 * kHugePage) {
        void* p = std::malloc(size);
        if (!p) throw std::bad_alloc();
        if (clear) std::memset(p, 0, size);
        return static_cast<std::uint8_t*>(p);
    }
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
    if (clear) std::memset(p, 0, size);
    return static_cast<std::uint8_t*>(p);
}

}  // namespace

void Bitmap::Free::operator()(std::uint8_t* p) const { std::free(p); }

void Bitmap::allocate(int width, int height, bool clear) {
    if (width <= 0 || height <= 0) {
        width_ = height_ = 0;
        stride_ = 0;
        data_.reset();
        return;
    }
    if (static_cast<std::int64_t>(width) * height > kMaxPixels) throw Error("Image too large");
    const std::size_t size = strideFor(width, depth_) * static_cast<std::size_t>(height) + kSlack;
    data_.reset();  // free the old pixels before taking new ones
    try {
        data_.reset(AllocatePixels(size, clear));
    } catch (const std::bad_alloc&) {
        width_ = height_ = 0;
        stride_ = 0;
        throw OutOfMemory("hold a " + std::to_string(width) + " x " + std::to_string(height) + " " +
                              DepthName(depth_) + " picture", size);
    }
    width_ = width;
    height_ = height;
    stride_ = strideFor(width, depth_);
    if (!clear) std::memset(data_.get() + size - kSlack, 0, kSlack);
}

const char* DepthName(SampleDepth depth) {
    return depth == SampleDepth::U8 ? "8-bit" : depth == SampleDepth::U16 ? "16-bit" : "32-bit float";
}

void Bitmap::resize(int width, int height) { allocate(width, height, true); }

void Bitmap::resize(int width, int height, SampleDepth depth) {
    depth_ = depth;
    allocate(width, height, true);
}

Bitmap Bitmap::Uninitialized(int width, int height, SampleDepth depth) {
    Bitmap b;
    b.depth_ = depth;
    b.allocate(width, height, false);
    return b;
}

Bitmap::Bitmap(const Bitmap& other) { *this = other; }

Bitmap& Bitmap::operator=(const Bitmap& other) {
    if (this == &other) return *this;
    depth_ = other.depth_;
    linear_ = other.linear_;
    allocate(other.width_, other.height_, false);
    if (data_) std::memcpy(data_.get(), other.data_.get(), bytes());
    return *this;
}

Bitmap::Bitmap(Bitmap&& other) noexcept { *this = std::move(other); }

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
    if (this == &other) return *this;
    data_ = std::move(other.data_);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    stride_ = std::exchange(other.stride_, 0);
    depth_ = std::exchange(other.depth_, SampleDepth::U8);
    linear_ = std::exchange(other.linear_, false);
    return *this;
}

void Bitmap::fill(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    if (depth_ != SampleDepth::U8) {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                for (int c = 0; c < 3; ++c) {
                    const std::uint8_t v = c == 0 ? blue : c == 1 ? green : red;
                    const std::size_t at = static_cast<std::size_t>(3 * x + c);
                    if (depth_ == SampleDepth::U16)
                        rowAs<std::uint16_t>(y)[at] = static_cast<std::uint16_t>(v * 257);
                    else
                        rowAs<float>(y)[at] = v / 255.0f;
                }
        return;
    }
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
    if (width_ != other.width_ || height_ != other.height_ || depth_ != other.depth_) return false;
    const std::size_t bytes = static_cast<std::size_t>(width_) * pixelBytes();
    for (int y = 0; y < height_; ++y)
        if (std::memcmp(row(y), other.row(y), bytes) != 0) return false;
    return true;
}

}  // namespace vantrel

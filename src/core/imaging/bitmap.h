#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantrel {

// A 24-bit image: three bytes per pixel in blue, green, red order. Rows are
// padded to four bytes, as in a Windows DIB, so a QImage can wrap them as-is.
class Bitmap {
public:
    // Largest pixel count the program agrees to hold (256 megapixels).
    static constexpr std::int64_t kMaxPixels = 256LL * 1024 * 1024;

    Bitmap() = default;
    Bitmap(int width, int height) { resize(width, height); }
    Bitmap(const Bitmap& other);
    Bitmap& operator=(const Bitmap& other);
    Bitmap(Bitmap&& other) noexcept;
    Bitmap& operator=(Bitmap&& other) noexcept;

    // A bitmap whose pixels are left unset, for code that writes every pixel;
    // it skips clearing the memory first.
    static Bitmap Uninitialized(int width, int height);

    // Resizes and clears to black; 0 x 0 frees the pixels.
    void resize(int width, int height);
    void fill(std::uint8_t blue, std::uint8_t green, std::uint8_t red);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }
    std::size_t stride() const { return stride_; }

    std::uint8_t* row(int y) { return data_.get() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * stride_; }
    std::uint8_t* bits() { return data_.get(); }
    const std::uint8_t* bits() const { return data_.get(); }

    static std::size_t strideFor(int width) { return (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}; }

    // Pixel-wise equality, ignoring row padding.
    bool samePixels(const Bitmap& other) const;

private:
    void allocate(int width, int height, bool clear);
    std::size_t bytes() const { return data_ ? stride_ * static_cast<std::size_t>(height_) + kSlack : 0; }

    // Bytes past the last row, so vector code may load 32 bytes at any pixel.
    static constexpr std::size_t kSlack = 32;
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    std::unique_ptr<std::uint8_t[]> data_;
};

}  // namespace vantrel

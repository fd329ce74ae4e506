#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantrel {

// How many bits a sample holds: 8 and 16 are unsigned whole numbers
// (0..255, 0..65535), float is 32-bit with 1.0 as full white.
enum class SampleDepth : std::uint8_t { U8, U16, Float };

inline int BytesPerSample(SampleDepth depth) { return depth == SampleDepth::U8 ? 1 : depth == SampleDepth::U16 ? 2 : 4; }
const char* DepthName(SampleDepth depth);  // "8-bit", "16-bit", "32-bit float"

// An RGB image: three samples per pixel in blue, green, red order, of one
// depth (8 bits unless said). Rows are padded to four bytes, as in a Windows
// DIB, so a QImage can wrap an 8-bit one as-is.
class Bitmap {
public:
    // Largest pixel count the program agrees to hold (256 megapixels).
    static constexpr std::int64_t kMaxPixels = 256LL * 1024 * 1024;

    Bitmap() = default;
    Bitmap(int width, int height, SampleDepth depth = SampleDepth::U8) : depth_(depth) { resize(width, height); }
    Bitmap(const Bitmap& other);
    Bitmap& operator=(const Bitmap& other);
    Bitmap(Bitmap&& other) noexcept;
    Bitmap& operator=(Bitmap&& other) noexcept;

    // A bitmap whose pixels are left unset, for code that writes every pixel;
    // it skips clearing the memory first.
    static Bitmap Uninitialized(int width, int height, SampleDepth depth = SampleDepth::U8);

    // Resizes and clears to black, keeping the depth; 0 x 0 frees the pixels.
    void resize(int width, int height);
    void resize(int width, int height, SampleDepth depth);
    void fill(std::uint8_t blue, std::uint8_t green, std::uint8_t red);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }
    std::size_t stride() const { return stride_; }
    SampleDepth depth() const { return depth_; }
    bool deep() const { return depth_ != SampleDepth::U8; }
    int pixelBytes() const { return 3 * BytesPerSample(depth_); }
    // Samples proportional to light (a raw file developed linear, a float
    // picture) rather than encoded for the screen.
    bool linear() const { return linear_; }
    void setLinear(bool linear) { linear_ = linear; }

    std::uint8_t* row(int y) { return data_.get() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * stride_; }
    std::uint8_t* bits() { return data_.get(); }
    const std::uint8_t* bits() const { return data_.get(); }

    static std::size_t strideFor(int width, SampleDepth depth = SampleDepth::U8) {
        return (static_cast<std::size_t>(width) * 3 * BytesPerSample(depth) + 3) & ~std::size_t{3};
    }
    // A row's samples of the bitmap's depth (uint8_t, uint16_t or float).
    template <class T>
    T* rowAs(int y) { return reinterpret_cast<T*>(row(y)); }
    template <class T>
    const T* rowAs(int y) const { return reinterpret_cast<const T*>(row(y)); }

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
    SampleDepth depth_ = SampleDepth::U8;
    bool linear_ = false;
    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    std::unique_ptr<std::uint8_t, Free> data_;
};

}  // namespace vantrel

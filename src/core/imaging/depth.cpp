#include "imaging/depth.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "util/parallel.h"

namespace vantrel {

namespace {

// 16-bit linear to the screen's 0..255, unrounded.
const std::vector<float>& LinearU16Curve() {
    static const std::vector<float> curve = [] {
        std::vector<float> c(65536);
        for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<float>(255 * SrgbEncode(i / 65535.0));
        return c;
    }();
    return curve;
}

float ScreenOfFloat(float v, bool linear) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 1) return 255;
    return static_cast<float>(255 * (linear ? SrgbEncode(v) : v));
}

template <class Body>
void ForRows(int height, const Body& body) {
    ParallelFor(height, 16, [&](int r0, int r1) {
        for (int y = r0; y < r1; ++y) body(y);
    });
}

}  // namespace

double SrgbEncode(double linear) {
    if (!(linear > 0)) return 0;
    if (linear >= 1) return 1;
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

void ScreenRow(const Bitmap& image, int y, float* bgr) {
    const std::size_t n = static_cast<std::size_t>(image.width()) * 3;
    switch (image.depth()) {
    case SampleDepth::U8: {
        const std::uint8_t* p = image.row(y);
        for (std::size_t i = 0; i < n; ++i) bgr[i] = p[i];
        return;
    }
    case SampleDepth::U16: {
        const std::uint16_t* p = image.rowAs<std::uint16_t>(y);
        if (image.linear()) {
            const float* curve = LinearU16Curve().data();
            for (std::size_t i = 0; i < n; ++i) bgr[i] = curve[p[i]];
        } else {
            for (std::size_t i = 0; i < n; ++i) bgr[i] = p[i] * (255.0f / 65535.0f);
        }
        return;
    }
    case SampleDepth::Float: {
        const float* p = image.rowAs<float>(y);
        for (std::size_t i = 0; i < n; ++i) bgr[i] = ScreenOfFloat(p[i], image.linear());
        return;
    }
    }
}

Bitmap ToScreen(const Bitmap& image) {
    if (!image.deep()) return image;
    // Samples already encoded for the screen are only rounded to 8 bits.
    if (!image.linear()) {
        Bitmap out = ConvertDepth(image, SampleDepth::U8);
        out.setLinear(false);
        return out;
    }
    Bitmap out = Bitmap::Uninitialized(image.width(), image.height());
    ForRows(image.height(), [&](int y) {
        std::uint8_t* d = out.row(y);
        const std::size_t n = static_cast<std::size_t>(image.width()) * 3;
        thread_local std::vector<float> values;
        values.resize(n);
        ScreenRow(image, y, values.data());
        for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(std::nearbyint(values[i]));
    });
    return out;
}

Bitmap ConvertDepth(const Bitmap& image, SampleDepth depth) {
    if (image.depth() == depth) return image;
    Bitmap out = Bitmap::Uninitialized(image.width(), image.height(), depth);
    out.setLinear(image.linear());
    const SampleDepth from = image.depth();
    ForRows(image.height(), [&](int y) {
        const std::size_t n = static_cast<std::size_t>(image.width()) * 3;
        // Every sample as 0..1 first, then to the target.
        auto value = [&](std::size_t i) -> double {
            if (from == SampleDepth::U8) return image.row(y)[i] / 255.0;
            if (from == SampleDepth::U16) return image.rowAs<std::uint16_t>(y)[i] / 65535.0;
            return image.rowAs<float>(y)[i];
        };
        auto whole = [](double v, double top) {
            if (!(v > 0)) return 0.0;
            return v >= 1 ? top : std::nearbyint(v * top);
        };
        if (depth == SampleDepth::U8 && from == SampleDepth::U16) {
            const std::uint16_t* p = image.rowAs<std::uint16_t>(y);
            std::uint8_t* d = out.row(y);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>((p[i] * 255u + 32767u) / 65535u);
        } else if (depth == SampleDepth::U16 && from == SampleDepth::U8) {
            const std::uint8_t* p = image.row(y);
            std::uint16_t* d = out.rowAs<std::uint16_t>(y);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint16_t>(p[i] * 257);
        } else if (depth == SampleDepth::U8) {
            std::uint8_t* d = out.row(y);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(whole(value(i), 255));
        } else if (depth == SampleDepth::U16) {
            std::uint16_t* d = out.rowAs<std::uint16_t>(y);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint16_t>(whole(value(i), 65535));
        } else {
            float* d = out.rowAs<float>(y);
            for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<float>(value(i));
        }
    });
    return out;
}

}  // namespace vantrel

#pragma once

// Camera raw files for the tests: a DNG is a TIFF of one Bayer mosaic and a
// handful of tags that say how to develop it. The camera here sees sRGB
// primaries (its colour matrix is sRGB's), so a developed pixel is the
// scene's linear value times the exposure.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "metadata/tiff_directory.h"

namespace vantrel::test {

struct DngShot {
    double exposureTime = 1.0 / 16;  // seconds: the scene's light times this reaches the sensor
    double fNumber = 8;
    int iso = 100;
    std::string date = "2026:12:08 10:11:12";
    double noise = 2;  // counts of sensor noise (standard deviation)
    unsigned seed = 1;
};

inline constexpr int kDngBlack = 256, kDngWhite = 16383;

// `scene(x, y)` is the linear light (R, G, B) at a pixel for one second.
inline std::vector<std::uint8_t> MakeDng(int w, int h, const std::function<std::array<double, 3>(int, int)>& scene,
                                         const DngShot& shot) {
    std::mt19937 random(shot.seed);
    std::normal_distribution<double> noise(0, shot.noise);
    std::vector<std::uint8_t> mosaic(static_cast<std::size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int channel = (y % 2) + (x % 2);  // RGGB: red, green, green, blue
            const double light = scene(x, y)[static_cast<std::size_t>(channel)] * shot.exposureTime;
            const double counts = kDngBlack + light * (kDngWhite - kDngBlack) + noise(random);
            const auto v = static_cast<std::uint16_t>(std::clamp(std::nearbyint(counts), 0.0, double{kDngWhite}));
            std::memcpy(&mosaic[(static_cast<std::size_t>(y) * w + x) * 2], &v, 2);
        }
    auto ascii = [](std::uint16_t tag, const std::string& text) {
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        return TiffWriter::bytes(tag, kTiffAscii, bytes);
    };
    // Pairs of 32-bit numerators and denominators, little-endian as the writer.
    auto rationals = [](std::uint16_t tag, std::uint16_t type, const std::vector<double>& values, std::int32_t den) {
        std::vector<std::uint8_t> bytes;
        for (double v : values) {
            const std::int32_t pair[2] = {static_cast<std::int32_t>(std::lround(v * den)), den};
            const auto* p = reinterpret_cast<const std::uint8_t*>(pair);
            bytes.insert(bytes.end(), p, p + 8);
        }
        TiffEntry e = TiffWriter::bytes(tag, type, bytes);
        e.count = static_cast<std::uint32_t>(values.size());
        return e;
    };
    // The directories first and the pixels last, as cameras write them, so
    // a file cut short loses pixels. Built twice: the first tells where the
    // pixels start.
    auto build = [&](std::uint32_t dataAt) {
        TiffWriter out(false);
        const std::uint32_t exif = out.directory({
            rationals(33434, kTiffRational, {shot.exposureTime}, 1000000),  // ExposureTime
            rationals(33437, kTiffRational, {shot.fNumber}, 1000),          // FNumber
            out.shorts(34855, {static_cast<std::uint16_t>(shot.iso)}),      // ISOSpeedRatings
            ascii(36867, shot.date),                                       // DateTimeOriginal
            rationals(37386, kTiffRational, {35}, 1),                       // FocalLength
        });
        // XYZ (D65) to linear sRGB: the camera sees sRGB's primaries.
        const std::vector<double> toSrgb = {3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108,
                                            0.0415560, 0.0556434,  -0.2040259, 1.0572252};
        out.setFirstDirectory(out.directory({
            out.longs(254, {0}),  // NewSubfileType: the main image
            out.longs(kTagImageWidth, {static_cast<std::uint32_t>(w)}),
            out.longs(kTagImageLength, {static_cast<std::uint32_t>(h)}),
            out.shorts(kTagBitsPerSample, {16}),
            out.shorts(kTagCompression, {1}),
            out.shorts(kTagPhotometric, {32803}),  // colour filter array
            ascii(271, "Vantrel Test"),            // Make
            ascii(272, "Mosaic 16"),               // Model
            out.longs(kTagStripOffsets, {dataAt}),
            out.shorts(274, {1}),  // Orientation
            out.shorts(kTagSamplesPerPixel, {1}),
            out.longs(kTagRowsPerStrip, {static_cast<std::uint32_t>(h)}),
            out.longs(kTagStripByteCounts, {static_cast<std::uint32_t>(mosaic.size())}),
            out.shorts(kTagPlanarConfig, {1}),
            ascii(306, shot.date),                              // DateTime
            out.shorts(33421, {2, 2}),                          // CFARepeatPatternDim
            TiffWriter::bytes(33422, kTiffByte, {0, 1, 1, 2}),  // CFAPattern: RGGB
            out.longs(kTagExifIfd, {exif}),
            TiffWriter::bytes(50706, kTiffByte, {1, 4, 0, 0}),  // DNGVersion
            ascii(50708, "Vantrel Test Mosaic 16"),             // UniqueCameraModel
            out.shorts(50714, {kDngBlack}),                     // BlackLevel
            out.shorts(50717, {kDngWhite}),                     // WhiteLevel
            rationals(50721, 10, toSrgb, 10000000),             // ColorMatrix1 (signed)
            rationals(50728, kTiffRational, {1, 1, 1}, 1),      // AsShotNeutral: no white balance
            out.shorts(50778, {21}),                            // CalibrationIlluminant1: D65
        }));
        return out;
    };
    const std::uint32_t dataAt = static_cast<std::uint32_t>(build(0).size() + 1) & ~1u;
    TiffWriter out = build(dataAt);
    if (out.append(mosaic.data(), mosaic.size()) != dataAt) return {};
    return out.take();
}

}  // namespace vantrel::test

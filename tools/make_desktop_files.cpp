// Writes the files a desktop needs to know the program: the icon (one list
// of shapes drawn as SVG and rasterised to 48 and 256 px PNG) and the
// desktop entry, whose file associations come from the format table.
//
//   make_desktop_files <output directory> <application id>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "formats/png_codec.h"
#include "metadata/image_metadata.h"
#include "formats/image_format.h"
#include "util/file_io.h"

namespace {

struct Colour {
    double r, g, b;
    std::string hex() const {
        char text[8];
        std::snprintf(text, sizeof text, "#%02X%02X%02X", static_cast<int>(r * 255), static_cast<int>(g * 255),
                      static_cast<int>(b * 255));
        return text;
    }
};

// The icon on a 256-unit canvas: a dark tile, three frames turned a little
// against each other (the under-, normal and over-exposed shots) and the red
// control point mark that lines them up.
struct Shape {
    enum Kind { Tile, Frame, Ring, Bar } kind;
    double cx, cy, halfW, halfH, degrees, stroke;
    Colour colour;
};

const std::vector<Shape>& Icon() {
    static const std::vector<Shape> shapes = {
        {Shape::Tile, 128, 128, 120, 120, 0, 0, {0.16, 0.22, 0.29}},
        {Shape::Frame, 128, 128, 80, 58, -9, 11, {0.24, 0.44, 0.71}},
        {Shape::Frame, 128, 128, 80, 58, 9, 11, {0.96, 0.71, 0.0}},
        {Shape::Frame, 128, 128, 80, 58, 0, 11, {0.95, 0.95, 0.95}},
        {Shape::Ring, 128, 128, 24, 24, 0, 8, {0.9, 0.12, 0.12}},
        {Shape::Bar, 128, 128, 40, 3.5, 0, 0, {0.9, 0.12, 0.12}},
        {Shape::Bar, 128, 128, 3.5, 40, 0, 0, {0.9, 0.12, 0.12}},
    };
    return shapes;
}

std::string Svg() {
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 256 256\">\n";
    auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        return std::string(text);
    };
    for (const Shape& s : Icon()) {
        const std::string x = number(s.cx - s.halfW), y = number(s.cy - s.halfH), w = number(2 * s.halfW),
                          h = number(2 * s.halfH), fill = s.colour.hex();
        switch (s.kind) {
            case Shape::Tile:
                svg += "  <rect x=\"" + x + "\" y=\"" + y + "\" width=\"" + w + "\" height=\"" + h +
                       "\" rx=\"40\" fill=\"" + fill + "\"/>\n";
                break;
            case Shape::Frame:
                svg += "  <rect x=\"" + x + "\" y=\"" + y + "\" width=\"" + w + "\" height=\"" + h +
                       "\" fill=\"none\" stroke=\"" + fill + "\" stroke-width=\"" + number(s.stroke) + "\" transform=\"rotate(" +
                       number(s.degrees) + " " + number(s.cx) + " " + number(s.cy) + ")\"/>\n";
                break;
            case Shape::Ring:
                svg += "  <circle cx=\"" + number(s.cx) + "\" cy=\"" + number(s.cy) + "\" r=\"" + number(s.halfW) +
                       "\" fill=\"none\" stroke=\"" + fill + "\" stroke-width=\"" + number(s.stroke) + "\"/>\n";
                break;
            case Shape::Bar:
                svg += "  <rect x=\"" + x + "\" y=\"" + y + "\" width=\"" + w + "\" height=\"" + h + "\" fill=\"" + fill + "\"/>\n";
                break;
        }
    }
    return svg + "</svg>\n";
}

// Whether a point of the 256-unit canvas is inside a shape.
bool Covers(const Shape& s, double x, double y) {
    const double a = -s.degrees * std::numbers::pi / 180;
    const double dx = x - s.cx, dy = y - s.cy;
    const double u = std::fabs(dx * std::cos(a) - dy * std::sin(a)), v = std::fabs(dx * std::sin(a) + dy * std::cos(a));
    switch (s.kind) {
        case Shape::Tile: {
            const double r = 40, ex = std::max(0.0, u - (s.halfW - r)), ey = std::max(0.0, v - (s.halfH - r));
            return u <= s.halfW && v <= s.halfH && std::hypot(ex, ey) <= r;
        }
        case Shape::Frame: {
            const double half = s.stroke / 2;
            const bool outer = u <= s.halfW + half && v <= s.halfH + half;
            const bool inner = u < s.halfW - half && v < s.halfH - half;
            return outer && !inner;
        }
        case Shape::Ring: return std::fabs(std::hypot(dx, dy) - s.halfW) <= s.stroke / 2;
        case Shape::Bar: return u <= s.halfW && v <= s.halfH;
    }
    return false;
}

// The shapes painted over each other at `size` pixels, 8 x 8 samples a pixel.
std::vector<std::uint8_t> Png(int size) {
    vantrel::Bitmap image(size, size);
    std::vector<std::uint8_t> alpha(static_cast<std::size_t>(size) * size);
    constexpr int kSamples = 8;
    const double unit = 256.0 / size;
    for (int py = 0; py < size; ++py)
        for (int px = 0; px < size; ++px) {
            double r = 0, g = 0, b = 0, covered = 0;
            for (int sy = 0; sy < kSamples; ++sy)
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double x = (px + (sx + 0.5) / kSamples) * unit, y = (py + (sy + 0.5) / kSamples) * unit;
                    const Shape* top = nullptr;
                    for (const Shape& s : Icon())
                        if (Covers(s, x, y)) top = &s;
                    if (!top) continue;
                    r += top->colour.r, g += top->colour.g, b += top->colour.b, covered += 1;
                }
            std::uint8_t* p = image.row(py) + 3 * px;
            const double n = std::max(covered, 1.0);  // unassociated: the colour of what covers the pixel
            p[0] = static_cast<std::uint8_t>(std::lround(255 * b / n));
            p[1] = static_cast<std::uint8_t>(std::lround(255 * g / n));
            p[2] = static_cast<std::uint8_t>(std::lround(255 * r / n));
            alpha[static_cast<std::size_t>(py) * size + px] =
                static_cast<std::uint8_t>(std::lround(255 * covered / (kSamples * kSamples)));
        }
    return vantrel::EncodePng(image, alpha.data(), vantrel::ImageMetadata());
}

std::string DesktopEntry(const std::string& id) {
    std::string mime;
    for (const vantrel::ImageFormat& f : vantrel::ImageFormats()) mime += std::string(f.mimeType) + ";";
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vantrel\n"
           "GenericName=Bracket Aligner\n"
           "Comment=Align hand-held bracketed exposures for HDR merging\n"
           "Exec=vantrel %F\n"
           "Icon=" + id + "\n"
           "Terminal=false\n"
           "Categories=Graphics;Photography;\n"
           "Keywords=HDR;bracket;exposure;align;lens;distortion;\n"
           "MimeType=" + mime + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_desktop_files <output directory> <application id>\n");
        return 2;
    }
    const std::string dir = argv[1], id = argv[2];
    try {
        vantrel::WriteFileAtomically(dir + "/" + id + ".svg", Svg());
        vantrel::WriteFileAtomically(dir + "/" + id + "-48.png", Png(48));
        vantrel::WriteFileAtomically(dir + "/" + id + "-256.png", Png(256));
        vantrel::WriteFileAtomically(dir + "/" + id + ".desktop", DesktopEntry(id));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_desktop_files: %s\n", e.what());
        return 1;
    }
    return 0;
}

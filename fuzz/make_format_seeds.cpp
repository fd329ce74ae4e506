// Writes small TIFF and PNG files, with and without alpha, carrying the
// metadata of each camera JPEG given, a PNG with a lying chunk length, and
// small DNG raw files (whole and cut short): seeds for the format fuzzers.
#include <iterator>
#include <string>
#include <vector>

#include "formats/source_metadata.h"
#include "formats/png_codec.h"
#include "formats/tiff_codec.h"
#include "imaging/depth.h"
#include "../tests/core/dng_file.h"
#include "util/file_io.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string out = argv[1];
    vantrel::Bitmap image(23, 11);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 69; ++x) image.row(y)[x] = static_cast<std::uint8_t>(x * 7 + y * 13);
    std::vector<std::uint8_t> alpha(23 * 11, 255);
    for (int i = 0; i < 23 * 11; i += 3) alpha[i] = 0;
    for (int i = 2; i < argc; ++i) {
        vantrel::SourceMetadata source;
        source.read(argv[i]);
        const vantrel::ImageMetadata m = source.forImage(23, 11);
        const std::string base = out + "/seed" + std::to_string(i);
        vantrel::WriteFileAtomically(base + ".tif", vantrel::EncodeTiff(image, i % 2 ? alpha.data() : nullptr, m));
        vantrel::WriteFileAtomically(base + ".png", vantrel::EncodePng(image, i % 2 ? nullptr : alpha.data(), m));
    }
    // A chunk after the header that claims two gigabytes: nothing may be set
    // aside on its word (the replay runs under a malloc limit).
    std::vector<std::uint8_t> claims = vantrel::EncodePng(image, nullptr, {});
    const std::uint8_t chunk[] = {0x77, 0x35, 0x94, 0x00, 'i', 'T', 'X', 't', 'X', 'M', 'L', 0};
    claims.insert(claims.begin() + 33, std::begin(chunk), std::end(chunk));
    vantrel::WriteFileAtomically(out + "/claims.png", claims);
    // 16-bit and float pictures too.
    vantrel::WriteFileAtomically(out + "/deep16.tif", vantrel::EncodeTiff(vantrel::ConvertDepth(image, vantrel::SampleDepth::U16), alpha.data(), {}));
    vantrel::WriteFileAtomically(out + "/float.tif", vantrel::EncodeTiff(vantrel::ConvertDepth(image, vantrel::SampleDepth::Float), nullptr, {}));
    vantrel::WriteFileAtomically(out + "/deep16.png", vantrel::EncodePng(vantrel::ConvertDepth(image, vantrel::SampleDepth::U16), nullptr, {}));
    for (int n = 0; n < 3; ++n) {
        const std::vector<std::uint8_t> dng = vantrel::test::MakeDng(24 + 8 * n, 16 + 4 * n, [n](int x, int y) {
            return std::array<double, 3>{0.5 + x * 0.01, 0.3 + n * 0.2, 0.4 + y * 0.02};
        }, {1.0 / (2 << n)});
        vantrel::WriteFileAtomically(out + "/raw" + std::to_string(n) + ".dng", dng);
        const std::vector<std::uint8_t> cut(dng.begin(), dng.begin() + static_cast<std::ptrdiff_t>(dng.size() * 3 / 4));
        vantrel::WriteFileAtomically(out + "/cut" + std::to_string(n) + ".dng", cut);
    }
    return 0;
}

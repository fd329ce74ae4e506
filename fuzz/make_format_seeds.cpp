// Writes small TIFF and PNG files, with and without alpha, carrying the
// metadata of each camera JPEG given, and a PNG with a lying chunk length:
// seeds for the TIFF and PNG fuzzers.
#include <iterator>
#include <string>
#include <vector>

#include "formats/source_metadata.h"
#include "formats/png_codec.h"
#include "formats/tiff_codec.h"
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
    return 0;
}

// Reading from a file, as the program does: the decoders and metadata readers
// behind a path, where reads are system calls and a slow read is a hang.
#include <unistd.h>

#include <cstring>
#include <string>

#include "formats/image_file.h"
#include "formats/source_metadata.h"
#include "util/error.h"
#include "util/file_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The format the file's start names; anything else is tried as a JPEG.
    auto starts = [&](const char* magic, std::size_t n) { return size >= n && std::memcmp(data, magic, n) == 0; };
    const char* extension = starts("\x89PNG", 4)                                ? ".png"
                            : starts("II*", 3) || starts("MM\0*", 4)            ? ".tif"
                            : starts("BM", 2)                                   ? ".bmp"
                                                                                : ".jpg";
    static const std::string base = "/tmp/vantrel-fuzz-" + std::to_string(::getpid());
    const std::string path = base + extension;
    try {
        vantrel::WriteFileAtomically(path, data, size);
        vantrel::Bitmap picture;
        vantrel::LoadImageFile(path, picture);
        vantrel::SourceMetadata metadata;
        metadata.read(path);
        vantrel::ReadImageExifTags(path);
    } catch (const vantrel::Error&) {
    }
    ::unlink(path.c_str());
    return 0;
}

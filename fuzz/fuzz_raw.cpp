// Camera raw files: LibRaw's development and exiv2's reading of the
// metadata, as a file on disk (exiv2 reads raw containers by path).
#include <unistd.h>

#include <string>

#include "fuzz_common.h"
#include "formats/raw_codec.h"
#include "metadata/raw_metadata.h"
#include "util/error.h"
#include "util/file_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        FuzzDecoder([](const std::uint8_t* d, std::size_t n) { return vantrel::DecodeRaw(d, n, vantrel::RawDevelopment::Linear); },
                    data, size);
    } catch (const vantrel::OutOfMemory&) {  // a header's honest claim beyond the run's limit
    }
    static const std::string path = "/tmp/vantrel-fuzz-raw-" + std::to_string(::getpid()) + ".dng";
    try {
        vantrel::WriteFileAtomically(path, data, size);
        vantrel::ReadRawMetadata(path, true);
    } catch (const vantrel::Error&) {
    }
    ::unlink(path.c_str());
    return 0;
}

#include "fuzz_common.h"
#include "formats/jpeg_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzDecoder(vantrel::DecodeJpeg, data, size);
}

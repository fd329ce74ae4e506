#include "fuzz_common.h"
#include "imaging/jpeg_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzDecoder(vantrel::DecodeJpeg, data, size);
}

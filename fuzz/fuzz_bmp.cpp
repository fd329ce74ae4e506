#include "fuzz_common.h"
#include "formats/bmp_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzDecoder(vantrel::DecodeBmp, data, size);
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// The MD5 digest of `size` bytes as 32 upper-case hex digits: the GUID that
// ties an Extended XMP packet to the main one.
std::string Md5Hex(const std::uint8_t* data, std::size_t size);

}  // namespace vantrel

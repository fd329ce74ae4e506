#pragma once

#include <cstdint>

namespace vantrel {

// Bytes this process can still take: the smaller of the memory the system
// has available and what an address-space limit leaves; the largest value
// when neither is known.
std::uint64_t AvailableMemory();

}  // namespace vantrel

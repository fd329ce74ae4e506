#include "util/cpu.h"

#include <algorithm>
#include <atomic>

namespace vantrel {

namespace {

InstructionSet Detect() {
#ifdef VANTREL_X86
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512vbmi");
    return avx512 ? InstructionSet::Avx512 : avx2 ? InstructionSet::Avx2 : InstructionSet::Plain;
#else
    return InstructionSet::Plain;
#endif
}

std::atomic<InstructionSet> g_cap{InstructionSet::Avx512};

}  // namespace

InstructionSet DetectedInstructionSet() {
    static const InstructionSet detected = Detect();
    return detected;
}

InstructionSet ActiveInstructionSet() { return std::min(DetectedInstructionSet(), g_cap.load(std::memory_order_relaxed)); }

void CapInstructionSet(InstructionSet widest) { g_cap.store(widest); }

const char* InstructionSetName(InstructionSet set) {
    switch (set) {
        case InstructionSet::Avx512: return "AVX-512";
        case InstructionSet::Avx2: return "AVX2";
        default: return "plain";
    }
}

}  // namespace vantrel

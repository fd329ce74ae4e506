#pragma once

// One decision, for every pixel kernel, of which instruction set to use: the
// widest the processor offers, unless capped (tests compare the narrower
// kernels with the wider ones; benchmarks measure each level).

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTREL_X86 1
// Function attributes for kernels compiled for one level.
#define VANTREL_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define VANTREL_TARGET_AVX512 __attribute__((target("avx2,fma,avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi")))
#else
#define VANTREL_TARGET_AVX2
#define VANTREL_TARGET_AVX512
#endif

// Defines `name` to run `name##Body` (an always-inline function of the same
// parameters: one plain loop for the vectoriser) compiled for AVX2 where the
// active level allows, and as plain code elsewhere.
#define VANTREL_DISPATCH_AVX2(name, params, args)         \
    VANTREL_TARGET_AVX2 void name##Avx2 params { name##Body args; } \
    void name params {                                    \
        if (::vantrel::UseAvx2()) return name##Avx2 args; \
        name##Body args;                                  \
    }

// The same with an AVX-512 build as well.
#define VANTREL_DISPATCH_AVX512(name, params, args)                       \
    VANTREL_TARGET_AVX512 void name##Avx512 params { name##Body args; } \
    VANTREL_TARGET_AVX2 void name##Avx2 params { name##Body args; }     \
    void name params {                                                  \
        if (::vantrel::UseAvx512()) return name##Avx512 args;           \
        if (::vantrel::UseAvx2()) return name##Avx2 args;               \
        name##Body args;                                                \
    }

namespace vantrel {

// Narrowest first. Avx2 includes FMA; Avx512 is the F, VL, BW, DQ and VBMI
// subsets together (Ice Lake, Zen 4 and later).
enum class InstructionSet { Plain = 0, Avx2 = 1, Avx512 = 2 };

// The level in force: the processor's, or the cap if that is narrower.
InstructionSet ActiveInstructionSet();
inline bool UseAvx2() { return ActiveInstructionSet() >= InstructionSet::Avx2; }
inline bool UseAvx512() { return ActiveInstructionSet() >= InstructionSet::Avx512; }

// What the processor offers, whatever the cap.
InstructionSet DetectedInstructionSet();

// Caps the level (InstructionSet::Avx512 lifts the cap). Thread-safe; kernels
// running meanwhile finish on the level they started with.
void CapInstructionSet(InstructionSet widest);

const char* InstructionSetName(InstructionSet set);

}  // namespace vantrel

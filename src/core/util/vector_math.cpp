#include "util/vector_math.h"

#include "util/cpu.h"

#include <algorithm>
#include <cmath>

#if defined(VANTREL_HAS_LIBMVEC)
#include <immintrin.h>

// glibc's vector variants (libmvec), named by the vector function ABI.
extern "C" {
__attribute__((target("avx2,fma"))) __m256d _ZGVdN4vv_atan2(__m256d y, __m256d x);
__attribute__((target("avx2,fma"))) __m256d _ZGVdN4v_sin(__m256d a);
__attribute__((target("avx2,fma"))) __m256d _ZGVdN4v_cos(__m256d a);
__attribute__((target("avx512f,avx512dq"))) __m512d _ZGVeN8vv_atan2(__m512d y, __m512d x);
__attribute__((target("avx512f,avx512dq"))) __m512d _ZGVeN8v_sin(__m512d a);
__attribute__((target("avx512f,avx512dq"))) __m512d _ZGVeN8v_cos(__m512d a);
}
#endif

namespace vantrel {
namespace {

#if defined(VANTREL_HAS_LIBMVEC)
// Each function runs whole vectors, and the tail through the same vector
// function on padded lanes.
__attribute__((target("avx512f,avx512dq"))) void Atan2Eight(const double* y, const double* x, double* out, int count) {
    for (int i = 0; i < count; i += 8) {
        const __mmask8 lanes = static_cast<__mmask8>(count - i >= 8 ? 0xFF : (1u << (count - i)) - 1);
        const __m512d ys = _mm512_maskz_loadu_pd(lanes, y + i);
        const __m512d xs = _mm512_mask_loadu_pd(_mm512_set1_pd(1), lanes, x + i);
        _mm512_mask_storeu_pd(out + i, lanes, _ZGVeN8vv_atan2(ys, xs));
    }
}

__attribute__((target("avx512f,avx512dq"))) void SinCosEight(const double* a, double* s, double* c, int count) {
    for (int i = 0; i < count; i += 8) {
        const __mmask8 lanes = static_cast<__mmask8>(count - i >= 8 ? 0xFF : (1u << (count - i)) - 1);
        const __m512d angles = _mm512_maskz_loadu_pd(lanes, a + i);
        _mm512_mask_storeu_pd(s + i, lanes, _ZGVeN8v_sin(angles));
        _mm512_mask_storeu_pd(c + i, lanes, _ZGVeN8v_cos(angles));
    }
}

// Whole vectors straight from the arrays; the tail through the same
// function on padded lanes.
__attribute__((target("avx2,fma"))) void Atan2Four(const double* y, const double* x, double* out, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4)
        _mm256_storeu_pd(out + i, _ZGVdN4vv_atan2(_mm256_loadu_pd(y + i), _mm256_loadu_pd(x + i)));
    if (i == count) return;
    alignas(32) double ys[4] = {0, 0, 0, 0}, xs[4] = {1, 1, 1, 1}, angles[4];
    std::copy(y + i, y + count, ys);
    std::copy(x + i, x + count, xs);
    _mm256_store_pd(angles, _ZGVdN4vv_atan2(_mm256_load_pd(ys), _mm256_load_pd(xs)));
    std::copy_n(angles, count - i, out + i);
}

// Sines and cosines apart: the joint function writes each lane through its
// own pointer, and reading those back stalls for longer than a second call.
__attribute__((target("avx2,fma"))) void SinCosFour(const double* a, double* s, double* c, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d v = _mm256_loadu_pd(a + i);
        _mm256_storeu_pd(s + i, _ZGVdN4v_sin(v));
        _mm256_storeu_pd(c + i, _ZGVdN4v_cos(v));
    }
    if (i == count) return;
    alignas(32) double angles[4] = {0, 0, 0, 0}, sines[4], cosines[4];
    std::copy(a + i, a + count, angles);
    const __m256d v = _mm256_load_pd(angles);
    _mm256_store_pd(sines, _ZGVdN4v_sin(v));
    _mm256_store_pd(cosines, _ZGVdN4v_cos(v));
    std::copy_n(sines, count - i, s + i);
    std::copy_n(cosines, count - i, c + i);
}
#endif

}  // namespace

void VectorAtan2(const double* y, const double* x, double* out, int count) {
#if defined(VANTREL_HAS_LIBMVEC)
    if (UseAvx512()) return Atan2Eight(y, x, out, count);
    if (UseAvx2()) return Atan2Four(y, x, out, count);
#endif
    for (int i = 0; i < count; ++i) out[i] = std::atan2(y[i], x[i]);
}

void VectorSinCos(const double* angle, double* sines, double* cosines, int count) {
#if defined(VANTREL_HAS_LIBMVEC)
    if (UseAvx512()) return SinCosEight(angle, sines, cosines, count);
    if (UseAvx2()) return SinCosFour(angle, sines, cosines, count);
#endif
    for (int i = 0; i < count; ++i) {
        sines[i] = std::sin(angle[i]);
        cosines[i] = std::cos(angle[i]);
    }
}

}  // namespace vantrel

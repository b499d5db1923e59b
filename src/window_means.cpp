// The 3x3 window means, eight columns at a time. This file is compiled once per
// instruction set (WINDOW_MEANS_VARIANT names the entry of each build); the baseline
// build also holds window_means(), which picks the widest variant the processor runs.
//
// Plain double additions give the defined sums whenever a window holds no negative
// value and its largest value is below 128 times its smallest non-zero one: every
// partial sum is then a multiple of the smallest value's last place and below 2^64
// times it, so rounding to 64 bits before rounding to double changes nothing. Other
// windows, and sums that are not finite, are redone the defined way.
#include "window_means.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>

#ifndef WINDOW_MEANS_VARIANT
#define WINDOW_MEANS_VARIANT window_means_base
#define WINDOW_MEANS_DISPATCH
#endif

void WINDOW_MEANS_VARIANT(const double* above, const double* row, const double* below, double* out, int columns);

namespace {

constexpr double one_ninth = 1.0 / 9.0;  // the means are the sums times this
using Lanes = double __attribute__((vector_size(64)));
using Masks = long long __attribute__((vector_size(64)));
constexpr int lanes = 8;

double defined_sum(const double* const lines[3], int j) {
    double dval = 0.0;
    for (int l = 0; l < 3; ++l)
        for (int k = -1; k <= 1; ++k) dval = static_cast<double>(static_cast<long double>(dval) + lines[l][j + k]);
    return dval;
}

double defined_mean(const double* const lines[3], int j) {
    return static_cast<double>(static_cast<long double>(defined_sum(lines, j)) * one_ninth);
}

#if defined(__AVX512F__) || defined(__FMA__)
// a * b - c rounded once.
inline Lanes fused_multiply_subtract(Lanes a, Lanes b, Lanes c) {
#if defined(__AVX512F__)
    return _mm512_fmsub_pd(a, b, c);
#else
    __m256d lo[3], hi[3];
    std::memcpy(lo, &a, 32), std::memcpy(hi, reinterpret_cast<char*>(&a) + 32, 32);
    std::memcpy(lo + 1, &b, 32), std::memcpy(hi + 1, reinterpret_cast<char*>(&b) + 32, 32);
    std::memcpy(lo + 2, &c, 32), std::memcpy(hi + 2, reinterpret_cast<char*>(&c) + 32, 32);
    const __m256d rlo = _mm256_fmsub_pd(lo[0], lo[1], lo[2]), rhi = _mm256_fmsub_pd(hi[0], hi[1], hi[2]);
    Lanes r;
    std::memcpy(&r, &rlo, 32);
    std::memcpy(reinterpret_cast<char*>(&r) + 32, &rhi, 32);
    return r;
#endif
}

// sums x one_ninth rounded to 64 bits and then to double. The exact product is p + e
// (e from a fused multiply-subtract); rounding e to the 64-bit grid of p, 2^-63 times
// p's power of two, and adding it to p rounds as the two steps do. Lanes where p is
// not zero and outside the normal range, where e might not be exact, are marked.
inline Lanes ninths(Lanes sums, Masks& outside) {
    const Lanes c = sums - sums + one_ninth;
    const Lanes p = sums * c;
    const Lanes e = fused_multiply_subtract(sums, c, p);
    Masks bits;
    std::memcpy(&bits, &p, sizeof p);
    bits &= 0x7FF0000000000000LL;
    Lanes power;
    std::memcpy(&power, &bits, sizeof bits);
    const Lanes grid = power * 0x1.8p-11;  // its last place is 2^-63 times the power
    const Lanes magnitude = p < 0.0 ? -p : p;
    outside = (p != 0.0) & ((magnitude < 0x1p-960) | (magnitude >= 0x1p1022));
    return p + ((e + grid) - grid);
}
#define WINDOW_MEANS_IN_LANES 1
#endif

// True when every lane of the mask is set.
inline bool every_lane(Masks m) {
#if defined(__AVX512DQ__)
    __m512i v;
    std::memcpy(&v, &m, sizeof v);
    return _mm512_movepi64_mask(v) == 0xFF;
#elif defined(__AVX2__)
    __m256d lo, hi;
    std::memcpy(&lo, &m, 32);
    std::memcpy(&hi, reinterpret_cast<const char*>(&m) + 32, 32);
    return (_mm256_movemask_pd(lo) & _mm256_movemask_pd(hi)) == 0xF;
#else
    for (int l = 0; l < lanes; ++l)
        if (m[l] == 0) return false;
    return true;
#endif
}

}  // namespace

void WINDOW_MEANS_VARIANT(const double* above, const double* row, const double* below, double* out, int columns) {
    const double* const lines[3] = {above, row, below};
    const Lanes zero = {}, infinity = zero + HUGE_VAL;
    int j = 1;
    for (; j + lanes <= columns - 1; j += lanes) {
        Lanes total = zero, largest = zero, smallest = infinity, least = infinity;
        for (const double* line : lines) {
            for (int k = -1; k <= 1; ++k) {
                Lanes v;
                std::memcpy(&v, line + j + k, sizeof v);
                total = total + v;
                largest = v > largest ? v : largest;
                smallest = v < smallest ? v : smallest;
                const Lanes positive = v > zero ? v : infinity;
                least = positive < least ? positive : least;
            }
        }
#ifdef WINDOW_MEANS_IN_LANES
        Masks outside;
        const Lanes means = ninths(total, outside);
        std::memcpy(out + j, &means, sizeof means);
        const Masks plain = (smallest >= zero) & (largest < least * 128.0) & (total - total == zero) & ~outside;
#else
        for (int l = 0; l < lanes; ++l) out[j + l] = static_cast<double>(static_cast<long double>(total[l]) * one_ninth);
        const Masks plain = (smallest >= zero) & (largest < least * 128.0) & (total - total == zero);
#endif
        if (!every_lane(plain))
            for (int l = 0; l < lanes; ++l) out[j + l] = defined_mean(lines, j + l);
    }
    for (; j < columns - 1; ++j) out[j] = defined_mean(lines, j);
}

#ifdef WINDOW_MEANS_DISPATCH
void window_means_v3(const double*, const double*, const double*, double*, int);
void window_means_v4(const double*, const double*, const double*, double*, int);

namespace {
using Variant = void (*)(const double*, const double*, const double*, double*, int);

Variant widest_variant() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
        return window_means_v4;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2"))
        return window_means_v3;
    return window_means_base;
}

const Variant chosen = widest_variant();
}  // namespace

void window_means(const double* above, const double* row, const double* below, double* out, int columns) {
    chosen(above, row, below, out, columns);
}
#endif

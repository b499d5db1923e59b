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
#define WINDOW_SPREAD_VARIANT row_spread_base
#define WINDOW_MEANS_DISPATCH
#endif

void WINDOW_MEANS_VARIANT(const double* above, const double* row, const double* below, double* out, int columns,
                          bool middle_plain);
RowSpread WINDOW_SPREAD_VARIANT(const double* row, int columns);

namespace {

constexpr double one_ninth = 1.0 / 9.0;  // the means are the sums times this
using Lanes = double __attribute__((vector_size(64)));
using Masks = long long __attribute__((vector_size(64)));
constexpr int lanes = 8;
constexpr int middle_from = window_middle_from;

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

namespace {

// The statistics of a window, or of a stretch of three lines, that decide whether
// plain double additions are exact: nothing negative, nothing that is not a number,
// and the largest value below 128 times the smallest non-zero one.
struct Spread {
    Lanes largest, smallest, least, special;
};

inline void take(Spread& s, Lanes v) {
    const Lanes zero = {}, infinity = zero + HUGE_VAL;
    s.largest = v > s.largest ? v : s.largest;
    s.smallest = v < s.smallest ? v : s.smallest;
    const Lanes positive = v > zero ? v : infinity;
    s.least = positive < s.least ? positive : s.least;
    s.special = s.special + (v - v);  // stays 0 unless some value is infinite or NaN
}

inline Spread no_values() {
    const Lanes zero = {}, infinity = zero + HUGE_VAL;
    return {zero, infinity, infinity, zero};
}

inline Masks plain_lanes(const Spread& s) {
    const Lanes zero = {};
    return (s.smallest >= zero) & (s.largest < s.least * 128.0) & (s.special == zero);
}

inline Lanes load(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Sums of eight windows, plainly; the means follow from them.
inline Lanes plain_sums(const double* const lines[3], int j) {
    Lanes total = {};
    for (int l = 0; l < 3; ++l)
        for (int k = -1; k <= 1; ++k) total = total + load(lines[l] + j + k);
    return total;
}

// The means of eight windows from their plain sums, or false when some lane must be
// redone the defined way.
inline bool store_means(Lanes total, double* out) {
#ifdef WINDOW_MEANS_IN_LANES
    Masks outside;
    const Lanes means = ninths(total, outside);
    std::memcpy(out, &means, sizeof means);
    return every_lane(~outside);
#else
    for (int l = 0; l < lanes; ++l) out[l] = static_cast<double>(static_cast<long double>(total[l]) * one_ninth);
    return true;
#endif
}

}  // namespace

RowSpread WINDOW_SPREAD_VARIANT(const double* row, int columns) {
    Spread s = no_values();
    int j = middle_from;
    const int to = columns - middle_from;
    for (; j + lanes <= to; j += lanes) take(s, load(row + j));
    for (; j < to; ++j) {
        Lanes v = {};
        v += row[j];  // every lane the same value
        take(s, v);
    }
    RowSpread r{0.0, HUGE_VAL, HUGE_VAL, false};
    for (int l = 0; l < lanes; ++l) {
        r.largest = s.largest[l] > r.largest ? s.largest[l] : r.largest;
        r.smallest = s.smallest[l] < r.smallest ? s.smallest[l] : r.smallest;
        r.least = s.least[l] < r.least ? s.least[l] : r.least;
        r.special = r.special || s.special[l] != 0.0;
    }
    return r;
}

void WINDOW_MEANS_VARIANT(const double* above, const double* row, const double* below, double* out, int columns,
                          bool middle_plain) {
    const double* const lines[3] = {above, row, below};
    const int to = columns - middle_from;
    int j = 1;
    for (; j + lanes <= columns - 1; j += lanes) {
        if (middle_plain && j - 1 >= middle_from && j + lanes + 1 <= to) {
            if (!store_means(plain_sums(lines, j), out + j))
                for (int l = 0; l < lanes; ++l) out[j + l] = defined_mean(lines, j + l);
            continue;
        }
        Spread spread = no_values();
        Lanes total = {};
        for (const double* line : lines) {
            for (int k = -1; k <= 1; ++k) {
                const Lanes v = load(line + j + k);
                total = total + v;
                take(spread, v);
            }
        }
        const bool means_ok = store_means(total, out + j);
        if (!means_ok || !every_lane(plain_lanes(spread)))
            for (int l = 0; l < lanes; ++l) out[j + l] = defined_mean(lines, j + l);
    }
    for (; j < columns - 1; ++j) out[j] = defined_mean(lines, j);
}

#ifdef WINDOW_MEANS_DISPATCH
void window_means_v3(const double*, const double*, const double*, double*, int, bool);
void window_means_v4(const double*, const double*, const double*, double*, int, bool);
RowSpread row_spread_v3(const double*, int);
RowSpread row_spread_v4(const double*, int);

namespace {

struct Variant {
    void (*means)(const double*, const double*, const double*, double*, int, bool);
    RowSpread (*spread)(const double*, int);
};

Variant widest_variant() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
        return {window_means_v4, row_spread_v4};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2"))
        return {window_means_v3, row_spread_v3};
    return {window_means_base, row_spread_base};
}

const Variant chosen = widest_variant();

}  // namespace

RowSpread row_spread(const double* row, int columns) { return chosen.spread(row, columns); }

void window_means(const double* above, const double* row, const double* below, double* out, int columns,
                  bool middle_plain) {
    chosen.means(above, row, below, out, columns, middle_plain);
}
#endif

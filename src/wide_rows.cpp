// Row operations in vectors of doubles, as many as the instruction set's registers
// hold. This file is compiled once per
// instruction set: WIDE_ROWS_NAME names each build's table of functions, and the
// baseline build also holds the choice among them. Every operation has a fast way
// that is provably the defined result and the defined way, in x87 extended
// precision, for the lanes where the proof does not hold.
#include "wide_rows.h"

#include <immintrin.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#ifndef WIDE_ROWS_NAME
#define WIDE_ROWS_NAME wide_rows_base
#define WIDE_ROWS_CHOICE
#endif

extern const WideRows WIDE_ROWS_NAME;

namespace {

using ld = long double;
// As many doubles as the instruction set's registers hold: a vector wider than them is
// split by the compiler into pieces it moves through memory, slower than no vectors.
#if defined(__AVX512F__)
constexpr int lanes = 8;
#elif defined(__AVX__)
constexpr int lanes = 4;
#else
constexpr int lanes = 2;
#endif
using Lanes = double __attribute__((vector_size(8 * lanes)));
using Masks = long long __attribute__((vector_size(8 * lanes)));
using Ints = int __attribute__((vector_size(4 * lanes)));
using Shorts = std::uint16_t __attribute__((vector_size(2 * lanes)));
using Floats = float __attribute__((vector_size(4 * lanes)));
using Bytes = std::uint8_t __attribute__((vector_size(lanes)));
using SignedShorts = std::int16_t __attribute__((vector_size(2 * lanes)));
using Unsigned = std::uint32_t __attribute__((vector_size(4 * lanes)));
constexpr double one_ninth = 1.0 / 9.0;  // the means are the sums times this
constexpr int middle_from = window_middle_from;

inline Lanes load(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Every lane x, a -0.0 included (0.0 + x would make it +0.0).
inline Lanes splat(double x) {
    Lanes v;
    for (int l = 0; l < lanes; ++l) v[l] = x;
    return v;
}

inline Masks bits_of(Lanes v) {
    Masks m;
    std::memcpy(&m, &v, sizeof v);
    return m;
}

inline Lanes from_bits(Masks m) {
    Lanes v;
    std::memcpy(&v, &m, sizeof m);
    return v;
}

// True when every lane of the mask is set (the lanes of a mask are all ones or zero).
inline bool every_lane(Masks m) {
#if defined(__AVX512DQ__)
    __m512i v;
    std::memcpy(&v, &m, sizeof v);
    return _mm512_movepi64_mask(v) == 0xFF;
#elif defined(__AVX512F__)
    __m512i v;
    std::memcpy(&v, &m, sizeof v);
    return _mm512_cmpneq_epi64_mask(v, _mm512_setzero_si512()) == 0xFF;
#elif defined(__AVX__)
    __m256d v;
    std::memcpy(&v, &m, sizeof v);
    return _mm256_movemask_pd(v) == 0xF;
#else
    __m128d v;
    std::memcpy(&v, &m, sizeof v);
    return _mm_movemask_pd(v) == 0x3;
#endif
}

inline bool no_lane(Masks m) { return every_lane(~m); }

// The power of two of each lane's exponent (0 for zero and subnormal lanes).
inline Lanes power_of(Lanes v) { return from_bits(bits_of(v) & 0x7FF0000000000000LL); }

inline Lanes magnitude(Lanes v) { return from_bits(bits_of(v) & 0x7FFFFFFFFFFFFFFFLL); }

#if defined(__AVX512F__) || defined(__FMA__)
#define WIDE_ROWS_FMA 1
// a * b + c rounded once (sign -1) and a * b - c rounded once (sign +1).
template <int sign>
inline Lanes fused(Lanes a, Lanes b, Lanes c) {
#if defined(__AVX512F__)
    return sign < 0 ? _mm512_fmadd_pd(a, b, c) : _mm512_fmsub_pd(a, b, c);
#else
    return sign < 0 ? _mm256_fmadd_pd(a, b, c) : _mm256_fmsub_pd(a, b, c);
#endif
}
inline Lanes fused_multiply_add(Lanes a, Lanes b, Lanes c) { return fused<-1>(a, b, c); }
inline Lanes fused_multiply_subtract(Lanes a, Lanes b, Lanes c) { return fused<1>(a, b, c); }
#endif

// --- 3x3 window means -------------------------------------------------------------

double defined_sum(const double* const lines[3], int j) {
    double dval = 0.0;
    for (int l = 0; l < 3; ++l)
        for (int k = -1; k <= 1; ++k)
            dval = static_cast<double>(static_cast<ld>(dval) + lines[l][j + k]);
    return dval;
}

double defined_mean(const double* const lines[3], int j) {
    return static_cast<double>(static_cast<ld>(defined_sum(lines, j)) * one_ninth);
}

// The statistics that decide whether plain additions are exact: nothing negative or
// non-finite, and the largest value below 128 times the smallest non-zero one. Every
// partial sum is then a multiple of the smallest value's last place and below 2^64
// times it, so rounding it to 64 bits before rounding it to double changes nothing.
struct Spread {
    Lanes largest, smallest, least, special;
};

inline Spread no_values() {
    const Lanes infinity = splat(HUGE_VAL);
    return {Lanes{}, infinity, infinity, Lanes{}};
}

inline void take(Spread& s, Lanes v) {
    const Lanes zero = {}, infinity = splat(HUGE_VAL);
    s.largest = v > s.largest ? v : s.largest;
    s.smallest = v < s.smallest ? v : s.smallest;
    const Lanes positive = v > zero ? v : infinity;
    s.least = positive < s.least ? positive : s.least;
    s.special = s.special + (v - v);  // stays 0 unless some value is infinite or NaN
}

inline Masks plain_lanes(const Spread& s) {
    const Lanes zero = {};
    return (s.smallest >= zero) & (s.largest < s.least * 128.0) & (s.special == zero);
}

// Folds row[from..to) into a spread.
inline void take_span(Spread& s, const double* row, int from, int to) {
    int j = from;
    for (; j + lanes <= to; j += lanes) take(s, load(row + j));
    for (; j < to; ++j) take(s, splat(row[j]));
}

RowSpread reduced(const Spread& s, bool zeros) {
    RowSpread r{0.0, HUGE_VAL, HUGE_VAL, false, zeros};
    for (int l = 0; l < lanes; ++l) {
        r.largest = s.largest[l] > r.largest ? s.largest[l] : r.largest;
        r.smallest = s.smallest[l] < r.smallest ? s.smallest[l] : r.smallest;
        r.least = s.least[l] < r.least ? s.least[l] : r.least;
        r.special = r.special || s.special[l] != 0.0;
    }
    return r;
}

// Sums of a vector's windows, plainly.
inline Lanes plain_sums(const double* const lines[3], int j) {
    Lanes total = {};
    for (int l = 0; l < 3; ++l)
        for (int k = -1; k <= 1; ++k) total = total + load(lines[l] + j + k);
    return total;
}

// The means of a vector's windows from their sums; false when a lane must be redone the
// defined way. The exact product of a sum and 1/9 is p + e (e from a fused multiply-
// subtract); rounding e to the 64-bit grid of p (adding and taking back a value whose
// last place is that grid) and adding it to p rounds as the two defined steps do. e
// is exact only when p is zero or in the normal range, well away from its ends.
inline bool means_of(Lanes total, Lanes& means) {
#ifdef WIDE_ROWS_FMA
    const Lanes c = splat(one_ninth);
    const Lanes p = total * c;
    const Lanes e = fused_multiply_subtract(total, c, p);
    const Lanes grid = power_of(p) * 0x1.8p-11;  // its last place is 2^-63 times p's power
    const Lanes size = magnitude(p);
    means = p + ((e + grid) - grid);
    return no_lane((p != 0.0) & ((size < 0x1p-960) | (size >= 0x1p1022)));
#else
    for (int l = 0; l < lanes; ++l)
        means[l] = static_cast<double>(static_cast<ld>(total[l]) * one_ninth);
    return true;
#endif
}

// What a pass keeps of the values it writes: the spread of the middle columns, and
// whether a zero lies from column 1 to columns - 2.
struct Written {
    Spread spread = no_values();
    Masks zero_lanes = {};
    bool zero = false;

    // The values v just stored at row[j..j+lanes-1]: taken from the registers where the
    // block lies wholly inside both ranges, from the row where it straddles an end.
    void note(Lanes v, const double* row, int j, int columns) {
        if (j >= spread_from && j + lanes <= columns - spread_from)
            take(spread, v);
        else
            note_span(row, j, j + lanes, columns);
        if (j >= 1 && j + lanes <= columns - 1)
            zero_lanes |= v == 0.0;
        else
            note_zeros(row, j, j + lanes, columns);
    }

    // The values stored at row[from..to), one by one.
    void note_span(const double* row, int from, int to, int columns) {
        for (int j = from > spread_from ? from : spread_from;
             j < (to < columns - spread_from ? to : columns - spread_from); ++j)
            take(spread, splat(row[j]));
    }
    void note_zeros(const double* row, int from, int to, int columns) {
        for (int j = from > 1 ? from : 1; j < (to < columns - 1 ? to : columns - 1); ++j)
            zero = zero || row[j] == 0.0;
    }

    RowSpread result() const { return reduced(spread, zero || !no_lane(zero_lanes)); }
};

int next_zero(const double* row, int from, int to);

RowSpread row_spread(const double* row, int columns) {
    Spread s = no_values();
    take_span(s, row, spread_from, columns - spread_from);
    const int last = columns - 1;
    return reduced(s, next_zero(row, 1, last) < last);
}

// Each block's means are clamped, and noted where the spread is asked for, in the
// registers they are computed in: clamping a stored mean is what a separate clamp pass
// does to it.
void window_means(const double* above, const double* row, const double* below, double* out,
                  int columns, bool middle_plain, Bounds bounds, RowSpread* spread) {
    const double* const lines[3] = {above, row, below};
    const Lanes low = splat(bounds.lowest), high = splat(bounds.highest);
    const int plain_to = columns - middle_from;
    Written written;
    int j = 1;
    for (; j + lanes <= columns - 1; j += lanes) {
        Lanes means;
        bool exact;
        if (middle_plain && j - 1 >= middle_from && j + lanes + 1 <= plain_to) {
            exact = means_of(plain_sums(lines, j), means);
        } else {
            Spread windows = no_values();
            Lanes total = {};
            for (const double* line : lines) {
                for (int k = -1; k <= 1; ++k) {
                    const Lanes v = load(line + j + k);
                    total = total + v;
                    take(windows, v);
                }
            }
            exact = means_of(total, means) && every_lane(plain_lanes(windows));
        }
        if (!exact)
            for (int l = 0; l < lanes; ++l) means[l] = defined_mean(lines, j + l);
        means = means < low ? low : means;
        means = means > high ? high : means;
        store(out + j, means);
        if (spread != nullptr) written.note(means, out, j, columns);
    }
    const int from = j;
    for (; j < columns - 1; ++j) {
        double mean = defined_mean(lines, j);
        if (mean < bounds.lowest) mean = bounds.lowest;
        if (mean > bounds.highest) mean = bounds.highest;
        out[j] = mean;
    }
    if (spread == nullptr) return;
    written.note_span(out, from, columns - 1, columns);
    written.note_zeros(out, from, columns - 1, columns);
    *spread = written.result();
}

// --- The kernel's division by the area ----------------------------------------------

double defined_division(double accum, double area, bool keep_sign) {
    const double q = static_cast<double>(static_cast<ld>(accum) / area);
    return keep_sign || q > 0 ? q : std::fabs(q);
}

// The quotient rounded to 64 bits and then to double differs from the quotient rounded
// once only where the first rounding lands exactly half way between two doubles, which
// needs the quotient within u/4096 of that half way point (u the last place of q, the
// double nearest the quotient). So a lane keeps q where the quotient is provably within
// u/2 - u/4096 of it; the others, and those outside the normal range, take the defined
// division. q comes from the reciprocal and one correction (a - q0 * area is within a
// few units of its last place, q is then within an ulp of the quotient); its remainder
// r = a - q * area is then exact (a fused multiply-subtract), and r times the rounded
// reciprocal is within 2^-51 of the quotient's distance from q relatively, so the test
// keeps a hair of u * 2^-44 to spare. A lane whose q is not the nearest double to the
// quotient is more than u/2 from it and fails the test, but for a power of two q, whose
// neighbour below is u/2 away: those lanes take the defined division too. The area is
// positive and rounding to nearest is symmetric, so the signed quotient is q, bit for
// bit, and its magnitude q's.
RowSpread divide_by_area(double* row, int columns, double area, bool keep_sign) {
    Written written;
    int j = 0;
#ifdef WIDE_ROWS_FMA
    const Lanes divisor = splat(area), reciprocal = splat(1.0 / area);
    for (; j + lanes <= columns; j += lanes) {
        const Lanes a = load(row + j);
        const Lanes q0 = a * reciprocal;
        const Lanes q =
            fused_multiply_add(-fused_multiply_subtract(q0, divisor, a), reciprocal, q0);
        const Lanes r = -fused_multiply_subtract(q, divisor, a);  // a - q * area, exactly
        const Lanes distance = magnitude(r * reciprocal);
        const Lanes u = power_of(q) * 0x1p-52;
        const Lanes qsize = magnitude(q), asize = magnitude(a);
        const Masks inside = (qsize >= 0x1p-960) & (qsize < 0x1p1000) & (asize >= 0x1p-900) &
                             ((bits_of(q) & 0x000FFFFFFFFFFFFFLL) != 0);
        const Masks kept = (inside & (distance < u * (0x1.ffcp-2 - 0x1p-44))) | (a == 0.0);
        Lanes quotients = keep_sign ? q : magnitude(q);
        if (!every_lane(kept))
            for (int l = 0; l < lanes; ++l) quotients[l] = defined_division(a[l], area, keep_sign);
        store(row + j, quotients);
        written.note(quotients, row, j, columns);
    }
#endif
    const int from = j;
    for (; j < columns; ++j) row[j] = defined_division(row[j], area, keep_sign);
    written.note_span(row, from, columns, columns);
    written.note_zeros(row, from, columns, columns);
    return written.result();
}

// --- Zeros ----------------------------------------------------------------------------

int next_zero(const double* row, int from, int to) {
    int j = from;
    for (; j + lanes <= to; j += lanes)
        if (!no_lane(load(row + j) == 0.0)) break;
    for (; j < to; ++j)
        if (row[j] == 0.0) return j;
    return to;
}

// --- Stored cells -----------------------------------------------------------------------

// elevation x factor, truncated toward zero, for a factor of 1, 10, 100 or 1000, or
// false from 2^53 on. The product is exact in 64 bits (the factor has at most 7
// significant bits), so its truncation is that of the exact product. Below 2^53 the
// rounded product p is at most half a unit away from it: the truncation of p, unless
// p is whole, where the sign of the rounding error decides whether the exact product
// lies just inside it.
inline bool truncated_product(double v, double factor, std::int64_t& t) {
    const double p = v * factor;
    if (!(std::fabs(p) < 0x1p53)) return false;
    t = static_cast<std::int64_t>(p);
    if (static_cast<double>(t) != p || t == 0) return true;
    // v in halves of 26 and 27 bits: each times the factor is exact, and so is their
    // distance from p (Sterbenz); the error's sign survives the last sum.
    const double big = v * 134217729.0;
    const double high = big - (big - v), low = v - high;
    const double error = (high * factor - p) + low * factor;
    if (t > 0 && error < 0) --t;
    if (t < 0 && error > 0) ++t;
    return true;
}

template <typename Cell>
std::uint64_t stored_cells(const double* line, Cell* cells, int columns, double factor) {
    const std::int64_t lowest = sizeof(Cell) == 2 ? 0 : INT32_MIN,
                       highest = sizeof(Cell) == 2 ? 65535 : INT32_MAX;
    std::uint64_t reduced = 0;
    const auto one = [&](int j) {
        std::int64_t t;
        if (truncated_product(line[j], factor, t)) {
            if (t < lowest || t > highest) ++reduced;
            cells[j] = static_cast<Cell>(static_cast<std::uint64_t>(t));  // the low bits
        } else {
            ++reduced;
            cells[j] = static_cast<Cell>(defined_stored_bits(line[j], factor));
        }
    };
    int j = 0;
    const Lanes f = splat(factor);
    Ints outside_lanes = {};
#if defined(__AVX512F__) && defined(__AVX512VL__)
    // The same test and conversion in AVX-512's own terms: comparisons into mask
    // registers, an unsigned comparison for both ends of the 16-bit range, and the
    // narrowing store, where the generic vectors below go through vector masks.
    const __m512d fv = _mm512_set1_pd(factor), limit = _mm512_set1_pd(0x1p31);
    std::uint64_t outside = 0;
    for (; j + lanes <= columns; j += lanes) {
        const __m512d p = _mm512_mul_pd(_mm512_loadu_pd(line + j), fv);
        const __m256i t = _mm512_maskz_cvttpd_epi32(0xFF, p);
        const __mmask8 small = _mm512_cmp_pd_mask(_mm512_abs_pd(p), limit, _CMP_LT_OQ);
        const __mmask8 whole =
            _mm512_cmp_pd_mask(_mm512_maskz_cvtepi32_pd(0xFF, t), p, _CMP_EQ_OQ) &
            _mm512_cmp_pd_mask(p, _mm512_setzero_pd(), _CMP_NEQ_UQ);
        if (small != 0xFF || whole != 0) {
            for (int l = 0; l < lanes; ++l) one(j + l);
            continue;
        }
        if constexpr (sizeof(Cell) == 2) {
            outside += static_cast<std::uint64_t>(
                __builtin_popcount(_mm256_cmpgt_epu32_mask(t, _mm256_set1_epi32(65535))));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + j), _mm256_cvtepi32_epi16(t));
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(cells + j), t);
        }
    }
    reduced += outside;
#endif
    for (; j + lanes <= columns; j += lanes) {
        // Lanes below 2^31 truncate in int32; whole products and the rest go one by one.
        const Lanes p = load(line + j) * f;
        const Masks small = magnitude(p) < 0x1p31;
        if (!every_lane(small)) {
            for (int l = 0; l < lanes; ++l) one(j + l);
            continue;
        }
        const Ints t = __builtin_convertvector(p, Ints);
        const Lanes back = __builtin_convertvector(t, Lanes);
        if (!no_lane((back == p) & (p != 0.0))) {
            for (int l = 0; l < lanes; ++l) one(j + l);
            continue;
        }
        if constexpr (sizeof(Cell) == 2) {
            outside_lanes -= (t < 0) | (t > 65535);  // each lane that is outside adds 1
            const Shorts low = __builtin_convertvector(t, Shorts);  // modulo 65536
            std::memcpy(cells + j, &low, sizeof low);
        } else {
            std::memcpy(cells + j, &t, sizeof t);
        }
    }
    for (; j < columns; ++j) one(j);
    for (int l = 0; l < lanes; ++l) reduced += static_cast<std::uint64_t>(outside_lanes[l]);
    return reduced;
}

std::uint64_t stored16(const double* line, std::uint16_t* cells, int columns, double factor) {
    return stored_cells(line, cells, columns, factor);
}

std::uint64_t stored32(const double* line, std::int32_t* cells, int columns, double factor) {
    return stored_cells(line, cells, columns, factor);
}

// --- Reading ------------------------------------------------------------------------------

// In units of the quotient's last place a cell v (|v| <= 2^31) over 10^k (k <= 3) is N /
// 5^k for a whole N, at least 1/250 away from every tie between two doubles, while
// rounding to 64 bits first moves it by at most 2^-12: one rounding gives the same,
// which one double division gives. With fused operations the vectors take the
// reciprocal y = 1/unit rounded, q0 = v * y rounded (within 1.5 units of the quotient's
// last place, 2^e with e <= -25), the remainder r = v - q0 * unit, exact (a multiple of
// 2^e below 2^(e+12)), and q0 + r * y rounded once: it lies within 2^-52 units of the
// quotient, far inside the 1/250 to the nearest tie, so it rounds as the quotient does.
// (Checked for every 32-bit cell and the three units.)
inline Lanes divided(Lanes v, double unit) {
#ifdef WIDE_ROWS_FMA
    const Lanes divisor = splat(unit), reciprocal = splat(1.0 / unit);
    const Lanes q0 = v * reciprocal;
    return fused_multiply_add(-fused_multiply_subtract(q0, divisor, v), reciprocal, q0);
#else
    return v / splat(unit);
#endif
}

// Whole cells go through 32-bit integers, which widen to doubles in vectors.
template <typename Cell, typename CellLanes>
void widen(const Cell* cells, double* row, int columns, double unit) {
    int j = 0;
    for (; j + lanes <= columns; j += lanes) {
        CellLanes c;
        std::memcpy(&c, cells + j, sizeof c);
        const Lanes v = __builtin_convertvector(__builtin_convertvector(c, Ints), Lanes);
        store(row + j, unit == 1.0 ? v : divided(v, unit));
    }
    for (; j < columns; ++j)
        row[j] = unit == 1.0 ? static_cast<double>(cells[j]) : static_cast<double>(cells[j]) / unit;
}

template <typename Cell, typename CellLanes>
void range(const Cell* cells, int columns, int& min, int& max) {
    Ints low = Ints{} + min, high = Ints{} + max;
    int j = 0;
    for (; j + lanes <= columns; j += lanes) {
        CellLanes c;
        std::memcpy(&c, cells + j, sizeof c);
        const Ints v = __builtin_convertvector(c, Ints);
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    for (int l = 0; l < lanes; ++l) {
        if (low[l] < min) min = low[l];
        if (high[l] > max) max = high[l];
    }
    for (; j < columns; ++j) {
        const int v = cells[j];
        if (v < min) min = v;
        if (v > max) max = v;
    }
}

void widen16(const std::uint16_t* cells, double* row, int columns, double unit) {
    widen<std::uint16_t, Shorts>(cells, row, columns, unit);
}
void widen32(const std::int32_t* cells, double* row, int columns, double unit) {
    widen<std::int32_t, Ints>(cells, row, columns, unit);
}

void range16(const std::uint16_t* cells, int columns, int& min, int& max) {
    range<std::uint16_t, Shorts>(cells, columns, min, max);
}

void range32(const std::int32_t* cells, int columns, int& min, int& max) {
    range<std::int32_t, Ints>(cells, columns, min, max);
}

// The sequential scan ends with the smallest and largest values; only a minimum of zero
// has two forms, and the scan keeps the first zero it meets. high starts at or above
// +0.0, so a largest value of zero never replaces it.
void fold_range(const double* row, int columns, double& low, double& high) {
    Lanes smallest = splat(HUGE_VAL), largest = splat(-HUGE_VAL);
    int j = 0;
    for (; j + lanes <= columns; j += lanes) {
        const Lanes v = load(row + j);
        smallest = v < smallest ? v : smallest;
        largest = v > largest ? v : largest;
    }
    double m = HUGE_VAL, M = -HUGE_VAL;
    for (int l = 0; l < lanes; ++l) {
        if (smallest[l] < m) m = smallest[l];
        if (largest[l] > M) M = largest[l];
    }
    for (; j < columns; ++j) {
        if (row[j] < m) m = row[j];
        if (row[j] > M) M = row[j];
    }
    if (low > m) low = m == 0.0 ? row[next_zero(row, 0, columns)] : m;
    if (high < M) high = M;
}

// --- Cells for the format layer ------------------------------------------------------

// Vector conversions go through 32-bit integers, which every instruction set converts
// to and from doubles in vectors (a compiler turns narrower or unsigned lanes into one
// conversion per lane where the set has no instruction for them).

// Values within the range of Cell truncated toward zero. Unsigned 32-bit lanes from 2^31
// on are taken 2^31 lower first, exactly (the difference of two doubles within a factor
// of two of each other), and their top bit set back.
template <typename Cell, typename CellLanes>
inline CellLanes truncated(Lanes t) {
    if constexpr (std::is_same_v<Cell, std::uint32_t>) {
        const Masks high = t >= 0x1p31;
        const Ints low = __builtin_convertvector(high ? t - 0x1p31 : t, Ints);
        const Ints top = __builtin_convertvector(high, Ints) & INT32_MIN;
        return reinterpret_cast<CellLanes>(low | top);
    } else {
        return __builtin_convertvector(__builtin_convertvector(t, Ints), CellLanes);
    }
}

// Cells as doubles, exactly. Whole ones go through 32-bit integers; unsigned 32-bit
// lanes are taken as signed ones 2^31 lower, and 2^31 added back, exactly (a whole
// number below 2^33).
template <typename Cell, typename CellLanes>
inline Lanes widened(CellLanes c) {
    if constexpr (std::is_same_v<Cell, std::uint32_t>)
        return __builtin_convertvector(reinterpret_cast<Ints>(c ^ 0x80000000u), Lanes) + 0x1p31;
    else if constexpr (std::is_same_v<Cell, float>)
        return __builtin_convertvector(c, Lanes);
    else
        return __builtin_convertvector(__builtin_convertvector(c, Ints), Lanes);
}

// Whole cells: every value of the types fits a 64-bit integer one by one.
template <typename Cell, typename CellLanes, bool has_sign>
void whole_cells(const double* values, Cell* cells, int count) {
    const double lowest = static_cast<double>(std::numeric_limits<Cell>::lowest()),
                 highest = static_cast<double>(std::numeric_limits<Cell>::max());
    const auto whole = [=](double v) {
        double t = has_sign && v < 0.0 ? v - 0.5 : v + 0.5;
        t = t < lowest ? lowest : t;
        t = t > highest ? highest : t;
        return static_cast<Cell>(static_cast<long long>(t));
    };
    const Lanes low = splat(lowest), high = splat(highest), half = splat(0.5);
    int j = 0;
    for (; j + lanes <= count; j += lanes) {
        const Lanes v = load(values + j);
        Lanes t = has_sign ? (v < Lanes{} ? v - half : v + half) : v + half;
        t = t < low ? low : t;
        t = t > high ? high : t;
        const CellLanes c = truncated<Cell, CellLanes>(t);
        std::memcpy(cells + j, &c, sizeof c);
    }
    for (; j < count; ++j) cells[j] = whole(values[j]);
}

void float_cells(const double* values, float* cells, int count) {
    int j = 0;
    for (; j + lanes <= count; j += lanes) {
        const Floats c = __builtin_convertvector(load(values + j), Floats);
        std::memcpy(cells + j, &c, sizeof c);
    }
    for (; j < count; ++j) cells[j] = static_cast<float>(values[j]);
}

void to_cells(const double* values, void* cells, int count, CellKind kind) {
    switch (kind) {
        case CellKind::u8:
            return whole_cells<std::uint8_t, Bytes, false>(
                values, static_cast<std::uint8_t*>(cells), count);
        case CellKind::u16:
            return whole_cells<std::uint16_t, Shorts, false>(
                values, static_cast<std::uint16_t*>(cells), count);
        case CellKind::i16:
            return whole_cells<std::int16_t, SignedShorts, true>(
                values, static_cast<std::int16_t*>(cells), count);
        case CellKind::u32:
            return whole_cells<std::uint32_t, Unsigned, false>(
                values, static_cast<std::uint32_t*>(cells), count);
        case CellKind::i32:
            return whole_cells<std::int32_t, Ints, true>(values, static_cast<std::int32_t*>(cells),
                                                         count);
        case CellKind::f32:
            return float_cells(values, static_cast<float*>(cells), count);
    }
}

// Every value of these types is a double exactly, in vectors as one by one.
template <typename Cell, typename CellLanes>
void exact_values(const void* from, double* values, int count) {
    const Cell* cells = static_cast<const Cell*>(from);
    int j = 0;
    for (; j + lanes <= count; j += lanes) {
        CellLanes c;
        std::memcpy(&c, cells + j, sizeof c);
        store(values + j, widened<Cell>(c));
    }
    for (; j < count; ++j) values[j] = static_cast<double>(cells[j]);
}

void from_cells(const void* cells, double* values, int count, CellKind kind) {
    switch (kind) {
        case CellKind::u8:
            return exact_values<std::uint8_t, Bytes>(cells, values, count);
        case CellKind::u16:
            return exact_values<std::uint16_t, Shorts>(cells, values, count);
        case CellKind::i16:
            return exact_values<std::int16_t, SignedShorts>(cells, values, count);
        case CellKind::u32:
            return exact_values<std::uint32_t, Unsigned>(cells, values, count);
        case CellKind::i32:
            return exact_values<std::int32_t, Ints>(cells, values, count);
        case CellKind::f32:
            return exact_values<float, Floats>(cells, values, count);
    }
}

// The values looked at a vector at a time, without a branch for each: "not >=" and
// "not <=" hold for a NaN.
LineLook look_at(const double* values, int count, double below, double above, double value,
                 double window) {
    const Lanes low = splat(below), high = splat(above), centre = splat(value),
                reach = splat(window);
    Masks outside = {}, within = {};
    int j = 0;
    for (; j + lanes <= count; j += lanes) {
        const Lanes v = load(values + j);
        outside |= ~((v >= low) & (v <= high));
        within |= magnitude(v - centre) <= reach;
    }
    LineLook look{no_lane(outside), !no_lane(within)};
    for (; j < count; ++j) {
        look.plain = look.plain && values[j] >= below && values[j] <= above;
        look.near = look.near || std::fabs(values[j] - value) <= window;
    }
    return look;
}

}  // namespace

const WideRows WIDE_ROWS_NAME = {row_spread, window_means, divide_by_area, next_zero, stored16,
                                 stored32,   widen16,      widen32,        range16,   range32,
                                 fold_range, to_cells,     from_cells,     look_at};

#ifdef WIDE_ROWS_CHOICE
extern const WideRows wide_rows_v3;
extern const WideRows wide_rows_v4;

namespace {
// The variants are built for the instruction-set levels as wholes, so the processor
// must have the whole level.
bool runs(int level) {
    __builtin_cpu_init();
#if defined(__clang__) && __clang_major__ < 16
    // Older clang knows no level names: the level's vector and bit features stand for
    // it (every processor that has them has the rest of its level too).
    const bool v3 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    const bool v4 = v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                    __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512vl");
#else
    const bool v3 = __builtin_cpu_supports("x86-64-v3");
    const bool v4 = __builtin_cpu_supports("x86-64-v4");
#endif
    return level == 0 || (level == 1 ? v3 : v4);
}
}  // namespace

const WideRows* wide_rows_variant(int level) {
    static const WideRows* const all[3] = {&wide_rows_base, &wide_rows_v3, &wide_rows_v4};
    return level >= 0 && level < 3 && runs(level) ? all[level] : nullptr;
}

namespace {
// The widest variant the processor runs, or a narrower one where DEM_VARNEL_WIDE_ROWS
// (0, 1 or 2) asks for it: the tests compare whole runs of every variant.
const WideRows& chosen() {
    const char* asked = std::getenv("DEM_VARNEL_WIDE_ROWS");
    int level =
        asked != nullptr && *asked >= '0' && *asked <= '2' && asked[1] == '\0' ? *asked - '0' : 2;
    while (wide_rows_variant(level) == nullptr) --level;
    return *wide_rows_variant(level);
}
}  // namespace

const WideRows& wide_rows = chosen();

// Each middle window's nine cells lie within [m, M], the smallest and largest values of
// the three spreads, m > 0. Each of the eight additions and the product with 1/9 (itself
// 2^-54 below it) lose at most 2^-52 of the value relatively, whichever way the mean is
// computed, so the mean lies within [m (1 - 2^-48), M (1 + 2^-48)]; the bounds below are
// wider still.
bool means_spread(const RowSpread& a, const RowSpread& b, const RowSpread& c, RowSpread& means) {
    if (a.special || b.special || c.special || !(a.smallest > 0.0) || !(b.smallest > 0.0) ||
        !(c.smallest > 0.0))
        return false;
    const double m = std::fmin(a.smallest, std::fmin(b.smallest, c.smallest));
    const double M = std::fmax(a.largest, std::fmax(b.largest, c.largest));
    const double low = m * (1.0 - 0x1p-46), high = M * (1.0 + 0x1p-46);
    means = {high, low, low, false, true};  // nothing is told of zeros at the edges
    return true;
}

bool plain_together(const RowSpread& a, const RowSpread& b, const RowSpread& c) {
    const double largest = std::fmax(a.largest, std::fmax(b.largest, c.largest));
    const double smallest = std::fmin(a.smallest, std::fmin(b.smallest, c.smallest));
    const double least = std::fmin(a.least, std::fmin(b.least, c.least));
    return !a.special && !b.special && !c.special && smallest >= 0.0 && largest < least * 128.0;
}

std::uint32_t defined_stored_bits(double elevation, double factor) {
    const ld t = std::trunc(static_cast<ld>(elevation) * factor);  // never to the nearest
    if (!std::isfinite(t)) return 0;
    if (std::fabs(t) < 9.2e18L) return static_cast<std::uint32_t>(static_cast<std::int64_t>(t));
    ld m = std::fmod(t, 4294967296.0L);  // exact
    if (m < 0) m += 4294967296.0L;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(m));
}
#endif

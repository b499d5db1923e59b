// Row operations of the engine and the raw writer in wide vectors, for the widest
// instruction set the processor has. Each gives the defined result bit for bit: a
// fast way where it is provably the same, the defined way (x87 extended precision)
// for the lanes where it might not be.
#pragma once

#include <cmath>
#include <cstdint>

// Plain double additions give the defined sums of a 3x3 window when it holds nothing
// negative or non-finite and its largest value is below 128 times its smallest
// non-zero one. The middle windows' cells lie in columns window_middle_from to
// columns - window_middle_from - 1; a row's spread is taken over those and one more on
// each side, spread_from to columns - spread_from - 1, so that it also bounds the means
// of the middle windows (means_spread).
constexpr int window_middle_from = 8;
constexpr int spread_from = window_middle_from - 1;

// A row's spread: at least over its middle windows' cells, as the functions that make
// one say.
struct RowSpread {
    double largest, smallest, least;  // least: the smallest value above zero
    bool special;                     // some value is infinite or not a number
    bool zeros;                       // some cell from 1 to columns - 2 is 0.0 (either sign)
};

// True when every window in the middle of the three rows can be summed plainly.
bool plain_together(const RowSpread& a, const RowSpread& b, const RowSpread& c);

// A spread of the middle windows' means of three rows, told from the rows' spreads
// (taken over spread_from on) where those hold only positive finite values; false
// otherwise.
bool means_spread(const RowSpread& a, const RowSpread& b, const RowSpread& c, RowSpread& means);

// The range a smoothed row is clamped to; the default clamps nothing.
struct Bounds {
    double lowest = -HUGE_VAL, highest = HUGE_VAL;
};

// What one look along a line tells: whether every value is a number within [below,
// above], and whether some value lies within a window of another (a NaN is within
// none).
struct LineLook {
    bool plain, near;
};

// The cell types to_cells writes.
enum class CellKind { u8, u16, i16, u32, i32, f32 };

struct WideRows {
    // The spread of a row's cells spread_from to columns - spread_from - 1, and whether
    // it holds a zero from column 1 to columns - 2.
    RowSpread (*row_spread)(const double* row, int columns);

    // out[j] for 1 <= j <= columns - 2: the nine values of the window of column j added
    // in line then column order (above[j-1], above[j], above[j+1], row[j-1], ...
    // below[j+1]), then multiplied by 1/9 rounded to double, each result rounded to
    // double from extended precision, then raised to bounds.lowest if below it and
    // lowered to bounds.highest if above it (values that are not numbers stay).
    // middle_plain: plain_together() holds. `spread`, unless null, receives the spread
    // of out.
    void (*window_means)(const double* above, const double* row, const double* below, double* out,
                         int columns, bool middle_plain, Bounds bounds, RowSpread* spread);

    // row[j] = |row[j] / area| for 0 <= j < columns, the quotient rounded to double from
    // extended precision; with `keep_sign`, row[j] / area. Returns the spread of the
    // quotients.
    RowSpread (*divide_by_area)(double* row, int columns, double area, bool keep_sign);

    // The first index from `from` on where row[index] is 0.0, or `to`.
    int (*next_zero)(const double* row, int from, int to);

    // Stored cells of a line of elevations: the truncation toward zero of elevation x
    // factor (1, 10, 100 or 1000) formed in extended precision, keeping the low 16 or
    // 32 bits. Returns how many cells fell outside [0, 65535] or the int32 range.
    std::uint64_t (*stored16)(const double* line, std::uint16_t* cells, int columns, double factor);
    std::uint64_t (*stored32)(const double* line, std::int32_t* cells, int columns, double factor);

    // Raw cells widened to doubles (16-bit ones without sign) and divided by `unit`, 1,
    // 10, 100 or 1000: the quotient rounded to 64 bits and then to double.
    void (*widen16)(const std::uint16_t* cells, double* row, int columns, double unit);
    void (*widen32)(const std::int32_t* cells, double* row, int columns, double unit);

    // The range of raw cells folded into [min, max] by strict comparisons.
    void (*range16)(const std::uint16_t* cells, int columns, int& min, int& max);
    void (*range32)(const std::int32_t* cells, int columns, int& min, int& max);

    // Folds a row into [low, high] as the scan "if (low > v) low = v; if (high < v)
    // high = v" over it in order does, for finite values.
    void (*fold_range)(const double* row, int columns, double& low, double& high);

    // Values as cells of a type, each value within half a unit of the type's range (a
    // float's: within it): a whole number is the value plus 0.5 (minus 0.5 below zero,
    // for a type with a sign) rounded to double, brought into the type's range and
    // truncated toward zero; a float is the value rounded to float.
    void (*to_cells)(const double* values, void* cells, int count, CellKind kind);

    // Cells of a type as doubles, exactly.
    void (*from_cells)(const void* cells, double* values, int count, CellKind kind);

    // Whether every value lies in [below, above] and whether one lies within `window`
    // of `value`.
    LineLook (*look_at)(const double* values, int count, double below, double above, double value,
                        double window);
};

// The variant for this processor.
extern const WideRows& wide_rows;

// Variant 0 (baseline x86-64), 1 (x86-64-v3) or 2 (x86-64-v4), or null when the
// processor cannot run it; for the tests that compare them.
const WideRows* wide_rows_variant(int level);

// The stored value of one elevation the defined way: the low 32 bits of the extended
// product truncated toward zero; 0 when it is not a number or infinite.
std::uint32_t defined_stored_bits(double elevation, double factor);

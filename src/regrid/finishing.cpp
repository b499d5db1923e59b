// The finishing passes: the fillings, for either engine, and the means of the valid
// cells for voids kept. Sums carry a 64-bit significand and are rounded to double where
// a value is stored; the order of the additions is fixed by the order of the neighbours.
#include "regrid/finishing.h"

#include <algorithm>
#include <cmath>

#include "wide_rows.h"

namespace {

using ld = long double;

inline double sum(double a, double b) { return static_cast<double>(static_cast<ld>(a) + b); }

constexpr double one_ninth = 1.0 / 9.0;  // the smoothing's means are the sums times this

// The eight neighbours, clockwise from the upper left; the order fixes the additions.
constexpr int neighbour_line[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
constexpr int neighbour_column[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

// What an empty cell is: 0.0 to the classic engine, a NaN to the void-aware one, whose
// second filling also takes the mean of the neighbours that are not empty only (the
// classic one takes every neighbour's, empty ones included, as it always has).
struct ZeroIsEmpty {
    static bool empty(double v) { return v == 0.0; }
    static int next(const double* row, int from, int to) {
        return wide_rows.next_zero(row, from, to);
    }
    static constexpr bool empty_neighbours_count = true;
};

struct NanIsEmpty {
    static bool empty(double v) { return std::isnan(v); }
    static int next(const double* row, int from, int to) {
        while (from < to && !std::isnan(row[from])) ++from;
        return from;
    }
    static constexpr bool empty_neighbours_count = false;
};

// The second filling of cell (i, j), which is empty.
template <typename Cells>
void fill_from_all_cell(const OutputRing& t, int i, int j, int lines, int columns) {
    double dval = 0.0;
    int ico = 0;
    for (int k = 0; k < 8; ++k) {
        const int l = i + neighbour_line[k], c = j + neighbour_column[k];
        if (l >= 0 && l < lines && c >= 0 && c < columns &&
            (Cells::empty_neighbours_count || !Cells::empty(t[l][c]))) {
            ++ico;
            dval = sum(dval, t[l][c]);
        }
    }
    if (ico > 0) t[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
}

// The column ranges of a row where its empty cells may be, within [from, to): the whole
// range, or the parts of it before spread_from and from columns - spread_from on, in
// increasing order and never a cell twice.
struct Ranges {
    int count;
    int from[2], to[2];
};

Ranges ranges(Empty empty, int from, int to, int columns) {
    if (empty == Empty::none) return {0, {}, {}};
    if (empty == Empty::anywhere) return {1, {from, 0}, {to, 0}};
    const int left_end = std::min(spread_from, to);
    const int right = std::max(left_end, columns - spread_from);
    return {2, {from, right}, {left_end, to}};
}

// Only the ranges where empty cells may be are scanned: the cells found and the order
// in which they are filled are those of a scan of the whole row.
template <typename Cells>
int fill_data_row(const OutputRing& t, int i, int columns, Empty empty) {
    double* row = t[i];
    int left = 0;
    const Ranges r = ranges(empty, 1, columns - 1, columns);
    for (int part = 0; part < r.count; ++part)
        for (int j = r.from[part]; (j = Cells::next(row, j, r.to[part])) < r.to[part]; ++j) {
            double dval = 0.0;
            int ico = 0;
            for (int k = 0; k < 8; ++k) {
                const double v = t[i + neighbour_line[k]][j + neighbour_column[k]];
                if (!Cells::empty(v)) {
                    ++ico;
                    dval = sum(dval, v);
                }
            }
            if (ico > 0) row[j] = static_cast<double>(static_cast<ld>(dval) / ico);
            if (Cells::empty(row[j])) ++left;  // no neighbour, or (classic) a mean of 0.0
        }
    return left;
}

template <typename Cells>
void fill_all_row(const OutputRing& t, int i, int lines, int columns, Empty empty) {
    double* row = t[i];
    if (Cells::empty(row[0])) fill_from_all_cell<Cells>(t, i, 0, lines, columns);
    const Ranges r = ranges(empty, 1, columns - 1, columns);
    for (int part = 0; part < r.count; ++part)
        for (int j = r.from[part]; (j = Cells::next(row, j, r.to[part])) < r.to[part]; ++j)
            fill_from_all_cell<Cells>(t, i, j, lines, columns);
    if (columns > 1 && Cells::empty(row[columns - 1]))
        fill_from_all_cell<Cells>(t, i, columns - 1, lines, columns);
}

}  // namespace

int fill_data_row(const OutputRing& t, int i, int columns, Empty empty, bool voids) {
    return voids ? fill_data_row<NanIsEmpty>(t, i, columns, empty)
                 : fill_data_row<ZeroIsEmpty>(t, i, columns, empty);
}

void fill_all_row(const OutputRing& t, int i, int lines, int columns, Empty empty, bool voids) {
    if (voids)
        fill_all_row<NanIsEmpty>(t, i, lines, columns, empty);
    else
        fill_all_row<ZeroIsEmpty>(t, i, lines, columns, empty);
}

void means_of_valid(const double* above, const double* row, const double* below, double* out,
                    int columns, Bounds bounds) {
    const double* const rows[3] = {above, row, below};
    for (int j = 1; j < columns - 1; ++j) {
        if (std::isnan(row[j])) {
            out[j] = row[j];
            continue;
        }
        double dval = 0.0;
        int count = 0;
        for (const double* r : rows)
            for (int c = j - 1; c <= j + 1; ++c)
                if (!std::isnan(r[c])) {
                    dval = sum(dval, r[c]);
                    ++count;
                }
        double mean = count == 9 ? static_cast<double>(static_cast<ld>(dval) * one_ninth)
                                 : static_cast<double>(static_cast<ld>(dval) / count);
        if (mean < bounds.lowest) mean = bounds.lowest;
        if (mean > bounds.highest) mean = bounds.highest;
        out[j] = mean;
    }
}

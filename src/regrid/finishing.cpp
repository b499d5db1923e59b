// The finishing passes: the fillings. Sums carry a 64-bit significand and are
// rounded to double where a value is stored; the order of the additions is fixed by the
// order of the neighbours.
#include "regrid/finishing.h"

#include <algorithm>

#include "wide_rows.h"

namespace {

using ld = long double;

inline double sum(double a, double b) { return static_cast<double>(static_cast<ld>(a) + b); }

// The eight neighbours, clockwise from the upper left; the order fixes the additions.
constexpr int neighbour_line[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
constexpr int neighbour_column[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

// The second filling of cell (i, j), which is 0.0.
void fill_from_all_cell(const OutputRing& t, int i, int j, int lines, int columns) {
    double dval = 0.0;
    int ico = 0;
    for (int k = 0; k < 8; ++k) {
        const int l = i + neighbour_line[k], c = j + neighbour_column[k];
        if (l >= 0 && l < lines && c >= 0 && c < columns) {
            ++ico;
            dval = sum(dval, t[l][c]);
        }
    }
    t[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
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

}  // namespace

// Only the ranges where empty cells may be are scanned: the cells found and the order
// in which they are filled are those of a scan of the whole row.
int fill_data_row(const OutputRing& t, int i, int columns, Empty empty) {
    double* row = t[i];
    int left = 0;
    const Ranges r = ranges(empty, 1, columns - 1, columns);
    for (int part = 0; part < r.count; ++part)
        for (int j = r.from[part]; (j = wide_rows.next_zero(row, j, r.to[part])) < r.to[part];
             ++j) {
            double dval = 0.0;
            int ico = 0;
            for (int k = 0; k < 8; ++k) {
                const double v = t[i + neighbour_line[k]][j + neighbour_column[k]];
                if (v != 0.0) {
                    ++ico;
                    dval = sum(dval, v);
                }
            }
            if (ico > 0) row[j] = static_cast<double>(static_cast<ld>(dval) / ico);
            if (row[j] == 0.0) ++left;  // no neighbour, or a mean of 0.0
        }
    return left;
}

void fill_all_row(const OutputRing& t, int i, int lines, int columns, Empty empty) {
    double* row = t[i];
    if (row[0] == 0.0) fill_from_all_cell(t, i, 0, lines, columns);
    const Ranges r = ranges(empty, 1, columns - 1, columns);
    for (int part = 0; part < r.count; ++part)
        for (int j = r.from[part]; (j = wide_rows.next_zero(row, j, r.to[part])) < r.to[part]; ++j)
            fill_from_all_cell(t, i, j, lines, columns);
    if (columns > 1 && row[columns - 1] == 0.0)
        fill_from_all_cell(t, i, columns - 1, lines, columns);
}

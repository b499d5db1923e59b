// The finishing passes: the fillings. Sums carry a 64-bit significand and are
// rounded to double where a value is stored; the order of the additions is fixed by the
// order of the neighbours.
#include "regrid/finishing.h"

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

}  // namespace

int fill_data_row(const OutputRing& t, int i, int columns) {
    double* row = t[i];
    int left = 0;
    for (int j = 1; (j = wide_rows.next_zero(row, j, columns - 1)) < columns - 1; ++j) {
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

void fill_all_row(const OutputRing& t, int i, int lines, int columns, bool interior_zeros) {
    double* row = t[i];
    if (!interior_zeros) {
        if (row[0] == 0.0) fill_from_all_cell(t, i, 0, lines, columns);
        if (row[columns - 1] == 0.0) fill_from_all_cell(t, i, columns - 1, lines, columns);
        return;
    }
    for (int j = 0; (j = wide_rows.next_zero(row, j, columns)) < columns; ++j)
        fill_from_all_cell(t, i, j, lines, columns);
}

// The regridding engine: elevation range, output geometry, the area-weighted kernel,
// gap filling, smoothing and clamping. Every arithmetic step is written as
// double(long double ...): the intermediate keeps a 64-bit significand and the store
// rounds it to double. Rounding a double operation directly would differ in the last
// bit now and then, and the results are defined to the bit.
#include "regrid.h"

#include <climits>
#include <cmath>
#include <vector>

#include "LIB/GRIDUTIL.h"
#include "answers.h"
#include "failure.h"
#include "host_memory.h"
#include "run_state.h"

namespace {

using ld = long double;

inline double sum(double a, double b) { return static_cast<double>(static_cast<ld>(a) + b); }

// 1/9 rounded to double: the 3x3 sums are multiplied by it, not divided by 9.
constexpr double one_ninth = 1.0 / 9.0;

}  // namespace

// The first weight is the stretch to the next boundary, whole weights follow, and the
// remainder, possibly negative in an enlargement, is kept as it is.
Footprint footprint(int index, double factor, double* w) {
    const ld position = static_cast<ld>(index) * factor;  // kept in extended precision
    const double rounded = static_cast<double>(position);  // what bigger and floor receive
    w[0] = static_cast<double>(static_cast<ld>(bigger(rounded)) - position);
    const int start = static_cast<int>(std::floor(rounded));
    double xf = static_cast<double>(static_cast<ld>(factor) - w[0]);
    int n = 1;
    while (xf >= 1.0) {
        w[n] = 1.0;
        ++n;
        xf = static_cast<double>(static_cast<ld>(xf) - 1.0L);
    }
    w[n] = xf;
    return {start, n};
}

// The first weight, at most floor(factor) whole ones and the remainder. A footprint
// of 24 input cells or more needs more than the 25 weights a fixed vector would hold.
std::size_t footprint_room(double factor) { return static_cast<std::size_t>(factor) + 3; }

Factors factors(int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out) {
    Factors f;
    f.lfacteur = static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBlig_out) / NBlig_in));
    f.cfacteur = static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBcol_out) / NBcol_in));
    f.area = static_cast<double>(static_cast<ld>(f.lfacteur) * f.cfacteur);
    return f;
}

void kernel(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const Factors& f) {
    // Column weights depend on the column only: computed once, kept side by side.
    const std::size_t room = footprint_room(f.cfacteur);
    std::vector<double> cw(room * static_cast<std::size_t>(NBcol_out));
    std::vector<Footprint> columns(static_cast<std::size_t>(NBcol_out));
    for (int j = 0; j < NBcol_out; ++j)
        columns[j] = footprint(j, f.cfacteur, &cw[room * static_cast<std::size_t>(j)]);
    std::vector<double> lw(footprint_room(f.lfacteur));

    for (int i = 0; i < NBlig_out; ++i) {
        if (i > 0 && i % 100 == 0) say("\tline %d                \r", i);
        const Footprint line = footprint(i, f.lfacteur, lw.data());
        for (int j = 0; j < NBcol_out; ++j) {
            const Footprint column = columns[j];
            const double* cwj = &cw[room * static_cast<std::size_t>(j)];
            double accum = 0.0;
            for (int a = 0; a <= line.last; ++a) {
                const int r = line.start + a;
                for (int b = 0; b <= column.last; ++b) {
                    const int c = column.start + b;
                    if (0 < r && r < NBlig_in && 0 < c && c < NBcol_in)
                        accum = static_cast<double>(static_cast<ld>(lw[a]) * cwj[b] * tabin[r][c] + accum);
                }
            }
            accum = static_cast<double>(static_cast<ld>(accum) / f.area);
            if (!(accum > 0)) accum = std::fabs(accum);
            tabout[i][j] = accum;
        }
    }
}

namespace {
// The eight neighbours, clockwise from the upper left; the order fixes the additions.
constexpr int neighbour_line[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
constexpr int neighbour_column[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
}  // namespace

void fill_from_data(double** t, int lines, int columns) {
    for (int i = 1; i < lines - 1; ++i) {
        for (int j = 1; j < columns - 1; ++j) {
            if (t[i][j] != 0.0) continue;
            double dval = 0.0;
            int ico = 0;
            for (int k = 0; k < 8; ++k) {
                const double v = t[i + neighbour_line[k]][j + neighbour_column[k]];
                if (v != 0.0) {
                    ++ico;
                    dval = sum(dval, v);
                }
            }
            if (ico > 0) t[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
        }
    }
}

// Empty neighbours count in the divisor here, unlike the first pass.
void fill_from_all(double** t, int lines, int columns) {
    for (int i = 0; i < lines; ++i) {
        for (int j = 0; j < columns; ++j) {
            if (t[i][j] != 0.0) continue;
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
    }
}

// Through the scratch grid, so that every mean is of the values the pass began with.
void smooth(double** t, double** dtab, int lines, int columns) {
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) dtab[i][j] = 0.0;
    for (int i = 1; i < lines - 1; ++i) {
        for (int j = 1; j < columns - 1; ++j) {
            double dval = 0.0;
            for (int l = i - 1; l <= i + 1; ++l)
                for (int k = j - 1; k <= j + 1; ++k) dval = sum(dval, t[l][k]);
            dtab[i][j] = static_cast<double>(static_cast<ld>(dval) * one_ninth);
        }
    }
    for (int i = 1; i < lines - 1; ++i)
        for (int j = 1; j < columns - 1; ++j) t[i][j] = dtab[i][j];
}

void clamp_interior(double** t, int lines, int columns) {
    for (int i = 1; i < lines - 1; ++i) {
        for (int j = 1; j < columns - 1; ++j) {
            if (t[i][j] < dmin_alt) t[i][j] = dmin_alt;
            if (t[i][j] > dmax_alt) t[i][j] = dmax_alt;
        }
    }
}

namespace {

void find_elevation_range() {
    dmin_alt = 10000000.0;
    dmax_alt = 0.0;
    for (int i = 0; i < nb_lig; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const double v = dtab_in[i][j];
            if (dmin_alt > v) dmin_alt = v;
            if (dmax_alt < v) dmax_alt = v;
        }
    }
}

bool fits_padded(long double count) { return count < static_cast<long double>(INT_MAX - 3); }

}  // namespace

double bigger(double x) {
    const double c = std::ceil(x);
    if (c == x) return static_cast<double>(static_cast<ld>(x) + 1.0L);
    return c;
}

long double scaled_count(int count, double r) { return static_cast<ld>(count) * r; }

std::uint64_t run_memory(int lines, int columns, long long out_lines, long long out_columns) {
    const std::uint64_t in = static_cast<std::uint64_t>(lines + 4) * static_cast<std::uint64_t>(columns + 4);
    const std::uint64_t out = static_cast<std::uint64_t>(out_lines + 4) * static_cast<std::uint64_t>(out_columns + 4);
    // Input: elevations, raw cells and the padded copy; output: the padded grid, the
    // scratch grid, the unpadded and framed copies and the raw cells.
    return in * 20 + out * 36;
}

std::string output_problem(int lines, int columns, double r) {
    const long double l = scaled_count(lines, r), c = scaled_count(columns, r);
    char text[200];
    if (!(l >= 1.0L) || !(c >= 1.0L)) {
        std::snprintf(text, sizeof text,
                      "ratio %g gives an output of fewer than one line or column "
                      "(%d x %d input lines and columns)", r, lines, columns);
        return text;
    }
    if (!fits_padded(l) || !fits_padded(c)) {
        std::snprintf(text, sizeof text, "ratio %g gives an output too large to address", r);
        return text;
    }
    const long long out_lines = static_cast<long long>(l), out_columns = static_cast<long long>(c);
    const std::uint64_t needed = run_memory(lines, columns, out_lines, out_columns);
    const std::uint64_t room = memory_available();
    if (needed > room) {
        std::snprintf(text, sizeof text,
                      "an output of %lld lines and %lld columns needs %s in all, more than the "
                      "%s this machine can give",
                      out_lines, out_columns, mebibytes(needed).c_str(), mebibytes(room).c_str());
        return text;
    }
    return "";
}

void treatment() {
    find_elevation_range();
    if (dmin_alt < 0.0)
        report("the input holds negative elevations: this program is made for positive "
               "elevations, where 0 means no data, so results near negative cells come out "
               "as magnitudes");

    const long double lines = scaled_count(nb_lig, ratio), columns = scaled_count(nb_col, ratio);
    if (!(lines >= 1.0L) || !(columns >= 1.0L) || !fits_padded(lines) || !fits_padded(columns))
        fail("the ratio gives no addressable output");
    nb_lig4 = static_cast<int>(lines);  // truncation toward zero
    nb_col4 = static_cast<int>(columns);
    nb_lig2 = nb_lig + 4;
    nb_col2 = nb_col + 4;
    nb_lig3 = nb_lig4 + 4;
    nb_col3 = nb_col4 + 4;

    say("\n\n\tThe resulting image will have : ");
    say("\n\t\t%d lines and %d columns ", nb_lig4, nb_col4);

    dtab_prov1 = checked_grid(dmatrice(nb_col2, nb_lig2), nb_col2, nb_lig2, "padded input");
    for (int i = 0; i < nb_lig2; ++i)
        for (int j = 0; j < nb_col2; ++j) dtab_prov1[i][j] = 0.0;
    for (int i = 0; i < nb_lig; ++i)
        for (int j = 0; j < nb_col; ++j) dtab_prov1[i + 3][j + 3] = dtab_in[i][j];

    dtab_prov2 = checked_grid(dmatrice(nb_col3, nb_lig3), nb_col3, nb_lig3, "padded output");
    for (int i = 0; i < nb_lig3; ++i)
        for (int j = 0; j < nb_col3; ++j) dtab_prov2[i][j] = 0.0;

    transf(dtab_prov1, dtab_prov2, nb_lig2, nb_col2, nb_lig3, nb_col3);
}

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out) {
    double** dtab = checked_grid(dmatrice(NBcol_out, NBlig_out), NBcol_out, NBlig_out, "scratch");
    const Factors f = factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    for (int i = 0; i < NBlig_out; ++i)
        for (int j = 0; j < NBcol_out; ++j) dtab[i][j] = 0.0;

    say(NBlig_out > NBlig_in ? "\n\n\tEnlargement\n" : "\n\n\tReduction\n");
    say("\n\n\tTreatment \n\n");

    kernel(tabin, tabout, NBlig_in, NBcol_in, NBlig_out, NBcol_out, f);
    fill_from_data(tabout, NBlig_out, NBcol_out);
    fill_from_all(tabout, NBlig_out, NBcol_out);
    smooth(tabout, dtab, NBlig_out, NBcol_out);
    smooth(tabout, dtab, NBlig_out, NBcol_out);
    clamp_interior(tabout, NBlig_out, NBcol_out);
    frdmatrice(dtab, NBlig_out);
}

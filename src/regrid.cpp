// The regridding engine: elevation range, output geometry, the area-weighted kernel,
// gap filling, smoothing and clamping. Every arithmetic step is written as
// double(long double ...): the intermediate keeps a 64-bit significand and the store
// rounds it to double. Rounding a double operation directly would differ in the last
// bit now and then, and the results are defined to the bit.
#include "regrid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "LIB/GRIDUTIL.h"
#include "answers.h"
#include "dem_files.h"
#include "failure.h"
#include "host_memory.h"
#include "phase_times.h"
#include "run_state.h"
#include "wide_rows.h"

namespace {

using ld = long double;

inline double sum(double a, double b) { return static_cast<double>(static_cast<ld>(a) + b); }

// A raw cell in metres: the cell over coef, formed in extended precision and rounded to
// double, which one double division gives here (see divide_by_unit).
double metres(std::int64_t cell) { return coef == 1.0 ? static_cast<double>(cell) : static_cast<double>(cell) / coef; }

// Line i of the input in metres, into row.
void input_line(int i, double* row) {
    if (jtab1 != nullptr)
        wide_rows.widen16(jtab1[i], row, nb_col);
    else
        wide_rows.widen32(itab1[i], row, nb_col);
    if (coef != 1.0) wide_rows.divide_by_unit(row, nb_col, coef);
}

// The padded input of a raw raster, made a line at a time from its cells as the kernel
// reaches them, into a ring of lines as many as a footprint spans and one more; the
// margin lines all point at one line of zeros. The raw lines the kernel has left
// behind are given back.
class RawPaddedInput {
public:
    RawPaddedInput(double lfacteur)
        : ring_(footprint_room(lfacteur) + 1), width_(static_cast<std::size_t>(nb_col2)),
          lines_(ring_ * width_, 0.0), zeros_(width_, 0.0), table_(static_cast<std::size_t>(nb_lig2), zeros_.data()) {}

    double** table() { return table_.data(); }

    // Makes padded lines up to `last` (and never again those before `first`).
    void need(int first, int last) {
        for (; made_ <= last && made_ < nb_lig2; ++made_) {
            const int data = made_ - 3;
            if (data < 0 || data >= nb_lig) continue;
            double* line = &lines_[static_cast<std::size_t>(made_ % static_cast<int>(ring_)) * width_];
            input_line(data, line + 3);  // the three columns before and one after stay 0.0
            table_[made_] = line;
        }
        // Every 64 lines, the raw lines left behind go back to the system.
        const int behind = std::min(first - 3, nb_lig);
        if (behind >= given_back_ + 64) {
            if (jtab1 != nullptr)
                usmatrice_bloc_release_rows(jtab1, behind);
            else
                imatrice_bloc_release_rows(itab1, behind);
            for (; given_back_ < behind; ++given_back_) table_[given_back_ + 3] = zeros_.data();
        }
    }

private:
    std::size_t ring_, width_;
    std::vector<double> lines_, zeros_;
    std::vector<double*> table_;
    int made_ = 0, given_back_ = 0;
};

RawPaddedInput* raw_input_lines = nullptr;  // the padded input being made, during the sweep

// The padded output of a run whose raw raster takes each line as the sweep finishes it:
// once written, a line is never read again, so only the lines the sweep still works on
// are held, in a ring, and the grid is never taken whole.
class OutputRing {
public:
    // The sweep reads and writes lines k-7 to k at step k.
    static constexpr int lines_held = 8;

    OutputRing()
        : width_(static_cast<std::size_t>(nb_col3)), lines_(lines_held * width_),
          table_(static_cast<std::size_t>(nb_lig3), nullptr) {}

    double** table() { return table_.data(); }

    // Line k takes the place of line k - 8; the kernel writes every cell of it.
    void enter(int k) { table_[k] = &lines_[static_cast<std::size_t>(k % lines_held) * width_]; }

private:
    std::size_t width_;
    std::vector<double> lines_;
    std::vector<double*> table_;
};

OutputRing* output_ring = nullptr;  // the padded output's lines, during the sweep

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

namespace {

// The kernel's plan: the weights of every output column, computed once. Pairs whose
// input column is outside 0 < c < Cin are skipped (their weight dropped), so each
// column keeps the run first..last of its weights that fall inside. The columns of the
// middle, all of whose weights fall inside, also get their weights packed side by
// side, padded with zero weights to the widest count: a zero weight adds exactly
// nothing to a sum of finite values (at most the sign of a zero sum, which the final
// magnitude drops), and a fixed count runs without mispredicted branches.
struct KernelPlan {
    KernelPlan(int lines_in, int columns_in, int columns_out, const Factors& factors)
        : Lin(lines_in), Cin(columns_in), C(columns_out), f(factors), room(footprint_room(f.cfacteur)),
          cw(room * static_cast<std::size_t>(C)), columns(static_cast<std::size_t>(C)),
          first(static_cast<std::size_t>(C)), last(static_cast<std::size_t>(C)),
          lw(footprint_room(f.lfacteur)) {
        for (int j = 0; j < C; ++j) {
            const Footprint fp = footprint(j, f.cfacteur, &cw[room * static_cast<std::size_t>(j)]);
            columns[j] = fp;
            first[j] = std::max(0, 1 - fp.start);
            last[j] = std::min(fp.last, Cin - 1 - fp.start);
            if (first[j] == 0 && last[j] == fp.last) count = std::max(count, fp.last + 1);
        }
        const auto packable = [this](int j) {
            return first[j] == 0 && last[j] == columns[j].last && columns[j].start + count - 1 <= Cin - 1;
        };
        middle_from = 0;
        middle_to = C;
        while (middle_from < middle_to && !packable(middle_from)) ++middle_from;
        while (middle_to > middle_from && !packable(middle_to - 1)) --middle_to;
        for (int j = middle_from; j < middle_to; ++j)
            if (!packable(j)) middle_from = middle_to = 0;  // not one run: no packing
        packed.assign(static_cast<std::size_t>(count) * static_cast<std::size_t>(C), 0.0);
        starts.assign(static_cast<std::size_t>(C), 0);
        for (int j = middle_from; j < middle_to; ++j) {
            for (int b = 0; b <= columns[j].last; ++b)
                packed[static_cast<std::size_t>(count) * j + b] = cw[room * static_cast<std::size_t>(j) + b];
            starts[j] = columns[j].start;
        }
    }
    int Lin, Cin, C;
    Factors f;
    std::size_t room;
    std::vector<double> cw;
    std::vector<Footprint> columns;
    std::vector<int> first, last;
    std::vector<double> lw;
    int count = 0;                     // weights per packed column
    int middle_from = 0, middle_to = 0;  // the packed columns
    std::vector<double> packed;
    std::vector<std::int64_t> starts;
};

// One input line's terms added to the sums of columns from..to-1 of an output row.
void add_line_terms(const KernelPlan& p, double w, const double* in, double* out, int from, int to) {
    for (int j = from; j < to; ++j) {
        const double* cwj = &p.cw[p.room * static_cast<std::size_t>(j)];
        const double* v = in + p.columns[j].start;
        double acc = out[j];
        for (int b = p.first[j]; b <= p.last[j]; ++b) acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * v[b] + acc);
        out[j] = acc;
    }
}

// The same for the packed columns, with the count fixed (K > 0) or given (K = 0). The
// first input line of a row starts the sums instead of adding to zeros: 0.0 + t is t
// but for the sign of a zero t, which the final magnitude drops.
template <int K, bool first>
void add_packed_terms(const KernelPlan& p, double w, const double* in, double* out) {
    const int count = K > 0 ? K : p.count;
    for (int j = p.middle_from; j < p.middle_to; ++j) {
        const double* cwj = &p.packed[static_cast<std::size_t>(count) * j];
        const double* v = in + p.starts[j];
        double acc = first ? static_cast<double>(static_cast<ld>(w) * cwj[0] * v[0]) : out[j];
        for (int b = first ? 1 : 0; b < count; ++b)
            acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * v[b] + acc);
        out[j] = acc;
    }
}

template <bool first>
void add_packed_line(const KernelPlan& p, double w, const double* in, double* out) {
    switch (p.count) {
        case 2: add_packed_terms<2, first>(p, w, in, out); break;
        case 3: add_packed_terms<3, first>(p, w, in, out); break;
        case 4: add_packed_terms<4, first>(p, w, in, out); break;
        default: add_packed_terms<0, first>(p, w, in, out); break;
    }
}

// Output row i: every cell the weighted sum of the input under its footprint, line
// weights outer and column weights inner as for a single cell, one input line after
// the other (a cell's terms in one chain would make the x87 stores and reloads of its
// partial sums wait on each other), then divided by the area and made non-negative.
// Returns the first input line the row draws on.
int kernel_row(KernelPlan& p, double** tabin, double* out, int i) {
    const Footprint line = footprint(i, p.f.lfacteur, p.lw.data());
    std::fill(out, out + p.middle_from, 0.0);
    std::fill(out + p.middle_to, out + p.C, 0.0);
    bool started = false;  // the packed columns hold sums
    for (int a = 0; a <= line.last; ++a) {
        const int r = line.start + a;
        if (r <= 0 || r >= p.Lin) continue;
        const double w = p.lw[a];  // widened in each product: 64-bit loads are cheap
        const double* in = tabin[r];
        add_line_terms(p, w, in, out, 0, p.middle_from);
        if (started)
            add_packed_line<false>(p, w, in, out);
        else
            add_packed_line<true>(p, w, in, out);
        started = true;
        add_line_terms(p, w, in, out, p.middle_to, p.C);
    }
    if (!started) std::fill(out + p.middle_from, out + p.middle_to, 0.0);
    wide_rows.divide_by_area(out, p.C, p.f.area);
    return line.start;
}

// The eight neighbours, clockwise from the upper left; the order fixes the additions.
constexpr int neighbour_line[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
constexpr int neighbour_column[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

// First filling pass over interior row i, in place; returns how many of its interior
// cells are still 0.0.
int fill_data_row(double** t, int i, int columns) {
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

// The second filling of cell (i, j), which is 0.0.
void fill_from_all_cell(double** t, int i, int j, int lines, int columns) {
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

// Second filling pass over row i, border included, in place. `interior_zeros` false
// says that the first pass left no empty interior cell in the row (nothing else has
// written it since), so that only its two border cells need a look.
void fill_all_row(double** t, int i, int lines, int columns, bool interior_zeros = true) {
    double* row = t[i];
    if (!interior_zeros) {
        if (row[0] == 0.0) fill_from_all_cell(t, i, 0, lines, columns);
        if (row[columns - 1] == 0.0) fill_from_all_cell(t, i, columns - 1, lines, columns);
        return;
    }
    for (int j = 0; (j = wide_rows.next_zero(row, j, columns)) < columns; ++j) fill_from_all_cell(t, i, j, lines, columns);
}


// The 3x3 means of the interior of a row from the rows above, at and below it:
// out[j] for 1 <= j <= columns - 2, each window sum times 1/9 in extended precision.
void smooth_row(const double* above, const double* row, const double* below, double* out, int columns) {
    const bool plain = plain_together(wide_rows.row_spread(above, columns), wide_rows.row_spread(row, columns),
                                      wide_rows.row_spread(below, columns));
    wide_rows.window_means(above, row, below, out, columns, plain);
}

void copy_interior(const double* from, double* to, int columns) {
    std::copy(from + 1, from + columns - 1, to + 1);
}

void clamp_row(double* row, int columns) { wide_rows.clamp(row, 1, columns - 1, dmin_alt, dmax_alt); }

}  // namespace

void kernel(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const Factors& f) {
    KernelPlan plan(NBlig_in, NBcol_in, NBcol_out, f);
    for (int i = 0; i < NBlig_out; ++i) {
        if (i > 0 && i % 100 == 0) say("\tline %d                \r", i);
        kernel_row(plan, tabin, tabout[i], i);
    }
}

void fill_from_data(double** t, int lines, int columns) {
    for (int i = 1; i < lines - 1; ++i) fill_data_row(t, i, columns);
}

void fill_from_all(double** t, int lines, int columns) {
    for (int i = 0; i < lines; ++i) fill_all_row(t, i, lines, columns);
}

void smooth(double** t, double** dtab, int lines, int columns) {
    for (int i = 1; i < lines - 1; ++i) smooth_row(t[i - 1], t[i], t[i + 1], dtab[i], columns);
    for (int i = 1; i < lines - 1; ++i) copy_interior(dtab[i], t[i], columns);
}

void clamp_interior(double** t, int lines, int columns) {
    for (int i = 1; i < lines - 1; ++i) clamp_row(t[i], columns);
}

namespace {

// The scan over every input cell in metres, in order. For raw cells the division is
// monotone and no cell is a negative zero, so the range of the cells divided is the
// same.
void find_elevation_range() {
    dmin_alt = 10000000.0;
    dmax_alt = 0.0;
    if (dtab_in != nullptr) {
        for (int i = 0; i < nb_lig; ++i) wide_rows.fold_range(dtab_in[i], nb_col, dmin_alt, dmax_alt);
        return;
    }
    int min = INT_MAX, max = INT_MIN;
    for (int i = 0; i < nb_lig; ++i) {
        if (jtab1 != nullptr)
            wide_rows.range16(jtab1[i], nb_col, min, max);
        else
            wide_rows.range32(itab1[i], nb_col, min, max);
    }
    const double low = metres(min), high = metres(max);
    if (dmin_alt > low) dmin_alt = low;
    if (dmax_alt < high) dmax_alt = high;
}

bool fits_padded(long double count) { return count < static_cast<long double>(INT_MAX - 3); }

}  // namespace

double bigger(double x) {
    const double c = std::ceil(x);
    if (c == x) return static_cast<double>(static_cast<ld>(x) + 1.0L);
    return c;
}

long double scaled_count(int count, double r) { return static_cast<ld>(count) * r; }

std::uint64_t run_memory(int lines, int columns, long long out_lines, long long out_columns, bool output_held) {
    const std::uint64_t in = static_cast<std::uint64_t>(lines + 4) * static_cast<std::uint64_t>(columns + 4);
    const std::uint64_t out = static_cast<std::uint64_t>(out_lines + 4) * static_cast<std::uint64_t>(out_columns + 4);
    // The input (held as doubles; raw cells take less), the padded output when it is held
    // whole, and some twenty lines of either width for the sweep's rings, the readers and
    // the writers.
    return 8 * in + (output_held ? 8 * out : 0) + 20 * 8 * static_cast<std::uint64_t>(columns + out_columns + 8) +
           (1u << 20);
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
    const std::uint64_t needed = run_memory(lines, columns, out_lines, out_columns, format2 != 1);
    const std::uint64_t room = memory_available();
    if (needed > room) {
        const SizeTexts sizes = distinct_sizes(needed, room);
        std::snprintf(text, sizeof text,
                      "an output of %lld lines and %lld columns needs %s in all, more than the "
                      "%s this machine can give",
                      out_lines, out_columns, sizes.first.c_str(), sizes.second.c_str());
        return text;
    }
    // The file written: its cells, or for an ASCII grid at least "0.000000\t" a value.
    const double file = static_cast<double>(out_lines) * static_cast<double>(out_columns) *
                        (format2 == 1 ? (itype2 == 0 ? 2.0 : 4.0) : 9.0);
    const std::uint64_t disk = output_room();
    if (file > static_cast<double>(disk)) {
        const SizeTexts sizes = distinct_sizes(static_cast<std::uint64_t>(file), disk);
        std::snprintf(text, sizeof text,
                      "an output of %lld lines and %lld columns makes a file of %s, more than the "
                      "%s free where it is written",
                      out_lines, out_columns, sizes.first.c_str(), sizes.second.c_str());
        return text;
    }
    return "";
}

void (*row_finished)(int padded_row) = nullptr;

void release_padded_input() {
    gridutil_free(dtab_in);  // a view: its rows belong to dtab_prov1
    frdmatrice_bloc(dtab_prov1, nb_lig2);
    dtab_in = dtab_prov1 = nullptr;
}

void make_padded_input() {
    release_padded_input();  // a grid read before is replaced, not leaked
    nb_lig2 = nb_lig + 4;
    nb_col2 = nb_col + 4;
    require_memory("padded input", nb_col2, nb_lig2, sizeof(double));
    dtab_prov1 = checked_grid(dmatrice_bloc(nb_col2, nb_lig2), nb_col2, nb_lig2, "padded input");
    dtab_in = static_cast<double**>(gridutil_calloc(static_cast<std::size_t>(nb_lig), sizeof(double*)));
    if (dtab_in == nullptr) out_of_memory("input", nb_col, nb_lig, sizeof(double));
    for (int i = 0; i < nb_lig; ++i) dtab_in[i] = dtab_prov1[i + 3] + 3;
}

void make_raw_input() {
    static int made_lines = 0;  // a grid read before is replaced, not leaked
    frusmatrice_bloc(jtab1, made_lines);
    frimatrice_bloc(itab1, made_lines);
    jtab1 = nullptr;
    itab1 = nullptr;
    made_lines = nb_lig;
    if (itype == 0) {
        require_memory("input", nb_col, nb_lig, sizeof(std::uint16_t));
        jtab1 = checked_grid(usmatrice_bloc(nb_col, nb_lig), nb_col, nb_lig, "input");
    } else {
        require_memory("input", nb_col, nb_lig, sizeof(std::int32_t));
        itab1 = checked_grid(imatrice_bloc(nb_col, nb_lig), nb_col, nb_lig, "input");
    }
}

double input_elevation(int i, int j) {
    if (dtab_in != nullptr) return dtab_in[i][j];
    return metres(jtab1 != nullptr ? std::int64_t{jtab1[i][j]} : std::int64_t{itab1[i][j]});
}

void treatment() {
    PhaseTimer timer("treatment");
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

    // The padded output comes zero-filled, every cell 0.0 until the kernel writes it; a
    // raw raster output takes its lines during the sweep, from a ring of lines.
    const bool written_during_sweep = output_written_during_sweep();
    std::unique_ptr<OutputRing> ring;
    if (written_during_sweep) {
        ring = std::make_unique<OutputRing>();
    } else {
        require_memory("padded output", nb_col3, nb_lig3, sizeof(double));
        dtab_prov2 = checked_grid(dmatrice_bloc(nb_col3, nb_lig3), nb_col3, nb_lig3, "padded output");
    }
    struct Writer {  // in place for the sweep only, whatever happens
        explicit Writer(OutputRing* r) {
            row_finished = r != nullptr ? output_row_finished : nullptr;
            output_ring = r;
            if (r != nullptr) dtab_prov2 = r->table();
        }
        ~Writer() {
            if (output_ring != nullptr) dtab_prov2 = nullptr;  // every line is written
            row_finished = nullptr;
            output_ring = nullptr;
        }
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
    } writer(ring.get());
    if (dtab_in != nullptr) {
        transf(dtab_prov1, dtab_prov2, nb_lig2, nb_col2, nb_lig3, nb_col3);
        release_padded_input();
        return;
    }
    // A raw raster: its padded lines are made as the kernel reaches them.
    nb_lig2 = nb_lig + 4;
    nb_col2 = nb_col + 4;
    RawPaddedInput made_lines(factors(nb_lig2, nb_col2, nb_lig3, nb_col3).lfacteur);
    struct Lines {  // in place for the sweep only, whatever happens
        explicit Lines(RawPaddedInput& l) {
            raw_input_lines = &l;
            dtab_prov1 = l.table();
        }
        ~Lines() {
            raw_input_lines = nullptr;
            dtab_prov1 = nullptr;
        }
        Lines(const Lines&) = delete;
        Lines& operator=(const Lines&) = delete;
    } in_place(made_lines);
    transf(dtab_prov1, dtab_prov2, nb_lig2, nb_col2, nb_lig3, nb_col3);
}

// The kernel and the finishing passes in one sweep down the grid. Each pass over row
// r only needs the rows next to it in the state the pass before left them, so with a
// lag of a few rows every pass sees exactly what it would see after the whole previous
// pass, while the rows are still in the cache. At step k:
//   the kernel computes row k, the first filling row k-1, the second filling row k-2;
//   the first smoothing of row k-3 goes to a ring of three rows, which keeps the
//   second filling's rows in the grid for it;
//   the second smoothing of row k-4 reads the ring and writes the grid, clamped.
void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out) {
    const int L = NBlig_out, C = NBcol_out;
    const Factors f = factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    say(NBlig_out > NBlig_in ? "\n\n\tEnlargement\n" : "\n\n\tReduction\n");
    say("\n\n\tTreatment \n\n");

    KernelPlan plan(NBlig_in, NBcol_in, C, f);
    // The run's own padded input is given back as the kernel leaves its lines behind;
    // that of a raw raster is made as the kernel reaches its lines.
    const bool release_input = tabin == dtab_prov1 && dtab_in != nullptr;
    RawPaddedInput* const made = tabin == dtab_prov1 ? raw_input_lines : nullptr;
    OutputRing* const ring = tabout == dtab_prov2 ? output_ring : nullptr;
    const auto interior = [L](int r) { return r >= 1 && r <= L - 2; };

    // Rows after the first smoothing, and the spreads of the rows each smoothing reads.
    std::vector<double> smoothed(3 * static_cast<std::size_t>(C));
    const auto first_smoothed = [&](int r) { return smoothed.data() + static_cast<std::size_t>(r % 3) * C; };
    RowSpread filled_spread[3], smoothed_spread[3], border_spread[2];
    // What the second smoothing reads for row x: the border rows as the filling left
    // them, the others from the ring.
    const auto second_input = [&](int x) -> const double* { return interior(x) ? first_smoothed(x) : tabout[x]; };
    const auto second_spread = [&](int x) -> const RowSpread& {
        return interior(x) ? smoothed_spread[x % 3] : border_spread[x == 0 ? 0 : 1];
    };

    int zeros_left[2] = {0, 0};  // empty interior cells the first filling left in its last two rows
    StageClock kernel_clock("kernel"), fill_clock("filling"), smooth_clock("smoothing");
    for (int k = 0; k <= L + 2; ++k) {
        if (k < L) {
            if (k > 0 && k % 100 == 0) say("\tline %d                \r", k);
            kernel_clock.time([&] {
                if (ring != nullptr) ring->enter(k);
                if (made != nullptr) {
                    const Footprint line = footprint(k, f.lfacteur, plan.lw.data());
                    made->need(line.start, line.start + line.last);
                }
                const int start = kernel_row(plan, tabin, tabout[k], k);
                if (release_input && k % 64 == 63 && start > 0)
                    dmatrice_bloc_release_rows(tabin, std::min(start, NBlig_in));
            });
        }
        fill_clock.time([&] {
            if (interior(k - 1)) zeros_left[(k - 1) & 1] = fill_data_row(tabout, k - 1, C);
            const int x = k - 2;
            if (x >= 0 && x < L) {
                fill_all_row(tabout, x, L, C, !interior(x) || zeros_left[x & 1] > 0);
                filled_spread[x % 3] = wide_rows.row_spread(tabout[x], C);
                if (!interior(x)) border_spread[x == 0 ? 0 : 1] = filled_spread[x % 3];
            }
        });
        smooth_clock.time([&] {
            const int r = k - 3;
            if (interior(r)) {
                double* out = first_smoothed(r);
                const bool plain = plain_together(filled_spread[(r - 1) % 3], filled_spread[r % 3], filled_spread[(r + 1) % 3]);
                wide_rows.window_means(tabout[r - 1], tabout[r], tabout[r + 1], out, C, plain);
                out[0] = tabout[r][0];  // the border columns are not smoothed
                out[C - 1] = tabout[r][C - 1];
                smoothed_spread[r % 3] = wide_rows.row_spread(out, C);
            }
            const int q = k - 4;
            if (interior(q)) {
                const bool plain = plain_together(second_spread(q - 1), second_spread(q), second_spread(q + 1));
                wide_rows.window_means(second_input(q - 1), second_input(q), second_input(q + 1), tabout[q], C, plain);
                clamp_row(tabout[q], C);
            }
        });
        const int q = k - 4;
        if (interior(q) && row_finished != nullptr) row_finished(q);
    }
}

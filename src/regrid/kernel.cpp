// The area-weighted kernel: footprints, the column plan and one output row at a time.
// Every arithmetic step is written as double(long double ...): the intermediate keeps a
// 64-bit significand and the store rounds it to double. Rounding a double operation
// directly would differ in the last bit now and then, and the results are defined to
// the bit.
// The sums stay in x87 code. Vectors of doubles can give the same bits (each product
// and sum as a double and its exact error, rounded to the 64-bit grid by hand, with the
// rare ambiguous lanes redone here), but a prototype of that in AVX-512 took about
// twice the time of this code per term, gathers or not: it needs some fifty vector
// operations for eight terms, where the x87 unit does a term in four.
#include "regrid/kernel.h"

#include <algorithm>
#include <cmath>

namespace {
using ld = long double;
}  // namespace

// The first weight is the stretch to the next boundary, whole weights follow, and the
// remainder, possibly negative in an enlargement, is kept as it is.
Footprint footprint(int index, double factor, double* w) {
    const ld position = static_cast<ld>(index) * factor;   // kept in extended precision
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
    f.lfacteur =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBlig_out) / NBlig_in));
    f.cfacteur =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBcol_out) / NBcol_in));
    f.area = static_cast<double>(static_cast<ld>(f.lfacteur) * f.cfacteur);
    return f;
}

double bigger(double x) {
    const double c = std::ceil(x);
    if (c == x) return static_cast<double>(static_cast<ld>(x) + 1.0L);
    return c;
}

KernelPlan::KernelPlan(int lines_in, int columns_in, int columns_out, const Factors& factors,
                       bool void_aware)
    : Lin(lines_in),
      Cin(columns_in),
      C(columns_out),
      voids(void_aware),
      f(factors),
      room(footprint_room(f.cfacteur)),
      columns(static_cast<std::size_t>(C)) {
    std::vector<double> w(room);
    for (int j = 0; j < C; ++j) {
        columns[j] = footprint(j, f.cfacteur, w.data());
        if (first_of(j) == 0 && last_of(j) == columns[j].last)
            count = std::max(count, columns[j].last + 1);
    }
    const auto packable = [this](int j) {
        return first_of(j) == 0 && last_of(j) == columns[j].last &&
               columns[j].start + count - 1 <= Cin - 1;
    };
    middle_from = 0;
    middle_to = C;
    while (middle_from < middle_to && !packable(middle_from)) ++middle_from;
    while (middle_to > middle_from && !packable(middle_to - 1)) --middle_to;
    for (int j = middle_from; j < middle_to; ++j)
        if (!packable(j)) middle_from = middle_to = 0;  // not one run: no packing
    packed.assign(static_cast<std::size_t>(count) * span(), 0.0);
    starts.assign(span(), 0);
    edge_weights.assign(room * (static_cast<std::size_t>(C) - span()), 0.0);
    // The weights again (a footprint is a function of its column alone), each column's
    // to where it is kept.
    for (int j = 0; j < C; ++j) {
        footprint(j, f.cfacteur, w.data());
        if (!is_packed(j)) {
            std::copy(w.begin(), w.end(),
                      edge_weights.begin() + static_cast<std::ptrdiff_t>(room * edge_slot(j)));
            continue;
        }
        const std::size_t m = static_cast<std::size_t>(j - middle_from);
        for (int b = 0; b <= columns[j].last; ++b)
            packed[static_cast<std::size_t>(b) * span() + m] = w[static_cast<std::size_t>(b)];
        starts[m] = columns[j].start;
    }
    const std::size_t chunks = (span() + chunk - 1) / chunk;
    whole.assign(chunks * static_cast<std::size_t>(count), 1);
    for (std::size_t m = 0; m < span(); ++m)
        for (int b = 0; b < count; ++b)
            if (packed[static_cast<std::size_t>(b) * span() + m] != 1.0)
                whole[m / chunk * static_cast<std::size_t>(count) + static_cast<std::size_t>(b)] =
                    0;
}

KernelSpace::KernelSpace(const KernelPlan& p)
    : lw(footprint_room(p.f.lfacteur)), weights(lw.size()), lines(lw.size()) {}

std::uint64_t KernelPlan::bytes(int columns_out, double cfacteur) {
    // Per column its footprint, and its weights with their start (packed) or their room
    // (at an edge), whichever is more; per chunk of columns whether each weight is whole.
    const std::uint64_t room = footprint_room(cfacteur);
    return static_cast<std::uint64_t>(columns_out) * (sizeof(Footprint) + 8 * room + 8) +
           (static_cast<std::uint64_t>(columns_out) / KernelPlan::chunk + 1) * room;
}

namespace {

// One input line's terms added to the sums of columns from..to-1 of an output row.
void add_line_terms(const KernelPlan& p, double w, const double* in, double* out, int from,
                    int to) {
    for (int j = from; j < to; ++j) {
        const double* cwj = p.edge_column(j);
        double acc = out[j];
        for (int b = p.first_of(j), last = p.last_of(j); b <= last; ++b)
            acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * in[p.input_of(j, b)] + acc);
        out[j] = acc;
    }
}

// One line's terms for packed weight b, added to the sums of packed columns from..to-1
// (or starting them). A weight of 1 leaves one product out: 1 times a double is that
// double exactly, so the term is the same value, rounded the same way. One product is
// always kept, even where both weights are 1: it makes a signalling NaN quiet, as the
// two products do.
template <bool line_whole, bool column_whole, bool first>
void add_packed_line(ld w, const double* cw, const double* v, const std::int64_t* starts,
                     double* sums, int from, int to) {
    for (int m = from; m < to; ++m) {
        const double x = v[starts[m]];
        ld t;
        if (column_whole)
            t = w * x;
        else if (line_whole)
            t = static_cast<ld>(cw[m]) * x;
        else
            t = w * cw[m] * x;
        sums[m] = first ? static_cast<double>(t) : static_cast<double>(t + sums[m]);
    }
}

template <bool first>
void add_packed_line(bool line_whole, bool column_whole, ld w, const double* cw, const double* v,
                     const std::int64_t* starts, double* sums, int from, int to) {
    if (column_whole)
        add_packed_line<false, true, first>(w, cw, v, starts, sums, from, to);
    else if (line_whole)
        add_packed_line<true, false, first>(w, cw, v, starts, sums, from, to);
    else
        add_packed_line<false, false, first>(w, cw, v, starts, sums, from, to);
}

// The packed columns' sums from the input lines of a row, in chunks of columns that
// stay in the first-level cache. Each cell takes the same terms in the same order as
// for a single cell (line by line, each line's column weights in order) with the same
// roundings; only the terms of different cells are interleaved: with the column loop
// innermost, consecutive terms belong to different cells, so the x87 unit overlaps
// them instead of waiting for each partial sum's store and reload. The first term
// starts a sum instead of adding to zero: 0.0 + t is t but for the sign of a zero t,
// which the final magnitude drops.
void add_packed_terms(const KernelPlan& p, const KernelSpace& s, int lines, double* out) {
    const int span = p.middle_to - p.middle_from;
    double* const sums = out + p.middle_from;
    for (int from = 0; from < span; from += KernelPlan::chunk) {
        const int to = std::min(from + KernelPlan::chunk, span);
        for (int k = 0; k < lines; ++k) {
            const ld w = s.weights[k];
            const bool line_whole = s.weights[k] == 1.0;
            for (int b = 0; b < p.count; ++b) {
                const double* cw = &p.packed[static_cast<std::size_t>(b) * span];
                const double* v = s.lines[k] + b;
                const bool column_whole = p.whole_in(from, b);
                if (k == 0 && b == 0)
                    add_packed_line<true>(line_whole, column_whole, w, cw, v, p.starts.data(), sums,
                                          from, to);
                else
                    add_packed_line<false>(line_whole, column_whole, w, cw, v, p.starts.data(),
                                           sums, from, to);
            }
        }
    }
}

}  // namespace

// Every cell the weighted sum of the input under its footprint, line weights outer and
// column weights inner as for a single cell. Lines outside 0 < r < Lin add nothing to the
// classic kernel; the void-aware one reads a line beyond the last as the last.
int kernel_sums(const KernelPlan& p, KernelSpace& s, const LineSource& source, double* out, int i) {
    const Footprint line = footprint(i, p.f.lfacteur, s.lw.data());
    int lines = 0;
    for (int a = 0; a <= line.last; ++a) {
        int r = line.start + a;
        if (p.voids)
            r = std::min(r, p.Lin - 1);
        else if (r <= 0 || r >= p.Lin)
            continue;
        s.weights[lines] = s.lw[a];
        s.lines[lines] = source.line(r);
        ++lines;
    }
    std::fill(out, out + p.middle_from, 0.0);
    std::fill(out + p.middle_to, out + p.C, 0.0);
    for (int k = 0; k < lines; ++k) {
        add_line_terms(p, s.weights[k], s.lines[k], out, 0, p.middle_from);
        add_line_terms(p, s.weights[k], s.lines[k], out, p.middle_to, p.C);
    }
    if (lines > 0)
        add_packed_terms(p, s, lines, out);
    else
        std::fill(out + p.middle_from, out + p.middle_to, 0.0);
    return lines;
}

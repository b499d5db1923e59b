// The area-weighted kernel: footprints, the column plan and one output row at a time.
// Every arithmetic step is written as double(long double ...): the intermediate keeps a
// 64-bit significand and the store rounds it to double. Rounding a double operation
// directly would differ in the last bit now and then, and the results are defined to
// the bit.
#include "regrid/kernel.h"

#include <algorithm>
#include <cmath>

#include "wide_rows.h"

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

KernelPlan::KernelPlan(int lines_in, int columns_in, int columns_out, const Factors& factors)
    : Lin(lines_in),
      Cin(columns_in),
      C(columns_out),
      f(factors),
      room(footprint_room(f.cfacteur)),
      cw(room * static_cast<std::size_t>(C)),
      columns(static_cast<std::size_t>(C)),
      first(static_cast<std::size_t>(C)),
      last(static_cast<std::size_t>(C)) {
    for (int j = 0; j < C; ++j) {
        const Footprint fp = footprint(j, f.cfacteur, &cw[room * static_cast<std::size_t>(j)]);
        columns[j] = fp;
        first[j] = std::max(0, 1 - fp.start);
        last[j] = std::min(fp.last, Cin - 1 - fp.start);
        if (first[j] == 0 && last[j] == fp.last) count = std::max(count, fp.last + 1);
    }
    const auto packable = [this](int j) {
        return first[j] == 0 && last[j] == columns[j].last &&
               columns[j].start + count - 1 <= Cin - 1;
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
            packed[static_cast<std::size_t>(count) * j + b] =
                cw[room * static_cast<std::size_t>(j) + b];
        starts[j] = columns[j].start;
    }
}

std::uint64_t KernelPlan::bytes(int columns_out, double cfacteur) {
    // Per column its weights twice (as computed and packed), its footprint, bounds and start.
    return static_cast<std::uint64_t>(columns_out) *
           (2 * 8 * footprint_room(cfacteur) + sizeof(Footprint) + 2 * sizeof(int) + 8);
}

namespace {

// One input line's terms added to the sums of columns from..to-1 of an output row.
void add_line_terms(const KernelPlan& p, double w, const double* in, double* out, int from,
                    int to) {
    for (int j = from; j < to; ++j) {
        const double* cwj = &p.cw[p.room * static_cast<std::size_t>(j)];
        const double* v = in + p.columns[j].start;
        double acc = out[j];
        for (int b = p.first[j]; b <= p.last[j]; ++b)
            acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * v[b] + acc);
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
        case 2:
            add_packed_terms<2, first>(p, w, in, out);
            break;
        case 3:
            add_packed_terms<3, first>(p, w, in, out);
            break;
        case 4:
            add_packed_terms<4, first>(p, w, in, out);
            break;
        default:
            add_packed_terms<0, first>(p, w, in, out);
            break;
    }
}

}  // namespace

// Every cell the weighted sum of the input under its footprint, line weights outer and
// column weights inner as for a single cell, one input line after the other (a cell's
// terms in one chain would make the x87 stores and reloads of its partial sums wait on
// each other), then divided by the area and made non-negative.
int kernel_row(const KernelPlan& p, double* lw, const LineSource& source, double* out, int i) {
    const Footprint line = footprint(i, p.f.lfacteur, lw);
    std::fill(out, out + p.middle_from, 0.0);
    std::fill(out + p.middle_to, out + p.C, 0.0);
    bool started = false;  // the packed columns hold sums
    for (int a = 0; a <= line.last; ++a) {
        const int r = line.start + a;
        if (r <= 0 || r >= p.Lin) continue;
        const double w = lw[a];  // widened in each product: 64-bit loads are cheap
        const double* in = source.line(r);
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

// The void-aware kernel, a cell's terms one after the other as the classic kernel's are,
// in x87 extended precision: two sums a cell, so that a void is left out of both.
#include "regrid/void_kernel.h"

#include <algorithm>
#include <cmath>

namespace {
using ld = long double;
}  // namespace

bool void_kernel_row(const KernelPlan& p, double* lw, const LineSource& in, double* out,
                     double* weights, int i) {
    const Footprint line = footprint(i, p.f.lfacteur, lw);
    std::fill(out, out + p.C, 0.0);
    std::fill(weights, weights + p.C, 0.0);
    for (int a = 0; a <= line.last; ++a) {
        const int r = line.start + a;
        if (r <= 0 || r >= p.Lin) continue;  // outside the padded input, as in the classic kernel
        const ld w = lw[a];
        const double* v = in.line(r);
        for (int j = 0; j < p.C; ++j) {
            const int start = p.columns[j].start;
            const double* cwj = &p.cw[p.room * static_cast<std::size_t>(j)];
            double s = out[j], t = weights[j];
            for (int b = p.first[j]; b <= p.last[j]; ++b) {
                const double value = v[start + b];
                if (std::isnan(value)) continue;
                const ld term = w * cwj[b];
                s = static_cast<double>(term * value + s);
                t = static_cast<double>(term + t);
            }
            out[j] = s;
            weights[j] = t;
        }
    }
    const double least = least_ground * p.f.area;
    bool empty = false;
    for (int j = 0; j < p.C; ++j) {
        if (weights[j] >= least) {
            out[j] = static_cast<double>(static_cast<ld>(out[j]) / weights[j]);
        } else {
            out[j] = NAN;
            empty = true;
        }
    }
    return empty;
}

// A kernel row as either engine makes it.
#include "regrid/kernel_rows.h"

#include "regrid/void_kernel.h"

RowSpread kernel_row(const KernelPlan& p, KernelSpace& space, const LineSource& in, double* out,
                     int i) {
    const int lines = kernel_sums(p, space, in, out, i);
    if (p.voids) return void_cells(p, space, lines, out);
    return wide_rows.divide_by_area(out, p.C, p.f.area, false);
}

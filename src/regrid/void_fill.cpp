// Filling a source's voids by interpolation along lines and columns, a line at a time,
// from a window of the source's lines around it.
#include "regrid/void_fill.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using ld = long double;

// One direction's value for a void and its weight, summed over the directions.
struct Estimate {
    ld value_sum = 0, weight_sum = 0;
    void add(ld value, ld weight) {
        value_sum += value * weight;
        weight_sum += weight;
    }
};

// The interpolation between valid cells at distances `a` (value va) and `b` (vb), either
// absent (0), into the estimate.
void between(Estimate& e, int a, double va, int b, double vb) {
    if (a > 0 && b > 0)
        e.add((static_cast<ld>(va) * b + static_cast<ld>(vb) * a) / (a + b), 1.0L / (a + b));
    else if (a > 0)
        e.add(va, 1.0L / (4 * a));
    else if (b > 0)
        e.add(vb, 1.0L / (4 * b));
}

class VoidFill {
public:
    VoidFill(LineSource base, int lines, int columns, int reach)
        : base_(std::move(base)),
          lines_(lines),
          columns_(columns),
          reach_(reach),
          window_(
              columns, [this](int i, double* data) { make(i, data); }, false) {}

    // A margin line is the nearest data line.
    const double* line(int row) { return window_.line(data_row(row), lines_); }
    void forget(int row) {
        window_.forget(data_row(row));
        base_.forget(data_row(row) - reach_);
    }

private:
    int data_row(int row) const {
        return std::clamp(row, margin_before, lines_ + margin_before - 1);
    }

    // Data line i of the base source (NaN for voids), kept while lines within reach of
    // the lines still to fill may ask for it.
    const double* base_line(int i) { return base_.line(i + margin_before) + margin_before; }

    void make(int i, double* data) {
        const double* own = base_line(i);
        std::copy(own, own + columns_, data);
        fill(i, data);
        std::fill(data - margin_before, data, data[0]);
        std::fill(data + columns_, data + columns_ + margin_after, data[columns_ - 1]);
    }

    void fill(int i, double* data) {
        if (reach_ == 0) return;
        const double* own = data;
        bool voids = false;
        for (int j = 0; j < columns_ && !voids; ++j) voids = std::isnan(own[j]);
        if (!voids) return;
        // The lines within reach, above and below, each asked for in increasing order.
        std::vector<const double*> around(static_cast<std::size_t>(2 * reach_ + 1), nullptr);
        for (int d = -reach_; d <= reach_; ++d)
            if (i + d >= 0 && i + d < lines_) around[d + reach_] = base_line(i + d);
        own = around[reach_];
        for (int j = 0; j < columns_; ++j) {
            if (!std::isnan(own[j])) continue;
            Estimate e;
            int left = 0, right = 0, up = 0, down = 0;
            for (int d = 1; d <= reach_ && j - d >= 0; ++d)
                if (!std::isnan(own[j - d])) {
                    left = d;
                    break;
                }
            for (int d = 1; d <= reach_ && j + d < columns_; ++d)
                if (!std::isnan(own[j + d])) {
                    right = d;
                    break;
                }
            between(e, left, left > 0 ? own[j - left] : 0, right, right > 0 ? own[j + right] : 0);
            for (int d = 1; d <= reach_; ++d)
                if (around[reach_ - d] != nullptr && !std::isnan(around[reach_ - d][j])) {
                    up = d;
                    break;
                }
            for (int d = 1; d <= reach_; ++d)
                if (around[reach_ + d] != nullptr && !std::isnan(around[reach_ + d][j])) {
                    down = d;
                    break;
                }
            between(e, up, up > 0 ? around[reach_ - up][j] : 0, down,
                    down > 0 ? around[reach_ + down][j] : 0);
            if (e.weight_sum > 0) data[j] = static_cast<double>(e.value_sum / e.weight_sum);
        }
    }

    LineSource base_;
    int lines_, columns_, reach_;
    LineWindow window_;
};

}  // namespace

int fill_reach(int columns) {
    const std::uint64_t line_bytes = 8 * (static_cast<std::uint64_t>(columns) + 4);
    const std::uint64_t lines = (std::uint64_t{8} << 20) / line_bytes / 2;
    return static_cast<int>(std::clamp<std::uint64_t>(lines, 4, 64));
}

LineSource filled_lines(const LineSource& base, int lines, int columns, int reach) {
    const auto fill = std::make_shared<VoidFill>(base, lines, columns, reach);
    LineSource source{[fill](int row) { return fill->line(row); },
                      [fill](int row) { fill->forget(row); }};
    source.lowest = base.lowest;
    source.highest = base.highest;
    if (base.another)
        source.another = [base, lines, columns, reach] {
            return filled_lines(base.another(), lines, columns, reach);
        };
    return source;
}

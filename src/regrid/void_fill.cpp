// Filling a source's voids by interpolation along lines and columns, a line at a time,
// from a window of the source's lines around it.
#include "regrid/void_fill.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "failure.h"

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

// The interpolation between valid cells at distances `a` (value va) and `b` (vb) on
// either side, into the estimate.
void between(Estimate& e, int a, double va, int b, double vb) {
    e.add((static_cast<ld>(va) * b + static_cast<ld>(vb) * a) / (a + b), 1.0L / (a + b));
}

// The nearest valid cell in one direction: its distance (0 for none within reach) and value.
struct Nearest {
    int distance = 0;
    double value = 0;
};

// The first valid cell of `cell(1)` to `cell(reach)` (each a pointer, or null beyond
// the grid).
template <typename Cell>
Nearest nearest(int reach, Cell cell) {
    for (int d = 1; d <= reach; ++d) {
        const double* c = cell(d);
        if (c != nullptr && !std::isnan(*c)) return {d, *c};
    }
    return {};
}

// A void's value from the nearest valid cells around it. The interpolations across the
// void, along its line and its column, each weighted by the inverse of its span; a side's
// cell alone would bend a slope into a step, so the nearest cells on one side only count,
// by the inverse of their distance, where no interpolation crosses the void (at the
// grid's edges).
Estimate estimate(const Nearest& left, const Nearest& right, const Nearest& up,
                  const Nearest& down) {
    Estimate e;
    if (left.distance && right.distance)
        between(e, left.distance, left.value, right.distance, right.value);
    if (up.distance && down.distance) between(e, up.distance, up.value, down.distance, down.value);
    if (e.weight_sum > 0) return e;
    for (const Nearest& n : {left, right, up, down})
        if (n.distance) e.add(n.value, 1.0L / n.distance);
    return e;
}

// The first void from cell `from` on, or `count`: the cells looked at in pairs, without
// a branch for each (the compiler keeps a scalar compare for a NaN, for the exceptions
// it may raise).
int next_void(const double* cells, int from, int count) {
    int j = from;
#ifdef __SSE2__
    for (; j + 2 <= count; j += 2) {
        const __m128d pair = _mm_loadu_pd(cells + j);
        const int voids = _mm_movemask_pd(_mm_cmpunord_pd(pair, pair));
        if (voids != 0) return j + ((voids & 1) ? 0 : 1);
    }
#endif
    for (; j < count; ++j)
        if (cells[j] != cells[j]) return j;
    return count;
}

// Whether any of `count` cells is a void.
bool holds_void(const double* cells, int count) { return next_void(cells, 0, count) < count; }

class VoidFill {
public:
    VoidFill(LineSource base, int lines, int columns, int reach)
        : base_(std::move(base)),
          lines_(lines),
          columns_(columns),
          reach_(reach),
          made_(
              columns, [this](int i, double* data) { make(i, data); }, false) {}

    // A margin line is the nearest data line. A line without voids of a source whose
    // margins repeat its edges is the source's own; any other is made here, once.
    const double* line(int row) {
        const int r = data_row(row);
        for (const auto& [own_row, own] : own_lines_)
            if (own_row == r) return own;
        if (base_.edge_margins) {
            const double* own = base_.line(r);
            if (!holds_void(own + margin_before, columns_)) {
                // Lines are first asked for in increasing order, so that forget() drops
                // the source's own lines that the source may drop.
                if (!own_lines_.empty() && r < own_lines_.back().first)
                    fail("line " + std::to_string(r - margin_before + 1) +
                         " asked for out of order");
                own_lines_.emplace_back(r, own);
                return own;
            }
        }
        return made_.line(r, lines_);
    }
    void forget(int row) {
        const int r = data_row(row);
        while (!own_lines_.empty() && own_lines_.front().first < r) own_lines_.pop_front();
        made_.forget(r);
        base_.forget(r - reach_);
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
        if (reach_ > 0 && holds_void(data, columns_)) fill(i, data);
        std::fill(data - margin_before, data, data[0]);
        std::fill(data + columns_, data + columns_ + margin_after, data[columns_ - 1]);
    }

    void fill(int i, double* data) {
        // The lines within reach, above and below, each asked for in increasing order.
        std::vector<const double*> around(static_cast<std::size_t>(2 * reach_ + 1), nullptr);
        for (int d = -reach_; d <= reach_; ++d)
            if (i + d >= 0 && i + d < lines_) around[d + reach_] = base_line(i + d);
        const double* own = around[reach_];
        for (int j = 0; (j = next_void(own, j, columns_)) < columns_; ++j) {
            const auto on_line = [&](int k) { return k >= 0 && k < columns_ ? own + k : nullptr; };
            const auto on_column = [&](int d) {
                return around[reach_ + d] != nullptr ? around[reach_ + d] + j : nullptr;
            };
            const Nearest left = nearest(reach_, [&](int d) { return on_line(j - d); });
            const Nearest right = nearest(reach_, [&](int d) { return on_line(j + d); });
            const Nearest up = nearest(reach_, [&](int d) { return on_column(-d); });
            const Nearest down = nearest(reach_, [&](int d) { return on_column(d); });
            const Estimate e = estimate(left, right, up, down);
            if (e.weight_sum > 0) data[j] = static_cast<double>(e.value_sum / e.weight_sum);
        }
    }

    LineSource base_;
    int lines_, columns_, reach_;
    std::deque<std::pair<int, const double*>> own_lines_;  // the source's, by padded row
    LineWindow made_;                                      // the others
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
    source.edge_margins = true;
    if (base.another)
        source.another = [base, lines, columns, reach] {
            return filled_lines(base.another(), lines, columns, reach);
        };
    return source;
}

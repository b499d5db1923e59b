// Padded lines: the geometry that the readers, the engine and the writers share, and
// the line source and line sink through which a line travels from the input file
// through the sweep to the output file. A padded grid carries data cell [i][j] at
// [i + margin_before][j + margin_before]: margin lines and columns of zeros before the
// data and after it, which the regridding maps along with the data.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

constexpr int margin_before = 3;  // zero lines and columns before the data
constexpr int margin_after = 1;   // and after it
constexpr int frame_width = 3;    // cells of the lowest elevation around the output

// Lines (or columns) of a padded grid that carries `count` of them.
constexpr long long padded(long long count) { return count + margin_before + margin_after; }

// The padded input, a line at a time. `line(r)` gives padded line r, valid until
// `forget` passes it; the lines are first asked for in increasing order, and one may be
// asked for again until `forget(s)` says that no line below s will be. `lowest` and
// `highest` are the first lowest and highest elevation in the input's order (what a
// scan with strict comparisons keeps), found by the reader's pass over the file.
struct LineSource {
    std::function<const double*(int row)> line;
    std::function<void(int row)> forget;
    double lowest = 0.0, highest = 0.0;
    // Another source of the same lines with a window of its own, for another thread;
    // empty where the lines can be read only once, in order.
    std::function<LineSource()> another = nullptr;
};

// The padded output, a line at a time: `put(r, line)` hands over padded line r as soon
// as it is final, every line once and in order; `line` is valid during the call only.
struct LineSink {
    std::function<void(int row, const double* line)> put;
};

// The data lines a source has made and the sweep may still ask for, each made once by
// `make(data_row, data)` into the data cells of a padded line whose margins stay zero;
// buffers are reused, so memory is a footprint of lines whatever the grid's length.
class LineWindow {
public:
    using Maker = std::function<void(int data_row, double* data)>;
    // `in_order`: every line must be made, in order, even those never asked for (text
    // read as it comes); otherwise lines forgotten before they are asked for are skipped.
    LineWindow(int data_columns, Maker make, bool in_order);

    // Padded line `row` of a grid of `data_lines` data lines: a line of zeros in the
    // margins, otherwise the data line, made (with every line before it) when first
    // asked for.
    const double* line(int row, int data_lines);
    void forget(int row);

private:
    std::vector<double> take_buffer();

    std::size_t width_;
    Maker make_;
    std::vector<double> zeros_;
    std::deque<std::vector<double>> held_;  // data lines first_ to next_ - 1
    std::vector<std::vector<double>> spare_;
    bool in_order_;
    int first_ = 0, next_ = 0;
};

// Padded lines: the geometry that the readers, the engine and the writers share, and
// the line source and line sink through which a line travels from the input file
// through the sweep to the output file. A padded grid carries data cell [i][j] at
// [i + margin_before][j + margin_before]: margin lines and columns of zeros before the
// data and after it, which the regridding maps along with the data.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

constexpr int margin_before = 3;  // zero lines and columns before the data
constexpr int margin_after = 1;   // and after it
constexpr int frame_width = 3;    // cells of the lowest elevation around the output

// Lines (or columns) of a padded grid that carries `count` of them.
constexpr long long padded(long long count) { return count + margin_before + margin_after; }

// Reason to refuse a grid of `lines` x `columns` (fewer than one line or column, or too
// large to address padded), or empty when it is acceptable.
std::string geometry_problem(long long lines, long long columns);

// Output line i (of `lines` x `columns`) where the padded line carries it, from
// padded_line + margin_before on, which is returned: the frame_width cells along each
// edge set to `frame`, the others the padded line's data cells as they are.
double* frame_in_place(int i, double* padded_line, int lines, int columns, double frame);

// The padded input, a line at a time. `line(r)` gives padded line r, valid until
// `forget` passes it; the lines are first asked for in increasing order, and one may be
// asked for again until `forget(s)` says that no line below s will be. `lowest` and
// `highest` are the first lowest and highest elevation in the input's order (what a
// scan with strict comparisons keeps), found by the reader's pass over the file.
struct LineSource {
    std::function<const double*(int row)> line;
    std::function<void(int row)> forget;
    double lowest = 0.0, highest = 0.0;
    // Whether the margin lines and columns repeat the nearest data line and cell (as the
    // void-aware engine reads them) rather than being zeros. The void fill then reads
    // such a source's lines in any order, within what it has not forgotten.
    bool edge_margins = false;
    // False where the source knows that no cell is a void (NaN): the void-aware engine
    // then reads its lines as they are, with no look for voids to fill.
    bool may_hold_voids = true;
    // Another source of the same lines with a window of its own, for another thread;
    // empty where the lines can be read only once, in order.
    std::function<LineSource()> another = nullptr;
};

// What the engine makes of a source: told to the sink before its first line and
// returned by the engine's call. Output cell (i, j) covers, in the input's ground units,
// x from x0 + corner_x + j * sx and y down from y0 + corner_y - i * sy, where (x0, y0) is
// the input's upper-left corner: the padded input (margin_before cells before the data)
// is mapped onto the padded output.
struct OutputGeometry {
    int lines = 0, columns = 0;          // output data lines and columns
    double lowest = 0.0, highest = 0.0;  // the range the output is clamped to
    bool enlargement = false;            // more padded output lines than input lines
    double sx = 0.0, sy = 0.0;           // an output cell's width and height
    double corner_x = 0.0, corner_y = 0.0;
};

// The output, a line at a time: `start` is told the geometry before the first line;
// `put(i, cells)` hands over output line i, framed, as soon as it is final, every line
// once and in order; `cells` is valid during the call only. A sink whose conversion of
// a line (to text, say) is worth sharing among threads may also have `convert(i,
// cells)`, which the engine then calls for a final line before its put, on any thread,
// beside other conversions and the puts of earlier lines, for at most
// `converted_lines` lines beyond the last one put. put(i) must work whether or not
// convert(i) came first.
struct LineSink {
    std::function<void(const OutputGeometry&)> start;
    std::function<void(int line, const double* cells)> put;
    std::function<void(int line, const double* cells)> convert;
    int converted_lines = 0;
};

// The data lines a source has made and the sweep may still ask for, each made once by
// `make(data_row, data)` into the data cells of a padded line whose margins stay zero
// (unless the maker sets the margins of every line it makes); buffers are reused, so
// memory is a footprint of lines whatever the grid's length.
class LineWindow {
public:
    using Maker = std::function<void(int data_row, double* data)>;
    // `in_order`: every line must be made, in order, even those never asked for (text
    // read as it comes); otherwise only the lines asked for are made, in any order, so
    // that a thread's source reads none of the lines other threads regrid.
    LineWindow(int data_columns, Maker make, bool in_order);

    // Padded line `row` of a grid of `data_lines` data lines: a line of zeros in the
    // margins, otherwise the data line, made when first asked for (with every line
    // before it, in order).
    const double* line(int row, int data_lines);
    void forget(int row);

private:
    struct Held {
        int row;
        std::vector<double> cells;
    };
    std::vector<double> take_buffer();
    const double* keep(int data_row, std::deque<Held>::iterator at);

    std::size_t width_;
    Maker make_;
    std::vector<double> zeros_;
    std::deque<Held> held_;  // data lines from first_ on, in increasing order
    std::vector<std::vector<double>> spare_;
    bool in_order_;
    int first_ = 0, next_ = 0;  // next_: the line made next, in order
};

// The ASCII grid output: a header of label and value pairs, then every value as "%lf"
// prints it followed by a tab, with no line break anywhere in the value block. Values
// are formatted a line at a time, on whichever thread the engine asks, and written in
// order as the sweep hands each line over; where the header depends on answers asked
// after the sweep, they wait in a file of their own and follow the header then.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dem_files/block_output.h"
#include "dem_files/pending_output.h"
#include "padded_lines.h"

// The header the dialogue writes: ncols, nrows, xllcorner, yllcorner and cellsize with
// "%d" and "%lf", and the fixed no-data line.
std::string ascii_header_text(int columns, int lines, double x_min, double y_min, double cell_size);

class AsciiWriter {
public:
    // Creates the grid's file under a temporary name, and with `values_apart` the file
    // its values wait in.
    AsciiWriter(const std::string& logical, bool values_apart);

    // A file that appears under the final name while the run is working is not replaced.
    void replace_nothing() { grid_.replace_nothing(); }

    // The value written for a cell of no data (a NaN): the dialogue's header's by default.
    void set_nodata(double value) { nodata_ = value; }
    ~AsciiWriter();

    // The line sink the engine writes the values through, which lets the engine format
    // lines on several threads. Unless the values are apart, `header` gives the header
    // for the output's geometry, written before them.
    LineSink sink(std::function<std::string(const OutputGeometry&)> header = nullptr);

    // Writes `header` and then the values that waited apart (or, when they followed the
    // header at once, only flushes them), and puts the grid in place, with a closed
    // `companion` file if given.
    void finish(const OutputGeometry& g, const std::string& header = "",
                PendingOutput* companion = nullptr);

    std::uint64_t room() const { return grid_.room(); }
    // What an output of this size writes at the least: 9 bytes a value ("0.000000" and
    // a tab), twice when its values wait apart.
    static std::uint64_t file_bytes(int lines, int columns, bool values_apart);
    // Bytes the writer holds: its block buffer and the text of the lines formatted ahead,
    // counted at 256 KiB a line (16384 values of 16 bytes; longer lines take more).
    static std::uint64_t memory() {
        return BlockOutput::memory(1 << 18) + formatted_lines * (std::uint64_t{1} << 18);
    }

private:
    double nodata_ = -9999.9999;
    // Lines whose text may wait, formatted, for their turn to be written: enough for
    // every thread to format lines while the earliest is written.
    static constexpr int formatted_lines = 32;
    struct Text {
        int line = -1;  // the line it holds, once formatted
        std::vector<char> bytes;
        std::size_t size = 0;
    };
    void format(int i, const double* line);
    void write(int i, const double* line);
    PendingOutput& values_file() { return values_ ? *values_ : grid_; }

    PendingOutput grid_;
    std::unique_ptr<PendingOutput> values_;  // the values, when they wait apart
    std::unique_ptr<BlockOutput> blocks_;    // the values on their way to their file
    std::vector<Text> texts_ = std::vector<Text>(formatted_lines);
    int columns_ = 0, written_ = 0;
};

// An ASCII grid: its header, then a reading pass that checks every value (parsed in
// pieces on every core, taken in order) and finds the range before any output exists,
// keeping the parsed values as doubles in a file without a name beside the input (where
// the folder and its free space allow), so that the sweep reads them back as fast as a
// raw raster; otherwise the sweep parses the text again.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "dem_files/ascii_header.h"
#include "dem_files/line_sums.h"
#include "padded_lines.h"

class AsciiReader {
public:
    // `file` open for reading on the grid, which the reader closes; `logical` its name,
    // beside which the parsed values are kept; `shown` names it in messages.
    AsciiReader(std::FILE* file, std::string logical, std::string shown);
    ~AsciiReader();
    AsciiReader(const AsciiReader&) = delete;
    AsciiReader& operator=(const AsciiReader&) = delete;

    // Reads and checks the header.
    const AsciiHeader& read_header();

    // The reading pass over every value, `progress` told each 100th line before it is
    // read; warns of values beyond the last line.
    void scan(const std::function<void(int line)>& progress);

    // The padded input with the range the pass found; with `voids_as_nan` the cells that
    // hold the no-data value are NaN, which marks them as voids, and the range is that of
    // the other cells.
    LineSource source(bool voids_as_nan = false) const;

    // Cells that hold the header's no-data value.
    unsigned long long nodata_cells() const { return nodata_cells_; }

private:
    [[noreturn]] void fault(std::string_view text, std::size_t w,
                            const TokenReader::Place& place) const;
    void start_stored_values();
    // Folds a row into the range of the cells that are not no-data cells, `voids` saying
    // whether the row holds any.
    void fold_valid_range(const double* row, int columns, bool voids);
    void store_values(const double* row);
    void drop_stored_values();

    std::FILE* file_;
    std::string logical_, shown_;
    AsciiHeader header_;
    std::uint64_t values_offset_ = 0;  // where the values start in the file
    std::shared_ptr<LineSums> sums_;   // of the reading pass, for a reading of the text again
    TokenReader::Place values_place_{1, 0};
    // The values as the pass parsed them; null where there is no room for them.
    std::FILE* stored_ = nullptr;
    double lowest_ = 0.0, highest_ = 0.0;
    double valid_lowest_ = 0.0, valid_highest_ = 0.0;  // of the cells that are not voids
    unsigned long long nodata_cells_ = 0;
};

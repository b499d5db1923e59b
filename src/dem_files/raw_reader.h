// A raw raster: headerless little-endian cells in line order, unsigned 16-bit or signed
// 32-bit. Its reading pass checks the file's size against the geometry and finds the
// range in stored units, in blocks on every core, without holding the raster; the sweep
// then reads its lines again, at any place, as its line source.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dem_files/line_sums.h"
#include "padded_lines.h"

// The range of every cell in stored units, the first lowest and highest in the file's
// order, the cells the file lacks being 0.
struct RawScan {
    int lowest = 0, highest = 0;
    unsigned long long missing = 0;  // cells the file lacks
};

class RawReader {
public:
    // `file` open for reading on the raster, which the reader closes; `shown` names it in
    // messages; `cell_bytes` is 2 or 4.
    RawReader(std::FILE* file, std::string shown, int cell_bytes, int lines, int columns);
    ~RawReader();
    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;

    // The geometry, where it is known only after the file is opened (from its descriptor
    // or the operator).
    void set_geometry(int lines, int columns) {
        lines_ = lines;
        columns_ = columns;
    }

    // The reading pass: warns of a file shorter or longer than its geometry (before any
    // memory is taken for it) and scans every cell.
    RawScan scan();

    // The padded input in metres, each cell divided by `unit`, with the range the scan
    // found.
    LineSource source(double unit) const;

    // A raw cell in metres: the cell over `unit`, formed in extended precision and rounded
    // to double, which one double division gives here (see widen16).
    static double metres(int cell, double unit);

private:
    bool size_checked();
    void report_short(unsigned long long missing) const;
    struct BlockScan {
        int lowest, highest;
        std::uint64_t cells;      // read whole
        bool short_read = false;  // the file ends within the block
    };
    template <typename Cell>
    BlockScan scan_lines(int first, int end, std::vector<Cell>& buffer) const;
    template <typename Cell>
    RawScan scan_cells();

    std::shared_ptr<LineSums> sums_;  // of the reading pass, for the sweep to check
    std::FILE* file_;
    std::string shown_;
    int cell_bytes_, lines_, columns_;
    RawScan scan_;
};

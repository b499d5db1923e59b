// The raw raster's reading pass and its line source.
#include "dem_files/raw_reader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "answers.h"
#include "dem_files/stored_lines.h"
#include "failure.h"
#include "host_files.h"
#include "phase_times.h"
#include "wide_rows.h"

RawReader::RawReader(std::FILE* file, std::string shown, int cell_bytes, int lines, int columns)
    : file_(file),
      shown_(std::move(shown)),
      cell_bytes_(cell_bytes),
      lines_(lines),
      columns_(columns) {}

RawReader::~RawReader() {
    if (file_ != nullptr) std::fclose(file_);
}

void RawReader::report_short(unsigned long long missing) const {
    report(shown_ + " is shorter than " + std::to_string(lines_) + " lines of " +
           std::to_string(columns_) + " cells: the " + std::to_string(missing) +
           " missing cells are taken as 0");
}

// Compares the size of the file with its geometry before any memory is taken for it;
// false when the size cannot be told (the reading then counts the cells).
bool RawReader::size_checked() {
    std::uint64_t size = 0;
    if (!regular_file_size(file_, size)) return false;
    const unsigned long long cells =
        static_cast<unsigned long long>(lines_) * static_cast<unsigned long long>(columns_);
    const unsigned long long whole = size / static_cast<unsigned>(cell_bytes_);
    const unsigned long long expected = cells * static_cast<unsigned>(cell_bytes_);
    if (whole < cells)
        report_short(cells - whole);  // a cell the file ends inside is missing too
    else if (size > expected)
        report(shown_ + " holds " + std::to_string(size - expected) + " bytes more than its " +
               std::to_string(lines_) + " lines of " + std::to_string(columns_) +
               " cells; they are ignored");
    return true;
}

// Read in blocks of 1 MiB and scanned in vectors.
template <typename Cell>
RawScan RawReader::scan_cells() {
    const unsigned long long cells =
        static_cast<unsigned long long>(lines_) * static_cast<unsigned long long>(columns_);
    std::vector<Cell> block(
        static_cast<std::size_t>(std::min<unsigned long long>(cells, (1u << 20) / sizeof(Cell))));
    RawScan scan;
    scan.lowest = INT_MAX;
    scan.highest = INT_MIN;
    unsigned long long done = 0;
    while (done < cells) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<unsigned long long>(block.size(), cells - done));
        const std::size_t got = std::fread(block.data(), sizeof(Cell), want, file_);
        if (std::ferror(file_)) fail("cannot read " + shown_ + ": " + system_error());
        if constexpr (sizeof(Cell) == 2)
            wide_rows.range16(block.data(), static_cast<int>(got), scan.lowest, scan.highest);
        else
            wide_rows.range32(block.data(), static_cast<int>(got), scan.lowest, scan.highest);
        done += got;
        if (got < want) break;
    }
    scan.missing = cells - done;  // a cell the file ends inside too
    if (scan.missing > 0) {       // the missing cells are 0
        scan.lowest = std::min(scan.lowest, 0);
        scan.highest = std::max(scan.highest, 0);
    }
    return scan;
}

RawScan RawReader::scan() {
    PhaseTimer timer("reading");
    const bool checked = size_checked();
    if (!can_seek(file_))
        fail("cannot read " + shown_ + ": the sweep reads its lines again, so it must be a file");
    scan_ = cell_bytes_ == 2 ? scan_cells<std::uint16_t>() : scan_cells<std::int32_t>();
    if (scan_.missing > 0 && !checked) report_short(scan_.missing);
    return scan_;
}

double RawReader::metres(int cell, double unit) {
    return unit == 1.0 ? static_cast<double>(cell) : static_cast<double>(cell) / unit;
}

LineSource RawReader::source(double unit) const {
    LineSource source =
        stored_lines(file_, shown_, cell_bytes_ == 2 ? CellType::unsigned16 : CellType::signed32,
                     lines_, columns_, unit);
    source.lowest = metres(scan_.lowest, unit);
    source.highest = metres(scan_.highest, unit);
    return source;
}

// The raw raster's reading pass and its line source.
#include "dem_files/raw_reader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "answers.h"
#include "dem_files/stored_lines.h"
#include "failure.h"
#include "host_files.h"
#include "host_memory.h"
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

// The range of `count` cells from cell `first` on, read at their place into `buffer`:
// the reading pass's unit of work, which threads take in any order, since the range of
// whole numbers does not depend on it. `cells` is how many the file holds of them.
template <typename Cell>
RawReader::BlockScan RawReader::scan_block(std::uint64_t first, std::size_t count,
                                           std::vector<Cell>& buffer) const {
    std::size_t got = 0;
    if (!read_at(file_, buffer.data(), count * sizeof(Cell), first * sizeof(Cell), got))
        fail("cannot read " + shown_ + ": " + system_error());
    BlockScan block{INT_MAX, INT_MIN,
                    got / sizeof(Cell)};  // a cell the file ends inside is missing
    sums_->add(buffer.data(), first, block.cells);
    sums_->add_zeros(first + block.cells, count - block.cells);
    if constexpr (sizeof(Cell) == 2)
        wide_rows.range16(buffer.data(), static_cast<int>(block.cells), block.lowest,
                          block.highest);
    else
        wide_rows.range32(buffer.data(), static_cast<int>(block.cells), block.lowest,
                          block.highest);
    return block;
}

// Blocks of 1 MiB shared among the cores: each thread folds the blocks it takes, and the
// folds are folded together.
template <typename Cell>
RawScan RawReader::scan_cells() {
    const std::uint64_t cells =
        static_cast<std::uint64_t>(lines_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t per_block = (1u << 20) / sizeof(Cell);
    const std::uint64_t blocks = (cells + per_block - 1) / per_block;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> ended{false};  // a block came short: those after it are past the end
    struct Fold {
        BlockScan scan{INT_MAX, INT_MIN, 0};
        std::exception_ptr error;
    };
    const auto take_blocks = [&](Fold& fold) {
        try {
            std::vector<Cell> buffer(static_cast<std::size_t>(std::min(per_block, cells)));
            for (std::uint64_t b; !ended && (b = next++) < blocks;) {
                const std::uint64_t first = b * per_block;
                const std::size_t count =
                    static_cast<std::size_t>(std::min(per_block, cells - first));
                const BlockScan block = scan_block(first, count, buffer);
                if (block.cells < count) ended = true;
                fold.scan.lowest = std::min(fold.scan.lowest, block.lowest);
                fold.scan.highest = std::max(fold.scan.highest, block.highest);
                fold.scan.cells += block.cells;
            }
        } catch (...) {
            fold.error = std::current_exception();
        }
    };
    const int threads = static_cast<int>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(usable_cores(), blocks)));
    std::vector<Fold> folds(static_cast<std::size_t>(threads));
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(take_blocks, std::ref(folds[t]));
    } catch (const std::system_error&) {
        // Fewer threads: the blocks go to those there are.
    }
    take_blocks(folds[0]);
    for (std::thread& helper : helpers) helper.join();
    const std::uint64_t untaken = std::min<std::uint64_t>(next, blocks) * per_block;
    if (untaken < cells) sums_->add_zeros(untaken, cells - untaken);  // after a short block
    RawScan scan;
    scan.lowest = INT_MAX;
    scan.highest = INT_MIN;
    std::uint64_t read = 0;
    for (const Fold& fold : folds) {
        if (fold.error) std::rethrow_exception(fold.error);
        scan.lowest = std::min(scan.lowest, fold.scan.lowest);
        scan.highest = std::max(scan.highest, fold.scan.highest);
        read += fold.scan.cells;
    }
    scan.missing = cells - read;
    if (scan.missing > 0) {  // the missing cells are 0
        scan.lowest = std::min(scan.lowest, 0);
        scan.highest = std::max(scan.highest, 0);
    }
    return scan;
}

RawScan RawReader::scan() {
    PhaseTimer timer("reading");
    const std::string memory = memory_refusal(LineSums::bytes(lines_));
    if (!memory.empty())
        fail("the sums that check " + shown_ + "'s lines as they are read again " + memory);
    sums_ = std::make_shared<LineSums>(lines_, columns_);
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
    StoredCells stored;
    stored.file = file_;
    stored.shown = shown_;
    stored.type = cell_bytes_ == 2 ? CellType::unsigned16 : CellType::signed32;
    stored.lines = lines_;
    stored.columns = columns_;
    stored.unit = unit;
    stored.sums = sums_;
    LineSource source = stored_lines(stored);
    source.lowest = metres(scan_.lowest, unit);
    source.highest = metres(scan_.highest, unit);
    return source;
}

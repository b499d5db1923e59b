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

// The lines from `first` to `end` read at their place into `buffer` (whole lines at
// once where they fit, a line in pieces of the buffer's size where it does not), their
// range folded and each line's sum taken over the bytes the file holds of it: the
// reading pass's unit of work, which threads take in any order, since neither the range
// of whole numbers nor a line's sum depends on it.
template <typename Cell>
RawReader::BlockScan RawReader::scan_lines(int first, int end, std::vector<Cell>& buffer) const {
    const std::uint64_t line_bytes = static_cast<std::uint64_t>(columns_) * sizeof(Cell);
    BlockScan block{INT_MAX, INT_MIN, 0};
    const auto fold = [&block](const Cell* cells, std::size_t count) {
        if constexpr (sizeof(Cell) == 2)
            wide_rows.range16(cells, static_cast<int>(count), block.lowest, block.highest);
        else
            wide_rows.range32(cells, static_cast<int>(count), block.lowest, block.highest);
        block.cells += count;
    };
    const auto read = [this](Cell* to, std::size_t bytes, std::uint64_t at) {
        std::size_t got = 0;
        if (!read_at(file_, to, bytes, at, got))
            fail("cannot read " + shown_ + ": " + system_error());
        return got;
    };
    const std::size_t room = buffer.size() * sizeof(Cell);
    if (line_bytes <= room) {
        const std::size_t got =
            read(buffer.data(), static_cast<std::size_t>(line_bytes) * (end - first),
                 first * line_bytes);
        fold(buffer.data(), got / sizeof(Cell));  // a cell the file ends inside is missing
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (int i = first; i < end; ++i) {
            const std::uint64_t from = (i - first) * line_bytes;
            const std::size_t held = static_cast<std::size_t>(
                got > from ? std::min<std::uint64_t>(line_bytes, got - from) : 0);
            sums_->set(i, LineSums::of(bytes + (held > 0 ? from : 0), held));
        }
        block.short_read = got < static_cast<std::size_t>(line_bytes) * (end - first);
        return block;
    }
    LineHash hash;  // one long line, in pieces
    for (std::uint64_t at = 0; at < line_bytes;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(room, line_bytes - at));
        const std::size_t got = read(buffer.data(), want, first * line_bytes + at);
        fold(buffer.data(), got / sizeof(Cell));
        hash.add(buffer.data(), got);
        at += got;
        if (got < want) {
            block.short_read = true;
            break;
        }
    }
    sums_->set(first, hash.finish());
    return block;
}

// Blocks of whole lines, about 1 MiB (or one line where a line is longer), shared among
// the cores: each thread folds the blocks it takes, and the folds are folded together.
template <typename Cell>
RawScan RawReader::scan_cells() {
    const std::uint64_t cells =
        static_cast<std::uint64_t>(lines_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t line_bytes = static_cast<std::uint64_t>(columns_) * sizeof(Cell);
    constexpr std::uint64_t block_bytes = 1u << 20;
    const int per_block = static_cast<int>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(block_bytes / line_bytes, lines_)));
    // Counted in 64 bits: lines near the largest int would overflow the sums.
    const int blocks = static_cast<int>((std::int64_t{lines_} + per_block - 1) / per_block);
    std::atomic<int> next{0};
    std::atomic<bool> ended{false};  // a block came short: those after it are past the end
    struct Fold {
        BlockScan scan{INT_MAX, INT_MIN, 0};
        std::exception_ptr error;
    };
    const auto take_blocks = [&](Fold& fold) {
        try {
            const std::uint64_t buffer_bytes =
                line_bytes <= block_bytes ? line_bytes * per_block : block_bytes;
            std::vector<Cell> buffer(static_cast<std::size_t>(buffer_bytes / sizeof(Cell)));
            for (int b; !ended && (b = next++) < blocks;) {
                const int first = b * per_block;
                const int end = static_cast<int>(
                    std::min<std::int64_t>(lines_, std::int64_t{first} + per_block));
                const BlockScan block = scan_lines(first, end, buffer);
                if (block.short_read) ended = true;
                fold.scan.lowest = std::min(fold.scan.lowest, block.lowest);
                fold.scan.highest = std::max(fold.scan.highest, block.highest);
                fold.scan.cells += block.cells;
            }
        } catch (...) {
            fold.error = std::current_exception();
        }
    };
    const int threads = std::max(1, std::min(usable_cores(), blocks));
    std::vector<Fold> folds(static_cast<std::size_t>(threads));
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(take_blocks, std::ref(folds[t]));
    } catch (const std::system_error&) {
        // Fewer threads: the blocks go to those there are.
    }
    take_blocks(folds[0]);
    for (std::thread& helper : helpers) helper.join();
    // The lines of the blocks after a short one: the file holds nothing of them.
    const unsigned char nothing = 0;
    const std::uint64_t empty_sum = LineSums::of(&nothing, 0);
    const std::int64_t read_to = std::min<std::int64_t>(
        lines_, std::int64_t{std::min(static_cast<int>(next), blocks)} * per_block);
    for (int i = static_cast<int>(read_to); i < lines_; ++i) sums_->set(i, empty_sum);
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
    sums_ = std::make_shared<LineSums>(lines_);
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

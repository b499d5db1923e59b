// Checksums of a source's lines, taken in its reading pass and compared as the sweep
// reads each line again, so that a file changed between the two (written in place,
// truncated) fails the run instead of giving a result that is neither the old file's
// nor the new one's. A line's sum is the sum over its cells of (the cell's bits + 1) x
// K (p + 1) modulo 2^64, p the cell's place in the file and K odd: a single changed or
// moved cell changes it, and it adds up over pieces of a line, so that a pass may take
// the file in blocks across lines, on several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

class LineSums {
public:
    LineSums(int lines, int columns)
        : columns_(static_cast<std::uint64_t>(columns)),
          sums_(std::make_unique<std::atomic<std::uint64_t>[]>(static_cast<std::size_t>(lines))) {}

    // Bytes the sums of `lines` lines take.
    static std::uint64_t bytes(int lines) { return 8 * static_cast<std::uint64_t>(lines); }

    // `count` cells from place `first` (line after line), added to their lines' sums.
    template <typename Cell>
    void add(const Cell* cells, std::uint64_t first, std::uint64_t count) {
        while (count > 0) {
            const std::uint64_t line = first / columns_;
            const std::uint64_t piece = std::min(count, (line + 1) * columns_ - first);
            sums_[line].fetch_add(sum(cells, first, piece), std::memory_order_relaxed);
            cells += piece;
            first += piece;
            count -= piece;
        }
    }

    // `count` cells of 0 from place `first`: the cells a short file lacks.
    void add_zeros(std::uint64_t first, std::uint64_t count);

    // Fails, naming `shown`, when line i's cells do not sum as they did.
    template <typename Cell>
    void check(int i, const Cell* cells, const std::string& shown) const {
        const std::uint64_t first = static_cast<std::uint64_t>(i) * columns_;
        if (sum(cells, first, columns_) != sums_[i].load(std::memory_order_relaxed))
            changed(i, shown);
    }

private:
    static constexpr std::uint64_t K = 0x9E3779B97F4A7C15u;

    template <typename Cell>
    static std::uint64_t bits(Cell c) {
        if constexpr (sizeof(Cell) == 8) {
            std::uint64_t b;
            std::memcpy(&b, &c, 8);
            return b;
        } else {
            return static_cast<std::make_unsigned_t<Cell>>(c);
        }
    }

    template <typename Cell>
    static std::uint64_t sum(const Cell* cells, std::uint64_t first, std::uint64_t count) {
        std::uint64_t s = 0, weight = (first + 1) * K;
        for (std::uint64_t k = 0; k < count; ++k, weight += K) s += (bits(cells[k]) + 1) * weight;
        return s;
    }

    [[noreturn]] static void changed(int i, const std::string& shown);

    std::uint64_t columns_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> sums_;
};

// Checksums of a source's lines, taken in its reading pass and compared as the sweep
// reads each line again, so that a file changed between the two (written in place,
// truncated) fails the run instead of giving a result that is neither the old file's
// nor the new one's. A line's sum mixes the bytes the file holds of it eight at a time
// in four lanes, each word xored in and the lane multiplied by an odd constant (a
// bijection, so a changed word changes its lane): cheap beside the reading, and a
// different line sums alike only by a chance of about 2^-64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A line's sum over its bytes given in pieces, all but the last a multiple of 32 bytes.
class LineHash {
public:
    void add(const void* bytes, std::size_t size);
    std::uint64_t finish() const;

private:
    std::uint64_t lane_[4] = {1, 2, 3, 4};
    std::uint64_t size_ = 0;
};

class LineSums {
public:
    explicit LineSums(int lines)
        : sums_(std::make_unique<std::uint64_t[]>(static_cast<std::size_t>(lines))) {}

    // Bytes the sums of `lines` lines take.
    static std::uint64_t bytes(int lines) { return 8 * static_cast<std::uint64_t>(lines); }

    // The sum of a line's `size` bytes.
    static std::uint64_t of(const void* line, std::size_t size);

    // Line i's sum; lines are given theirs by one thread each.
    void set(int i, std::uint64_t sum) { sums_[static_cast<std::size_t>(i)] = sum; }

    // Fails, naming `shown`, when line i, read again, sums to another `sum` than it did.
    void check(int i, std::uint64_t sum, const std::string& shown) const;
    // The same for the `size` bytes read of line i.
    void check(int i, const void* line, std::size_t size, const std::string& shown) const {
        check(i, of(line, size), shown);
    }

private:
    std::unique_ptr<std::uint64_t[]> sums_;
};

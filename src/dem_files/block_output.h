// Bytes appended to a pending output through a large buffer: its whole aligned blocks go
// to the device past the page cache where the file system allows it; the rest, and
// everything where it does not, through the output's stream. The file's bytes are the
// same either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dem_files/pending_output.h"

class BlockOutput {
public:
    // Appends after what `file`'s stream has written so far; `expected` bytes in all,
    // for the hand-overs of the stream's pages to the device, every 32 MiB or eighth of
    // the expected size, whichever is less.
    BlockOutput(PendingOutput& file, std::uint64_t expected);
    ~BlockOutput();
    BlockOutput(const BlockOutput&) = delete;
    BlockOutput& operator=(const BlockOutput&) = delete;

    // Room for `bytes` more bytes at the end, valid until the next call.
    char* room(std::size_t bytes);
    // `bytes` of that room now hold what is to be appended.
    void wrote(std::size_t bytes) { used_ += bytes; }

    // Writes what is left; the stream then stands after every byte appended.
    void finish();

    // Bytes it holds when asked for room of at most `largest_room` bytes at a time.
    static std::uint64_t memory(std::size_t largest_room);

private:
    struct Release {
        void operator()(char* p) const;
    };
    void flush(bool all);
    void through_stream(std::uint64_t offset, const char* data, std::size_t bytes);

    PendingOutput& file_;
    int direct_;                               // the handle past the cache, or -1
    std::unique_ptr<char[], Release> buffer_;  // aligned to direct_block
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0, used_ = 0;  // the buffer's bytes still to write
    std::uint64_t base_ = 0;            // the file offset of buffer_[0]
    std::uint64_t position_ = 0;        // where the stream stands
    std::uint64_t handover_, unhanded_ = 0;
};

// The buffer of a block output, its writes past the page cache and through the stream.
#include "dem_files/block_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "host_direct.h"
#include "host_files.h"

namespace {

constexpr std::size_t least_buffer = std::size_t{4} << 20;

std::uint64_t align_down(std::uint64_t x) { return x / direct_block * direct_block; }
std::uint64_t align_up(std::uint64_t x) { return align_down(x + direct_block - 1); }

// A buffer for rooms of `bytes`: the rest of a block before them and a block after.
std::size_t capacity_for(std::size_t bytes) {
    return std::max(least_buffer, static_cast<std::size_t>(align_up(bytes)) + 2 * direct_block);
}

char* aligned_buffer(std::size_t bytes) {
    return static_cast<char*>(::operator new(bytes, std::align_val_t(direct_block)));
}

}  // namespace

void BlockOutput::Release::operator()(char* p) const {
    ::operator delete(p, std::align_val_t(direct_block));
}

BlockOutput::BlockOutput(PendingOutput& file, std::uint64_t expected)
    : file_(file),
      direct_(open_direct(file.temporary_path())),
      buffer_(aligned_buffer(least_buffer)),
      capacity_(least_buffer),
      handover_(std::max<std::uint64_t>(
          1, std::min<std::uint64_t>(std::uint64_t{32} << 20, expected / 8))) {
    std::FILE* stream = file_.stream();
    if (std::fflush(stream) != 0) file_.write_failed();
    const long start = std::ftell(stream);
    if (start < 0) {  // a file of no known position: no writes past the cache
        close_direct(direct_);
        direct_ = -1;
    }
    // buffer_[0] stands for the block in which the appended bytes begin.
    position_ = start < 0 ? 0 : static_cast<std::uint64_t>(start);
    base_ = align_down(position_);
    begin_ = used_ = static_cast<std::size_t>(position_ - base_);
}

BlockOutput::~BlockOutput() { close_direct(direct_); }

std::uint64_t BlockOutput::memory(std::size_t largest_room) { return capacity_for(largest_room); }

char* BlockOutput::room(std::size_t bytes) {
    if (capacity_ - used_ < bytes) flush(false);
    if (capacity_ - used_ < bytes) {  // a room larger than the buffer has ever been
        const std::size_t capacity = capacity_for(bytes + used_);
        std::unique_ptr<char[], Release> larger(aligned_buffer(capacity));
        std::memcpy(larger.get(), buffer_.get(), used_);
        buffer_ = std::move(larger);
        capacity_ = capacity;
    }
    return buffer_.get() + used_;
}

// Writes the whole aligned blocks past the cache (the bytes before the first of them
// through the stream), or everything through the stream where there is no way past
// it, and keeps the rest for later unless `all`.
void BlockOutput::flush(bool all) {
    const std::uint64_t from = base_ + begin_, to = base_ + used_;
    std::uint64_t done = from;
    if (direct_ >= 0) {
        const std::uint64_t first = align_up(from), last = align_down(to);
        if (last > first) {
            through_stream(from, buffer_.get() + begin_, static_cast<std::size_t>(first - from));
            const char* blocks = buffer_.get() + (first - base_);
            if (!write_direct(direct_, blocks, static_cast<std::size_t>(last - first), first)) {
                if (errno != EINVAL) file_.write_failed();
                close_direct(direct_);  // refused after all: the stream from here on
                direct_ = -1;
                through_stream(first, blocks, static_cast<std::size_t>(last - first));
            }
            done = last;
        }
    } else {
        through_stream(from, buffer_.get() + begin_, static_cast<std::size_t>(to - from));
        done = to;
    }
    if (all) {
        through_stream(done, buffer_.get() + (done - base_), static_cast<std::size_t>(to - done));
        done = to;
    }
    // The rest moves to the front, where the block it lies in begins.
    const std::uint64_t block = direct_ >= 0 ? align_down(done) : done;
    const std::size_t kept = static_cast<std::size_t>(to - block);
    std::memmove(buffer_.get(), buffer_.get() + (block - base_), kept);
    base_ = block;
    begin_ = static_cast<std::size_t>(done - block);
    used_ = kept;
}

void BlockOutput::through_stream(std::uint64_t offset, const char* data, std::size_t bytes) {
    if (bytes == 0) return;
    std::FILE* stream = file_.stream();
    if (offset != position_ && !seek_to(stream, offset)) file_.write_failed();
    if (std::fwrite(data, 1, bytes, stream) != bytes) file_.write_failed();
    position_ = offset + bytes;
    unhanded_ += bytes;
    if (unhanded_ >= handover_) {
        start_writeback(stream);
        unhanded_ = 0;
    }
}

void BlockOutput::finish() {
    flush(true);
    close_direct(direct_);
    direct_ = -1;
    const std::uint64_t end = base_ + used_;
    if (position_ != end && !seek_to(file_.stream(), end)) file_.write_failed();
    position_ = end;
}

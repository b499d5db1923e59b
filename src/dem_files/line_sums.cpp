// The line sums' mixing, and the failure of a changed line.
#include "dem_files/line_sums.h"

#include <cstring>

#include "failure.h"

namespace {
constexpr std::uint64_t K = 0x9E3779B97F4A7C15u;
}  // namespace

void LineHash::add(const void* bytes, std::size_t size) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    std::size_t at = 0;
    for (; at + 32 <= size; at += 32)
        for (int l = 0; l < 4; ++l) {
            std::uint64_t word;
            std::memcpy(&word, b + at + 8 * l, 8);
            lane_[l] = (lane_[l] ^ word) * K;
        }
    if (at < size) {  // the line's last bytes, made up with zeros
        std::uint64_t tail[4] = {0, 0, 0, 0};
        std::memcpy(tail, b + at, size - at);
        for (int l = 0; l < 4; ++l) lane_[l] = (lane_[l] ^ tail[l]) * K;
    }
    size_ += size;
}

std::uint64_t LineHash::finish() const {
    return lane_[0] ^ (lane_[1] * 3) ^ (lane_[2] * 5) ^ (lane_[3] * 7) ^ (size_ * K);
}

std::uint64_t LineSums::of(const void* line, std::size_t size) {
    LineHash hash;
    hash.add(line, size);
    return hash.finish();
}

void LineSums::check(int i, std::uint64_t sum, const std::string& shown) const {
    if (sum == sums_[static_cast<std::size_t>(i)]) return;
    fail(shown + " changed while it was being read: its line " + std::to_string(i + 1) +
         " is not what the reading pass read; nothing is written");
}

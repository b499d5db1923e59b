// The line sums' zeros in closed form, and the failure of a changed line.
#include "dem_files/line_sums.h"

#include "failure.h"

namespace {

// 1 + 2 + ... + n modulo 2^64: the even one of n and n + 1 halved first.
std::uint64_t triangle(std::uint64_t n) {
    return n % 2 == 0 ? (n / 2) * (n + 1) : n * ((n + 1) / 2);
}

}  // namespace

// A cell of 0 adds K (p + 1): the cells from `first` on add K times a sum of places.
void LineSums::add_zeros(std::uint64_t first, std::uint64_t count) {
    while (count > 0) {
        const std::uint64_t line = first / columns_;
        const std::uint64_t piece = std::min(count, (line + 1) * columns_ - first);
        const std::uint64_t places = triangle(first + piece) - triangle(first);
        sums_[line].fetch_add(places * K, std::memory_order_relaxed);
        first += piece;
        count -= piece;
    }
}

void LineSums::changed(int i, const std::string& shown) {
    fail(shown + " changed while it was being read: its line " + std::to_string(i + 1) +
         " is not what the reading pass read; nothing is written");
}

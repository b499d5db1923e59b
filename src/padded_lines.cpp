// The padded geometry's limits and the window of lines a line source keeps for the sweep.
#include "padded_lines.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "failure.h"

std::string geometry_problem(long long lines, long long columns) {
    const std::string size =
        std::to_string(lines) + " lines and " + std::to_string(columns) + " columns";
    if (lines < 1 || columns < 1) return size + ": a grid needs at least one line and one column";
    if (padded(lines) > INT_MAX || padded(columns) > INT_MAX)
        return size + ": too large to address";
    // Byte offsets of 8-byte cells must fit 64 bits with room to spare.
    const std::uint64_t cells =
        static_cast<std::uint64_t>(padded(lines)) * static_cast<std::uint64_t>(padded(columns));
    if (cells > (std::uint64_t{1} << 58)) return size + ": too large to address";
    return "";
}

LineWindow::LineWindow(int data_columns, Maker make, bool in_order)
    : width_(static_cast<std::size_t>(padded(data_columns))),
      make_(std::move(make)),
      zeros_(width_, 0.0),
      in_order_(in_order) {}

double* frame_in_place(int i, double* padded_line, int lines, int columns, double frame) {
    double* out = padded_line + margin_before;
    if (i < frame_width || i >= lines - frame_width || columns <= 2 * frame_width) {
        std::fill(out, out + columns, frame);
    } else {
        std::fill(out, out + frame_width, frame);
        std::fill(out + columns - frame_width, out + columns, frame);
    }
    return out;
}

std::vector<double> LineWindow::take_buffer() {
    if (spare_.empty()) return std::vector<double>(width_, 0.0);
    std::vector<double> buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;  // its margins are as the maker left them: zeros, or its own
}

const double* LineWindow::keep(int data_row, std::deque<Held>::iterator at) {
    std::vector<double> buffer = take_buffer();
    make_(data_row, buffer.data() + margin_before);
    return held_.insert(at, Held{data_row, std::move(buffer)})->cells.data();
}

const double* LineWindow::line(int row, int data_lines) {
    const int data_row = row - margin_before;
    if (data_row < 0 || data_row >= data_lines) return zeros_.data();
    // The held lines are mostly a run of consecutive rows: the row's place in the run is
    // tried first, and the lines searched only where it holds another.
    if (!held_.empty() && data_row >= held_.front().row) {
        const std::size_t place = static_cast<std::size_t>(data_row - held_.front().row);
        if (place < held_.size() && held_[place].row == data_row) return held_[place].cells.data();
    }
    const auto at = !held_.empty() && held_.back().row < data_row
                        ? held_.end()
                        : std::lower_bound(held_.begin(), held_.end(), data_row,
                                           [](const Held& h, int r) { return h.row < r; });
    if (at != held_.end() && at->row == data_row) return at->cells.data();
    if (!in_order_) return keep(data_row, at);
    const double* made = nullptr;
    for (; next_ <= data_row; ++next_) {
        if (next_ >= first_) {
            made = keep(next_, held_.end());
        } else {  // forgotten before it was asked for, but the text goes on through it
            std::vector<double> buffer = take_buffer();
            make_(next_, buffer.data() + margin_before);
            spare_.push_back(std::move(buffer));
        }
    }
    // Text read in order cannot give a line again once it is forgotten.
    if (made == nullptr) fail("line " + std::to_string(data_row + 1) + " asked for again");
    return made;
}

void LineWindow::forget(int row) {
    const int data_row = row - margin_before;
    for (; !held_.empty() && held_.front().row < data_row; held_.pop_front())
        spare_.push_back(std::move(held_.front().cells));
    if (first_ < data_row) first_ = data_row;
}

// The window of lines a line source keeps for the sweep.
#include "padded_lines.h"

#include <utility>

LineWindow::LineWindow(int data_columns, Maker make, bool in_order)
    : width_(static_cast<std::size_t>(padded(data_columns))),
      make_(std::move(make)),
      zeros_(width_, 0.0),
      in_order_(in_order) {}

std::vector<double> LineWindow::take_buffer() {
    if (spare_.empty()) return std::vector<double>(width_, 0.0);
    std::vector<double> buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;  // its margins are still zero: makers write data cells only
}

const double* LineWindow::line(int row, int data_lines) {
    const int data_row = row - margin_before;
    if (data_row < 0 || data_row >= data_lines) return zeros_.data();
    for (; next_ <= data_row; ++next_) {
        std::vector<double> buffer = take_buffer();
        make_(next_, buffer.data() + margin_before);
        if (next_ >= first_)
            held_.push_back(std::move(buffer));
        else
            spare_.push_back(std::move(buffer));  // forgotten before it was asked for
    }
    return held_[static_cast<std::size_t>(data_row - first_)].data();
}

void LineWindow::forget(int row) {
    const int data_row = row - margin_before;
    for (; first_ < data_row && !held_.empty(); ++first_) {
        spare_.push_back(std::move(held_.front()));
        held_.pop_front();
    }
    if (first_ < data_row) first_ = data_row;
    if (!in_order_ && next_ < first_) next_ = first_;
}

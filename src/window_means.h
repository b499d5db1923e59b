// The 3x3 window means of the smoothing passes, vectorised for the widest instruction
// set the processor has; the result is the defined one, bit for bit, on every path.
#pragma once

// Plain double additions give the defined sums of a window when it holds nothing
// negative or non-finite and its largest value is below 128 times its smallest
// non-zero one. A row's spread over its middle columns, window_middle_from to
// columns - window_middle_from - 1, bounds the spread of every window there.
constexpr int window_middle_from = 8;

struct RowSpread {
    double largest, smallest, least;  // least: the smallest value above zero
    bool special;                     // some value is infinite or not a number
};

RowSpread row_spread(const double* row, int columns);

// True when every window in the middle of the three rows can be summed plainly.
inline bool plain_together(const RowSpread& a, const RowSpread& b, const RowSpread& c) {
    const double largest = a.largest > b.largest ? (a.largest > c.largest ? a.largest : c.largest)
                                                 : (b.largest > c.largest ? b.largest : c.largest);
    const double smallest = a.smallest < b.smallest ? (a.smallest < c.smallest ? a.smallest : c.smallest)
                                                    : (b.smallest < c.smallest ? b.smallest : c.smallest);
    const double least = a.least < b.least ? (a.least < c.least ? a.least : c.least)
                                           : (b.least < c.least ? b.least : c.least);
    return !a.special && !b.special && !c.special && smallest >= 0.0 && largest < least * 128.0;
}

// out[j] for 1 <= j <= columns - 2: the nine values of the window of column j added in
// line then column order (above[j-1], above[j], above[j+1], row[j-1], ... below[j+1]),
// then multiplied by 1/9 rounded to double, each result rounded to double from
// extended precision. middle_plain says that plain_together() holds for the rows.
void window_means(const double* above, const double* row, const double* below, double* out, int columns,
                  bool middle_plain);

// The engine: footprint weights of both worked examples, output sizes, the range,
// geometry and progress of a call, and the sweep against the literal engine, on every
// number of threads, with the smoothing's extended rounding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "LIB/GRIDUTIL.h"
#include "reference_engine.h"
#include "regrid/engine.h"
#include "regrid/kernel.h"
#include "regrid/sweep.h"
#include "wide_rows.h"

namespace {

using Rows = std::vector<std::vector<double>>;

// A double grid holding `rows`, released at the end of the test.
class Grid {
public:
    explicit Grid(const Rows& rows)
        : lines_(static_cast<int>(rows.size())), columns_(static_cast<int>(rows[0].size())) {
        cells_ = dmatrice(columns_, lines_);
        for (int i = 0; i < lines_; ++i)
            for (int j = 0; j < columns_; ++j) cells_[i][j] = rows[i][j];
    }
    Grid(int lines, int columns, double value)
        : Grid(Rows(lines, std::vector<double>(columns, value))) {}
    ~Grid() { frdmatrice(cells_, lines_); }
    Grid(const Grid&) = delete;
    Grid& operator=(const Grid&) = delete;
    double** operator*() const { return cells_; }
    double* operator[](int i) const { return cells_[i]; }
    int lines() const { return lines_; }
    int columns() const { return columns_; }

private:
    int lines_, columns_;
    double** cells_;
};

struct Weights {
    int start;
    std::vector<double> w;
};

Weights weights_of(int index, double factor) {
    std::vector<double> w(footprint_room(factor));
    const Footprint f = footprint(index, factor, w.data());
    w.resize(static_cast<std::size_t>(f.last) + 1);
    return {f.start, w};
}

double ratio_of(double in, double out) { return pixel_ratio(in, out); }

}  // namespace

TEST(Footprints, ReductionByTwoAndAHalfMatchesTheWorkedTable) {
    const Factors f = factors(25, 25, 10, 10);  // 21 lines at ratio 0.3
    ASSERT_EQ(f.lfacteur, 2.5);
    ASSERT_EQ(f.area, 6.25);
    struct Row {
        int i, start;
        std::vector<double> w;
    };
    for (const Row& row :
         {Row{0, 0, {1, 1, 0.5}}, Row{1, 2, {0.5, 1, 1, 0}}, Row{2, 5, {1, 1, 0.5}},
          Row{3, 7, {0.5, 1, 1, 0}}, Row{9, 22, {0.5, 1, 1, 0}}}) {
        SCOPED_TRACE(row.i);
        const Weights got = weights_of(row.i, f.lfacteur);
        EXPECT_EQ(got.start, row.start);
        EXPECT_EQ(got.w, row.w);
    }
}

TEST(Footprints, EnlargementKeepsItsNegativeRemainders) {
    const Factors f = factors(10, 10, 25, 25);  // 6 lines at ratio 3.5
    EXPECT_EQ(f.lfacteur, 0.4);
    struct Row {
        int i, start;
        double w0, w1;
    };
    for (const Row& row : {Row{0, 0, 1, -0.6}, Row{1, 0, 0.6, -0.2}, Row{2, 0, 0.2, 0.2},
                           Row{3, 1, 0.8, -0.4}, Row{4, 1, 0.4, 0.0}, Row{5, 2, 1, -0.6}}) {
        SCOPED_TRACE(row.i);
        const Weights got = weights_of(row.i, f.lfacteur);
        EXPECT_EQ(got.start, row.start);
        ASSERT_EQ(got.w.size(), 2u) << "two weights in every enlargement row";
        EXPECT_NEAR(got.w[0], row.w0, 1e-15);
        EXPECT_NEAR(got.w[1], row.w1, 1e-15);
    }
    EXPECT_NE(weights_of(4, f.lfacteur).w[1], 0.0) << "about 1e-16, not exactly 0";
}

TEST(Footprints, FactorsOfTwentyFourAndMoreGetRoomForEveryWeight) {
    const Factors f = factors(1004, 1004, 37, 37);  // 1000 lines at pixel sizes 1 and 30
    EXPECT_GT(f.lfacteur, 27.0);
    for (int i : {0, 1, 17, 36}) {
        const Weights got = weights_of(i, f.lfacteur);
        double total = 0;
        for (double w : got.w) total += w;
        EXPECT_NEAR(total, f.lfacteur, 1e-9);
        EXPECT_LE(got.w.size(), footprint_room(f.lfacteur));
    }
}

TEST(Footprints, BiggerIsTheNextWholeNumberAbove) {
    EXPECT_EQ(bigger(3.0), 4.0);
    EXPECT_EQ(bigger(2.5), 3.0);
    EXPECT_EQ(bigger(2.3), 3.0);
    EXPECT_EQ(bigger(0.0), 1.0);
}

TEST(OutputSize, ProductIsFormedInExtendedPrecisionAndTruncated) {
    const double r = ratio_of(30, 50);
    EXPECT_EQ(static_cast<int>(100 * r), 60) << "a product rounded to double would give 60";
    EXPECT_EQ(static_cast<int>(scaled_count(100, r)), 59);
    EXPECT_EQ(static_cast<int>(scaled_count(10, ratio_of(3, 10))), 2);
    EXPECT_EQ(static_cast<int>(scaled_count(101, ratio_of(10, 20))), 50);
    EXPECT_EQ(static_cast<int>(scaled_count(77, ratio_of(4, 4))), 77);
    EXPECT_EQ(output_count(4, ratio_of(1, 10)), -1) << "no output line";
    EXPECT_EQ(output_count(4, ratio_of(2147483647.0, 1e-300)), -1) << "too large to address";
    EXPECT_EQ(output_count(5, ratio_of(10, 5)), 10);
}

namespace {

// The run's input as a line source over a padded grid of `rows`, its range scanned
// in order with strict comparisons, as a reader leaves it.
class EngineRun {
public:
    explicit EngineRun(const Rows& rows) : input_(pad(rows)) {
        request.lines = static_cast<int>(rows.size());
        request.columns = static_cast<int>(rows[0].size());
        source_ = LineSource{[this](int r) -> const double* { return input_[r]; }, [](int) {}};
        source_.lowest = HUGE_VAL;
        source_.highest = -HUGE_VAL;
        for (const auto& row : rows)
            for (double v : row) {
                if (source_.lowest > v) source_.lowest = v;
                if (source_.highest < v) source_.highest = v;
            }
        request.progress = [this](int line) { progress.push_back(line); };
    }

    // The engine from the source to a sink that keeps every output line.
    OutputGeometry run(double ratio) {
        output.clear();
        progress.clear();
        request.ratio = ratio;
        LineSink sink;
        sink.start = [this](const OutputGeometry& g) { started = g; };
        sink.put = [this](int i, const double* line) {
            EXPECT_EQ(i, static_cast<int>(output.size())) << "lines come in order, each once";
            output.emplace_back(line, line + started.columns);
        };
        return regrid(source_, sink, request);
    }

    RegridRequest request;
    OutputGeometry started;
    Rows output;
    std::vector<int> progress;

private:
    static Rows pad(const Rows& rows) {
        Rows padded(rows.size() + 4, std::vector<double>(rows[0].size() + 4, 0.0));
        for (std::size_t i = 0; i < rows.size(); ++i)
            std::copy(rows[i].begin(), rows[i].end(), padded[i + 3].begin() + 3);
        return padded;
    }

    Grid input_;
    LineSource source_;
};

}  // namespace

TEST(EngineCall, HandsTheSinkEveryFramedLineAndReturnsTheRangeAndGeometry) {
    Rows rows(100, std::vector<double>(20, 0.0));
    for (int i = 0; i < 100; ++i)
        for (int j = 0; j < 20; ++j) rows[i][j] = 100 + i + 0.5 * j;
    EngineRun t(rows);
    t.request.pixel_size = 30;
    const OutputGeometry g = t.run(ratio_of(30, 50));
    EXPECT_EQ(g.lines, 59);
    EXPECT_EQ(g.columns, 11);
    EXPECT_FALSE(g.enlargement);
    EXPECT_EQ(g.lowest, 100.0);
    EXPECT_EQ(g.highest, 199 + 9.5);
    EXPECT_EQ(t.started.lines, 59) << "the sink is told the geometry first";
    // The padded input (104 x 30 m) mapped onto the padded output (63 lines).
    EXPECT_DOUBLE_EQ(g.sy, 104 * 30.0 / 63);
    EXPECT_DOUBLE_EQ(g.sx, 24 * 30.0 / 15);
    EXPECT_DOUBLE_EQ(g.corner_x, 3 * (g.sx - 30));
    EXPECT_DOUBLE_EQ(g.corner_y, 3 * (30 - g.sy));
    ASSERT_EQ(static_cast<int>(t.output.size()), 59);
    for (int i = 0; i < 59; ++i)
        for (int j = 0; j < 11; ++j) {
            const bool frame = i < 3 || i >= 56 || j < 3 || j >= 8;
            if (frame) {
                EXPECT_EQ(t.output[i][j], g.lowest) << i << "," << j;
            }
            EXPECT_GE(t.output[i][j], g.lowest);
            EXPECT_LE(t.output[i][j], g.highest);
        }
}

TEST(EngineCall, RangeStartsAtTenMillionAndZero) {
    EngineRun negative({{-5, -3}, {-9, -1}});
    OutputGeometry g = negative.run(1.0);
    EXPECT_EQ(g.lowest, -9.0);
    EXPECT_EQ(g.highest, 0.0);
    EngineRun high({{2e7, 3e7}});
    g = high.run(1.0);
    EXPECT_EQ(g.lowest, 1e7);
    EXPECT_EQ(g.highest, 3e7);
}

TEST(EngineCall, EqualLineCountsAreAReductionAndProgressComesEveryHundredPaddedLines) {
    EngineRun equal(Rows(246, std::vector<double>(3, 7.0)));
    EXPECT_FALSE(equal.run(1.0).enlargement);
    EXPECT_EQ(equal.progress, (std::vector<int>{100, 200}));
    EngineRun doubled(Rows(48, std::vector<double>(3, 7.0)));
    EXPECT_TRUE(doubled.run(ratio_of(2, 1)).enlargement);
    EXPECT_TRUE(doubled.progress.empty()) << "100 padded lines print no progress";
}

TEST(EngineCall, FramesWithNoDataWhenAsked) {
    EngineRun t(Rows(20, std::vector<double>(20, 7.0)));
    t.request.frame = RegridRequest::Frame::no_data;
    t.run(1.0);
    EXPECT_TRUE(std::isnan(t.output[0][5]));
    EXPECT_TRUE(std::isnan(t.output[10][19]));
    EXPECT_EQ(t.output[10][10], 7.0);
}

TEST(EngineCall, ReductionByThirtyRunsBeyondTwentyFourInputCellsPerOutputCell) {
    Grid in(1004, 44, 0.0);
    for (int i = 3; i < 1003; ++i)
        for (int j = 3; j < 43; ++j) in[i][j] = 250.0;
    const int out_lines = static_cast<int>(scaled_count(1000, ratio_of(1, 30)));
    EXPECT_EQ(out_lines, 33);
    Grid out(out_lines + 4, 5, 0.0);
    SweepOptions options;
    options.lowest = options.highest = 250.0;
    transf(*in, *out, 1004, 44, out_lines + 4, 5, options);
    EXPECT_DOUBLE_EQ(out[16][3], 250.0);
}

namespace {

// A random padded input of `lines` x `columns`: terrain-like values with holes of
// zeros, and now and then values far smaller or larger than their neighbours, negative
// ones, or exact small fractions, so that the roundings are exercised.
Grid random_padded_input(std::mt19937_64& random, int lines, int columns) {
    Rows rows(lines + 4, std::vector<double>(columns + 4, 0.0));
    std::uniform_real_distribution<double> height(0.0, 3000.0);
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) {
            double v = height(random);
            switch (random() % 16) {
                case 0:
                    v = 0.0;
                    break;
                case 1:
                    v = std::ldexp(v, -30);
                    break;
                case 2:
                    v = -v;
                    break;
                case 3:
                    v = std::ldexp(static_cast<double>(random() % 4096), -7);
                    break;
                case 4:
                    v = std::ldexp(v, 40);
                    break;
                default:
                    break;
            }
            rows[i + 3][j + 3] = v;
        }
    return Grid(rows);
}

}  // namespace

// The mean of the 3x3 window of (i, j) the defined way: nine additions in line then
// column order, each rounded to double from extended precision, then times 1/9.
static double defined_mean(const Rows& rows, int i, int j) {
    double dval = 0.0;
    for (int l = i - 1; l <= i + 1; ++l)
        for (int k = j - 1; k <= j + 1; ++k)
            dval = static_cast<double>(static_cast<long double>(dval) + rows[l][k]);
    return static_cast<double>(static_cast<long double>(dval) * 0.1111111111111111);
}

TEST(EngineExactness, TransfMatchesTheLiteralEngineBitForBit) {
    std::mt19937_64 random(20261208);
    const double pixel_pairs[][2] = {{10, 5}, {5, 10},  {3, 10}, {30, 50}, {7, 2.5},
                                     {1, 30}, {2.5, 1}, {4, 4},  {10, 3}};
    for (int trial = 0; trial < 60; ++trial) {
        const int lines = 1 + static_cast<int>(random() % 70),
                  columns = 1 + static_cast<int>(random() % 70);
        const auto& pair = pixel_pairs[trial % 9];
        const double r = ratio_of(pair[0], pair[1]);
        const int out_lines = static_cast<int>(scaled_count(lines, r)),
                  out_columns = static_cast<int>(scaled_count(columns, r));
        if (out_lines < 1 || out_columns < 1) continue;
        SCOPED_TRACE(std::to_string(lines) + "x" + std::to_string(columns) + " ratio " +
                     std::to_string(r));
        const Grid in = random_padded_input(random, lines, columns);
        Grid ours(out_lines + 4, out_columns + 4, 0.0),
            literal(out_lines + 4, out_columns + 4, 0.0);
        double dmin_alt = 1e7, dmax_alt = 0.0;
        for (int i = 3; i < lines + 3; ++i)
            for (int j = 3; j < columns + 3; ++j) {
                dmin_alt = std::min(dmin_alt, in[i][j]);
                dmax_alt = std::max(dmax_alt, in[i][j]);
            }
        SweepOptions options;
        options.lowest = dmin_alt;
        options.highest = dmax_alt;
        transf(*in, *ours, lines + 4, columns + 4, out_lines + 4, out_columns + 4, options);
        reference::transf(*in, *literal, lines + 4, columns + 4, out_lines + 4, out_columns + 4,
                          dmin_alt, dmax_alt);
        int differences = 0;
        for (int i = 0; i < out_lines + 4; ++i)
            for (int j = 0; j < out_columns + 4; ++j)
                if (std::memcmp(&ours[i][j], &literal[i][j], sizeof(double)) != 0 &&
                    ++differences <= 3)
                    ADD_FAILURE() << "cell " << i << "," << j << ": " << ours[i][j] << " vs "
                                  << literal[i][j];
        EXPECT_EQ(differences, 0);
    }
}

// A reduction by 2 has weights of 1, whose products the kernel leaves out: the sums keep
// every bit, the NaN that wins an addition included (a signalling NaN once went into an
// addition unquieted and gave the other NaN's bits).
TEST(EngineExactness, WholeWeightsLeaveTheSumsBitForBit) {
    const auto nan_with = [](std::uint64_t bits) {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    };
    std::vector<std::vector<double>> grid(8, std::vector<double>(8, 1.0));
    grid[2][2] = nan_with(0x7ff8000000000000);  // quiet
    grid[3][2] = nan_with(0x7ff0000000000001);  // signalling
    const LineSource source{[&](int r) -> const double* { return grid[r].data(); }, [](int) {}};
    const KernelPlan plan(8, 8, 4, factors(8, 8, 4, 4));
    KernelSpace space(plan);
    std::vector<double> out(4);
    kernel_sums(plan, space, source, out.data(), 1);
    // Lines 2 to 4 and columns 2 to 4 under weights 1, 1 and 0, term by term.
    volatile long double w[3] = {1, 1, 0};
    double defined = 0.0;
    for (int k = 0; k < 3; ++k)
        for (int b = 0; b < 3; ++b) {
            volatile double v = grid[2 + k][2 + b];
            const long double t = w[k] * w[b] * v;
            defined = k + b == 0 ? static_cast<double>(t) : static_cast<double>(t + defined);
        }
    EXPECT_EQ(std::memcmp(&out[1], &defined, sizeof defined), 0);
}

namespace {

// The literal engine's output of `in` at ratio r, and ours at each number of threads
// compared with it line by line.
void expect_threads_give_literal_bytes(const Grid& in, int lines, int columns, double r,
                                       std::initializer_list<int> thread_counts) {
    const double dmin_alt = -3000.0, dmax_alt = 3000.0;
    const int out_lines = static_cast<int>(scaled_count(lines, r)),
              out_columns = static_cast<int>(scaled_count(columns, r));
    Grid literal(out_lines + 4, out_columns + 4, 0.0);
    reference::transf(*in, *literal, lines + 4, columns + 4, out_lines + 4, out_columns + 4,
                      dmin_alt, dmax_alt);
    for (const int threads : thread_counts) {
        SCOPED_TRACE(std::to_string(lines) + "x" + std::to_string(columns) + " ratio " +
                     std::to_string(r) + ", threads " + std::to_string(threads));
        SweepOptions options;
        options.lowest = dmin_alt;
        options.highest = dmax_alt;
        options.threads = threads;
        Grid ours(out_lines + 4, out_columns + 4, 0.0);
        transf(*in, *ours, lines + 4, columns + 4, out_lines + 4, out_columns + 4, options);
        int differences = 0;
        for (int i = 0; i < out_lines + 4; ++i)
            differences +=
                std::memcmp(ours[i], literal[i],
                            sizeof(double) * static_cast<std::size_t>(out_columns + 4)) != 0;
        EXPECT_EQ(differences, 0) << "lines that differ";
    }
}

}  // namespace

TEST(EngineExactness, EveryNumberOfThreadsGivesTheBytesOfTheLiteralEngine) {
    std::mt19937_64 random(8122026);
    const int lines = 240, columns = 150;
    Grid in = random_padded_input(random, lines, columns);
    // Holes that the first filling carries down and right through many rows, and rows
    // without any data.
    for (int i = 40; i < 170; ++i)
        for (int j = 20; j < 90; ++j) in[i][j] = 0.0;
    for (int i = 190; i < 196; ++i)
        for (int j = 3; j < columns + 3; ++j) in[i][j] = 0.0;
    for (const double r : {ratio_of(10, 4), ratio_of(3, 10), 1.0})
        expect_threads_give_literal_bytes(in, lines, columns, r, {1, 2, 3, 5});
    // Reductions of rows wider than the kernel's chunks of columns.
    const int wide = 1100;
    const Grid wide_in = random_padded_input(random, 40, wide);
    for (const double r : {ratio_of(10, 20), ratio_of(10, 31)})
        expect_threads_give_literal_bytes(wide_in, 40, wide, r, {1, 3});
}

namespace {
// The 3x3 means of the middle row of `rows` as the sweep takes them: plain sums where
// the rows' spreads allow them.
std::vector<double> sweep_means(const Rows& rows, int i) {
    const int columns = static_cast<int>(rows[0].size());
    std::vector<double> out(rows[0].size(), 0.0);
    const bool plain = plain_together(wide_rows.row_spread(rows[i - 1].data(), columns),
                                      wide_rows.row_spread(rows[i].data(), columns),
                                      wide_rows.row_spread(rows[i + 1].data(), columns));
    wide_rows.window_means(rows[i - 1].data(), rows[i].data(), rows[i + 1].data(), out.data(),
                           columns, plain, {}, nullptr);
    return out;
}

// The spread of a row as its definition reads: the largest, smallest and smallest
// positive values from column spread_from to columns - spread_from - 1, any infinite or
// NaN one there, and any zero from column 1 to columns - 2.
RowSpread spread_of(const std::vector<double>& row, int from = spread_from) {
    const int columns = static_cast<int>(row.size());
    RowSpread s{0.0, HUGE_VAL, HUGE_VAL, false, false};
    for (int j = from; j < columns - from; ++j) {
        const double v = row[j];
        if (v > s.largest) s.largest = v;
        if (v < s.smallest) s.smallest = v;
        if (v > 0 && v < s.least) s.least = v;
        s.special = s.special || !std::isfinite(v);
    }
    for (int j = 1; j < columns - 1; ++j) s.zeros = s.zeros || row[j] == 0.0;
    return s;
}

void expect_spread(const RowSpread& got, const std::vector<double>& row) {
    const RowSpread want = spread_of(row);
    EXPECT_EQ(got.largest, want.largest);
    EXPECT_EQ(got.smallest, want.smallest);
    EXPECT_EQ(got.least, want.least);
    EXPECT_EQ(got.special, want.special);
    EXPECT_EQ(got.zeros, want.zeros);
}
}  // namespace

TEST(EngineExactness, SmoothingWindowsOfWideRangeTakeTheExtendedRounding) {
    // Eight cells of 2^k sum exactly to 2^(k+3); adding 1 + 2^(k-50) + 2^-52 then
    // lands, rounded to 64 bits, exactly half way between two doubles (kept at the
    // even 2^(k+3)), while a plain double addition rounds it up.
    for (int k = 10; k <= 12; ++k) {
        SCOPED_TRACE(k);
        const double big = std::ldexp(1.0, k);
        const double small = 1.0 + std::ldexp(1.0, k - 50) + std::ldexp(1.0, -52);
        Rows rows(3, std::vector<double>(12, big));
        rows[2][2] = small;  // the last of the nine in the window of column 1
        const double plain = 8 * big + small;
        const double defined = static_cast<double>(static_cast<long double>(8 * big) + small);
        ASSERT_NE(plain, defined);
        EXPECT_EQ(sweep_means(rows, 1)[1],
                  static_cast<double>(static_cast<long double>(defined) * 0.1111111111111111));
    }
}

TEST(EngineExactness, SmoothingRoundsEveryPartialSumThroughExtendedPrecision) {
    // Values spread over 2^13 in size: the window sums need more than 64 bits now and
    // then, where rounding once to double differs from rounding to 64 bits first.
    std::mt19937_64 random(99);
    const int lines = 120, columns = 1001;
    Rows rows(lines, std::vector<double>(columns));
    for (auto& row : rows)
        for (double& v : row)
            v = std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52,
                           static_cast<int>(random() % 14));
    int differences = 0;
    for (int i = 1; i < lines - 1; ++i) {
        const std::vector<double> means = sweep_means(rows, i);
        for (int j = 1; j < columns - 1; ++j) {
            const double expected = defined_mean(rows, i, j);
            if (std::memcmp(&expected, &means[j], sizeof expected) != 0) ++differences;
        }
    }
    EXPECT_EQ(differences, 0);
}

TEST(EngineExactness, EveryInstructionSetGivesTheDefinedMeans) {
    std::mt19937_64 random(5);
    // Sums whose product with 1/9 rounds differently straight to double than through
    // 64 bits, each alone in its window; then terrain with holes and wide windows.
    std::vector<double> awkward;
    while (awkward.size() < 64) {
        const double d = std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52,
                                    static_cast<int>(random() % 40) - 10);
        if (d * 0.1111111111111111 !=
            static_cast<double>(static_cast<long double>(d) * 0.1111111111111111))
            awkward.push_back(d);
    }
    const int columns = 3 * 64 + 2;
    Rows rows(7, std::vector<double>(columns, 0.0));
    for (int k = 0; k < 64; ++k) rows[1][1 + 3 * k] = awkward[k];  // rows 0 and 2 stay 0
    for (int j = 0; j < columns; ++j) {
        rows[4][j] = static_cast<double>(random() % 3000) + 0.25;
        rows[5][j] = j % 7 == 0 ? 0.0 : j % 11 == 0 ? 1e-9 : static_cast<double>(random() % 90);
    }
    rows[3] = rows[6] = rows[4];
    rows[4][50] = -3.0;
    rows[4][60] = HUGE_VAL;
    // Rows of terrain between 1000 and 1500, to be taken without window tests, but for
    // an awkward sum in their middle.
    for (int extra = 0; extra < 3; ++extra) {
        rows.emplace_back(columns);
        for (double& v : rows.back())
            v = 1000.0 + static_cast<double>(random() % 500) +
                0.125 * static_cast<double>(random() % 8);
    }
    rows[5][70] = std::nan("");
    const int last = static_cast<int>(rows.size()) - 1;
    // Each row's means as they are, and clamped to a range that cuts through them (NaN
    // stays, -0.0 is not below 0.0).
    const Bounds none, cut{0.0, 1200.0};
    for (int level = 0; level < 3; ++level) {
        const WideRows* variant = wide_rows_variant(level);
        if (variant == nullptr) continue;
        SCOPED_TRACE(level);
        for (int i = 1; i < last; ++i) {
            SCOPED_TRACE(i);
            const bool plain = plain_together(variant->row_spread(rows[i - 1].data(), columns),
                                              variant->row_spread(rows[i].data(), columns),
                                              variant->row_spread(rows[i + 1].data(), columns));
            if (i == last - 1) {
                EXPECT_TRUE(plain) << "terrain rows";
            }
            if (i == 4) {
                EXPECT_FALSE(plain) << "rows with a negative and an infinite value";
            }
            for (const Bounds& bounds : {none, cut}) {
                std::vector<double> got(columns, 0.0), expected(columns, 0.0), again = got;
                RowSpread spread;
                variant->window_means(rows[i - 1].data(), rows[i].data(), rows[i + 1].data(),
                                      got.data(), columns, plain, bounds, &spread);
                variant->window_means(rows[i - 1].data(), rows[i].data(), rows[i + 1].data(),
                                      again.data(), columns, plain, bounds, nullptr);
                EXPECT_EQ(std::memcmp(got.data(), again.data(), columns * sizeof(double)), 0)
                    << "the same means without the spread";
                for (int j = 1; j < columns - 1; ++j) {
                    double& e = expected[j];
                    e = defined_mean(rows, i, j);
                    if (e < bounds.lowest) e = bounds.lowest;
                    if (e > bounds.highest) e = bounds.highest;
                    EXPECT_EQ(std::memcmp(&e, &got[j], sizeof e), 0)
                        << j << ": " << got[j] << " vs " << e;
                }
                expect_spread(spread, expected);
                expect_spread(variant->row_spread(got.data(), columns), expected);
            }
        }
    }
}

TEST(EngineExactness, TheMeansSpreadToldFromTheRowsHoldsTheMeansOfTheMiddleWindows) {
    // Rows of positive values within a factor of up to 130 of one another, some wholly
    // alike: the means of the middle windows lie within the spread told, and a plain
    // decision on the spreads told is one the means' own spreads allow.
    std::mt19937_64 random(29);
    const int columns = 300;
    for (int trial = 0; trial < 200; ++trial) {
        const double low = std::ldexp(1.0, static_cast<int>(random() % 40) - 20);
        const double spread = trial % 4 == 0 ? 1.0 : 1.0 + static_cast<double>(random() % 129);
        Rows rows(5, std::vector<double>(columns));
        for (auto& row : rows)
            for (double& v : row)
                v = low * (1.0 + (spread - 1.0) * static_cast<double>(random() >> 11) * 0x1p-53);
        std::vector<RowSpread> told(3), filled(5);
        for (int i = 0; i < 5; ++i) filled[i] = spread_of(rows[i]);
        std::vector<std::vector<double>> means(3, std::vector<double>(columns, 0.0));
        for (int i = 1; i <= 3; ++i) {
            ASSERT_TRUE(means_spread(filled[i - 1], filled[i], filled[i + 1], told[i - 1]));
            for (int j = window_middle_from; j < columns - window_middle_from; ++j) {
                const double mean = defined_mean(rows, i, j);
                means[i - 1][j] = mean;
                ASSERT_LE(mean, told[i - 1].largest);
                ASSERT_GE(mean, told[i - 1].least);
                ASSERT_GE(mean, told[i - 1].smallest);
            }
        }
        if (plain_together(told[0], told[1], told[2])) {
            const RowSpread a = spread_of(means[0], window_middle_from),
                            b = spread_of(means[1], window_middle_from),
                            c = spread_of(means[2], window_middle_from);
            EXPECT_TRUE(plain_together(a, b, c));
        }
    }
    const RowSpread positive{10, 1, 1, false, false}, with_zero{10, 0, 1, false, true},
        special{10, 1, 1, true, false};
    RowSpread told;
    EXPECT_FALSE(means_spread(positive, with_zero, positive, told));
    EXPECT_FALSE(means_spread(positive, positive, special, told));
}

TEST(EngineExactness, EveryInstructionSetDividesByTheAreaAsDefined) {
    std::mt19937_64 random(17);
    const double area = static_cast<double>(static_cast<long double>(1.0L / 1.9993)) * 0.7;
    std::vector<double> values;
    // Quotients that round differently straight to double than through 64 bits,
    // zeros, negatives, tiny and huge values, and arbitrary sums.
    while (values.size() < 200) {
        const double a = std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52,
                                    static_cast<int>(random() % 30));
        if (a / area != static_cast<double>(static_cast<long double>(a) / area))
            values.push_back(a);
    }
    for (double v : {0.0, -0.0, -5.5, 1e-310, 4e-300, 1e300, -1e305, HUGE_VAL, std::nan("")})
        values.push_back(v);
    // Quotients at a power of two and a few units of its last place around it, where
    // the spacing of doubles halves.
    for (int k = -3; k <= 3; ++k)
        for (int e = -4; e <= 30; e += 17)
            values.push_back(static_cast<double>(std::ldexp(static_cast<long double>(area), e) *
                                                 (1.0L + k * 0x1p-53L)));
    for (std::size_t k = 0, hard = values.size(); k < hard; ++k) values.push_back(-values[k]);
    while (values.size() < 4000)
        values.push_back(std::ldexp(static_cast<double>(random() >> 11), -40) - 100.0);
    for (int level = 0; level < 3; ++level) {
        const WideRows* variant = wide_rows_variant(level);
        if (variant == nullptr) continue;
        SCOPED_TRACE(level);
        for (const int columns : {static_cast<int>(values.size()), 13})
            for (const bool keep_sign : {false, true}) {
                std::vector<double> row(values.begin(), values.begin() + columns);
                const RowSpread spread =
                    variant->divide_by_area(row.data(), columns, area, keep_sign);
                for (int k = 0; k < columns; ++k) {
                    double expected =
                        static_cast<double>(static_cast<long double>(values[k]) / area);
                    if (!keep_sign && !(expected > 0)) expected = std::fabs(expected);
                    ASSERT_EQ(std::memcmp(&expected, &row[k], sizeof expected), 0)
                        << values[k] << ": " << row[k] << " vs " << expected << " " << keep_sign;
                }
                expect_spread(spread, row);
            }
        // Rows of terrain without zeros: the kernel's usual case.
        std::vector<double> terrain(1001);
        for (double& v : terrain) v = 1000.0 + static_cast<double>(random() % 4096) / 7;
        expect_spread(variant->divide_by_area(terrain.data(), 1001, area, false), terrain);
    }
}

TEST(EngineExactness, EveryInstructionSetFindsTheNextZero) {
    std::vector<double> row(100, 1.5);
    row[0] = row[37] = row[38] = row[99] = 0.0;
    row[50] = -0.0;
    for (int level = 0; level < 3; ++level) {
        const WideRows* variant = wide_rows_variant(level);
        if (variant == nullptr) continue;
        std::vector<int> zeros;
        for (int j = 0; (j = variant->next_zero(row.data(), j, 100)) < 100; ++j) zeros.push_back(j);
        EXPECT_EQ(zeros, (std::vector<int>{0, 37, 38, 50, 99})) << level;
        EXPECT_EQ(variant->next_zero(row.data(), 1, 37), 37) << "the end when there is none";
    }
}

TEST(EngineExactness, EveryInstructionSetWidensDividesAndScansAsDefined) {
    std::mt19937_64 random(23);
    std::vector<std::uint16_t> narrow(1003), every16(65536);
    std::vector<double> row16(65536);
    for (int c = 0; c < 65536; ++c) every16[c] = static_cast<std::uint16_t>(c);
    std::vector<std::int32_t> wide(100003);
    for (auto& c : narrow) c = static_cast<std::uint16_t>(random());
    for (auto& c : wide) c = static_cast<std::int32_t>(random());
    // The ends of the range, and cells next to multiples of the units.
    const std::int32_t ends[] = {INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1, -1, 0, 1};
    std::copy(std::begin(ends), std::end(ends), wide.begin() + 500);
    for (int k = 0; k < 3000; ++k)
        wide[1000 + k] = static_cast<std::int32_t>(
            static_cast<std::int64_t>(random() % 4000000) * 1000 - 2000000000 + k % 3 - 1);
    // Rows whose lowest value is a zero of either sign, met in different orders.
    const std::vector<std::vector<double>> ranges = {{5, 0.0, -0.0, 7}, {5, -0.0, 0.0, 7},
                                                     {-0.0, -0.0},      {3, 4, 2e7, 1e7},
                                                     {-3, -8, -1},      {2e7, 3e7}};
    for (int level = 0; level < 3; ++level) {
        const WideRows* variant = wide_rows_variant(level);
        if (variant == nullptr) continue;
        SCOPED_TRACE(level);
        std::vector<double> row(narrow.size());
        int min = 1000000, max = 0;
        variant->range16(narrow.data(), static_cast<int>(narrow.size()), min, max);
        EXPECT_EQ(min, *std::min_element(narrow.begin(), narrow.end()));
        EXPECT_EQ(max, *std::max_element(narrow.begin(), narrow.end()));
        min = 1000000, max = 0;
        variant->range32(wide.data(), static_cast<int>(wide.size()), min, max);
        EXPECT_EQ(min, INT32_MIN);
        EXPECT_EQ(max, *std::max_element(wide.begin(), wide.end()));
        for (double unit : {1.0, 10.0, 100.0, 1000.0}) {
            SCOPED_TRACE(unit);
            const auto defined = [unit](double cell) {
                return static_cast<double>(static_cast<long double>(cell) / unit);
            };
            variant->widen16(every16.data() + 1, row16.data(), 65535, unit);  // and a tail
            for (int c = 0; c < 65535; ++c) ASSERT_EQ(row16[c], defined(c + 1));
            row.assign(wide.size(), 0.0);
            variant->widen32(wide.data(), row.data(), static_cast<int>(wide.size()), unit);
            for (std::size_t j = 0; j < wide.size(); ++j) ASSERT_EQ(row[j], defined(wide[j]));
        }
        for (const auto& values : ranges) {
            std::vector<double> padded = values;
            padded.resize(19, 9.0);  // across a vector's width
            double low = 1e7, high = 0.0, expected_low = 1e7, expected_high = 0.0;
            for (double v : padded) {
                if (expected_low > v) expected_low = v;
                if (expected_high < v) expected_high = v;
            }
            variant->fold_range(padded.data(), static_cast<int>(padded.size()), low, high);
            EXPECT_EQ(std::memcmp(&low, &expected_low, sizeof low), 0) << values[0] << " " << low;
            EXPECT_EQ(std::memcmp(&high, &expected_high, sizeof high), 0)
                << values[0] << " " << high;
        }
        // One value out of [0, 100] or near 50, at each place of a vector and its tail.
        for (const double odd : {double{NAN}, -0.5, 100.5, 50.25}) {
            for (int at = 0; at < 19; ++at) {
                std::vector<double> line(19, 10.0);
                line[static_cast<std::size_t>(at)] = odd;
                const LineLook look = variant->look_at(line.data(), 19, 0.0, 100.0, 50.0, 0.5);
                EXPECT_EQ(look.plain, odd == 50.25) << odd << " at " << at;
                EXPECT_EQ(look.near, odd == 50.25) << odd << " at " << at;
            }
        }
    }
}

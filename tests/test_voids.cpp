// The void-aware engine: voids filled from around them, signs and 0 m kept, the range
// and the frame of the valid cells, no data kept where asked, the same bytes on any
// number of threads; and both doors giving a grid with holes to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "regrid/engine.h"
#include "regrid/void_fill.h"
#include "session.h"
#include "transcript.h"

namespace {

using Rows = std::vector<std::vector<double>>;

// The engine on `rows` (NaN for voids), with the sink keeping every output line.
struct VoidRun {
    Rows output;
    OutputGeometry g;
};

// `edge_margins`: the source's margins repeat the nearest data line and cell, as a
// void-aware source may give them.
VoidRun run_voids(const Rows& rows, double ratio, RegridRequest::Voids voids, int threads = 1,
                  bool edge_margins = false) {
    const int lines = static_cast<int>(rows.size()), columns = static_cast<int>(rows[0].size());
    Rows padded(rows.size() + 4, std::vector<double>(rows[0].size() + 4, 0.0));
    double lowest = HUGE_VAL, highest = -HUGE_VAL;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) {
            const double v = rows[i][j];
            padded[i + 3][j + 3] = v;
            if (std::isnan(v)) continue;
            if (lowest > v) lowest = v;
            if (highest < v) highest = v;
        }
    if (edge_margins) {
        for (auto& line : padded) {
            std::fill(line.begin(), line.begin() + 3, line[3]);
            line.back() = line[line.size() - 2];
        }
        for (int i = 0; i < 3; ++i) padded[i] = padded[3];
        padded.back() = padded[padded.size() - 2];
    }
    LineSource in{[&padded](int r) { return padded[r].data(); }, [](int) {}};
    in.edge_margins = edge_margins;
    in.another = [in] { return in; };
    in.lowest = lowest;
    in.highest = highest;
    RegridRequest request;
    request.lines = lines;
    request.columns = columns;
    request.ratio = ratio;
    request.threads = threads;
    request.voids = voids;
    VoidRun run;
    LineSink sink;
    sink.put = [&run](int, const double* line) {
        run.output.emplace_back(line, line + run.g.columns);
    };
    sink.start = [&run](const OutputGeometry& g) { run.g = g; };
    run.g = regrid(in, sink, request);
    return run;
}

// A tilted plane in metres, its value at data cell (i, j).
double plane(double i, double j) { return 400 + 3.0 * j - 2.0 * i; }

Rows plane_with_hole(int lines, int columns, int top, int left, int size) {
    Rows rows(lines, std::vector<double>(columns));
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            rows[i][j] =
                i >= top && i < top + size && j >= left && j < left + size ? NAN : plane(i, j);
    return rows;
}

}  // namespace

TEST(Voids, AHoleIsFilledFromAroundItWithinTheValidCellsRange) {
    const Rows rows = plane_with_hole(60, 80, 20, 30, 9);
    for (const double ratio : {0.5, 2.0, 1.0}) {
        SCOPED_TRACE(ratio);
        const VoidRun run = run_voids(rows, ratio, RegridRequest::Voids::fill);
        const OutputGeometry& g = run.g;
        EXPECT_EQ(g.lowest, plane(59, 0)) << "the valid cells' range";
        EXPECT_EQ(g.highest, plane(0, 79));
        const double s = 1 / ratio;  // input cells per output cell
        for (int i = 0; i < g.lines; ++i)
            for (int j = 0; j < g.columns; ++j) {
                const double v = run.output[i][j];
                ASSERT_FALSE(std::isnan(v)) << i << "," << j;
                EXPECT_GE(v, g.lowest);
                EXPECT_LE(v, g.highest);
                if (i < 3 || j < 3 || i >= g.lines - 3 || j >= g.columns - 3) {
                    EXPECT_EQ(v, g.lowest) << "the frame";
                } else if (ratio <= 1 && i > 6 && j > 6 && i < g.lines - 7 && j < g.columns - 7) {
                    // A plane is filled exactly and averaged at the cell's centre.
                    const double y = -3 + (i + 3.5) * (60 + 4.0) / (g.lines + 4) - 0.5;
                    const double x = -3 + (j + 3.5) * (80 + 4.0) / (g.columns + 4) - 0.5;
                    EXPECT_NEAR(v, plane(y, x), 0.05 * s * 3) << i << "," << j;
                }
            }
    }
}

// In an enlargement the footprints of the cells along the edges reach past the margins:
// those terms were dropped while the sums were still divided by the whole area, and the
// cells nearest the frame came out at the range's ends (an east edge of 81 m at 100 m).
TEST(Voids, AnEnlargementsEdgesHoldTheValuesNearThem) {
    const Rows rows = plane_with_hole(20, 24, 0, 0, 0);
    for (const double ratio : {3.5, 5.0}) {
        SCOPED_TRACE(ratio);
        const VoidRun run = run_voids(rows, ratio, RegridRequest::Voids::fill, 1, true);
        const OutputGeometry& g = run.g;
        double farthest = 0.0;  // from the plane at the cell's centre, held at the edges
        for (int i = 3; i < g.lines - 3; ++i)
            for (int j = 3; j < g.columns - 3; ++j) {
                const double y = -3 + (i + 3.5) * (20 + 4.0) / (g.lines + 4) - 0.5;
                const double x = -3 + (j + 3.5) * (24 + 4.0) / (g.columns + 4) - 0.5;
                const double near = plane(std::clamp(y, 0.0, 19.0), std::clamp(x, 0.0, 23.0));
                farthest = std::max(farthest, std::fabs(run.output[i][j] - near));
            }
        EXPECT_LT(farthest, 8.0) << "about two input cells' rise (it was 83 and 107)";
    }
}

TEST(Voids, APlaneIsFilledExactlyWhereALineOrAColumnCrossesTheVoid) {
    // A hole in the middle and one against the left edge, where only its column crosses
    // it: a nearest cell on one side only would have bent the slope into a step.
    Rows rows = plane_with_hole(40, 40, 10, 15, 7);
    for (int i = 25; i < 32; ++i)
        for (int j = 0; j < 6; ++j) rows[i][j] = NAN;
    Rows padded(rows.size() + 4, std::vector<double>(rows[0].size() + 4, 0.0));
    for (std::size_t i = 0; i < rows.size(); ++i)
        std::copy(rows[i].begin(), rows[i].end(), padded[i + 3].begin() + 3);
    const LineSource filled = filled_lines(
        LineSource{[&padded](int r) { return padded[r].data(); }, [](int) {}}, 40, 40, 8);
    for (int i = 0; i < 40; ++i) {
        const double* line = filled.line(i + margin_before) + margin_before;
        for (int j = 0; j < 40; ++j) ASSERT_NEAR(line[j], plane(i, j), 1e-9) << i << "," << j;
    }
}

TEST(Voids, ZeroAndNegativeElevationsAreElevations) {
    // A polder at -6 m in land at +4 m, with a strip of sea at 0 m along it.
    Rows rows(60, std::vector<double>(60, 4.0));
    for (int i = 20; i < 40; ++i)
        for (int j = 20; j < 40; ++j) rows[i][j] = -6.0;
    for (int i = 0; i < 60; ++i) rows[i][50] = rows[i][51] = rows[i][52] = 0.0;
    const VoidRun run = run_voids(rows, 0.5, RegridRequest::Voids::fill);
    EXPECT_EQ(run.g.lowest, -6.0);
    EXPECT_DOUBLE_EQ(run.output[15][15], -6.0) << "the polder's middle stays below sea level";
    EXPECT_GT(run.output[15][3 + 2], 3.9);
    EXPECT_LT(run.output[15][25], 3.5) << "the sea is an elevation, not a hole filled at 4 m";
}

TEST(Voids, KeepWritesNoDataWhereNoValidGroundLiesAndNowhereElse) {
    const Rows rows = plane_with_hole(60, 80, 20, 30, 12);  // rows 20-31, columns 30-41
    const VoidRun run = run_voids(rows, 0.5, RegridRequest::Voids::keep);
    // Output cell (i, j) covers the data rows from (i + 3) f - 3 to (i + 4) f - 3, f the
    // padded input's lines per padded output line; columns likewise.
    const double fl = 64.0 / (run.g.lines + 4), fc = 84.0 / (run.g.columns + 4);
    int kept = 0;
    for (int i = 3; i < run.g.lines - 3; ++i)
        for (int j = 3; j < run.g.columns - 3; ++j) {
            const double y0 = (i + 3) * fl - 3, y1 = y0 + fl, x0 = (j + 3) * fc - 3, x1 = x0 + fc;
            const bool nodata = std::isnan(run.output[i][j]);
            if (y0 >= 20 && y1 <= 32 && x0 >= 30 && x1 <= 42) {
                EXPECT_TRUE(nodata) << i << "," << j;
            }
            if (y1 <= 20 || y0 >= 32 || x1 <= 30 || x0 >= 42) {
                EXPECT_FALSE(nodata) << i << "," << j;
            }
            kept += nodata;
        }
    EXPECT_GT(kept, 0);
}

TEST(Voids, LoweredBy500MetresTheResultIsLoweredBy500) {
    std::mt19937_64 random(12);
    Rows rows = plane_with_hole(70, 90, 30, 40, 7);
    for (auto& row : rows)
        for (double& v : row)
            if (!std::isnan(v)) v += 10 * std::sin(static_cast<double>(random() % 1000));
    Rows low = rows;
    for (auto& row : low)
        for (double& v : row) v -= 500;
    for (const double ratio : {0.5, 2.0}) {
        const VoidRun a = run_voids(rows, ratio, RegridRequest::Voids::fill);
        const VoidRun b = run_voids(low, ratio, RegridRequest::Voids::fill);
        double worst = 0;
        for (std::size_t i = 0; i < a.output.size(); ++i)
            for (std::size_t j = 0; j < a.output[i].size(); ++j)
                worst = std::max(worst, std::fabs(b.output[i][j] + 500 - a.output[i][j]));
        EXPECT_LT(worst, 1e-6) << ratio;
    }
}

TEST(Voids, EveryNumberOfThreadsGivesTheSameBytes) {
    std::mt19937_64 random(33);
    const int lines = 150, columns = 140;
    Rows rows(lines, std::vector<double>(columns));
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            rows[i][j] = 300 + 80 * std::sin(i / 11.0) + 50 * std::cos(j / 7.0) +
                         static_cast<double>(random() % 100) / 7;
    for (int blob = 0; blob < 40; ++blob) {  // voids of 1 to 40 cells, and a wide one
        int i = static_cast<int>(random() % lines), j = static_cast<int>(random() % columns);
        for (int k = static_cast<int>(random() % 40); k >= 0; --k) {
            rows[i][j] = NAN;
            i = std::clamp(i + static_cast<int>(random() % 3) - 1, 0, lines - 1);
            j = std::clamp(j + static_cast<int>(random() % 3) - 1, 0, columns - 1);
        }
    }
    for (int i = 60; i < 140; ++i)
        for (int j = 10; j < 30; ++j) rows[i][j] = NAN;
    for (const auto voids : {RegridRequest::Voids::fill, RegridRequest::Voids::keep})
        for (const double ratio : {0.5, 2.0, 1.0 / 3, 2.5}) {
            SCOPED_TRACE(std::to_string(ratio) +
                         (voids == RegridRequest::Voids::fill ? " fill" : " keep"));
            const VoidRun alone = run_voids(rows, ratio, voids, 1);
            // A source that gives its margins itself passes its lines without voids
            // through: the same bytes too.
            for (const auto& [threads, edged] : std::vector<std::pair<int, bool>>{
                     {2, false}, {3, false}, {5, false}, {1, true}, {3, true}}) {
                const VoidRun crew = run_voids(rows, ratio, voids, threads, edged);
                int differences = 0;
                for (std::size_t i = 0; i < alone.output.size(); ++i)
                    differences += std::memcmp(alone.output[i].data(), crew.output[i].data(),
                                               8 * alone.output[i].size()) != 0;
                EXPECT_EQ(differences, 0) << threads << " threads" << (edged ? ", edges" : "");
            }
        }
}

TEST(Voids, TheDialogueGivesAGridWithNoDataHolesToTheVoidAwareEngine) {
    TempRoot root;
    std::string grid =
        "ncols 40\nnrows 30\nxllcorner 0\nyllcorner 0\ncellsize 25\nNODATA_value -9999\n";
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 40; ++j)
            grid += (i >= 10 && i < 15 && j >= 20 && j < 24 ? std::string("-9999")
                                                            : std::to_string(plane(i, j))) +
                    " ";
    root.write("d/g.asc", grid);
    const Session s = run_program(root, "d g 0 0 0 25 10\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("20 cells hold the no-data value -9999: they are voids"),
              std::string::npos)
        << s.err;
    const std::string out = root.read("d/g_varnel.asc");
    EXPECT_EQ(out.find("-9999.000000"), std::string::npos);
    std::size_t at = out.find('\n', out.find("nodata_value")) + 1;
    double lowest = HUGE_VAL, highest = -HUGE_VAL;
    for (char* p = &const_cast<std::string&>(out)[at]; *p != '\0';) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p) break;
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
        p = end;
    }
    EXPECT_GE(lowest, plane(29, 0) - 1e-6);
    EXPECT_LE(highest, plane(0, 39) + 1e-6);

    // Voids beyond the fillings' reach go into a raw raster as its empty cells, and are
    // said to be so (they were said not to fit its cells).
    std::string wide =
        "ncols 120\nnrows 10\nxllcorner 0\nyllcorner 0\ncellsize 10\n"
        "NODATA_value -9999\n";
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 120; ++j)
            wide += (j < 100 ? std::string("-9999") : std::to_string(300 + i + j)) + " ";
    root.write("d/w.asc", wide);
    const Session far = run_program(root, "d w 0 0 1 1 10 10\n");
    ASSERT_EQ(far.status, 0) << far.err;
    EXPECT_NE(far.err.find("110 cells without data were stored as 0"), std::string::npos)
        << far.err;
    EXPECT_EQ(far.err.find("do not fit"), std::string::npos) << far.err;

    // A grid of voids only has no elevation to give: it wrote infinities with status 0.
    root.write("d/v.asc",
               "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 10\n"
               "NODATA_value -9999\n-9999 -9999 -9999\n-9999 -9999 -9999\n");
    const Session voids = run_program(root, "d v 0 0 0 10 5\n");
    EXPECT_EQ(voids.status, 1);
    EXPECT_NE(voids.err.find("every cell is a void"), std::string::npos) << voids.err;
    EXPECT_FALSE(root.exists("d/v_varnel.asc"));
}

#ifdef DEM_VARNEL_WITH_GDAL
// Whole runs of the command line with each instruction set's row operations: the same
// bytes, voids filled or kept, reduced or enlarged.
TEST(Voids, EveryInstructionSetGivesTheSameBytes) {
    TempRoot root;
    std::mt19937_64 random(5);
    std::string grid =
        "ncols 140\nnrows 120\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 140; ++j)
            grid += (random() % 40 == 0 || (i > 50 && i < 58 && j > 30 && j < 80)
                         ? std::string("-9999")
                         : std::to_string(200 + 60 * std::sin(i / 9.0) - 30 * std::cos(j / 5.0) +
                                          static_cast<double>(random() % 1000) / 77)) +
                    " ";
    root.write("g.asc", grid);
    // The bytes of one run with each variant, the same.
    const auto alike = [&](const std::string& source, std::vector<std::string> arguments) {
        std::string first;
        for (const char* level : {"0", "1", "2"}) {
            const std::string out = "o" + std::string(level) + ".tif";
            Options options;
            options.arguments = {root.file(source), root.file(out), "-ot",
                                 "Float64",         "-q",           "--overwrite"};
            options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
            options.environment = {std::string("DEM_VARNEL_WIDE_ROWS=") + level};
            const Session s = run_program(root, "", options);
            ASSERT_EQ(s.status, 0) << s.err;
            if (first.empty())
                first = root.read(out);
            else
                EXPECT_TRUE(root.read(out) == first) << "level " << level;
        }
    };
    for (const char* voids : {"fill", "keep"})
        for (const char* ratio : {"0.5", "2"}) {
            SCOPED_TRACE(std::string(voids) + " x " + ratio);
            alike("g.asc", {"--ratio", ratio, "--voids", voids});
        }
    // Zeros keep their sign: a mean raised to a lowest cell of -0.0 became +0.0 in
    // vectors and -0.0 in a row's last columns, which depend on the vectors' width.
    std::string zeros =
        "ncols 30\nnrows 12\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 30; ++j) zeros += j >= 27 && i >= 3 && i < 8 ? "5 " : "-0.0 ";
    root.write("z.asc", zeros);
    alike("z.asc", {"--ratio", "2.2", "--threads", "1"});
}
#endif

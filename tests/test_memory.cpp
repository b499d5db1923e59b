// Whole runs whose memory must not grow with the number of lines: the sweep holds a
// footprint of input lines and a few output lines, whatever the format pair; nor with
// the number of cores: the lines workers hold ahead are bounded in bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session.h"

namespace {

constexpr int columns = 1000;

// The run's input: a raw 16-bit raster r or an ASCII grid a of `lines` lines.
void put_input(const TempRoot& root, bool ascii, int lines) {
    std::vector<std::uint16_t> cells;
    cells.reserve(static_cast<std::size_t>(lines) * columns);
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            cells.push_back(static_cast<std::uint16_t>(100 + (7 * i + 3 * j) % 1000));
    if (!ascii) {
        root.write("d/r_m2.raw", raw16(cells));
        root.write("d/r_m2.txt",
                   std::to_string(lines) + "\n" + std::to_string(columns) + "\n2\n100\n1099\n10\n");
        return;
    }
    std::string grid = "ncols " + std::to_string(columns) + "\nnrows " + std::to_string(lines) +
                       "\nxllcorner 0\nyllcorner 0\ncellsize 10\n";
    for (std::uint16_t v : cells) grid += std::to_string(v) + " ";
    root.write("d/a.asc", grid);
}

}  // namespace

TEST(BoundedMemory, PeakMemoryDoesNotGrowWithTheNumberOfLinesForAnyFormatPair) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own memory hides the program's";
#endif
    // At ratio 0.5, holding a grid would grow by far more than 8 MiB between 100 lines
    // and these: 10 MB of raw cells at 5000 lines, 19 MB of doubles of the ASCII input
    // at 2400 lines, 10 MB of doubles of the ASCII output of 5000 input lines.
    const struct {
        bool ascii_in, ascii_out;
        int lines;
    } pairs[] = {
        {false, false, 5000}, {false, true, 5000}, {true, false, 2400}, {true, true, 2400}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(std::string(pair.ascii_in ? "ASCII" : "raw") + " to " +
                     (pair.ascii_out ? "ASCII" : "raw"));
        long peak[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            TempRoot root;
            put_input(root, pair.ascii_in, k == 0 ? 100 : pair.lines);
            const std::string answers = std::string(pair.ascii_in ? "d a 0" : "d r 1 0 0") + " 0 " +
                                        (pair.ascii_out ? "0" : "1 0") + " 10 20" +
                                        (pair.ascii_out && !pair.ascii_in ? " 1 2" : "") + "\n";
            const Session s = run_program(root, answers);
            ASSERT_EQ(s.status, 0) << s.err;
            peak[k] = s.peak_kib;
        }
        EXPECT_GT(peak[0], 0) << "the peak was read";
        EXPECT_LT(peak[1] - peak[0], 8 * 1024)
            << peak[0] << " KiB at 100 lines, " << peak[1] << " KiB at " << pair.lines;
    }
}

// A wide, short raster on many cores: the ring of output lines and the workers' input
// lines are bounded in bytes and by the output's height, so 8 cores take what 1 takes
// and at most the crew's budget more (a wider ring once grew to 850 MiB on 2 cores).
// An output all frame needs no sweep: 2,000,000 columns once took 317 MiB for it.
TEST(BoundedMemory, PeakMemoryDoesNotGrowWithTheNumberOfCores) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own memory hides the program's";
#endif
    struct Shape {
        int lines, columns;
    };
    for (const Shape shape : {Shape{1, 2000000}, Shape{7, 300000}, Shape{40, 60000}}) {
        SCOPED_TRACE(std::to_string(shape.lines) + " x " + std::to_string(shape.columns));
        TempRoot root;
        std::vector<std::uint16_t> cells(static_cast<std::size_t>(shape.lines) * shape.columns);
        for (std::size_t k = 0; k < cells.size(); ++k)
            cells[k] = static_cast<std::uint16_t>(1000 + k % 500);
        root.write("d/w_m2.raw", raw16(cells));
        root.write("d/w_m2.txt", std::to_string(shape.lines) + "\n" +
                                     std::to_string(shape.columns) + "\n2\n1000\n1499\n10\n");
        long peak[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            Options options;
            options.environment = {"LD_PRELOAD=" DEM_VARNEL_MANY_CORES,
                                   k == 0 ? "DEM_VARNEL_CORES=1" : "DEM_VARNEL_CORES=8"};
            const Session s = run_program(root, "d w 1 0 0 0 1 0 10 10\n", options);
            ASSERT_EQ(s.status, 0) << s.err;
            peak[k] = s.peak_kib;
        }
        EXPECT_LT(peak[1] - peak[0], 72 * 1024)
            << peak[0] << " KiB on 1 core, " << peak[1] << " KiB on 8";
        if (shape.lines == 1) {
            EXPECT_LT(peak[1], 100 * 1024) << peak[1] << " KiB on 8 cores";
        }
    }
}

// The engine as a library: runs of readers, the engine's one call and writers in one
// process (one failing after its outputs were created), the engine from memory to
// memory against the program's file, and crews whose worker's source or writer's sink
// fails, or that batch their work in any sizes.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>

#include "LIB/GRIDUTIL.h"
#include "dem_files/ascii_reader.h"
#include "dem_files/ascii_writer.h"
#include "dem_files/raster_writer.h"
#include "dem_files/raw_reader.h"
#include "failure.h"
#include "in_process.h"
#include "regrid/engine.h"
#include "regrid/sweep.h"
#include "wide_rows.h"

namespace {

// A raw 16-bit raster in decimetres and an ASCII grid, both `lines` x `columns`.
std::vector<std::uint16_t> terrain(int lines, int columns) {
    std::vector<std::uint16_t> cells;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            cells.push_back(static_cast<std::uint16_t>(4000 + (i * 37 + j * 11) % 1500));
    return cells;
}

std::FILE* open_host(const std::string& logical) {
    return std::fopen(host_path(logical).c_str(), "rb");
}

class Library : public InProcess {
protected:
    void SetUp() override {
        InProcess::SetUp();
        root.write("d/r_m2.raw", raw16(terrain(40, 70)));
        root.write("d/r_m2.txt", "40\n70\n2\n4000\n5499\n10\n");
        std::string grid = "ncols 70\nnrows 40\nxllcorner 0\nyllcorner 0\ncellsize 10\n";
        for (std::uint16_t v : terrain(40, 70)) grid += std::to_string(v / 10.0) + " ";
        root.write("d/a.asc", grid);
    }

    static RegridRequest request(double ratio, int threads = 0) {
        RegridRequest r;
        r.lines = 40;
        r.columns = 70;
        r.ratio = ratio;
        r.pixel_size = 10;
        r.threads = threads;
        return r;
    }
};

}  // namespace

TEST_F(Library, AFailedRunThenTwoRunsOfOtherFormatsLeaveTheirFilesAndNoTemporary) {
    const auto raw_to_ascii = [](int fail_at) {
        RawReader reader(open_host("c:\\images\\d\\r_m2.raw"), "r_m2.raw", 2, 40, 70);
        reader.scan();
        AsciiWriter writer("c:\\images\\d\\r_varnel.asc", true);
        LineSink sink = writer.sink();
        const auto put = sink.put;
        sink.put = [put, fail_at](int i, const double* line) {
            if (i == fail_at) fail("the disk went away");
            put(i, line);
        };
        const OutputGeometry g = regrid(reader.source(10.0), sink, request(2.0));
        writer.finish(g, ascii_header_text(g.columns, g.lines, 0, 0, 5));
    };
    run([&] { raw_to_ascii(30); });
    EXPECT_EQ(failure, "the disk went away");
    EXPECT_FALSE(root.has_temporary()) << "the values waiting apart and the grid are removed";
    EXPECT_FALSE(root.exists("d/r_varnel.asc"));

    run([&] { raw_to_ascii(-1); });
    ASSERT_FALSE(failed) << failure;
    run([&] {
        AsciiReader reader(open_host("c:\\images\\d\\a.asc"), "c:\\images\\d\\a.asc", "a.asc");
        reader.read_header();
        reader.scan(nullptr);
        RasterWriter writer("c:\\images\\d\\a_varnel_m4.raw", "c:\\images\\d\\a_varnel_m4.txt", 4,
                            1.0);
        const OutputGeometry g = regrid(reader.source(), writer.sink(), request(0.5));
        writer.finish(g, 20);
    });
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(root.read("d/r_varnel.asc").substr(0, 19), "ncols 140\nnrows 80\n");
    EXPECT_EQ(root.read("d/a_varnel_m4.raw").size(), 20u * 35u * 4u);
    EXPECT_EQ(root.read("d/a_varnel_m4.txt").substr(0, 8), "20\n35\n4\n");
    EXPECT_FALSE(root.has_temporary());
}

TEST_F(Library, TheEngineFromMemoryToMemoryGivesTheCellsOfTheProgramsFile) {
    const Session s = run_program(root, "d r 1 0 1 0 1 1 10 4\n");
    ASSERT_EQ(s.status, 0) << s.err;
    const std::vector<std::int32_t> written = cells32(root.read("d/r_varnel_m4.raw"));

    // The same cells in metres, padded, as a source over memory.
    const std::vector<std::uint16_t> cells = terrain(40, 70);
    std::vector<std::vector<double>> padded_rows(44, std::vector<double>(74, 0.0));
    double lowest = HUGE_VAL, highest = -HUGE_VAL;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 70; ++j) {
            const double v = static_cast<double>(static_cast<long double>(cells[i * 70 + j]) / 10);
            padded_rows[i + 3][j + 3] = v;
            if (lowest > v) lowest = v;
            if (highest < v) highest = v;
        }
    LineSource in{[&](int r) { return padded_rows[r].data(); }, [](int) {}};
    in.another = [in] { return in; };
    in.lowest = lowest;
    in.highest = highest;
    std::vector<std::int32_t> computed;
    LineSink sink;
    sink.put = [&](int, const double* line) {
        for (int j = 0; j < 175; ++j)
            computed.push_back(static_cast<std::int32_t>(defined_stored_bits(line[j], 10.0)));
    };
    const OutputGeometry g = regrid(in, sink, request(pixel_ratio(10, 4), 3));
    EXPECT_EQ(g.lines, 100);
    EXPECT_EQ(g.columns, 175);
    EXPECT_EQ(computed, written);
}

TEST_F(Library, AnAsciiGridFormattedOnAnyNumberOfThreadsIsTheSameFile) {
    // Lines of 140 values, formatted by whichever threads the crew has free.
    std::string grids[4];
    const int threads[4] = {1, 2, 3, 5};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(threads[k]);
        run([&] {
            RawReader reader(open_host("c:\\images\\d\\r_m2.raw"), "r_m2.raw", 2, 40, 70);
            reader.scan();
            AsciiWriter writer("c:\\images\\d\\r_varnel.asc", false);
            const OutputGeometry g =
                regrid(reader.source(10.0), writer.sink([](const OutputGeometry& geometry) {
                    return ascii_header_text(geometry.columns, geometry.lines, 0, 0, 5);
                }),
                       request(2.0, threads[k]));
            writer.finish(g);
        });
        ASSERT_FALSE(failed) << failure;
        grids[k] = root.read("d/r_varnel.asc");
    }
    for (int k = 1; k < 4; ++k) EXPECT_TRUE(grids[k] == grids[0]) << threads[k] << " threads";
    EXPECT_EQ(grids[0].substr(0, 19), "ncols 140\nnrows 80\n");
}

namespace {

// A crew's run of 3 threads from a raw raster to a raw raster, where `break_it` may make
// a worker's source or the writer's sink fail.
class CrewFailure : public Library {
protected:
    void run_with(const std::function<void(LineSource&, LineSink&)>& break_it) {
        run([&] {
            RawReader reader(open_host("c:\\images\\d\\r_m2.raw"), "r_m2.raw", 2, 40, 70);
            reader.scan();
            RasterWriter writer("c:\\images\\d\\o_varnel_m2.raw", "c:\\images\\d\\o_varnel_m2.txt",
                                2, 10.0);
            LineSource in = reader.source(10.0);
            LineSink sink = writer.sink();
            break_it(in, sink);
            const OutputGeometry g = regrid(in, sink, request(5.0, 3));
            writer.finish(g, 2);
        });
    }
};

}  // namespace

TEST_F(CrewFailure, AWorkersSourceFailingEndsTheRunWithItsMessage) {
    // The caller's first read waits (10 s at most) for a worker's failed read, so that a
    // worker started late cannot find every row done and read nothing.
    struct FailedRead {
        std::promise<void> seen;
        std::once_flag once;  // two workers may fail
    };
    auto failed_read = std::make_shared<FailedRead>();
    std::shared_future<void> seen = failed_read->seen.get_future().share();
    run_with([&](LineSource& in, LineSink&) {
        const auto line = in.line;
        in.line = [line, seen](int r) {
            seen.wait_for(std::chrono::seconds(10));
            return line(r);
        };
        in.another = [failed_read] {
            LineSource broken;
            broken.line = [failed_read](int) -> const double* {
                std::call_once(failed_read->once, [&] { failed_read->seen.set_value(); });
                fail("a worker's read failed");
            };
            broken.forget = [](int) {};
            return broken;
        };
    });
    EXPECT_EQ(failure, "a worker's read failed");
    EXPECT_FALSE(root.has_temporary());
    EXPECT_FALSE(root.exists("d/o_varnel_m2.raw"));
}

TEST_F(CrewFailure, TheWritersSinkFailingEndsTheRunWithItsMessage) {
    run_with([](LineSource&, LineSink& sink) {
        const auto put = sink.put;
        sink.put = [put](int i, const double* line) {
            if (i == 77) throw std::runtime_error("the sink's own error");
            put(i, line);
        };
    });
    EXPECT_EQ(failure, "the sink's own error");
    EXPECT_FALSE(root.has_temporary());
    EXPECT_FALSE(root.exists("d/o_varnel_m2.raw"));
}

// A crew's batches bear on speed only: any sizes end, with the bytes of one thread.
TEST(CrewLiveness, AnyBatchSizesEndWithTheBytesOfOneThread) {
    std::mt19937_64 random(4);
    const int lines = 150, columns = 90, out_lines = 300, out_columns = 180;
    std::vector<double*> in_rows, alone_rows, crew_rows;
    double** in = dmatrice(columns + 4, lines + 4);
    for (int i = 3; i < lines + 3; ++i)
        for (int j = 3; j < columns + 3; ++j) in[i][j] = static_cast<double>(random() % 3000);
    SweepOptions options;
    options.lowest = 0;
    options.highest = 3000;
    double** alone = dmatrice(out_columns + 4, out_lines + 4);
    transf(in, alone, lines + 4, columns + 4, out_lines + 4, out_columns + 4, options);
    for (const int threads : {2, 3})
        for (const int wake : {1, 8, 34, 35, 40, 64, 1000})
            for (const int claim : {1, 8, 64}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, wake " + std::to_string(wake) +
                             ", claim " + std::to_string(claim));
                options.threads = threads;
                options.tuning.rows_per_wake = wake;
                options.tuning.rows_per_claim = claim;
                double** crew = dmatrice(out_columns + 4, out_lines + 4);
                transf(in, crew, lines + 4, columns + 4, out_lines + 4, out_columns + 4, options);
                int differences = 0;
                for (int i = 0; i < out_lines + 4; ++i)
                    differences += std::memcmp(crew[i], alone[i], 8 * (out_columns + 4)) != 0;
                EXPECT_EQ(differences, 0);
                frdmatrice(crew, out_lines + 4);
            }
    frdmatrice(alone, out_lines + 4);
    frdmatrice(in, lines + 4);
}

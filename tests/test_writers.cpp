// The writers: framing, the conversion to stored units with its truncation and low
// bits, raw rasters and descriptors, ASCII grids with and without the corner question,
// the text of every value, files replaced only once complete, and where the output's
// cells lie on the ground.
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "LIB/GRIDUTIL.h"
#include "dem_files/ascii_writer.h"
#include "dem_files/names.h"
#include "dem_files/pending_output.h"
#include "dem_files/raster_writer.h"
#include "dem_varnel/phases.h"
#include "host_direct.h"
#include "host_files_system.h"
#include "in_process.h"
#include "session.h"
#include "transcript.h"
#include "wide_rows.h"

namespace {

class Writers : public InProcess {
protected:
    void SetUp() override {
        InProcess::SetUp();
        mkdir(root.file("d").c_str(), 0755);
    }

    // A finished padded output of `lines` x `columns` whose data cell [i][j] holds
    // value(i, j), with the input's range [low, high].
    template <typename Value>
    void output_of(int lines, int columns, double low, double high, Value value) {
        nb_lig4 = lines;
        nb_col4 = columns;
        nb_lig3 = lines + 4;
        nb_col3 = columns + 4;
        padded.assign(static_cast<std::size_t>(nb_lig3),
                      std::vector<double>(static_cast<std::size_t>(nb_col3), 0.0));
        for (int i = 0; i < lines; ++i)
            for (int j = 0; j < columns; ++j) padded[i + 3][j + 3] = value(i, j);
        dmin_alt = low;
        dmax_alt = high;
        coef = 1.0;
        pix_size_out = 5.0;
    }

    // Writes the output as a raw raster of the given width under d/o.
    void save_raw(int width) {
        format2 = 1;
        itype2 = width;
        const std::string stem = "c:\\images\\d\\o";
        files = RunFiles();
        run([&] {
            files.raster = std::make_unique<RasterWriter>(stem + output_data_suffix(1, width),
                                                          stem + output_descriptor_suffix(width),
                                                          width == 0 ? 2 : 4, coef);
            write_lines_and_save(files.raster->sink());
        });
    }

    std::string save_ascii(const std::string& corner_answers = "") {
        format2 = 0;
        answers(corner_answers + " ");
        files = RunFiles();
        run([&] {
            files.grid =
                std::make_unique<AsciiWriter>("c:\\images\\d\\o_varnel.asc", !open_ascii_OK);
            write_lines_and_save(files.grid->sink([](const OutputGeometry& g) {
                return ascii_header_text(g.columns, g.lines, X_min, Y_min, pix_size_out);
            }));
        });
        return root.read("d/o_varnel.asc");
    }

    // The output handed to the writer's sink line by line, framed as the engine frames
    // it, then saved as the dialogue saves it.
    void write_lines_and_save(const LineSink& sink) {
        files.result.lines = nb_lig4;
        files.result.columns = nb_col4;
        files.result.lowest = dmin_alt;
        files.result.highest = dmax_alt;
        sink.start(files.result);
        for (int i = 0; i < nb_lig4; ++i)
            sink.put(i, frame_in_place(i, padded[i + 3].data(), nb_lig4, nb_col4, dmin_alt));
        save(files);
    }

    RunFiles files;
    std::vector<std::vector<double>> padded;
};

}  // namespace

TEST_F(Writers, FrameIsThreeCellsOfTheLowestElevation) {
    output_of(7, 7, 1.0, 99.0, [](int i, int j) { return 50.0 + i * 7 + j; });
    save_raw(1);
    ASSERT_FALSE(failed) << failure;
    const std::vector<std::int32_t> cells = cells32(root.read("d/o_varnel_m4.raw"));
    ASSERT_EQ(cells.size(), 49u);
    for (int k = 0; k < 49; ++k) EXPECT_EQ(cells[k], k == 3 * 7 + 3 ? 50 + 21 + 3 : 1) << k;

    reset_run_state();
    output_of(6, 9, 2.0, 99.0, [](int, int) { return 50.0; });
    save_raw(1);
    for (std::int32_t v : cells32(root.read("d/o_varnel_m4.raw")))
        EXPECT_EQ(v, 2) << "six lines: all frame";
}

TEST_F(Writers, StoredUnitsAreTheTruncatedExtendedProductAndItsLowBits) {
    EXPECT_EQ(defined_stored_bits(12.34, 10.0), 123u);
    EXPECT_EQ(defined_stored_bits(0.3, 10.0), 2u)
        << "0.3 x 10 is just below 3 in extended precision";
    EXPECT_EQ(defined_stored_bits(123.9, 1.0), 123u);
    EXPECT_EQ(defined_stored_bits(-0.7, 1.0), 0u);
    EXPECT_EQ(defined_stored_bits(-1.5, 1.0) & 0xFFFF, 65535u);
    EXPECT_EQ(defined_stored_bits(65.536, 1000.0) & 0xFFFF, 0u);
    EXPECT_EQ(defined_stored_bits(std::nan(""), 1.0), 0u);
    EXPECT_EQ(defined_stored_bits(HUGE_VAL, 1.0), 0u);
    // Far beyond any integer type: still the low bits of the exact truncated integer.
    std::mt19937_64 random(7);
    for (int k = 0; k < 2000; ++k) {
        const double v =
            std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 70)) *
            (k % 2 ? -1 : 1);
        const auto exact = static_cast<__int128>(std::trunc(static_cast<long double>(v) * 1000.0L));
        EXPECT_EQ(defined_stored_bits(v, 1000.0),
                  static_cast<std::uint32_t>(static_cast<unsigned __int128>(exact)))
            << v;
    }
}

TEST_F(Writers, SixteenBitRasterStoresLowBitsWithOneWarning) {
    const double values[2][4] = {{12.34, 65.536, -1.5, -0.5}, {0.3, 1.0, 2.0, 3.0}};
    output_of(10, 10, -2.0, 70.0, [&](int i, int j) {
        return i >= 3 && i <= 4 && j >= 3 && j <= 6 ? values[i - 3][j - 3] : 1.0;
    });
    coef = 1000.0;
    save_raw(0);
    ASSERT_FALSE(failed) << failure;
    const std::vector<std::uint16_t> cells = cells16(root.read("d/o_varnel_m2.raw"));
    ASSERT_EQ(cells.size(), 100u);
    EXPECT_EQ(cells[0], 63536) << "the frame: -2 m is -2000 mm, stored modulo 65536";
    EXPECT_EQ(cells[33], 12339) << "12.34 x 1000 is just below 12340 in extended precision";
    EXPECT_EQ(cells[34], 0) << "65.536 m is 65536 mm";
    EXPECT_EQ(cells[35], 65536 - 1500);
    EXPECT_EQ(cells[36], 65536 - 500);
    EXPECT_EQ(cells[43], 299);
    EXPECT_EQ(root.read("d/o_varnel_m2.txt"), "10\n10\n2\n-2000\n70000\n5\n");
    EXPECT_NE(err.find("dem_varnel: 87 cells do not fit 16-bit cells and were stored modulo 65536"),
              std::string::npos)
        << err;
}

TEST_F(Writers, ADescriptorRangeBeyondItsIntLinesIsWrittenByItsLowBitsWithAWarning) {
    output_of(7, 7, -3e6, 3e6, [](int, int) { return 1.0; });
    coef = 1000.0;
    save_raw(1);
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(root.read("d/o_varnel_m4.txt"), "7\n7\n4\n1294967296\n-1294967296\n5\n");
    for (const char* which : {"lowest elevation, -3000000 m, is -3000000000 stored units",
                              "highest elevation, 3000000 m, is 3000000000 stored units"})
        EXPECT_NE(err.find(which), std::string::npos) << err;
    EXPECT_NE(err.find("beyond the int range of its descriptor line"), std::string::npos) << err;
}

TEST_F(Writers, AsciiOutputOfAnAsciiInputAsksNothingAndRepeatsTheCorner) {
    output_of(7, 7, 1.0, 99.0, [](int, int) { return 12.5; });
    open_ascii_OK = true;
    X_min = 1000.25;
    Y_min = -20.0;
    pix_size_out = 12.5;
    const std::string grid = save_ascii();
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(out, "");
    std::string expected =
        "ncols 7\nnrows 7\nxllcorner 1000.250000\nyllcorner -20.000000\ncellsize 12.500000\n"
        "nodata_value -9999.9999\n";
    for (int k = 0; k < 49; ++k) expected += k == 24 ? "12.500000\t" : "1.000000\t";
    EXPECT_EQ(grid, expected) << "one text line, a tab after every value, no final line end";
}

TEST_F(Writers, AsciiOutputOfARawInputAsksTheCornerAfterTheSizeLines) {
    output_of(2, 3, 1.0, 99.0, [](int, int) { return 5.0; });
    open_ascii_OK = false;
    const std::string grid = save_ascii("inf nan 500.5 -12");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(out,
              "\n\n\tUTM Coordinates : \n\t\tX_min ? \n\t\tX_min ? \n\t\tX_min ? \t\tY_min ? ");
    EXPECT_NE(err.find("a coordinate must be a finite number"), std::string::npos);
    const std::string header =
        "ncols 3\nnrows 2\nxllcorner 500.500000\nyllcorner -12.000000\ncellsize 5.000000\n";
    EXPECT_EQ(grid.substr(0, header.size()), header);
}

TEST_F(Writers, ValuesAreWrittenExactlyAsPrintfWritesThem) {
    std::mt19937_64 random(11);
    std::vector<double> values = {0.0,        -0.0,           0.0000005,      0.0000015,
                                  -0.0000004, 1e-300,         2.5e-7,         123456789.1234565,
                                  1e22,       9.999999999e15, -65535.9999995, 1e300,
                                  -1e-7};
    while (values.size() < 5000) {
        std::uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        if (values.size() % 2)
            v = std::ldexp(std::fmod(std::fabs(v), 1.0) + 0.5,
                           static_cast<int>(random() % 60) - 30);
        values.push_back(v);
    }
    const int columns = 50;
    const int lines = static_cast<int>(values.size()) / columns;
    output_of(lines + 6, columns + 6, -1e308, 1e308, [&](int i, int j) {
        return i >= 3 && j >= 3 && i < lines + 3 && j < columns + 3
                   ? values[(i - 3) * columns + (j - 3)]
                   : 0.0;
    });
    open_ascii_OK = true;
    const std::string grid = save_ascii();
    ASSERT_FALSE(failed) << failure;
    std::string expected;
    char text[400];
    for (int i = 0; i < lines + 6; ++i)
        for (int j = 0; j < columns + 6; ++j) {
            const bool frame = i < 3 || j < 3 || i >= lines + 3 || j >= columns + 3;
            std::snprintf(text, sizeof text, "%lf\t", frame ? dmin_alt : padded[i + 3][j + 3]);
            expected += text;
        }
    EXPECT_EQ(grid.substr(grid.size() - expected.size()), expected);
}

TEST_F(Writers, BlocksPastThePageCacheAndTheStreamAloneWriteTheSameFiles) {
    // Outputs of more than one 4 MiB buffer: a raster from offset 0, and ASCII grids
    // after their header (an unaligned start) and in a file of their own.
    output_of(1100, 1101, 0.0, 1e6, [](int i, int j) { return i * 7.25 + j * 0.001; });
    X_min = Y_min = 0;
    std::string raw[2], with_header[2], apart[2];
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        direct_writes_allowed = way == 0;
        save_raw(1);
        ASSERT_FALSE(failed) << failure;
        raw[way] = root.read("d/o_varnel_m4.raw");
        open_ascii_OK = true;
        with_header[way] = save_ascii();
        ASSERT_FALSE(failed) << failure;
        open_ascii_OK = false;
        apart[way] = save_ascii("0 0");
        ASSERT_FALSE(failed) << failure;
    }
    direct_writes_allowed = true;
    ASSERT_EQ(raw[0].size(), 1100u * 1101u * 4u);
    EXPECT_TRUE(raw[0] == raw[1]);
    EXPECT_TRUE(with_header[0] == with_header[1]);
    EXPECT_TRUE(apart[0] == apart[1]);
    std::int32_t cell;
    std::memcpy(&cell, raw[0].data() + 4 * (500 * 1101 + 600), 4);
    EXPECT_EQ(cell, static_cast<std::int32_t>(500 * 7.25 + 600 * 0.001));
    EXPECT_EQ(with_header[0].substr(with_header[0].find("nodata_value -9999.9999\n") + 24, 9),
              "0.000000\t")
        << "the frame's lowest elevation comes first";
}

// A file that appears under the final name while a run that may not replace one works
// is kept, and the run fails (it was replaced, the run ending with status 0).
TEST_F(Writers, AFileThatAppearsUnderTheFinalNameIsNotReplacedUnlessAllowed) {
    for (const bool allowed : {false, true}) {
        run([&] {
            PendingOutput ours("c:\\images\\d\\p.txt", "wb");
            if (!allowed) ours.replace_nothing();
            std::fputs("ours", ours.stream());
            ours.close();
            root.write("d/p.txt", "theirs");
            PendingOutput::install({&ours});
        });
        EXPECT_EQ(failed, !allowed);
        EXPECT_EQ(root.read("d/p.txt"), allowed ? "ours" : "theirs");
        if (!allowed) {
            EXPECT_NE(failure.find("it appeared while the run was working"), std::string::npos)
                << failure;
        }
        EXPECT_FALSE(root.has_temporary());
    }
}

// The rename of a run that may not replace refuses to in one step, for a process that
// puts a file there without taking the folder's lock.
TEST(HostFiles, ARenameThatMayNotReplaceKeepsTheFileThere) {
    TempRoot root;
    root.write("ours", "ours");
    root.write("theirs", "theirs");
    bool taken = false;
    EXPECT_FALSE(host::rename_not_replacing(root.file("ours"), root.file("theirs"), taken));
    EXPECT_TRUE(taken);
    EXPECT_EQ(root.read("theirs"), "theirs");
    EXPECT_EQ(root.read("ours"), "ours");
    EXPECT_TRUE(host::rename_not_replacing(root.file("ours"), root.file("new"), taken));
    EXPECT_FALSE(taken);
    EXPECT_EQ(root.read("new"), "ours");
    EXPECT_FALSE(root.exists("ours"));
}

// Files a library names after the temporary name with its count cut off do not go
// with the output: they are found, and go with the run's temporary files; those of
// another process are neither.
TEST_F(Writers, FilesNamedAfterTheTemporaryNameCutShortAreFound) {
    std::string uncounted;
    std::vector<std::string> otherwise;
    run([&] {
        PendingOutput output("c:\\images\\d\\o.x", "wb", true);
        const std::string temp = output.hand_over_name();
        uncounted = temp.substr(0, temp.rfind('-'));
        for (const std::string& made : {uncounted + ".idx", uncounted + "7.idx"})
            if (std::FILE* f = std::fopen(made.c_str(), "wb")) std::fclose(f);
        otherwise = output.made_otherwise();
    });
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(otherwise, std::vector<std::string>{uncounted + ".idx"}) << "not another process's";
    EXPECT_FALSE(std::filesystem::exists(uncounted + ".idx"));
    EXPECT_TRUE(std::filesystem::exists(uncounted + "7.idx"));
}

// An interruption once the outputs are in place (the run's summary still to print) says
// they are complete: it said the temporary files were removed, as if the old files had
// stayed. A run that makes a temporary file again starts afresh.
TEST_F(Writers, AnInterruptionAfterTheOutputsAreInPlaceSaysTheyAreComplete) {
    std::string after_install, after_new_work;
    run([&] {
        PendingOutput done("c:\\images\\d\\p.txt", "wb");
        std::fputs("ours", done.stream());
        done.close();
        PendingOutput::install({&done});
        after_install = remove_temporary_files_for_interrupt();
        PendingOutput next("c:\\images\\d\\q.txt", "wb");
        after_new_work = remove_temporary_files_for_interrupt();
    });
    ASSERT_FALSE(failed) << failure;
    EXPECT_NE(after_install.find("was put in place; it is complete"), std::string::npos)
        << after_install;
    EXPECT_EQ(after_new_work, "; temporary files removed");
    EXPECT_EQ(root.read("d/p.txt"), "ours");
    EXPECT_FALSE(root.has_temporary());
}

TEST(WriterSessions, EveryOutputReadsBackAsAnInputOfItsVarnelName) {
    TempRoot root;
    std::vector<std::uint16_t> cells;
    for (int k = 0; k < 12 * 11; ++k)
        cells.push_back(static_cast<std::uint16_t>(1000 + (k * 37) % 400));
    root.write("d/dem_m2.raw", raw16(cells));
    root.write("d/dem_m2.txt", "12\n11\n2\n1000\n1400\n10\n");
    // 16-bit out, then the output read back as the base dem_varnel, to ASCII.
    Session s = run_program(root, "d dem 1 0 1 0 1 0 10 10\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/dem_varnel_m2.txt").substr(0, 13), "12\n11\n2\n1000\n")
        << "in the input's decimetres";
    s = run_program(root, "d dem_varnel 1 0 1 0 0 10 10 7 8\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find(text::size(12, 11)), std::string::npos);
    const std::string grid = root.read("d/dem_varnel_varnel.asc");
    const std::string header = "ncols 11\nnrows 12\nxllcorner 7.000000\nyllcorner 8.000000\n";
    EXPECT_EQ(grid.substr(0, header.size()), header);
    // ... and that ASCII grid read back, to a 32-bit raster.
    s = run_program(root, "d dem_varnel_varnel 0 0 1 1 10 10\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/dem_varnel_varnel_varnel_m4.raw").size(), 12u * 11u * 4u);
}

TEST(WriterSessions, AFullDeviceFailsTheRunAndKeepsThePreviousOutput) {
    TempRoot root;
    root.write("d/keep", "");
    if (mount("tmpfs", root.file("d").c_str(), "tmpfs", 0, "size=80k") != 0)
        GTEST_SKIP() << "mounting a small file system needs privileges";
    std::vector<std::uint16_t> cells(18 * 18, 12345);
    root.write("d/dem_m2.raw", raw16(cells));
    root.write("d/dem_m2.txt", "18\n18\n2\n12345\n12345\n10\n");
    std::string grid = "ncols 18\nnrows 18\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    for (int k = 0; k < 18 * 18; ++k) grid += "1234.5 ";
    root.write("d/g.asc", grid);
    root.write("d/g_varnel.asc", "previous result");
    root.write("d/dem_varnel_m4.raw", "previous raster");
    // A 72 x 72 ASCII grid of "1234.500000\t" does not fit the 56 KiB left, though the
    // least it could take (9 bytes a value) would: the write fails on the way.
    Session s = run_program(root, "d g 0 0 0 4 1\n");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("dem_varnel: cannot write c:\\images\\d\\g_varnel.asc"), std::string::npos)
        << s.err;
    EXPECT_NE(s.err.find("No space left on device"), std::string::npos) << s.err;
    EXPECT_EQ(root.read("d/g_varnel.asc"), "previous result");
    // A 180 x 180 32-bit raster (127 KiB) is known not to fit before anything is computed.
    s = run_program(root, "d dem 1 0 1 0 1 1 10 1\n");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("makes files of"), std::string::npos) << s.err;
    EXPECT_EQ(root.read("d/dem_varnel_m4.raw"), "previous raster");
    EXPECT_FALSE(root.has_temporary());
    EXPECT_EQ(root.snapshot().size(), 5u) << "the inputs, a descriptor and the two old outputs";
    umount(root.file("d").c_str());
}

TEST_F(Writers, EveryCellIsTheTruncatedExtendedProductForEveryUnit) {
    std::mt19937_64 random(3);
    std::vector<double> values;
    for (int k = 0; k < 4000; ++k) {
        // Decimal fractions (whose products land just below or at whole numbers),
        // negatives, arbitrary doubles and values beyond the int range.
        const double decimal =
            static_cast<double>(static_cast<long long>(random() % 2000000) - 1000000) / 1000.0;
        const double arbitrary = std::ldexp(static_cast<double>(random() >> 11), -40) - 4000.0;
        values.push_back(k % 4 == 0   ? decimal
                         : k % 4 == 1 ? decimal / 10
                         : k % 4 == 2 ? arbitrary
                                      : arbitrary * 1e9);
    }
    const int columns = 40, lines = static_cast<int>(values.size()) / columns;
    for (double factor : {1.0, 10.0, 100.0, 1000.0}) {
        SCOPED_TRACE(factor);
        reset_run_state();
        output_of(lines + 6, columns + 6, -1e18, 1e18, [&](int i, int j) {
            return i >= 3 && j >= 3 && i < lines + 3 && j < columns + 3
                       ? values[(i - 3) * columns + (j - 3)]
                       : 0.0;
        });
        coef = factor;
        save_raw(1);
        ASSERT_FALSE(failed) << failure;
        const std::vector<std::int32_t> cells = cells32(root.read("d/o_varnel_m4.raw"));
        for (int i = 0; i < lines; ++i)
            for (int j = 0; j < columns; ++j) {
                const double v = values[i * columns + j];
                ASSERT_EQ(cells[(i + 3) * (columns + 6) + j + 3],
                          static_cast<std::int32_t>(defined_stored_bits(v, factor)))
                    << v;
            }
    }
}

TEST(StoredCells, EveryInstructionSetStoresTheDefinedBits) {
    std::mt19937_64 random(8);
    std::vector<double> line;
    for (int k = 0; k < 6000; ++k) {
        const double decimal =
            static_cast<double>(static_cast<long long>(random() % 2000000) - 1000000) / 1000.0;
        const double arbitrary = std::ldexp(static_cast<double>(random() >> 11), -40) - 4000.0;
        const double huge =
            std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 60));
        line.push_back(k % 4 == 0   ? decimal
                       : k % 4 == 1 ? decimal / 100
                       : k % 4 == 2 ? arbitrary
                                    : huge);
    }
    for (double v :
         {0.0, -0.0, 0.3, 12.34, 65.535, 65.536, -1.5, -0.5, HUGE_VAL, -HUGE_VAL, std::nan("")})
        line.push_back(v);
    // Whole vectors of ordinary elevations, some of them beyond the 16-bit cells.
    for (int k = 0; k < 4000; ++k)
        line.push_back(static_cast<double>(random() % 800000) / 1000.0 -
                       (k % 16 == 0 ? 70.0 : 0.0));
    const int n = static_cast<int>(line.size());
    for (double factor : {1.0, 10.0, 100.0, 1000.0}) {
        std::uint64_t outside16 = 0, outside32 = 0;
        for (double v : line) {
            const long double t = std::trunc(static_cast<long double>(v) * factor);
            outside16 += !(t >= 0 && t <= 65535);
            outside32 += !(t >= INT32_MIN && t <= INT32_MAX);
        }
        for (int level = 0; level < 3; ++level) {
            const WideRows* variant = wide_rows_variant(level);
            if (variant == nullptr) continue;
            SCOPED_TRACE(std::to_string(level) + " x" + std::to_string(factor));
            std::vector<std::uint16_t> cells16(line.size());
            std::vector<std::int32_t> cells32(line.size());
            EXPECT_EQ(variant->stored16(line.data(), cells16.data(), n, factor), outside16);
            EXPECT_EQ(variant->stored32(line.data(), cells32.data(), n, factor), outside32);
            for (int k = 0; k < n; ++k) {
                const std::uint32_t bits = defined_stored_bits(line[k], factor);
                ASSERT_EQ(cells16[k], static_cast<std::uint16_t>(bits)) << line[k];
                ASSERT_EQ(cells32[k], static_cast<std::int32_t>(bits)) << line[k];
            }
        }
    }
}

TEST(WriterSessions, EveryInputFormatGoesToEveryOutputFormat) {
    struct Input {
        const char* name;
        std::string answers;  // up to and including the unit answer
    };
    struct Output {
        const char* name;
        std::string answers;  // format and cell width
        std::string file;
        std::size_t bytes;  // of a raw output, 0 for ASCII
    };
    const Input inputs[] = {
        {"raw 16-bit", "d r16 1 0 2"}, {"raw 32-bit", "d r32 1 1 2"}, {"ASCII", "d asc 0"}};
    const Output outputs[] = {{"ASCII", "0", "_varnel.asc", 0},
                              {"raw 16-bit", "1 0", "_varnel_m2.raw", 18u * 20u * 2u},
                              {"raw 32-bit", "1 1", "_varnel_m4.raw", 18u * 20u * 4u}};
    for (const Input& in : inputs)
        for (const Output& out : outputs) {
            SCOPED_TRACE(std::string(in.name) + " to " + out.name);
            TempRoot root;
            std::vector<std::uint16_t> narrow;
            std::vector<std::int32_t> wide;
            std::string grid =
                "ncols 10\nnrows 9\nxllcorner 1\nyllcorner 2\ncellsize 10\nnodata_value -9999\n";
            for (int k = 0; k < 90; ++k) {
                narrow.push_back(static_cast<std::uint16_t>(2000 + 37 * k % 500));
                wide.push_back(2000 + 37 * k % 500 - (k == 40 ? 3000 : 0));
                grid += std::to_string(20 + 0.37 * (37 * k % 500)) + (k % 10 == 9 ? "\n" : " ");
            }
            root.write("d/r16_m2.raw", raw16(narrow));
            root.write("d/r16_m2.txt", "9\n10\n2\n2000\n2500\n10\n");
            root.write("d/r32_m4.raw", raw32(wide));
            root.write("d/r32_m4.txt", "9\n10\n4\n-1000\n2500\n10\n");
            root.write("d/asc.asc", grid);
            const std::string corner = out.bytes == 0 && in.answers[2] == 'r' ? " 100 200" : "";
            const Session s =
                run_program(root, in.answers + " 0 " + out.answers + " 10 5" + corner + "\n");
            ASSERT_EQ(s.status, 0) << s.err;
            const std::string stem =
                "d/" + std::string(in.answers.substr(2, in.answers.find(' ', 2) - 2));
            const std::string result = root.read(stem + out.file);
            if (out.bytes > 0) {
                EXPECT_EQ(result.size(), out.bytes);
            } else {
                EXPECT_EQ(result.substr(0, 18), "ncols 20\nnrows 18\n");
                EXPECT_EQ(std::count(result.begin(), result.end(), '\t'), 18 * 20);
            }
            EXPECT_EQ(s.out.find(text::corner) != std::string::npos, !corner.empty());
        }
}

// Where output cells lie: the padded frames (3 margin cells before the data, 1 after) are
// mapped onto each other, so output cell j spans from x0 - 3 p_in + (j + 3) s, s wide,
// with s = (columns + 4) p_in / (output columns + 4); lines likewise. On interior cells
// of a plane (area means and 3 x 3 means keep a plane's value at the centre) a reduction
// gives the plane at that centre, not at x0 + (j + 1/2) p_out. In an enlargement the
// negative weight leans values towards the preceding input cell: on average by
// (p_in - s)^2 / (2 s) in each direction, as the README says.
TEST(WriterSessions, OutputCellsLieWhereThePaddedFramesMapThem) {
    const int lines = 57, columns = 63, margin = 8;
    const auto plane = [](double x, double y) {
        return 100000 + 1000 * (x - 0.5) + 300 * (y - 0.5);
    };
    std::vector<std::int32_t> cells;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) cells.push_back(100000 + 1000 * j + 300 * i);
    for (int out_size : {25, 13, 4}) {  // input pixel size 10
        SCOPED_TRACE(out_size);
        TempRoot root;
        root.write("d/r_m4.raw", raw32(cells));
        root.write("d/r_m4.txt", "57\n63\n4\n100000\n178800\n10\n");
        const Session s =
            run_program(root, "d r 1 1 0 0 1 1 10 " + std::to_string(out_size) + "\n");
        ASSERT_EQ(s.status, 0) << s.err;
        const double p_out = out_size / 10.0;  // in input pixels
        int L4 = 0, C4 = 0;                    // from the descriptor, as a user would take them
        ASSERT_EQ(std::sscanf(root.read("d/r_varnel_m4.txt").c_str(), "%d %d", &L4, &C4), 2);
        const std::vector<std::int32_t> out = cells32(root.read("d/r_varnel_m4.raw"));
        ASSERT_EQ(out.size(), static_cast<std::size_t>(L4) * C4);
        const double sy = (lines + 4.0) / (L4 + 4), sx = (columns + 4.0) / (C4 + 4);
        double worst = 0, worst_as_written = 0, sum = 0;
        int n = 0;
        for (int i = margin; i < L4 - margin; ++i)
            for (int j = margin; j < C4 - margin; ++j) {
                const double v = out[static_cast<std::size_t>(i) * C4 + j];
                const double off = v - plane(-3 + (j + 3.5) * sx, -3 + (i + 3.5) * sy);
                const double off_as_written = v - plane((j + 0.5) * p_out, (i + 0.5) * p_out);
                worst = std::max(worst, std::fabs(off));
                worst_as_written = std::max(worst_as_written, std::fabs(off_as_written));
                sum += off;
                ++n;
            }
        ASSERT_GT(n, 20);
        if (p_out > 1) {
            EXPECT_LT(worst, 0.02 * 1300) << "within 0.02 input pixel";
            EXPECT_GT(worst_as_written, 0.5 * 1000) << "the header's corner and cell size are off";
        } else {
            const auto lean = [](double f) { return -(1 - f) * (1 - f) / (2 * f); };
            EXPECT_NEAR(sum / n, 1000 * lean(sx) + 300 * lean(sy), 0.02 * 1300);
        }
    }
}

TEST(WriterSessions, TheCoordinateSystemBesideAnAsciiInputGoesBesideTheOutput) {
    TempRoot root;
    std::string grid = "ncols 10\nnrows 9\nxllcorner 1\nyllcorner 2\ncellsize 10\n";
    for (int k = 0; k < 90; ++k) grid += std::to_string(100 + k) + " ";
    root.write("d/g.asc", grid);
    const std::string wkt = "PROJCS[\"WGS 84 / UTM zone 31N\"]";
    root.write("d/g.prj", wkt);
    Session s = run_program(root, "d g 0 0 0 10 5\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/g_varnel.prj"), wkt);
    EXPECT_NE(s.err.find("and c:\\images\\d\\g_varnel.prj: an ASCII grid of 18 lines x 20 columns"),
              std::string::npos)
        << s.err;
    s = run_program(root, "d g 0 1 o 1 0 10 5\n");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(root.read("d/o_varnel_m2.prj"), wkt) << "beside the raster, named like it";
    EXPECT_FALSE(root.has_temporary());
}

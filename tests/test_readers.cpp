// The readers: raw cells widened and divided by the unit, the range report and the
// unit question, short and long rasters, the descriptor's tolerance, ASCII grids in
// any layout, and every malformed input ending with its message.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "dem_files/descriptor.h"
#include "dem_files/names.h"
#include "dem_files/text_tokens.h"
#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "host_memory.h"
#include "in_process.h"
#include "transcript.h"

namespace {

class Readers : public InProcess {
protected:
    // Reads a raw raster of `lines` x `columns` with the given cell width and unit.
    void read_raster(const std::string& bytes, int lines, int columns, int width,
                     const std::string& unit) {
        const std::string suffix = width == 0 ? "_m2.raw" : "_m4.raw";
        root.write("d/r" + suffix, bytes);
        answers(unit);
        files = RunFiles();
        run([&] {
            const std::string name = "c:\\images\\d\\r" + suffix;
            files.raw = std::make_unique<RawReader>(open_input(name, true), shown_name(name),
                                                    width == 0 ? 2 : 4, lines, columns);
            nb_lig = lines;
            nb_col = columns;
            itype = width;
            descr_OK = true;
            dem_lecture(files);
        });
    }

    void read_ascii(const std::string& contents) {
        root.write("d/a.asc", contents);
        files = RunFiles();
        run([&] {
            const std::string name = "c:\\images\\d\\a.asc";
            files.ascii =
                std::make_unique<AsciiReader>(open_input(name, false), name, shown_name(name));
            ascii_lecture(files);
        });
    }

    // Input cell (i, j) in metres as the sweep reads it.
    double input_elevation(int i, int j) {
        return input_lines(files).line(i + margin_before)[j + margin_before];
    }

    RunFiles files;

    // The 3 x 2 grid with its corner at (10, 20) and cells of 5 that the ASCII cases read.
    void expect_three_by_two() {
        EXPECT_EQ(nb_col, 3);
        EXPECT_EQ(nb_lig, 2);
        EXPECT_EQ(X_min, 10.0);
        EXPECT_EQ(Y_min, 20.0);
        EXPECT_EQ(dpix_size, 5.0);
    }

    void expect_failure(const std::string& part) {
        EXPECT_TRUE(failed);
        EXPECT_NE(failure.find(part), std::string::npos) << failure;
    }
};

const std::string header =
    "ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize 5\nnodata_value -9999\n";

}  // namespace

TEST_F(Readers, SixteenBitCellsAreUnsignedAndDividedByTheUnit) {
    read_raster(std::string("\xFF\xFF\x01\x00", 4), 1, 2, 0, "3");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_elevation(0, 0), 65.535) << "FF FF is 65535, not -1";
    EXPECT_EQ(input_elevation(0, 1), 0.001);
    EXPECT_EQ(coef, 1000.0);
    EXPECT_EQ(out, text::range(1, 65535) + text::unit);
}

TEST_F(Readers, ThirtyTwoBitCellsAreSigned) {
    read_raster(std::string("\x9C\xFF\xFF\xFF\x2C\x01\x00\x00", 8), 2, 1, 1, "1");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_elevation(0, 0), -10.0) << "9C FF FF FF is -100";
    EXPECT_EQ(input_elevation(1, 0), 30.0);
    EXPECT_FALSE(open_ascii_OK);
}

TEST_F(Readers, RangeReportKeepsItsStartingValues) {
    read_raster(raw32({-50, -10, -30, -20}), 2, 2, 1, "0");
    EXPECT_EQ(out, text::range(-50, 0) + text::unit) << "no positive cell: Max stays 0";
    read_raster(raw32({2000000, 3000000}), 1, 2, 1, "0");
    EXPECT_EQ(out, text::range(1000000, 3000000) + text::unit) << "all above 1000000: Min stays";
}

TEST_F(Readers, UnitAnswersOutsideZeroToThreeAskTheUnitAgainWithoutTheRange) {
    read_raster(raw16({120, 340}), 1, 2, 0, "4 9 -1 1");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(out, text::range(120, 340) + text::unit + text::unit + text::unit + text::unit);
    EXPECT_EQ(input_elevation(0, 0), 12.0);
    EXPECT_EQ(input_elevation(0, 1), 34.0);
    EXPECT_EQ(dyn_scale, 1);
}

TEST_F(Readers, DivisionByTheUnitIsTheExtendedQuotientRoundedToDouble) {
    std::vector<std::int32_t> cells;
    for (std::int32_t v : {1, 3, 7, 12345, 65535, 99999999, 2147483647, -2147483647 - 1, -77777})
        cells.push_back(v);
    for (int unit : {1, 2, 3}) {
        SCOPED_TRACE(unit);
        reset_run_state();
        read_raster(raw32(cells), 1, static_cast<int>(cells.size()), 1, std::to_string(unit));
        ASSERT_FALSE(failed) << failure;
        const long double factor = unit == 1 ? 10.0L : unit == 2 ? 100.0L : 1000.0L;
        for (std::size_t j = 0; j < cells.size(); ++j)
            EXPECT_EQ(input_elevation(0, j),
                      static_cast<double>(static_cast<long double>(cells[j]) / factor))
                << cells[j];
    }
}

TEST_F(Readers, ShortRasterGivesZerosAndOneWarning) {
    read_raster(raw16({7, 8, 9}), 2, 3, 0, "0");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_elevation(0, 2), 9.0);
    EXPECT_EQ(input_elevation(1, 0), 0.0);
    EXPECT_EQ(input_elevation(1, 2), 0.0);
    EXPECT_EQ(err,
              "dem_varnel: c:\\images\\d\\r_m2.raw (" + root.file("d/r_m2.raw") +
                  ") is shorter than 2 lines of 3 cells: the 3 missing cells are taken as 0\n");
    read_raster(std::string(13, '\x01'), 2, 3, 0, "0");
    EXPECT_NE(err.find("holds 1 bytes more than its 2 lines of 3 cells; they are ignored"),
              std::string::npos)
        << err;
}

TEST_F(Readers, TheRangeOfARasterOfManyBlocksIsFoundWhicheverCoreReadsEach) {
    // 2.4 MB of 16-bit cells, read in blocks of 1 MiB: the highest cell in the first
    // block, the lowest in the last; then the same raster short of its last cells.
    std::vector<std::uint16_t> cells(1200 * 1000, 500);
    cells[10] = 60000;
    cells[1200 * 1000 - 7] = 3;
    read_raster(raw16(cells), 1200, 1000, 0, "0");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(out, text::range(3, 60000) + text::unit);
    cells.resize(1200 * 1000 - 5);
    read_raster(raw16(cells), 1200, 1000, 0, "0");
    EXPECT_EQ(out, text::range(0, 60000) + text::unit) << "the missing cells are 0";
}

TEST_F(Readers, ARasterFarShorterThanItsDescriptorIsWarnedOfBeforeAnyGridIsMade) {
    memory_ceiling = 1 << 20;
    read_raster(raw16({7}), 30000, 30000, 0, "0");
    memory_ceiling = UINT64_MAX;
    EXPECT_NE(err.find("is shorter than 30000 lines of 30000 cells: the 899999999 missing cells "
                       "are taken as 0"),
              std::string::npos)
        << err;
}

TEST_F(Readers, ACellTheFileEndsInsideIsZeroLikeTheCellsAfterIt) {
    read_raster(std::string("\x05\x00\x00\x00\x68\xF9", 6), 1, 3, 1, "0");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_elevation(0, 0), 5.0);
    EXPECT_EQ(input_elevation(0, 1), 0.0) << "half a cell is not read";
    EXPECT_EQ(out, text::range(0, 5) + text::unit);
    EXPECT_NE(err.find("the 2 missing cells are taken as 0"), std::string::npos) << err;
}

TEST_F(Readers, EmptyOrDirectoryRasterIsAnError) {
    root.write("d/e_m2.raw", "");
    run([&] { open_input("c:\\images\\d\\e_m2.raw", true); });
    expect_failure("is empty: it holds no elevation");
    mkdir(root.file("d/dir_m2.raw").c_str(), 0755);
    run([&] { open_input("c:\\images\\d\\dir_m2.raw", true); });
    expect_failure("it is a directory");
}

TEST_F(Readers, CreatedDescriptorIsCompletedWithTheScannedRangeAndPixelSize) {
    root.write("d/r_m2.raw", raw16({120, 340, 200, 150}));
    answers("1");
    run([&] {
        const std::string name = "c:\\images\\d\\r_m2.raw";
        files.raw = std::make_unique<RawReader>(open_input(name, true), shown_name(name), 2, 2, 2);
        files.new_descriptor = std::make_unique<PendingOutput>("c:\\images\\d\\r_m2.txt", "w");
        nb_lig = 2;
        nb_col = 2;
        std::fprintf(files.new_descriptor->stream(), "2\n2\n2\n");
        dpix_size = 25;
        descr_OK = false;
        dem_lecture(files);
    });
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(files.new_descriptor, nullptr);
    EXPECT_EQ(root.read("d/r_m2.txt"), "2\n2\n2\n120\n340\n25\n");
    EXPECT_EQ(input_elevation(0, 1), 34.0);
}

TEST_F(Readers, DescriptorTakesTheNumbersItHoldsAndLeavesTheRestAtZero) {
    Descriptor d;
    root.write("d/x_m2.txt", "10\r\n20\r\n2\r\n");  // three lines, CR LF
    run([&] { EXPECT_TRUE(read_descriptor("c:\\images\\d\\x_m2.txt", 2, d)); });
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(d.lines, 10);
    EXPECT_EQ(d.columns, 20);
    EXPECT_EQ(d.cell_bytes, 2);
    EXPECT_EQ(d.pixel_size, 0);

    d = Descriptor();
    root.write("d/y_m2.txt", "5 6 4 -3 99 25.0 trailing words");
    run([&] { read_descriptor("c:\\images\\d\\y_m2.txt", 2, d); });
    EXPECT_EQ(d.lowest, -3);
    EXPECT_EQ(d.highest, 99);
    EXPECT_EQ(d.pixel_size, 25) << "read as \"%d\" reads it";

    d = Descriptor();
    root.write("d/z_m2.txt", "5 6 two 7");
    run([&] { read_descriptor("c:\\images\\d\\z_m2.txt", 2, d); });
    EXPECT_FALSE(failed);
    EXPECT_EQ(d.columns, 6);
    EXPECT_EQ(d.cell_bytes, 0) << "a word ends the reading like the end of the file";
    EXPECT_EQ(d.lowest, 0);
}

TEST_F(Readers, ANulByteEndsTheDescriptorLikeAnythingElseThatIsNotANumber) {
    Descriptor d;
    root.write("d/nul_m2.txt", std::string("5\n7\n2\n\0 12\n", 10));
    run([&] { read_descriptor("c:\\images\\d\\nul_m2.txt", 2, d); });
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(d.cell_bytes, 2);
    EXPECT_EQ(d.lowest, 0) << "12 comes after the NUL";
    EXPECT_EQ(d.pixel_size, 0);
}

TEST_F(Readers, DescriptorErrorsNameTheFile) {
    Descriptor val;
    run([&] { EXPECT_FALSE(read_descriptor("c:\\images\\d\\none_m2.txt", 2, val)); });
    EXPECT_FALSE(failed) << "a missing descriptor is not an error";

    root.write("d/big_m2.txt", "5 2147483648 2");
    run([&] { read_descriptor("c:\\images\\d\\big_m2.txt", 2, val); });
    expect_failure("the descriptor c:\\images\\d\\big_m2.txt");
    expect_failure("beyond the int range");

    for (const char* geometry : {"0 5 2", "5 -1 2", "2147483645 3 2"}) {
        SCOPED_TRACE(geometry);
        root.write("d/g_m2.txt", geometry);
        run([&] { read_descriptor("c:\\images\\d\\g_m2.txt", 2, val); });
        EXPECT_TRUE(failed);
        EXPECT_NE(failure.find("c:\\images\\d\\g_m2.txt"), std::string::npos) << failure;
    }
    mkdir(root.file("d/dir_m2.txt").c_str(), 0755);
    run([&] { read_descriptor("c:\\images\\d\\dir_m2.txt", 2, val); });
    expect_failure("cannot read the descriptor");
}

TEST_F(Readers, AsciiGridReadsAlikeInEveryLayoutAndLineEnd) {
    const std::string layouts[] = {
        header + "1.5 2.25 -3\n4e2 5 +6\n",
        header + "1.5\n2.25\n-3\n4e2\n5\n+6\n",
        "ncols 3 nrows 2 xllcorner 10 yllcorner 20 cellsize 5 nodata_value -9999 1.5 2.25 -3 4e2 5 "
        "+6",
        "NCOLS\t3\r\nNROWS\t2\r\nXLLCENTER\t10\r\nYLLCENTER\t20\r\nCELLSIZE\t5\r\nNODATA\t-9999\r\n"
        "1.5\t2.25\t-3\r\n400\t5.0\t6\r\n",
    };
    for (const std::string& grid : layouts) {
        SCOPED_TRACE(grid);
        reset_run_state();
        read_ascii(grid);
        ASSERT_FALSE(failed) << failure;
        expect_three_by_two();
        EXPECT_EQ(pix_size, 5);
        EXPECT_EQ(nodata, -9999.0);
        EXPECT_EQ(coef, 1.0);
        EXPECT_TRUE(open_ascii_OK);
        const double expected[2][3] = {{1.5, 2.25, -3.0}, {400.0, 5.0, 6.0}};
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_EQ(input_elevation(i, j), expected[i][j]);
        EXPECT_EQ(out, "\n");
    }
}

TEST_F(Readers, AsciiValuesAreTheCorrectlyRoundedDoublesOfTheirText) {
    read_ascii(
        "ncols 4 nrows 1 x 0 y 0 c 1 n -9999 0.1 1e-310 0x1.8p1 "
        "2.2250738585072011e-308\n");
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_elevation(0, 0), 0.1);
    EXPECT_EQ(input_elevation(0, 1), 1e-310) << "a subnormal, as strtod gives it";
    EXPECT_EQ(input_elevation(0, 2), 3.0);
    EXPECT_EQ(input_elevation(0, 3), 2.2250738585072011e-308);
}

TEST_F(Readers, AsciiValuesReadAgainAreTheSameFromTheirStoredCopyOrFromTheText) {
    std::string grid = "ncols 7\nnrows 5\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    for (int k = 0; k < 35; ++k) grid += std::to_string(k * 1.37) + (k % 7 == 6 ? "\n" : " ");
    read_ascii(grid);
    ASSERT_FALSE(failed) << failure;
    std::vector<double> stored;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 7; ++j) stored.push_back(input_elevation(i, j));
    disk_ceiling = 0;  // no room for the copy: the text is parsed again
    reset_run_state();
    read_ascii(grid);
    disk_ceiling = UINT64_MAX;
    ASSERT_FALSE(failed) << failure;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 7; ++j)
            EXPECT_EQ(input_elevation(i, j), stored[static_cast<std::size_t>(i * 7 + j)]);
    EXPECT_EQ(stored[34], 46.58);
}

TEST_F(Readers, AGridOfManyChunksParsedOnEveryCoreReadsAsOneReadingWordByWord) {
    // 1200 lines of 1000 values, 4 text lines each: about 7 MB, two chunks of text cut in
    // pieces. Value k is (k % 9973) / 8; the lowest is at the end, the highest first.
    const int lines = 1200, columns = 1000;
    const std::string head =
        "ncols 1000 nrows 1200 xllcorner 0 yllcorner 0 cellsize 1 "
        "nodata_value 2\n";
    std::vector<std::string> words;
    for (int k = 0; k < lines * columns; ++k) {
        char word[32];
        std::snprintf(word, sizeof word, "%g", (k % 9973) / 8.0);
        words.push_back(word);
    }
    words[0] = "5000";
    words.back() = "-7.5";
    const auto text = [&](const std::vector<std::string>& w) {
        std::string grid = head;
        for (std::size_t k = 0; k < w.size(); ++k) grid += w[k] + (k % 250 == 249 ? "\n" : " ");
        return grid;
    };
    read_ascii(text(words));
    ASSERT_FALSE(failed) << failure;
    EXPECT_EQ(input_lines(files).lowest, -7.5);
    EXPECT_EQ(input_lines(files).highest, 5000.0);
    EXPECT_EQ(input_elevation(1000, 999), ((1000 * 1000 + 999) % 9973) / 8.0);
    EXPECT_NE(err.find(" cells hold the no-data value 2"), std::string::npos) << err;
    EXPECT_EQ(out, "\n" + text::ascii_progress(lines));

    struct Case {
        std::size_t at;
        std::string word, message;
    };
    // Word k stands on text line 2 + k / 250, in field 1 + k % 250.
    const Case cases[] = {
        {1000000 + 3, "x", "\"x\" on line 4002, field 4 is not a number"},
        {700000 + 249, "1e999", "\"1e999\" on line 2802, field 250 is not finite"},
        {900000, std::string(word_limit, '7'), "holds a word longer than 1048576 characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> faulty = words;
        faulty[c.at] = c.word;
        faulty[c.at + 5] = "y";  // a later fault is not the one told
        reset_run_state();
        read_ascii(text(faulty));
        expect_failure(c.message);
    }
    std::vector<std::string> fewer(words.begin(), words.end() - 1);
    reset_run_state();
    read_ascii(text(fewer));
    expect_failure("it ends after 1199999 values, on line 4801");
    std::vector<std::string> more = words;
    more.push_back("z");
    reset_run_state();
    read_ascii(text(more));
    ASSERT_FALSE(failed) << failure;
    EXPECT_NE(err.find("holds more values than its 1200 lines of 1000"), std::string::npos) << err;
}

TEST_F(Readers, AsciiProgressLinesComeEveryHundredLines) {
    std::string grid =
        "ncols 1\nnrows 250\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -1\n";
    for (int i = 0; i < 250; ++i) grid += "7\n";
    read_ascii(grid);
    EXPECT_EQ(out, "\n" + text::ascii_progress(250));
    EXPECT_EQ(text::ascii_progress(250),
              "\tline 100                   \r\tline 200                   \r");
    grid = "ncols 1\nnrows 100\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -1\n";
    for (int i = 0; i < 100; ++i) grid += "7\n";
    reset_run_state();
    read_ascii(grid);
    EXPECT_EQ(out, "\n");
}

TEST_F(Readers, MalformedAsciiGridsEndWithAMessageSayingWhere) {
    struct Case {
        std::string grid, message;
    };
    const Case cases[] = {
        {"ncols 3\nnrows 2\n" + std::string(60, 'x') + " 1\n",
         "header pair 3 (xllcorner): the label is longer than 59"},
        {"ncols three\n", "header pair 1 (ncols): \"three\" is not a whole number"},
        {"ncols 3.5\n", "header pair 1 (ncols): \"3.5\" is not a whole number"},
        {"ncols 3 nrows 99999999999\n", "header pair 2 (nrows)"},
        {"ncols 3 nrows 2 xllcorner inf\n",
         "header pair 3 (xllcorner): \"inf\" is not a finite number"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 cellsize 1e300 nodata_value 0\n", "cellsize"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 cellsize nan nodata_value 0\n",
         "header pair 5 (cellsize)"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0\n", "header pair 5 (cellsize) is missing"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 dx 5 dy 2.5\n1 2 3 4 5 6\n",
         "its cells are not square (dx 5, dy 2.5): this program needs square cells; resample the "
         "grid to square cells first (for instance gdalwarp -tr 2.5 2.5)"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 cellsize 1 nodata_value nan\n1 2 3\n4 nan 6\n",
         "\"nan\" on line 3, field 2 is the grid's no-data value nan, which is not a finite "
         "number: this program reads voids marked by a finite no-data value only"},
        {"ncols 20000 nrows 20000 xllcorner 0 yllcorner 0 cellsize 1 nodata_value 0\n1 2 3\n",
         "its header claims 20000 lines of 20000 values, more than the 7 bytes after the header "
         "can hold"},
        {"ncols 99999999999\n", "\"99999999999\" is too large"},
        {"ncols 0 nrows 2 xllcorner 0 yllcorner 0 cellsize 5 nodata_value 0\n",
         "at least one line and one column"},
        {header + "1 2 3\n4 5\n",
         "fewer values than its 2 lines of 3: it ends after 5 values, on line 8"},
        {header + "1 2 3\n4 x5 6\n", "\"x5\" on line 8, field 2 is not a number"},
        {header + "1 2 3\n4 1,5 6\n",
         "\"1,5\" on line 8, field 2 is not a number (values must be separated by blanks, not "
         "commas)"},
        {header + std::string("1 2\0 3\n4 5 6\n", 13),
         "\"2\\x00\" on line 7, field 2 is not a number"},
        {header + "1 nan 3\n4 5 6\n", "\"nan\" on line 7, field 2 is not finite"},
        {header + "1 2 1e999\n4 5 6\n", "on line 7, field 3 is not finite"},
        // A missing pair is told as such, not as missing values; commas are told as such.
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0\n1 2 3\n4 5 6\n",
         "header pair 5 (cellsize) is missing: \"1\" on line 2 stands where its label should be"},
        {"ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 5\n1,2,3\n4,5,6\n",
         "\"1,2,3\" on line 6, field 1 is not a number (values must be separated by blanks"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 cellsize -5 nodata_value 0\n",
         "header pair 5 (cellsize): the cell size must be positive, not -5"},
        {"ncols 3 nrows 2 xllcorner 0 yllcorner 0 cellsize 0\n1 2 3 4 5 6\n",
         "the cell size must be positive, not 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.grid);
        reset_run_state();
        read_ascii(c.grid);
        expect_failure(c.message);
        EXPECT_NE(failure.find("c:\\images\\d\\a.asc"), std::string::npos) << "names the file";
    }
}

TEST_F(Readers, AsciiHeadersAsGisToolsWriteThemAreReadByTheirLabels) {
    struct Case {
        std::string header, note;
        bool has_nodata;
    };
    const Case cases[] = {
        {"ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize 5\n", "", false},
        {"NROWS 2\nNCOLS 3\nxllcorner 10\nyllcorner 20\ncellsize 5\nNODATA_value -1\n",
         "its header gives nrows before ncols; each is read by its label", true},
        {"ncols 3\nnrows 2\nXLLCENTER 10\nYLLCENTER 20\ncellsize 5\n",
         "the centre of the lower-left cell (xllcenter, yllcenter), which is taken as its corner: "
         "the output's "
         "corner is then half a cell off",
         false},
        {"ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ndx 5\ndy 5.0\n", "", false},
        {"ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ndx 5\ndy 5\nNODATA_value nan\n", "", true},
        // Known labels in any order are read by their labels.
        {"ncols 3\nnrows 2\nyllcorner 20\nxllcorner 10\ncellsize 5\n",
         "its header gives yllcorner before xllcorner; each is read by its label", false},
        {"ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\nNODATA_value -1\ncellsize 5\n",
         "its header gives nodata_value before cellsize; each is read by its label", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        reset_run_state();
        read_ascii(c.header + "1.5 2 3\n4 5 0\n");
        ASSERT_FALSE(failed) << failure;
        expect_three_by_two();
        EXPECT_EQ(input_elevation(0, 0), 1.5) << "the first value is a cell, not a label";
        EXPECT_EQ(input_elevation(1, 2), 0.0);
        EXPECT_EQ(err.find("no-data"), std::string::npos)
            << "cells of 0 are not no-data cells: " << err;
        EXPECT_EQ(c.has_nodata, nodata != 0.0);
        EXPECT_EQ(c.note.empty(), err.empty()) << err;
        EXPECT_NE(err.find(c.note), std::string::npos) << err;
    }
}

TEST_F(Readers, NoDataCellsOtherThanZeroAreVoidsWithOneWarning) {
    read_ascii(header + "1 -9999 3\n-9999 5 6 7\n");
    ASSERT_FALSE(failed) << failure;
    EXPECT_TRUE(files.voids);
    EXPECT_TRUE(std::isnan(input_elevation(0, 1))) << "a void";
    EXPECT_EQ(input_elevation(1, 1), 5.0);
    EXPECT_EQ(input_lines(files).lowest, 1.0) << "the range of the valid cells";
    EXPECT_NE(err.find("dem_varnel: 2 cells hold the no-data value -9999: they are voids"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("more values than its 2 lines of 3"), std::string::npos) << err;

    read_ascii("ncols 2 nrows 1 xllcorner 0 yllcorner 0 cellsize 1 nodata_value 0 0 4\n");
    EXPECT_FALSE(files.voids) << "0 is empty to the engine as it is";
    EXPECT_EQ(input_elevation(0, 0), 0.0);
    EXPECT_EQ(err, "");
}

TEST(HostPaths, LogicalNamesMapOntoTheConfiguredRoot) {
    setenv("DEM_VARNEL_ROOT", "/data/dems/", 1);
    EXPECT_EQ(host_path("c:\\images\\alps\\dem_m2.raw"), "/data/dems/alps/dem_m2.raw");
    EXPECT_EQ(host_path("c:\\images\\a\\b\\x.asc"), "/data/dems/a/b/x.asc") << "folders may nest";
    EXPECT_EQ(shown_name("c:\\images\\a\\x.asc"), "c:\\images\\a\\x.asc (/data/dems/a/x.asc)");
    setenv("DEM_VARNEL_ROOT", "", 1);
    const char* home = std::getenv("HOME");
    const std::string saved = home != nullptr ? home : "";
    setenv("HOME", "/home/op", 1);
    EXPECT_EQ(host_path("c:\\images\\d\\x.asc"), "/home/op/images/d/x.asc");
    unsetenv("HOME");
    EXPECT_EQ(host_path("c:\\images\\d\\x.asc"), "images/d/x.asc");
    if (home != nullptr) setenv("HOME", saved.c_str(), 1);
    unsetenv("DEM_VARNEL_ROOT");
}

TEST(Names, SuffixesFollowFormatAndCellWidth) {
    EXPECT_EQ(input_data_suffix(1, 0), "_m2.raw");
    EXPECT_EQ(input_descriptor_suffix(0), "_m2.txt");
    EXPECT_EQ(input_data_suffix(1, 1), "_m4.raw");
    EXPECT_EQ(input_descriptor_suffix(1), "_m4.txt");
    EXPECT_EQ(input_data_suffix(0, 0), ".asc");
    EXPECT_EQ(output_data_suffix(1, 0), "_varnel_m2.raw");
    EXPECT_EQ(output_descriptor_suffix(0), "_varnel_m2.txt");
    EXPECT_EQ(output_data_suffix(1, 1), "_varnel_m4.raw");
    EXPECT_EQ(output_descriptor_suffix(1), "_varnel_m4.txt");
    EXPECT_EQ(output_data_suffix(0, 1), "_varnel.asc");
}

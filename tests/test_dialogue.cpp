// Whole sessions of the real program with piped answers: the dialogue's texts and
// loops, the refusals that ask again, the missing input, and what the output files
// look like when the run completes, fails or is interrupted.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "session.h"
#include "transcript.h"

namespace {

// A 4 x 5 raster of 16-bit cells from 120 to 340, with its descriptor.
void put_alps(const TempRoot& root, const std::string& pixel_size = "10") {
    std::vector<std::uint16_t> cells;
    for (int k = 0; k < 20; ++k)
        cells.push_back(static_cast<std::uint16_t>(120 + k * 11 + (k == 19 ? 11 : 0)));
    root.write("dem1/alps_m2.raw", raw16(cells));
    root.write("dem1/alps_m2.txt", "4\n5\n2\n120\n340\n" + pixel_size + "\n");
}

// The transcript of a session on alps from the first question to the end of the
// engine, with a 16-bit raw output under the generic name at pixel sizes 10 and 5.
std::string alps_session_text() {
    return text::banner() + text::folder + text::name + text::format + text::width +
           text::range(120, 340) + text::unit + text::size(4, 5) + text::output_name("alps") +
           text::format + text::width + text::parameters + text::pixel_in + text::pixel_out +
           text::ratio("2.000000") + text::announcement(8, 10) + text::enlargement +
           text::treatment;
}

const std::string alps_answers = "dem1\nalps\n1\n0\n0\n0\n1\n0\n10\n5\n";

}  // namespace

TEST(Dialogue, RawSixteenBitSessionPrintsExactlyTheTextsAndWritesTheOutput) {
    TempRoot root;
    put_alps(root);
    const Session s = run_program(root, alps_answers);
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, alps_session_text());
    EXPECT_EQ(text::without_summary(s.err), "");
    EXPECT_NE(s.err.find("dem_varnel: wrote c:\\images\\dem1\\alps_varnel_m2.raw (" + root.path() +
                         "/dem1/alps_varnel_m2.raw) and c:\\images\\dem1\\alps_varnel_m2.txt: 8 "
                         "lines x 10 columns of 16-bit cells, in "),
              std::string::npos)
        << "a completed run says what it wrote: " << s.err;
    EXPECT_EQ(root.read("dem1/alps_varnel_m2.txt"), "8\n10\n2\n120\n340\n5\n");
    EXPECT_EQ(root.read("dem1/alps_varnel_m2.raw").size(), 8u * 10u * 2u);
    EXPECT_FALSE(root.has_temporary());
}

TEST(Dialogue, RatioIsReportedWithSixDecimals) {
    struct Case {
        const char* in;
        const char* out;
        const char* shown;
        int lines, columns;
    };
    for (const Case& c : {Case{"10", "5", "2.000000", 8, 10}, Case{"5", "10", "0.500000", 2, 2},
                          Case{"2.5", "1", "2.500000", 10, 12}, Case{"7", "7", "1.000000", 4, 5}}) {
        SCOPED_TRACE(c.shown);
        TempRoot root;
        put_alps(root);
        const Session s =
            run_program(root, std::string("dem1 alps 1 0 0 0 1 0 ") + c.in + " " + c.out + "\n");
        EXPECT_EQ(s.status, 0) << s.err;
        const std::string expected = text::parameters + text::pixel_in + text::pixel_out +
                                     text::ratio(c.shown) + text::announcement(c.lines, c.columns);
        EXPECT_NE(s.out.find(expected), std::string::npos) << s.out;
    }
}

TEST(Dialogue, WordsThatAreNotWholeNumbersAreRefusedAndTheQuestionAskedAgain) {
    TempRoot root;
    put_alps(root);
    // At the format question: not numbers, a fraction, beyond int, then a valid answer.
    const Session s = run_program(root, "dem1 alps abc 5abc 2.5 99999999999 1 0 0 0 1 0 10 5\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string asked_five_times = text::name + text::format + text::format + text::format +
                                         text::format + text::format + text::width;
    EXPECT_NE(s.out.find(asked_five_times), std::string::npos);
    EXPECT_NE(s.err.find("dem_varnel: \"abc\" is not a whole number"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("\"99999999999\" is too large: a whole number here is at most 2147483647"),
              std::string::npos)
        << s.err;
    int lines = 0;
    for (char ch : text::without_summary(s.err)) lines += ch == '\n';
    EXPECT_EQ(lines, 4) << "one line per refusal";
}

TEST(Dialogue, ChoiceLoopsAskAgainAboveTheirRangeAndForNegatives) {
    TempRoot root;
    put_alps(root);
    // format 2, 7, -1 then 1; width -3 then 0; unit 4, 9, -1 then 0; output name 2, -1
    // then 0; output format 7 then 1; output width 5 then 0.
    const Session s = run_program(root, "dem1 alps 2 7 -1 1 -3 0 4 9 -1 0 2 -1 0 7 1 5 0 10 5\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string expected =
        text::banner() + text::folder + text::name + text::format + text::format + text::format +
        text::format + text::width + text::width + text::range(120, 340) + text::unit + text::unit +
        text::unit + text::unit + text::size(4, 5) + text::output_name("alps") +
        text::output_name("alps") + text::output_name("alps") + text::format + text::format +
        text::width + text::width + text::parameters + text::pixel_in + text::pixel_out +
        text::ratio("2.000000") + text::announcement(8, 10) + text::enlargement + text::treatment;
    EXPECT_EQ(s.out, expected);
}

TEST(Dialogue, PixelSizesMustBePositiveFiniteAndWithinIntRange) {
    TempRoot root;
    put_alps(root);
    const Session s = run_program(root, "dem1 alps 1 0 0 0 1 0 0 -5 inf nan 3e9 x 10 0 5\n");
    EXPECT_EQ(s.status, 0) << s.err;
    std::string asked;
    for (int k = 0; k < 7; ++k) asked += text::pixel_in;
    asked += text::pixel_out + text::pixel_out + text::ratio("2.000000");
    EXPECT_NE(s.out.find(text::parameters + asked), std::string::npos) << s.out;
    EXPECT_NE(s.err.find("a pixel size must be a positive number"), std::string::npos);
}

TEST(Dialogue, PixelSizesGivingNoOutputLineAreAskedAgainAsAPair) {
    TempRoot root;
    put_alps(root);
    // 1 and 10 give 0.4 lines out of 4: refused; then 10 and 5.
    const Session s = run_program(root, "dem1 alps 1 0 0 0 1 0 1 10 10 5\n");
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find(text::parameters + text::pixel_in + text::pixel_out + text::pixel_in +
                         text::pixel_out + text::ratio("2.000000") + text::announcement(8, 10)),
              std::string::npos)
        << s.out;
    EXPECT_NE(s.err.find("fewer than one line or column"), std::string::npos) << s.err;
}

TEST(Dialogue, MissingRasterIsReportedWithItsLogicalNameAndEndsWithStatusOne) {
    TempRoot root;
    root.write("dem1/other.txt", "x");
    const auto before = root.snapshot();
    const Session s = run_program(root, "dem1 alps 1 0\n", {10});
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.out, text::banner() + text::folder + text::name + text::format + text::width +
                         text::unknown("c:\\images\\dem1\\alps_m2.raw"));
    EXPECT_EQ(s.err, "dem_varnel: the host path tried was " + root.path() + "/dem1/alps_m2.raw\n");
    EXPECT_EQ(root.snapshot(), before);
}

TEST(Dialogue, MissingAsciiGridWaitsForAtMostOneCharacter) {
    TempRoot root;
    // The key press takes one character; what follows is never read as an answer.
    const Session s = run_program(root, "dem1 alps 0\nk more words\n", {10});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.out, text::banner() + text::folder + text::name + text::format +
                         text::unknown("c:\\images\\dem1\\alps.asc"));
}

TEST(Dialogue, MissingDescriptorIsCreatedFromTheAnswersAndCompletedByTheReader) {
    TempRoot root;
    std::vector<std::int32_t> cells(100 * 200);
    for (std::size_t k = 0; k < cells.size(); ++k)
        cells[k] = static_cast<std::int32_t>(k % 700) - 50;
    root.write("d/big_m4.raw", raw32(cells));
    const Session s = run_program(root, "d big 1 1 100 200 25 0 0 1 1 1 1\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string expected_start =
        text::banner() + text::folder + text::name + text::format + text::width +
        text::no_descriptor("c:\\images\\d\\big_m4.txt") + text::lines_question +
        text::columns_question + text::pixel_question + text::range(-50, 649) + text::unit +
        text::size(100, 200);
    EXPECT_EQ(s.out.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(root.read("d/big_m4.txt"), "100\n200\n4\n-50\n649\n25\n");
}

TEST(Dialogue, ClosedInputBeforeTheDescriptorIsCompleteLeavesNoDescriptor) {
    TempRoot root;
    root.write("d/big_m4.raw", raw32({1, 2, 3, 4}));
    for (const char* answers : {"d big 1 1", "d big 1 1 2", "d big 1 1 2 2", "d big 1 1 2 2 5"}) {
        SCOPED_TRACE(answers);
        const Session s = run_program(root, answers, {10});
        EXPECT_EQ(s.status, 1);
        EXPECT_FALSE(root.exists("d/big_m4.txt"));
        EXPECT_FALSE(root.has_temporary());
    }
    // Once the unit is answered the descriptor is complete and stays, whatever follows.
    const Session s = run_program(root, "d big 1 1 2 2 5 0", {10});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(root.read("d/big_m4.txt"), "2\n2\n4\n1\n4\n5\n");
}

TEST(Dialogue, TypedGeometryMustBeAtLeastOneAndPixelSizeNotNegative) {
    TempRoot root;
    root.write("d/g_m2.raw", raw16({5, 6, 7, 8}));
    const Session s = run_program(root, "d g 1 0 0 -2 2 2147483647 2 -1 0 3 0 0 1 0 6 3\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string expected =
        text::no_descriptor("c:\\images\\d\\g_m2.txt") + text::lines_question +
        text::lines_question + text::lines_question + text::columns_question +
        text::columns_question + text::pixel_question + text::pixel_question +
        text::extra_pixel_question + text::range(5, 8);
    EXPECT_NE(s.out.find(expected), std::string::npos) << s.out;
    EXPECT_EQ(root.read("d/g_m2.txt"), "2\n2\n2\n5\n8\n3\n");
}

TEST(Dialogue, DescriptorPixelSizeZeroBringsTheExtraQuestionOnce) {
    TempRoot root;
    put_alps(root, "0");
    const Session s = run_program(root, "dem1 alps 1 0 0 0 0 1 0 10 5\n");
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find(text::width + text::extra_pixel_question + text::range(120, 340)),
              std::string::npos);
    TempRoot other;
    put_alps(other, "25");
    const Session t = run_program(other, alps_answers);
    EXPECT_EQ(t.out.find(text::extra_pixel_question), std::string::npos);
}

TEST(Dialogue, AsciiInputWithANewOutputName) {
    TempRoot root;
    root.write("dem1/alps.asc",
               "ncols 3\nnrows 2\nxllcorner 100.5\nyllcorner 200\ncellsize 30\nNODATA_value -9999\n"
               "1 2 3\n4 5 6\n");
    const Session s = run_program(root, "dem1 alps 0 1 out1 0 30 30\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string expected = text::banner() + text::folder + text::name + text::format + "\n" +
                                 "\n" + text::size(2, 3) + text::output_name("alps") +
                                 text::new_name + text::format + text::parameters + text::pixel_in +
                                 text::pixel_out + text::ratio("1.000000") +
                                 text::announcement(2, 3) + text::reduction + text::treatment;
    EXPECT_EQ(s.out, expected);
    const std::string out = root.read("dem1/out1_varnel.asc");
    const std::string header =
        "ncols 3\nnrows 2\nxllcorner 100.500000\nyllcorner 200.000000\ncellsize 30.000000\n"
        "nodata_value -9999.9999\n";
    EXPECT_EQ(out.substr(0, header.size()), header);
}

TEST(Dialogue, NamesThatWouldMakeAPathLongerThan127CharactersAreRefused) {
    TempRoot root;
    const std::string folder(101, 'f'), base(127 - 10 - 101 - 1 - 7, 'b');
    root.write(folder + "/" + base + "_m2.raw", raw16({1, 2, 3, 4}));
    root.write(folder + "/" + base + "_m2.txt", "2 2 2 1 4 1");
    // A folder of 102 characters, then 101; a base one too long, then one that fits;
    // the generic name is too long for "_varnel_m2.raw", so a short new name is asked.
    const Session s = run_program(root, std::string(102, 'f') + " " + folder + " " + base + "x " +
                                            base + " 1 0 0 0 1 n 1 0 1 1\n");
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find(text::banner() + text::folder + text::folder + text::name + text::name +
                         text::format),
              std::string::npos);
    EXPECT_NE(s.out.find(text::output_name(base) + text::output_name(base) + text::new_name),
              std::string::npos);
    EXPECT_NE(s.err.find("the folder name may have at most 101 characters"), std::string::npos)
        << s.err;
    EXPECT_TRUE(root.exists(folder + "/n_varnel_m2.raw"));
}

TEST(Dialogue, AnOutputThatWouldOverwriteTheInputIsRefusedAndAskedAgain) {
    TempRoot root;
    root.write("d/alps_varnel_m2.raw", raw16({10, 20, 30, 40}));
    root.write("d/alps_varnel_m2.txt", "2\n2\n2\n10\n40\n1\n");
    const auto input = root.snapshot();
    // The new name "alps" with a 16-bit raster output is the input itself; then "b".
    const Session s = run_program(root, "d alps_varnel 1 0 0 1 alps 1 0 1 b 1 0 1 1\n");
    EXPECT_EQ(s.status, 0) << s.err;
    const std::string again = text::output_name("alps_varnel") + text::new_name + text::format +
                              text::width + text::output_name("alps_varnel") + text::new_name +
                              text::format + text::width + text::parameters;
    EXPECT_NE(s.out.find(again), std::string::npos) << s.out;
    EXPECT_NE(s.err.find("would overwrite the input"), std::string::npos);
    for (const auto& file : input) EXPECT_EQ(root.read(file.first), file.second) << file.first;
    EXPECT_TRUE(root.exists("d/b_varnel_m2.raw"));
}

TEST(Dialogue, AnOutputFolderThatCannotBeWrittenFailsBeforeTheComputation) {
    SKIP_UNLESS_UNPRIVILEGED_RUNS();
    TempRoot root;
    put_alps(root);
    root.write("dem1/alps_varnel_m2.raw", "old");  // writable, but it cannot be replaced
    chmod(root.file("dem1").c_str(), 0555);
    const Session s = run_program(root, alps_answers, {10, true});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("dem_varnel: cannot create c:\\images\\dem1\\alps_varnel_m2.raw"),
              std::string::npos)
        << s.err;
    EXPECT_NE(s.err.find("is not writable"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("renamed into place, so the folder must be writable"), std::string::npos)
        << s.err;
    EXPECT_EQ(s.out.find(text::parameters), std::string::npos) << "refused before the pixel sizes";
    EXPECT_FALSE(root.has_temporary());
}

TEST(Dialogue, AnExistingOutputThatIsNotWritableIsRefused) {
    SKIP_UNLESS_UNPRIVILEGED_RUNS();
    TempRoot root;
    put_alps(root);
    root.write("dem1/alps_varnel_m2.raw", "old");
    chmod(root.file("dem1/alps_varnel_m2.raw").c_str(), 0444);
    const Session s = run_program(root, alps_answers, {10, true});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("cannot create c:\\images\\dem1\\alps_varnel_m2.raw"), std::string::npos)
        << s.err;
    EXPECT_EQ(root.read("dem1/alps_varnel_m2.raw"), "old");
}

TEST(Dialogue, AnOutputDescriptorThatIsTheOutputRasterIsRefusedAndAskedAgain) {
    for (const bool raster_exists : {false, true}) {
        SCOPED_TRACE(raster_exists);
        TempRoot root;
        put_alps(root);
        if (raster_exists) root.write("dem1/alps_varnel_m2.raw", "old raster");
        ASSERT_EQ(symlink("alps_varnel_m2.raw", root.file("dem1/alps_varnel_m2.txt").c_str()), 0);
        const Session s = run_program(root, "dem1 alps 1 0 0 0 1 0 1 other 1 0 10 5\n");
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_NE(
            s.err.find(
                "the output descriptor c:\\images\\dem1\\alps_varnel_m2.txt is the same file as "
                "the output c:\\images\\dem1\\alps_varnel_m2.raw"),
            std::string::npos)
            << s.err;
        EXPECT_EQ(root.read("dem1/other_varnel_m2.txt"), "8\n10\n2\n120\n340\n5\n");
        EXPECT_EQ(
            root.exists("dem1/alps_varnel_m2.raw") ? root.read("dem1/alps_varnel_m2.raw") : "none",
            raster_exists ? "old raster" : "none");
    }
}

TEST(Dialogue, AnInputPixelSizeOtherThanTheGridsOwnIsWarnedOf) {
    const std::string ascii =
        "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 5\n1 2 3 4 5 6\n";
    struct Case {
        std::string answers, warning;
    };
    const Case cases[] = {
        {"dem1 alps 1 0 0 0 1 0 10.5 5", ""},  // the descriptor holds whole metres
        {"dem1 alps 1 0 0 0 1 0 7 5",
         "the pixel size in, 7, differs from the grid's own, 10 (the pixel size of its "
         "descriptor): the output then covers another extent than the input"},
        {"dem1 a 0 0 1 0 5 2", ""},
        {"dem1 a 0 0 1 0 2 1",
         "the pixel size in, 2, differs from the grid's own, 5 (the cellsize of its header)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        TempRoot root;
        put_alps(root);
        root.write("dem1/a.asc", ascii);
        const Session s = run_program(root, c.answers + "\n");
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_EQ(c.warning.empty(), text::without_summary(s.err).empty()) << s.err;
        EXPECT_NE(s.err.find(c.warning), std::string::npos) << s.err;
    }
}

TEST(Dialogue, ADialogueThatCannotBeWrittenFailsTheRun) {
    TempRoot root;
    put_alps(root);
    Options full;
    full.standard_output = "/dev/full";
    const Session s = run_program(root, alps_answers, full);
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(
        s.err.find(
            "dem_varnel: cannot write the dialogue to standard output: No space left on device"),
        std::string::npos)
        << s.err;
    EXPECT_FALSE(root.exists("dem1/alps_varnel_m2.raw"));
    EXPECT_FALSE(root.has_temporary());
}

TEST(Dialogue, InterruptedRunRemovesItsTemporaryFilesAndKeepsTheOldOutput) {
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempRoot root;
        put_alps(root);
        root.write("dem1/alps_varnel_m2.raw", "old raster");
        root.write("dem1/alps_varnel_m2.txt", "old descriptor");
        Running run = start_program(root, "dem1 alps 1 0 0 0 1 0 10\n");
        ASSERT_TRUE(wait_for_output(run, text::pixel_out));
        EXPECT_TRUE(root.has_temporary()) << "the outputs are created before the computation";
        kill(run.pid, sig);
        const Session s = finish_program(run);
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.err.find("dem_varnel: interrupted by"), std::string::npos) << s.err;
        EXPECT_FALSE(root.has_temporary());
        EXPECT_EQ(root.read("dem1/alps_varnel_m2.raw"), "old raster");
        EXPECT_EQ(root.read("dem1/alps_varnel_m2.txt"), "old descriptor");
    }
}

TEST(Dialogue, AResultReplacesTheFileASymbolicLinkPointsTo) {
    TempRoot root;
    put_alps(root);
    root.write("keep/target.raw", "old");
    ASSERT_EQ(symlink("../keep/target.raw", root.file("dem1/alps_varnel_m2.raw").c_str()), 0);
    const Session s = run_program(root, alps_answers);
    EXPECT_EQ(s.status, 0) << s.err;
    struct stat st;
    ASSERT_EQ(lstat(root.file("dem1/alps_varnel_m2.raw").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_EQ(root.read("keep/target.raw").size(), 160u);
}

TEST(Dialogue, TemporaryOutputsGetThePermissionsOfAPlainCreation) {
    TempRoot root;
    put_alps(root);
    const mode_t old_mask = umask(022);
    const Session s = run_program(root, alps_answers);
    umask(old_mask);
    ASSERT_EQ(s.status, 0) << s.err;
    struct stat st;
    ASSERT_EQ(stat(root.file("dem1/alps_varnel_m2.raw").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(Dialogue, ADescriptorWhoseCellWidthDisagreesIsReadWithTheAnsweredWidth) {
    TempRoot root;
    put_alps(root);
    root.write("dem1/alps_m2.txt", "4\n5\n4\n120\n340\n10\n");  // says 4 bytes per cell
    const Session s = run_program(root, alps_answers);
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, alps_session_text()) << "16-bit cells as answered";
    EXPECT_EQ(text::without_summary(s.err),
              "dem_varnel: the descriptor c:\\images\\dem1\\alps_m2.txt (" +
                  root.file("dem1/alps_m2.txt") +
                  ") says 4 bytes per cell on line 3; the raster is read with 2 (16-bit "
                  "cells) as answered\n");
}

TEST(Dialogue, PixelSizesWhoseOutputTheMachineCannotHoldAreAskedAgain) {
    TempRoot root;
    put_alps(root);
    // At 1 and 0.0000000025 the output has 2000000000 columns, whose lines alone take
    // some 16 GB each; at 1 and 0.00001 its 399999 x 499999 cells make a 16-bit raster
    // of 400 GB, and an ASCII grid twice as large at least, since its values wait in a
    // file of their own for the corner asked after the computation.
    const struct {
        const char* output;
        const char* pixel_sizes;
        const char* reason;
    } cases[] = {
        {"1 0", "1 0.0000000025", "an output of 1600000000 lines and 2000000000 columns needs"},
        {"1 0", "1 0.00001", "an output of 399999 lines and 499999 columns makes files of"},
        {"0", "1 0.00001", "an output of 399999 lines and 499999 columns makes files of"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const Session s = run_program(root, std::string("dem1 alps 1 0 0 0 ") + c.output + " " +
                                                c.pixel_sizes + " 10 5 0 0\n");
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_NE(s.err.find(c.reason), std::string::npos) << s.err;
        EXPECT_NE(s.out.find(text::pixel_in + text::pixel_out + text::pixel_in + text::pixel_out +
                             text::ratio("2.000000")),
                  std::string::npos);
    }
}

TEST(Dialogue, AtATerminalTheMissingFileWaitsForOneKeyReadWithoutEcho) {
    TempRoot root;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("DEM_VARNEL_ROOT", root.path().c_str(), 1);
        execl(DEM_VARNEL_EXE, DEM_VARNEL_EXE, static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    const auto read_for = [&](int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0) break;
                screen.append(buffer, static_cast<std::size_t>(n));
            }
        }
    };
    const std::string typed = "dem1\nalps\n1\n0\n";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    read_for(1500);
    ASSERT_NE(screen.find("alps_m2.raw unknown"), std::string::npos) << screen;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "waits for a key";
    const std::size_t seen = screen.size();
    ASSERT_EQ(write(master, "q", 1), 1);  // no line end: the key alone must do
    read_for(500);
    pid_t done = 0;
    for (int tries = 0; tries < 200 && done == 0; ++tries) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "still waiting after the key";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(screen.find('q', seen), std::string::npos) << "the key is not echoed";
    close(master);
}

// The command line of the real program: --help and --version print and exit without
// starting the dialogue, anything else is refused with status 2, and output that
// cannot be written fails the run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "session.h"
#include "transcript.h"

namespace {

// A complete session's answers on an input that exists, so that a dialogue started by
// mistake would show in the output and the files.
void put_input(const TempRoot& root) {
    root.write("d/r_m2.raw", raw16({100, 200, 300, 400}));
    root.write("d/r_m2.txt", "2\n2\n2\n100\n400\n10\n");
}
const std::string answers = "d\nr\n1\n0\n0\n0\n1\n0\n10\n5\n";

}  // namespace

TEST(CommandLine, HelpAndVersionPrintTheirTextAndStartNoDialogue) {
    TempRoot root;
    put_input(root);
    const auto before = root.snapshot();
    const Session help = run_program(root, answers, {10, false, {"--help"}});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* part : {"Usage: dem_varnel", "DEM_VARNEL_ROOT", "dem_varnel < answers.txt",
                             "Exit status: 0", "--pixel-size P", "--overwrite"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 80u) << line;

    const Session short_help = run_program(root, answers, {10, false, {"-h"}});
    EXPECT_EQ(short_help.status, 0);
    EXPECT_EQ(short_help.out, help.out);

    const Session version = run_program(root, answers, {10, false, {"--version"}});
    EXPECT_EQ(version.status, 0);
#ifdef DEM_VARNEL_WITH_GDAL
    EXPECT_EQ(version.out.rfind("dem_varnel " DEM_VARNEL_VERSION " (with GDAL 3.", 0), 0u)
        << "the version says which format layer the build has: " << version.out;
#else
    EXPECT_EQ(version.out, "dem_varnel " DEM_VARNEL_VERSION " (without GDAL)\n");
#endif
    EXPECT_EQ(version.err, "");

    for (const Session* s : {&help, &version})
        EXPECT_EQ(s->out.find(text::folder), std::string::npos);
    EXPECT_EQ(root.snapshot(), before);
}

TEST(CommandLine, WrongUsageIsRefusedWithStatusTwoBeforeAnythingIsOpened) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"-x", "a", "b"}, "unknown option '-x'"},
        {{"--helpme"}, "unknown option '--helpme'"},
        {{""}, "a SOURCE and a DESTINATION are needed"},
        {{"a\nb", "c", "d", "--ratio", "2"},
         "unexpected argument 'd' after SOURCE and DESTINATION"},
        {{"--version", "--help"}, "unexpected argument '--help' after --version"},
        {{"-h", "x"}, "unexpected argument 'x' after -h"},
        {{"in.asc", "out.asc"}, "give either --pixel-size or --ratio"},
        {{"in.asc", "out.asc", "--ratio", "2", "--pixel-size", "5"},
         "give either --pixel-size or --ratio"},
        {{"in.asc", "out.asc", "--ratio", "-2"}, "--ratio must be a positive number, not '-2'"},
        {{"in.asc", "out.asc", "--ratio", "nan"}, "--ratio must be a positive number, not 'nan'"},
        {{"in.asc", "out.asc", "--ratio", "0x2"}, "--ratio must be a positive number, not '0x2'"},
        {{"in.asc", "out.asc", "--ratio", "2", "--unit", "dm"},
         "--unit applies to a raw source (_m2.raw or _m4.raw) only"},
        {{"in.asc", "", "--ratio", "2"}, "an empty name names no source or destination"},
        {{"in.asc", "out.asc", "--ratio", "2", "--unit", "ft"},
         "--unit is one of m, dm, cm, mm, not 'ft'"},
        {{"in.asc", "out.asc", "--ratio", "2", "-co", "=x"}, "-co takes NAME=VALUE, not '=x'"},
        {{"in.asc", "out.asc", "--ratio", "2", "-of", ""}, "-of needs a value"},
        {{"in.asc", "out.asc", "--ratio", "2", "--threads", "0"},
         "--threads must be a whole number from 1 to 1024, not '0'"},
        {{"in.asc", "out.raw", "--ratio", "2", "-ot", "Float32"},
         "-ot Float32 is not a cell type of VarnelRaw: UInt16 or Int32"},
#ifdef DEM_VARNEL_WITH_GDAL
        {{"in.asc", "out.tif", "--ratio", "2", "-of", "NoSuchFormat"},
         "-of NoSuchFormat is not a format this GDAL knows"},
        {{"in.asc", "out.tif", "--ratio", "2", "-of", "MEM"},
         "-of MEM does not write a raster file"},
#else
        {{"in.asc", "out.tif", "--ratio", "2"},
         "-of GTiff needs GDAL, which this build is without: VarnelRaw or VarnelASCII only"},
#endif
        {{"in.asc", "out.raw", "--ratio", "2"}, ""},  // usage is sound: the source is missing
    };
    TempRoot root;
    put_input(root);
    const auto before = root.snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Session s = run_program(root, answers, {10, false, c.arguments});
        EXPECT_EQ(s.out, "");
        if (c.message.empty()) {
            EXPECT_EQ(s.status, 1) << s.err;
            continue;
        }
        EXPECT_EQ(s.status, 2);
        EXPECT_EQ(s.err, "dem_varnel: " + c.message + "; see dem_varnel --help\n");
    }
    EXPECT_EQ(root.snapshot(), before);
}

TEST(CommandLine, HelpOrVersionThatCannotBeWrittenFailsWithStatusOne) {
    TempRoot root;
    for (const char* option : {"--help", "--version"}) {
        SCOPED_TRACE(option);
        const std::string command =
            "'" DEM_VARNEL_EXE "' " + std::string(option) + " > /dev/full 2> " + root.file("err");
        const int wstatus = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(wstatus));
        EXPECT_EQ(WEXITSTATUS(wstatus), 1);
        EXPECT_EQ(root.read("err").rfind("dem_varnel: cannot write the ", 0), 0u)
            << root.read("err");
    }
}

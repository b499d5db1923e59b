// Faults survived with nothing lost: the process killed while it computes or writes,
// standard input closing at every question of every kind of session, inputs that are
// directories, empty, unreadable, FIFOs, truncated at every length or changed between
// their two readings, and sizes the machine cannot hold.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "host_memory.h"
#include "in_process.h"
#include "session.h"
#include "transcript.h"

namespace {

std::vector<std::string> words_of(const std::string& answers) {
    std::vector<std::string> words;
    std::string word;
    for (char c : answers + " ") {
        if (c == ' ' || c == '\n') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// A terrain-like 16-bit raster of lines x columns with its descriptor.
void put_raster(const TempRoot& root, const std::string& stem, int lines, int columns) {
    std::vector<std::uint16_t> cells;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            cells.push_back(static_cast<std::uint16_t>(5000 + (i * 13 + j * 7) % 900));
    root.write(stem + "_m2.raw", raw16(cells));
    root.write(stem + "_m2.txt",
               std::to_string(lines) + "\n" + std::to_string(columns) + "\n2\n5000\n5899\n10\n");
}

}  // namespace

TEST(Faults, ClosedInputAtEveryQuestionOfEverySessionEndsCleanly) {
    struct Dialogue {
        const char* name;
        std::string answers;
        bool creates_descriptor;
    };
    const Dialogue dialogues[] = {
        {"raw with descriptor to ASCII", "d r 1 0 2 1 new 0 10 5 100 200", false},
        {"raw without descriptor", "d n 1 1 2 3 10 1 0 1 1 10 10", true},
        {"ASCII to raw 32-bit", "d a 0 0 1 1 1 1", false},
    };
    for (const Dialogue& dialogue : dialogues) {
        SCOPED_TRACE(dialogue.name);
        TempRoot root;
        put_raster(root, "d/r", 5, 6);
        root.write("d/n_m4.raw", raw32({1, 2, 3, 4, 5, 6}));
        root.write("d/a.asc",
                   "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -1\n1 2 "
                   "3\n4 5 6\n");
        const auto before = root.snapshot();
        const std::vector<std::string> words = words_of(dialogue.answers);
        // The whole dialogue completes: the answers are right.
        {
            TempRoot full;
            for (const auto& file : before) full.write(file.first, file.second);
            const Session s = run_program(full, dialogue.answers + "\n", {20});
            ASSERT_EQ(s.status, 0) << s.err;
        }
        for (std::size_t k = 0; k < words.size(); ++k) {
            SCOPED_TRACE(k);
            std::string answers;
            for (std::size_t w = 0; w < k; ++w) answers += words[w] + " ";
            const Session s = run_program(root, answers, {20});
            EXPECT_FALSE(s.timed_out);
            EXPECT_EQ(s.status, 1);
            EXPECT_NE(s.err.find("standard input ended"), std::string::npos) << s.err;
            EXPECT_FALSE(root.has_temporary());
            auto after = root.snapshot();
            if (dialogue.creates_descriptor && after.size() == before.size() + 1) {
                // Kept only once complete: six lines, the range scanned.
                EXPECT_EQ(after["d/n_m4.txt"], "2\n3\n4\n1\n6\n10\n");
                after.erase("d/n_m4.txt");
            }
            EXPECT_EQ(after, before);
        }
    }
}

TEST(Faults, KilledWhileComputingOrWritingLeavesNoPartialFileUnderAFinalName) {
    TempRoot root;
    put_raster(root, "d/big", 600, 700);
    root.write("d/big_varnel_m2.raw", "old raster");
    root.write("d/big_varnel_m2.txt", "old descriptor");
    // A 3 x enlargement: long enough to be killed at every stage of it.
    const std::string answers = "d big 1 0 0 0 1 0 3 1\n";
    std::string new_raster_bytes, new_descriptor;
    {
        TempRoot other;
        for (const auto& file : root.snapshot()) other.write(file.first, file.second);
        const Session s = run_program(other, answers);
        ASSERT_EQ(s.status, 0) << s.err;
        new_raster_bytes = other.read("d/big_varnel_m2.raw");
        new_descriptor = other.read("d/big_varnel_m2.txt");
    }
    for (int delay_ms : {0, 20, 60, 120, 200, 300, 450, 700}) {
        SCOPED_TRACE(delay_ms);
        Running run = start_program(root, answers);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        kill(run.pid, SIGKILL);
        finish_program(run);
        const std::string raster = root.read("d/big_varnel_m2.raw"),
                          descriptor = root.read("d/big_varnel_m2.txt");
        const bool old_raster = raster == "old raster", new_raster = raster == new_raster_bytes;
        EXPECT_TRUE(old_raster || new_raster) << "a raster of " << raster.size() << " bytes";
        // Killed between the removal of the old descriptor and the renames, there is
        // no descriptor beside either raster; never one that does not belong to it.
        EXPECT_TRUE(descriptor == "old descriptor" || descriptor == new_descriptor ||
                    !root.exists("d/big_varnel_m2.txt"))
            << descriptor;
        if (old_raster) {
            EXPECT_NE(descriptor, new_descriptor) << "never the new geometry beside the old raster";
        }
        if (new_raster) {
            EXPECT_NE(descriptor, "old descriptor") << "never a new raster beside the old geometry";
        }
        // Restore the old outputs for the next attempt.
        root.write("d/big_varnel_m2.raw", "old raster");
        root.write("d/big_varnel_m2.txt", "old descriptor");
    }
}

TEST(Faults, InputsThatAreDirectoriesEmptyOrUnreadableEndWithAnError) {
    SKIP_UNLESS_UNPRIVILEGED_RUNS();
    struct Case {
        const char* name;
        std::string answers;
        const char* message;
    };
    TempRoot root;
    mkdir(root.file("d").c_str(), 0755);
    mkdir(root.file("d/dir_m2.raw").c_str(), 0755);
    mkdir(root.file("d/dira.asc").c_str(), 0755);
    root.write("d/empty_m2.raw", "");
    root.write("d/empty.asc", "");
    root.write("d/locked_m2.raw", raw16({1, 2, 3, 4}));
    root.write("d/locked_m2.txt", "2 2 2 1 4 1");
    chmod(root.file("d/locked_m2.raw").c_str(), 0);
    root.write("d/lockdesc_m2.raw", raw16({1, 2, 3, 4}));
    root.write("d/lockdesc_m2.txt", "2 2 2 1 4 1");
    chmod(root.file("d/lockdesc_m2.txt").c_str(), 0);
    const Case cases[] = {
        {"raster directory", "d dir 1 0", "it is a directory"},
        {"ASCII directory", "d dira 0", "it is a directory"},
        {"empty raster", "d empty 1 0", "is empty"},
        {"empty ASCII grid", "d empty 0", "the file ends within its header"},
        {"unreadable raster", "d locked 1 0", "Permission denied"},
        {"unreadable descriptor", "d lockdesc 1 0", "cannot open the descriptor"},
    };
    const auto before = root.snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Session s = run_program(root, c.answers + "\n", {10, true});
        EXPECT_FALSE(s.timed_out);
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.err.find(c.message), std::string::npos) << s.err;
        EXPECT_EQ(s.out.find("unknown"), std::string::npos) << "only a missing file is unknown";
    }
    EXPECT_EQ(root.snapshot().size(), before.size()) << "nothing created, nothing replaced";
}

TEST(Faults, RasterTruncatedAtEveryLengthReadsWithItsWarning) {
    std::vector<std::uint16_t> cells;
    for (int k = 0; k < 12; ++k) cells.push_back(static_cast<std::uint16_t>(100 + k));
    const std::string bytes = raw16(cells);
    for (std::size_t length = 1; length < bytes.size(); ++length) {
        SCOPED_TRACE(length);
        TempRoot root;
        root.write("d/t_m2.raw", bytes.substr(0, length));
        root.write("d/t_m2.txt", "3\n4\n2\n100\n111\n1\n");
        const Session s = run_program(root, "d t 1 0 0 0 1 0 1 1\n", {10});
        EXPECT_EQ(s.status, 0) << s.err;
        const std::size_t missing = 12 - length / 2;
        EXPECT_NE(s.err.find("the " + std::to_string(missing) + " missing cells are taken as 0"),
                  std::string::npos)
            << s.err;
        EXPECT_EQ(root.read("d/t_varnel_m2.raw").size(), 24u);
    }
}

TEST(Faults, AsciiGridTruncatedAtEveryLengthIsRefusedUnlessItStillHoldsEveryValue) {
    const std::string grid =
        "ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize 5\nnodata_value -9999\n"
        "1.5 2.25 3\n4 5 6.75\n";
    for (std::size_t length = 0; length < grid.size(); ++length) {
        SCOPED_TRACE(length);
        TempRoot root;
        const std::string cut = grid.substr(0, length);
        root.write("d/a.asc", cut);
        const Session s = run_program(root, "d a 0 0 1 0 1 1\n", {10});
        EXPECT_FALSE(s.timed_out);
        // Tokens: twelve of header, six values; a cut inside the last value leaves it whole.
        const std::size_t tokens = words_of(cut).size();
        if (tokens < 18) {
            EXPECT_EQ(s.status, 1);
            EXPECT_NE(s.err.find("c:\\images\\d\\a.asc"), std::string::npos) << s.err;
            EXPECT_FALSE(root.exists("d/a_varnel_m2.raw"));
        } else {
            EXPECT_EQ(s.status, 0) << s.err;
        }
        EXPECT_FALSE(root.has_temporary());
    }
}

TEST(Faults, AGridTooLargeForTheMachineIsRefusedAtOnceWithWhatItNeeds) {
    // An 8-byte raster whose descriptor claims a line of two billion cells (whose lines
    // alone need some 16 GB each), or four million million cells (8 TB of output).
    const struct {
        const char* geometry;
        const char* reason;
    } cases[] = {
        {"1\n2147483000\n", "an output of 1 lines and 2147483000 columns needs"},
        {"2000000\n2000000\n", "an output of 2000000 lines and 2000000 columns makes files of"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.geometry);
        TempRoot root;
        root.write("d/huge_m2.raw", raw16({1, 2, 3, 4}));
        root.write("d/huge_m2.txt", std::string(c.geometry) + "2\n0\n0\n10\n");
        const auto started = std::chrono::steady_clock::now();
        const Session s = run_program(root, "d huge 1 0 0 0 1 0 10 10\n", {30});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.err.find(c.reason), std::string::npos) << s.err;
        EXPECT_LT(seconds, 5.0) << "refused before the computation";
        EXPECT_EQ(root.snapshot().size(), 2u);
    }
}

TEST(Faults, RefusedSizesAreShownWithTheDigitsThatTellThemApart) {
    const SizeTexts close = distinct_sizes(100u << 20, (100u << 20) - 5000);
    EXPECT_EQ(close.first, "100.000 MiB");
    EXPECT_EQ(close.second, "99.995 MiB");
    const SizeTexts closer = distinct_sizes(100u << 20, (100u << 20) - 1);
    EXPECT_EQ(closer.first, "104857600 bytes");
    EXPECT_EQ(closer.second, "104857599 bytes");
    EXPECT_EQ(distinct_sizes(3u << 20, 1u << 20).first, "3.0 MiB");
}

namespace {

// A dialogue run in this process, its input changed by `change` between the reading pass
// (the opening, which reads every cell) and the sweep.
class ChangedInput : public InProcess {
protected:
    void run_changed(const std::string& answers_text, const std::function<void()>& change) {
        answers(answers_text);
        RunFiles files;
        run([&] {
            opening(files);
            disk_ceiling = UINT64_MAX;  // what a test lowered for the reading only
            parameters(files);
        });
        ASSERT_FALSE(failed) << failure;
        change();
        run([&] {
            treatment(files);
            save(files);
        });
    }
};

}  // namespace

TEST_F(ChangedInput, ARasterWrittenOrTruncatedBetweenItsTwoReadingsFailsTheRun) {
    std::vector<std::uint16_t> cells(60 * 70);
    for (std::size_t k = 0; k < cells.size(); ++k)
        cells[k] = static_cast<std::uint16_t>(500 + k % 97);
    const std::string raster = raw16(cells);
    const struct {
        const char* name;
        std::string bytes;  // the raster after the change
    } changes[] = {
        {"overwritten in place", std::string(raster.size(), '\x07')},
        {"truncated to half", raster.substr(0, raster.size() / 2)},
        {"truncated to nothing", ""},
        {"one cell changed", raster.substr(0, 4000) + "\x01\x02" + raster.substr(4002)},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        root.write("d/r_m2.raw", raster);
        root.write("d/r_m2.txt", "60\n70\n2\n500\n596\n10\n");
        root.write("d/r_varnel_m2.raw", "old raster");
        run_changed("d r 1 0 1 0 1 0 10 5", [&] {
            std::FILE* f = open("d/r_m2.raw", "r+b");  // written in place: the same file
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(ftruncate(fileno(f), 0), 0);
            std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
            std::fclose(f);
        });
        EXPECT_TRUE(failed);
        EXPECT_NE(failure.find("changed while it was being read"), std::string::npos) << failure;
        EXPECT_EQ(root.read("d/r_varnel_m2.raw"), "old raster");
        EXPECT_FALSE(root.has_temporary());
    }
}

TEST_F(ChangedInput, AnAsciiGridEditedBeforeItsTextIsParsedAgainFailsTheRun) {
    std::string grid = "ncols 30\nnrows 20\nxllcorner 0\nyllcorner 0\ncellsize 10\n";
    for (int k = 0; k < 600; ++k) grid += std::to_string(100 + k % 41) + " ";
    root.write("d/a.asc", grid);
    disk_ceiling = 0;  // no room to keep the parsed values: the text is parsed again
    std::string edited = grid;
    edited[edited.size() - 5] = edited[edited.size() - 5] == '9' ? '8' : '9';
    run_changed("d a 0 0 1 0 10 5", [&] { root.write("d/a.asc", edited); });
    EXPECT_TRUE(failed);
    EXPECT_NE(failure.find("changed while it was being read"), std::string::npos) << failure;
}

TEST(Faults, AFifoIsRefusedAtOnceInsteadOfWaitingForAWriter) {
    TempRoot root;
    root.write("d/keep", "");
    ASSERT_EQ(mkfifo(root.file("d/f_m2.raw").c_str(), 0600), 0);
    const Session s = run_program(root, "d f 1 0\n", {10});
    EXPECT_FALSE(s.timed_out);
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("is not a regular file (a FIFO, a device or a socket)"), std::string::npos)
        << s.err;
}

// How a run's outputs are put in place when something else happens meanwhile: another run
// writing the same names, an interruption during the renames, the temporary files a
// killed run left. The renames are slowed by a preloaded shim (shims/slow_rename.c).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "session.h"

namespace {

const std::string raster = "d/out_varnel_m2.raw", descriptor = "d/out_varnel_m2.txt";

// A 16-bit raster of lines x columns, pixel size 10, with its descriptor.
void put_raster(const TempRoot& root, const std::string& stem, int lines, int columns, int base) {
    std::vector<std::uint16_t> cells;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j)
            cells.push_back(static_cast<std::uint16_t>(base + (i * 13 + j * 7) % 90));
    root.write("d/" + stem + "_m2.raw", raw16(cells));
    root.write("d/" + stem + "_m2.txt", std::to_string(lines) + "\n" + std::to_string(columns) +
                                            "\n2\n" + std::to_string(base) + "\n" +
                                            std::to_string(base + 89) + "\n10\n");
}

// Input `stem` regridded at its own pixel size to the 16-bit raster "out".
std::string answers_for(const std::string& stem) {
    return "d " + stem + " 1 0 0 1 out 1 0 10 10\n";
}

struct Pair {
    std::string raster, descriptor;
    bool operator==(const Pair& other) const {
        return raster == other.raster && descriptor == other.descriptor;
    }
};

Pair pair_in(const TempRoot& root) { return {root.read(raster), root.read(descriptor)}; }

void put_old_pair(const TempRoot& root) {
    root.write(raster, "old raster");
    root.write(descriptor, "old descriptor");
}

// The pair a run of `answers` makes alone on a copy of `root`.
Pair pair_made_alone(const TempRoot& root, const std::string& answers) {
    TempRoot alone;
    for (const auto& file : root.snapshot()) alone.write(file.first, file.second);
    const Session s = run_program(alone, answers);
    EXPECT_EQ(s.status, 0) << s.err;
    return pair_in(alone);
}

// The program with every rename delayed. The shim comes first in the preload list, where
// AddressSanitizer wants its own runtime: it is told not to mind.
Options slowed_renames(int milliseconds) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_options =
        asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    Options options;
    options.environment = {"LD_PRELOAD=" DEM_VARNEL_SLOW_RENAME,
                           "DEM_VARNEL_RENAME_DELAY_MS=" + std::to_string(milliseconds),
                           "ASAN_OPTIONS=" + asan_options + "verify_asan_link_order=0"};
    return options;
}

// The old descriptor is removed first thing of an installation: its going tells that
// the renames have begun.
bool wait_until_gone(const TempRoot& root, const std::string& relative) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (root.exists(relative)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(Installation, TwoRunsOnTheSameNamesLeaveOneRunsPair) {
    TempRoot root;
    put_raster(root, "a", 5, 6, 5000);
    put_raster(root, "b", 8, 4, 100);
    const Pair pair_a = pair_made_alone(root, answers_for("a")),
               pair_b = pair_made_alone(root, answers_for("b"));
    ASSERT_NE(pair_a.raster.size(), pair_b.raster.size());
    // The slow run renames its raster at 200 ms and its descriptor at 400 ms; the quick
    // one, starting its renames between them, would put its raster in place after the slow
    // one's and its descriptor before, were the two installations not one after the other.
    for (int start_ms : {200, 250, 300}) {
        SCOPED_TRACE(start_ms);
        put_old_pair(root);
        Running slow = start_program(root, answers_for("b"), slowed_renames(200));
        ASSERT_TRUE(wait_until_gone(root, descriptor));
        std::this_thread::sleep_for(std::chrono::milliseconds(start_ms));
        Running quick = start_program(root, answers_for("a"), slowed_renames(10));
        const Session quick_run = finish_program(quick), slow_run = finish_program(slow);
        EXPECT_EQ(quick_run.status, 0) << quick_run.err;
        EXPECT_EQ(slow_run.status, 0) << slow_run.err;
        const Pair on_disk = pair_in(root);
        EXPECT_TRUE(on_disk == pair_a || on_disk == pair_b)
            << "a raster of " << on_disk.raster.size() << " bytes beside the descriptor\n"
            << on_disk.descriptor;
        EXPECT_FALSE(root.has_temporary());
    }
}

// A run that may not replace finds, between its renames, its descriptor's name taken by
// another process (which does not take the folder's lock): the raster it had put in
// place goes again, and the other process's file stays (the raster was left beside it).
TEST(Installation, AFileThatAppearsBetweenTheRenamesLeavesNoPartOfTheOutput) {
    TempRoot root;
    put_raster(root, "a", 5, 6, 5000);
    Options options = slowed_renames(0);
    options.environment.push_back("DEM_VARNEL_RENAME_RACE=" + root.file("d/c_m2.txt"));
    options.arguments = {
        root.file("d/a_m2.raw"), root.file("d/c_m2.raw"), "-of", "VarnelRaw", "--ratio", "1", "-q"};
    const Session s = run_program(root, "", options);
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_NE(s.err.find("it appeared while the run was working"), std::string::npos) << s.err;
    EXPECT_FALSE(root.exists("d/c_m2.raw"));
    EXPECT_EQ(root.read("d/c_m2.txt"), "theirs");
    EXPECT_FALSE(root.has_temporary());
}

TEST(Installation, AnInterruptionDuringTheRenamesLeavesTheNewPairAndSaysItIsComplete) {
    TempRoot root;
    put_raster(root, "a", 5, 6, 5000);
    const Pair made = pair_made_alone(root, answers_for("a"));
    put_old_pair(root);
    Running run = start_program(root, answers_for("a"), slowed_renames(300));
    ASSERT_TRUE(wait_until_gone(root, descriptor));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(run.pid, SIGINT);
    const Session s = finish_program(run);
    EXPECT_EQ(s.status, 1) << "the run was interrupted all the same";
    EXPECT_EQ(s.err, "dem_varnel: interrupted by SIGINT after c:\\images\\d\\out_varnel_m2.raw (" +
                         root.file(raster) + ") and c:\\images\\d\\out_varnel_m2.txt (" +
                         root.file(descriptor) + ") were put in place; they are complete\n");
    EXPECT_TRUE(pair_in(root) == made);
    EXPECT_FALSE(root.has_temporary());
}

TEST(Installation, TemporariesOfADeadRunAreRemovedAndThoseOfARunningOneKept) {
    TempRoot root;
    put_raster(root, "a", 5, 6, 5000);
    const Pair made = pair_made_alone(root, answers_for("a"));
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    const std::string of_dead = ".part-" + std::to_string(dead),
                      of_running = ".part-" + std::to_string(getpid());
    root.write(raster + of_dead + "-0", "killed");
    root.write(descriptor + of_dead + "-3", "killed");
    const std::vector<std::string> kept = {
        raster + of_running + "-0",      // its process still runs
        "d/other.raw" + of_dead + "-0",  // another final name
        raster + of_dead + "-0.bak",     // not a temporary name
        raster + of_dead + "-01",        // nor one the program writes
        raster + ".part-x-0",
    };
    for (const std::string& name : kept) root.write(name, "kept");
    const Session s = run_program(root, answers_for("a"));
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(pair_in(root) == made);
    EXPECT_FALSE(root.exists(raster + of_dead + "-0"));
    EXPECT_FALSE(root.exists(descriptor + of_dead + "-3"));
    for (const std::string& name : kept) EXPECT_EQ(root.read(name), "kept") << name;
}

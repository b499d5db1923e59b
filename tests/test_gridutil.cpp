// The grid family: zero fill, separate rows, sizes, release, and the rollback of a
// maker whose k-th allocation fails.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>

#include "LIB/GRIDUTIL.h"

namespace {

// Records every block obtained and released through the library's hooks, and fails
// the allocation numbered fail_at (counting from 1).
struct Ledger {
    static std::set<void*> live;
    static int calls;
    static int fail_at;
    static void* calloc_hook(std::size_t n, std::size_t size) {
        if (++calls == fail_at) return nullptr;
        void* p = std::calloc(n, size);
        live.insert(p);
        return p;
    }
    static void free_hook(void* p) {
        if (p != nullptr) {
            EXPECT_EQ(live.erase(p), 1u) << "released a block twice or not ours";
        }
        std::free(p);
    }
};
std::set<void*> Ledger::live;
int Ledger::calls = 0;
int Ledger::fail_at = 0;

class GridUtil : public ::testing::Test {
protected:
    void SetUp() override {
        Ledger::live.clear();
        Ledger::calls = 0;
        Ledger::fail_at = 0;
        gridutil_calloc = Ledger::calloc_hook;
        gridutil_free = Ledger::free_hook;
    }
    void TearDown() override {
        gridutil_calloc = std::calloc;
        gridutil_free = std::free;
    }
};

template <typename T>
void expect_zero_grid(T** grid, int columns, int lines) {
    ASSERT_NE(grid, nullptr);
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) EXPECT_EQ(grid[i][j], T(0)) << i << "," << j;
}

}  // namespace

TEST_F(GridUtil, EveryMemberMakesZeroFilledGridsOfColumnsThenLines) {
    // (3 columns, 2 lines): 2 rows of 3 elements each.
    auto* f = fmatrice(3, 2);
    auto* uc = ucmatrice(3, 2);
    auto* us = usmatrice(3, 2);
    auto* s = smatrice(3, 2);
    auto* i = imatrice(3, 2);
    auto* d = dmatrice(3, 2);
    auto* ld = ldmatrice(3, 2);
    expect_zero_grid(f, 3, 2);
    expect_zero_grid(uc, 3, 2);
    expect_zero_grid(us, 3, 2);
    expect_zero_grid(s, 3, 2);
    expect_zero_grid(i, 3, 2);
    expect_zero_grid(d, 3, 2);
    expect_zero_grid(ld, 3, 2);
    EXPECT_EQ(Ledger::calls, 7 * 3) << "one table and one block per row";
    EXPECT_FALSE(std::signbit(d[1][2])) << "+0.0, not -0.0";
    frfmatrice(f, 2);
    frucmatrice(uc, 2);
    frusmatrice(us, 2);
    frsmatrice(s, 2);
    frimatrice(i, 2);
    frdmatrice(d, 2);
    frldmatrice(ld, 2);
    EXPECT_TRUE(Ledger::live.empty()) << "the freer releases every row and the table";
}

TEST_F(GridUtil, RowsAreSeparateBlocks) {
    double** d = dmatrice(4, 3);
    for (int j = 0; j < 4; ++j) d[1][j] = 7.5;
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(d[0][j], 0.0);
        EXPECT_EQ(d[2][j], 0.0);
    }
    EXPECT_EQ(Ledger::live.size(), 4u);
    frdmatrice(d, 3);
    EXPECT_TRUE(Ledger::live.empty());
}

TEST_F(GridUtil, OneByOneIsValidAndCountsBelowOneGiveNull) {
    std::uint16_t** one = usmatrice(1, 1);
    expect_zero_grid(one, 1, 1);
    frusmatrice(one, 1);
    EXPECT_EQ(dmatrice(0, 5), nullptr);
    EXPECT_EQ(dmatrice(5, 0), nullptr);
    EXPECT_EQ(imatrice(-1, 3), nullptr);
    EXPECT_EQ(dvecteur(0), nullptr);
    EXPECT_EQ(ivecteur(-4), nullptr);
    EXPECT_TRUE(Ledger::live.empty()) << "nothing is obtained for an empty size";
}

TEST_F(GridUtil, VectorsAreZeroFilledAndReleased) {
    double* d = dvecteur(5);
    std::int16_t* s = svecteur(2);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(d[k], 0.0);
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], 0);
    frdvecteur(d);
    frsvecteur(s);
    EXPECT_TRUE(Ledger::live.empty());
}

TEST_F(GridUtil, AFailedMakerGivesBackEverythingItObtained) {
    // A grid of 5 lines takes 6 allocations: the table, then rows 0 to 4.
    for (int k = 1; k <= 6; ++k) {
        SCOPED_TRACE(k);
        Ledger::calls = 0;
        Ledger::fail_at = k;
        EXPECT_EQ(dmatrice(8, 5), nullptr);
        EXPECT_TRUE(Ledger::live.empty()) << "allocation " << k << " failed";
    }
    Ledger::calls = 0;
    Ledger::fail_at = 7;
    double** d = dmatrice(8, 5);
    ASSERT_NE(d, nullptr);
    frdmatrice(d, 5);
    EXPECT_TRUE(Ledger::live.empty());
}

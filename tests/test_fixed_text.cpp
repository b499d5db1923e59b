// lf_text against the C library's own snprintf("%lf"): hand-picked edges, every power
// of two, and millions of random values where the rounding is decided (elevations, the
// neighbourhood of exact decimal ties, raw bit patterns). Each text is written into a
// heap block of exactly lf_text_room bytes, so a sanitizer build also sees an overrun.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "fixed_text.h"

namespace {

double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::uint64_t to_bits(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Both texts of one value, through buffers reused across millions of calls.
class Texts {
public:
    std::string ours(double v) {
        char* end = lf_text(v, room.get());
        return std::string(room.get(), end);
    }
    std::string printf_text(double v) {
        const int n = std::snprintf(reference, sizeof reference, "%lf", v);
        return std::string(reference, static_cast<std::size_t>(n));
    }
    // "" when the two agree, otherwise both texts and the bits of v.
    std::string difference(double v) {
        const std::string got = ours(v), want = printf_text(v);
        if (got == want) return "";
        char bits[32];
        std::snprintf(bits, sizeof bits, "0x%016" PRIx64, to_bits(v));
        return std::string("value ") + bits + ": lf_text \"" + got + "\", printf \"" + want + "\"";
    }

private:
    std::unique_ptr<char[]> room{new char[lf_text_room]};
    char reference[lf_text_room + 64];
};

// Checks v and -v, stopping the test at the first disagreement.
#define ASSERT_SAME_TEXT_BOTH_SIGNS(texts, v)       \
    do {                                            \
        const double value_ = (v);                  \
        ASSERT_EQ((texts).difference(value_), "");  \
        ASSERT_EQ((texts).difference(-value_), ""); \
    } while (0)

TEST(FixedText, HandPickedEdgesMatchPrintf) {
    const double two53 = 9007199254740992.0;
    const double two63 = 9223372036854775808.0;
    const double edges[] = {
        0.0,
        0.0000005,  // just below the half millionth in binary: rounds down
        0.0000015,
        0.0000025,
        0.0000035,
        1.0 / 128,  // 0.0078125 exactly: a tie, to even 0.007812
        3.0 / 128,  // 0.0234375: a tie, to even 0.023438
        2.5e-7,
        4e-7,
        std::nextafter(0.0000005, 0.0),
        std::nextafter(0.0000005, 1.0),
        std::nextafter(std::nextafter(0.0000005, 1.0), 1.0),
        0.00000049999999999999,
        0.0000004999999,
        0.0000005000001,
        1e-6,
        std::nextafter(1e-6, 0.0),
        0.1,
        0.5,
        0.9999995,
        0.99999949999,
        999999.9999995,
        999999.999999,
        9999999.9999995,
        1.0,
        9.9999995,
        99.9999995,
        123456.789,
        8848.86,
        1e15,
        1e16,
        1e22,
        1e23,
        9007199254740993.0,  // rounds to 2^53 on reading
        two53 - 1,
        two53,
        two53 + 2,
        two63 / 1e6,
        std::nextafter(two63 / 1e6, 0.0),
        std::nextafter(two63 / 1e6, INFINITY),
        17592186044416.0,  // 2^44, the first value past the exact integer path
        std::nextafter(17592186044416.0, 0.0),
        std::nextafter(17592186044416.0, 0.0) - 1.0 / 256,
        17592186044416.0 + 1.0 / 64,
        18446744073709.551615,
        two63 - 1024,
        two63,
        two63 + 2048,
        18446744073709551616.0,
        DBL_MAX,
        DBL_MIN,
        std::nextafter(DBL_MIN, 0.0),
        DBL_TRUE_MIN,
        DBL_TRUE_MIN * 3,
        DBL_EPSILON,
    };
    Texts texts;
    for (double v : edges) ASSERT_SAME_TEXT_BOTH_SIGNS(texts, v);
}

TEST(FixedText, SignBitAlwaysPrintsMinus) {
    Texts texts;
    EXPECT_EQ(texts.ours(-0.0), "-0.000000");
    EXPECT_EQ(texts.ours(-4e-7), "-0.000000");
    EXPECT_EQ(texts.ours(-DBL_TRUE_MIN), "-0.000000");
    EXPECT_EQ(texts.ours(-6e-7), "-0.000001");
    EXPECT_EQ(texts.printf_text(-0.0), "-0.000000");
    EXPECT_EQ(texts.printf_text(-4e-7), "-0.000000");
}

TEST(FixedText, NonFiniteValuesSpelledAsPrintf) {
    Texts texts;
    const double non_finite[] = {
        INFINITY,
        -INFINITY,
        std::numeric_limits<double>::quiet_NaN(),
        -std::numeric_limits<double>::quiet_NaN(),
        from_bits(0x7ff0000000000001),  // signalling NaN payload
        from_bits(0xfff0000000000001),
        from_bits(0x7fffffffffffffff),
        from_bits(0xffffffffffffffff),
    };
    for (double v : non_finite) ASSERT_EQ(texts.difference(v), "");
    EXPECT_EQ(texts.ours(-std::numeric_limits<double>::quiet_NaN()), "-nan");
    EXPECT_EQ(texts.ours(-INFINITY), "-inf");
}

TEST(FixedText, EveryPowerOfTwoAndItsNeighboursMatchPrintf) {
    Texts texts;
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, p);
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, std::nextafter(p, 0.0));
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, std::nextafter(p, INFINITY));
    }
}

TEST(FixedText, IntegersNearTwoToThe53And63MatchPrintf) {
    Texts texts;
    for (double centre : {9007199254740992.0, 9223372036854775808.0, 4294967296.0}) {
        double up = centre, down = centre;
        for (int k = 0; k < 200; ++k) {
            ASSERT_SAME_TEXT_BOTH_SIGNS(texts, up);
            ASSERT_SAME_TEXT_BOTH_SIGNS(texts, down);
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
        }
    }
}

TEST(FixedText, RandomFiniteBitPatternsMatchPrintf) {
    std::mt19937_64 random(20240611);
    Texts texts;
    for (int n = 0; n < 1000000; ++n) {
        const double v = from_bits(random());
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(texts.difference(v), "");
    }
}

// Uniform bit patterns rarely land where a value has nonzero millionths; these take
// every exponent from 2^-24 (under half a millionth) to 2^47 (past the integer path).
TEST(FixedText, RandomBitPatternsWhereDecimalsShowMatchPrintf) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint64_t> exponent(1023 - 24, 1023 + 47);
    Texts texts;
    for (int n = 0; n < 1000000; ++n) {
        const std::uint64_t bits = (random() & 0x800fffffffffffffull) | (exponent(random) << 52);
        ASSERT_EQ(texts.difference(from_bits(bits)), "");
    }
}

// Elevations as a survey or a resampling gives them: whole, with a few decimals, with
// 7 or 8 decimals (next to a decimal tie), and with arbitrary binary fractions.
TEST(FixedText, RandomElevationsBelowTenThousandMatchPrintf) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int> decimals(0, 8);
    std::uniform_real_distribution<double> anywhere(0.0, 10000.0);
    Texts texts;
    for (int n = 0; n < 1000000; ++n) {
        const int d = decimals(random);
        const double scale = std::pow(10.0, d);
        std::uniform_int_distribution<std::int64_t> units(
            0, static_cast<std::int64_t>(1e4 * scale) - 1);
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, static_cast<double>(units(random)) / scale);
        if (n % 4 == 0) ASSERT_SAME_TEXT_BOTH_SIGNS(texts, anywhere(random));
    }
}

// v x 10^6 has a fraction of exactly one half only for odd multiples of 1/128; k / 2^n
// for n above 7 ends just past the sixth decimal with any remainder. Each value is
// checked with its two neighbours, at magnitudes up to 2^46, beyond the integer path.
TEST(FixedText, RandomValuesAtAndNearTiesMatchPrintf) {
    std::mt19937_64 random(1234);
    std::uniform_int_distribution<int> power(7, 30);
    std::uniform_int_distribution<int> magnitude(0, 46);
    Texts texts;
    for (int n = 0; n < 400000; ++n) {
        const int p = power(random);
        const int top = std::min(52, magnitude(random) + p);  // exact in a double
        const std::uint64_t k = (random() & ((1ull << top) - 1)) | 1;
        const double v = std::ldexp(static_cast<double>(k), -p);
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, v);
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, std::nextafter(v, 0.0));
        ASSERT_SAME_TEXT_BOTH_SIGNS(texts, std::nextafter(v, INFINITY));
    }
}

}  // namespace

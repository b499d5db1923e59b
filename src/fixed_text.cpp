// printf("%lf") text by exact integer arithmetic. Below 2^44 a double is M x 2^E with
// E <= -9, so v x 10^6 = M x 5^6 x 2^(E+6) is an integer below 2^67 shifted right: the
// shift with round-half-even on the bits shifted out gives the six-decimal value
// exactly, below 2^64. Larger finite values go to to_chars, which gives the same exact
// digits; the non-finite ones are spelled here as glibc spells them.
#include "fixed_text.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

// GCC and Clang's 128-bit integer, marked as an extension for -pedantic builds.
__extension__ typedef unsigned __int128 uint128;

// "00".."99": two digits per division by 100.
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint64_t powers_of_ten[] = {
    1ull,           10ull,           100ull,           1000ull,           10000ull,
    100000ull,      1000000ull,      10000000ull,      100000000ull,      1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull};

// Values with a biased exponent up to this one are below 2^44, so v x 10^6 < 2^64.
constexpr int last_fast_exponent = 1023 + 43;

void put_pair(char* at, unsigned pair) { std::memcpy(at, digit_pairs + 2 * pair, 2); }

// Decimal digits of x, at least 1. An x of `bits` bits has t or t + 1 digits, with
// t = floor(bits x log10 2) = bits x 1233 >> 12 (exact for every width up to 64), and
// t + 1 from 10^t on. x | 1 has the digits of x (10^k - 1 is odd) and makes 0 one digit.
int decimal_digits(std::uint64_t x) {
    x |= 1;
    const int bits = 64 - __builtin_clzll(x);
    const int t = (bits * 1233) >> 12;
    return t + 1 - (x < powers_of_ten[t]);
}

// Writes x (below 10^14), most significant digit first, and returns the end.
char* put_integer(std::uint64_t x, char* out) {
    char* const end = out + decimal_digits(x);
    char* p = end;
    while (x >= 100) {
        p -= 2;
        put_pair(p, static_cast<unsigned>(x % 100));
        x /= 100;
    }
    if (x >= 10)
        put_pair(p - 2, static_cast<unsigned>(x));
    else
        p[-1] = static_cast<char>('0' + x);
    return end;
}

char* put_word(const char* word, char* out) {
    const std::size_t length = std::strlen(word);
    std::memcpy(out, word, length);
    return out + length;
}

}  // namespace

char* lf_text(double v, char* out) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & ((1ull << 52) - 1);

    if (exponent == 0x7ff) {
        // glibc prints the sign of a NaN too: "-nan" when its sign bit is set.
        if (fraction != 0) return put_word(negative ? "-nan" : "nan", out);
        return put_word(negative ? "-inf" : "inf", out);
    }
    if (exponent > last_fast_exponent)
        return std::to_chars(out, out + lf_text_room, v, std::chars_format::fixed, 6).ptr;

    // v = M x 2^E; subnormals have no implicit bit and the exponent of the smallest normal.
    const std::uint64_t M = exponent == 0 ? fraction : fraction | (1ull << 52);
    const int E = (exponent == 0 ? 1 : exponent) - 1075;

    // v x 10^6 = M x 15625 x 2^-r, r = -(E + 6) >= 3. The product is below 2^67, so from
    // r = 69 on it is under a quarter of a millionth and rounds to 0, as it does with
    // r = 69: capping r there keeps every shift below 128 without changing the result.
    int r = -(E + 6);
    if (r > 69) r = 69;
    const uint128 product = static_cast<uint128>(M) * 15625u;
    // Round half to even: add half a unit less one, plus one more when the kept part is
    // odd, then drop the r low bits. The sum stays below 2^69.
    const uint128 half_less_one = (static_cast<uint128>(1) << (r - 1)) - 1;
    const uint128 odd = (product >> r) & 1;
    // v < 2^44, so v x 10^6 < 1.8 x 10^19 < 2^64: the narrowing keeps every bit.
    const std::uint64_t millionths =
        static_cast<std::uint64_t>((product + half_less_one + odd) >> r);

    if (negative) *out++ = '-';
    const std::uint64_t whole = millionths / 1000000;
    const unsigned decimals = static_cast<unsigned>(millionths - whole * 1000000);
    out = put_integer(whole, out);
    *out = '.';
    put_pair(out + 1, decimals / 10000);
    put_pair(out + 3, decimals / 100 % 100);
    put_pair(out + 5, decimals % 100);
    return out + 7;
}

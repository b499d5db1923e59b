// The text printf("%lf") gives a double, made without printf: the ASCII grids hold
// hundreds of millions of values and snprintf costs most of the writing time. The bytes
// are glibc's, for every double (its default rounding mode, round to nearest).
#pragma once

// Room that lf_text may use: "-", 309 integer digits, ".", 6 decimals, with spare.
constexpr int lf_text_room = 330;

// Writes what printf("%lf", v) writes, without a terminator, to out (at least
// lf_text_room bytes) and returns the end of the text. Fixed notation with 6 decimals,
// correctly rounded from the exact binary value with ties to even; "-" whenever the
// sign bit is set, so -0.0 and negatives that round to zero print "-0.000000"; "inf",
// "-inf", "nan" and "-nan" for the non-finite values.
char* lf_text(double v, char* out);

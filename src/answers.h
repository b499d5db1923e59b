// The console: texts for the operator go to standard output and are flushed at once,
// so every question is visible before its answer is read; messages of our own go to
// standard error. Answers are read as whitespace-separated words, scanf-style, but a
// word must convert completely or the question is asked again.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// The white space of scanf: blank, tab, line feed, vertical tab, form feed and carriage
// return (so LF and CR LF line ends read alike); a NUL byte is not white space.
inline bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where answers come from: standard input unless a test or fuzzer points it elsewhere.
extern std::FILE* answer_in;

// printf-style text to standard output, flushed; fails when it cannot be written (a
// full device, an I/O error): a run whose dialogue is lost has not completed.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line "dem_varnel: <message>" on standard error, after flushing standard output.
void report(const std::string& message);

// A word from a file or an answer as a message shows it: in double quotes, bytes that
// are not printable as \xNN (a NUL or a byte-order mark shows instead of cutting the
// message short or garbling it), at most 40 characters and "..." after.
std::string quoted(std::string_view word);

// A number as a message shows it: up to ten significant digits ("12.5", "1e+300").
std::string number_text(double v);

// "4 is not one of 0, 1, 2, 3": the refusal of a choice outside 0 to `highest`.
std::string not_a_choice(int answer, int highest);

// The question's text, printed again in full whenever the answer is refused.
using Prompt = std::function<void()>;
// An answer check: an empty string accepts, anything else is the reason to refuse.
using IntCheck = std::function<std::string(int)>;
using RealCheck = std::function<std::string(double)>;
using WordCheck = std::function<std::string(const std::string&)>;

int answer_int(const Prompt& ask, const IntCheck& check = nullptr);            // "%d"
double answer_real(const Prompt& ask, const RealCheck& check = nullptr);       // "%lf"
std::string answer_word(const Prompt& ask, const WordCheck& check = nullptr);  // "%s"

// The whole word must be a decimal integer (an optional sign) within the int range.
enum class IntWord { whole, too_large, too_small, not_whole };
IntWord read_int(const std::string& word, int& value);
bool parse_int(const std::string& word, int& value);
// Why a word that read_int did not take is refused: "\"5abc\" is not a whole number".
std::string int_refusal(const std::string& word, IntWord kind);
// The whole word must be a real number as strtod reads it.
bool parse_real(const std::string& word, double& value);

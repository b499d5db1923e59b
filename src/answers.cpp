// Reading the operator's answers and writing the console texts.
#include "answers.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>

#include "failure.h"
#include "host_files.h"

std::FILE* answer_in = stdin;

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stdout, format, args);
    va_end(args);
    if (std::fflush(stdout) != 0 || written < 0) {
        const std::string reason = system_error();
        std::clearerr(stdout);
        fail("cannot write the dialogue to standard output: " + reason);
    }
}

void report(const std::string& message) {
    std::fflush(stdout);
    // Written whole on one line: a control character (a new line or a terminal's escape
    // in a file's name) shows as '?', every other byte as it is.
    std::string line = "dem_varnel: " + message;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string quoted(std::string_view word) {
    constexpr std::size_t shown = 40;
    std::string text = "\"";
    for (const char c : word.substr(0, shown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + (word.size() > shown ? "...\"" : "\"");
}

std::string number_text(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

std::string not_a_choice(int answer, int highest) {
    std::string text = std::to_string(answer) + " is not one of 0";
    for (int v = 1; v <= highest; ++v) text += ", " + std::to_string(v);
    return text;
}

namespace {

// Longer words are refused whole; the longest name the dialogue can take is far shorter.
constexpr std::size_t max_word = 4096;

// The next word of the answers; fails when the answers end first.
std::string next_word(bool& too_long, bool& has_nul) {
    int c;
    do c = std::getc(answer_in);
    while (c != EOF && is_blank(c));
    if (c == EOF) {
        fail(std::ferror(answer_in) ? "cannot read the answers from standard input"
                                    : "standard input ended before the dialogue was complete");
    }
    std::string word;
    too_long = has_nul = false;
    for (; c != EOF && !is_blank(c); c = std::getc(answer_in)) {
        if (c == '\0') has_nul = true;
        if (word.size() < max_word)
            word.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    return word;
}

// Asks until a word converts and passes the check. `convert` gives the reason to
// refuse a word, or nothing when it converted.
template <typename T>
T answer(const Prompt& ask, std::string (*convert)(const std::string&, T&),
         const std::function<std::string(T)>& check) {
    for (;;) {
        ask();
        bool too_long, has_nul;
        const std::string word = next_word(too_long, has_nul);
        T value{};
        std::string reason;
        if (too_long)
            reason = "the answer is longer than " + std::to_string(max_word) + " characters";
        else if (has_nul)
            reason = "the answer " + quoted(word) + " holds a NUL character";
        else
            reason = convert(word, value);
        if (reason.empty() && check) reason = check(value);
        if (reason.empty()) return value;
        report(reason + "; asked again");
    }
}

std::string convert_int(const std::string& word, int& value) {
    const IntWord kind = read_int(word, value);
    return kind == IntWord::whole ? std::string() : int_refusal(word, kind);
}

std::string convert_real(const std::string& word, double& value) {
    return parse_real(word, value) ? std::string() : quoted(word) + " is not a number";
}

std::string convert_word(const std::string& word, std::string& value) {
    value = word;
    return "";
}

}  // namespace

IntWord read_int(const std::string& word, int& value) {
    const char first = word.empty() ? '\0' : word[0];
    const bool signed_digits = first == '+' || first == '-' || (first >= '0' && first <= '9');
    if (!signed_digits) return IntWord::not_whole;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    // The whole word, to its last byte: strtoll stops at a NUL inside it too.
    if (end == word.c_str() || end != word.c_str() + word.size()) return IntWord::not_whole;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return first == '-' ? IntWord::too_small : IntWord::too_large;
    value = static_cast<int>(v);
    return IntWord::whole;
}

bool parse_int(const std::string& word, int& value) {
    return read_int(word, value) == IntWord::whole;
}

std::string int_refusal(const std::string& word, IntWord kind) {
    switch (kind) {
        case IntWord::too_large:
            return quoted(word) + " is too large: a whole number here is at most 2147483647";
        case IntWord::too_small:
            return quoted(word) + " is too small: a whole number here is at least -2147483648";
        default:
            return quoted(word) + " is not a whole number";
    }
}

bool parse_real(const std::string& word, double& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return end == word.c_str() + word.size();
}

int answer_int(const Prompt& ask, const IntCheck& check) {
    return answer<int>(ask, convert_int, check);
}

double answer_real(const Prompt& ask, const RealCheck& check) {
    return answer<double>(ask, convert_real, check);
}

std::string answer_word(const Prompt& ask, const WordCheck& check) {
    return answer<std::string>(
        ask, convert_word, [&check](std::string w) { return check ? check(w) : std::string(); });
}

// Reading the operator's answers and writing the console texts.
#include "answers.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

#include "failure.h"

std::FILE* answer_in = stdin;

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void report(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "dem_varnel: %s\n", message.c_str());
    std::fflush(stderr);
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

// Asks until a word converts and passes the check.
template <typename T>
T answer(const Prompt& ask, bool (*parse)(const std::string&, T&), const char* expected,
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
            reason = "the answer holds a NUL character";
        else if (!parse(word, value))
            reason = "\"" + word + "\" is not " + expected;
        else if (check)
            reason = check(value);
        if (reason.empty()) return value;
        report(reason + "; asked again");
    }
}

bool parse_word(const std::string& word, std::string& value) {
    value = word;
    return true;
}

}  // namespace

bool parse_int(const std::string& word, int& value) {
    if (word.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    const char first = word[0];
    const bool digits_only = first == '+' || first == '-' || (first >= '0' && first <= '9');
    if (!digits_only || *end != '\0' || errno == ERANGE) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

bool parse_real(const std::string& word, double& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return *end == '\0';
}

int answer_int(const Prompt& ask, const IntCheck& check) {
    return answer<int>(ask, parse_int, "a whole number", check);
}

double answer_real(const Prompt& ask, const RealCheck& check) {
    return answer<double>(ask, parse_real, "a number", check);
}

std::string answer_word(const Prompt& ask, const WordCheck& check) {
    return answer<std::string>(
        ask, parse_word, "a word",
        [&check](std::string w) { return check ? check(w) : std::string(); });
}

namespace {
struct termios saved_terminal;
volatile sig_atomic_t terminal_fd = -1;  // the terminal whose settings were changed
}  // namespace

void restore_terminal() {
    if (terminal_fd >= 0) {
        tcsetattr(terminal_fd, TCSANOW, &saved_terminal);
        terminal_fd = -1;
    }
}

void wait_for_key() {
    const int fd = fileno(answer_in);
    if (fd >= 0 && isatty(fd) && tcgetattr(fd, &saved_terminal) == 0) {
        struct termios raw = saved_terminal;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        terminal_fd = fd;
        tcsetattr(fd, TCSANOW, &raw);
        std::getc(answer_in);
        restore_terminal();
    } else {
        std::getc(answer_in);
    }
}

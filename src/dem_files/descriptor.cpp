// The descriptor of a raw raster, read as scanf("%d") reads six numbers, with messages
// that say what was found where when it stops early or holds something impossible.
#include "dem_files/descriptor.h"

#include <cerrno>
#include <climits>

#include "answers.h"
#include "dem_files/input_watch.h"
#include "failure.h"
#include "host_files.h"
#include "padded_lines.h"

namespace {

constexpr char descriptor_values[6][18] = {"number of lines",   "number of columns",
                                           "bytes per cell",    "lowest elevation",
                                           "highest elevation", "pixel size"};

// A descriptor as scanf("%d") reads it six times, with the line of each number and,
// where the reading stops before the sixth, the word it stops at (empty at the end of
// the file), for messages that say what was found where.
struct DescriptorReading {
    int read = 0;         // numbers read
    int line_of[6] = {};  // the line each was on
    int stop_line = 0;    // where the reading stopped
    int last_line = 0;    // the last line holding anything
    std::string found;    // the word there
    bool empty = true;    // nothing but white space
};

class DescriptorScanner {
public:
    explicit DescriptorScanner(std::FILE* stream) : stream_(stream), c_(std::getc(stream)) {}

    // The numbers into targets; fails on one beyond the int range.
    DescriptorReading read(int* const targets[6], const std::string& shown) {
        DescriptorReading r;
        for (; r.read < 6; ++r.read) {
            while (c_ != EOF && is_blank(c_)) advance();
            if (c_ != EOF) r.empty = false;
            r.stop_line = line_;
            r.last_line = last_line_;
            std::string word;
            const bool negative = c_ == '-';
            if (c_ == '-' || c_ == '+') take(word);
            if (c_ < '0' || c_ > '9') {
                r.found = word + rest_of_word();
                break;
            }
            long long v = 0;
            for (; c_ >= '0' && c_ <= '9'; take(word)) {
                v = v * 10 + (c_ - '0');
                if (v > static_cast<long long>(INT_MAX) + 1 || (!negative && v > INT_MAX))
                    fail(shown + ": line " + std::to_string(line_) + " holds " +
                         quoted(word + rest_of_word()) + ", beyond the int range");
            }
            *targets[r.read] = static_cast<int>(negative ? -v : v);
            r.line_of[r.read] = r.stop_line;
            // "8.5": 8 is read, and the reading stops at ".5"; a sign starts the next number,
            // as scanf reads "5-3" as 5 and -3.
            if (c_ != EOF && !is_blank(c_) && c_ != '+' && c_ != '-') {
                r.found = word + rest_of_word();
                ++r.read;
                break;
            }
        }
        return r;
    }

private:
    void advance() {
        if (c_ == '\n') ++line_;
        c_ = std::getc(stream_);
        if (c_ != EOF && !is_blank(c_)) last_line_ = line_;
    }
    void take(std::string& word) {
        if (word.size() < 64) word.push_back(static_cast<char>(c_));
        advance();
    }
    std::string rest_of_word() {
        std::string rest;
        while (c_ != EOF && !is_blank(c_) && rest.size() < 64) take(rest);
        return rest;
    }

    std::FILE* stream_;
    int c_;
    int line_ = 1;
    int last_line_ = 1;
};

// What the reading found where it stopped, for a message.
std::string stop_text(const DescriptorReading& r) {
    if (r.empty) return "the file holds nothing";
    if (r.found.empty()) return "it ends after line " + std::to_string(r.last_line);
    std::string text = "line " + std::to_string(r.stop_line) + " holds " + quoted(r.found) +
                       ", not a whole number";
    if (r.found.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text += " (a byte-order mark: save the descriptor as plain text)";
    return text;
}

std::string lines_text(const DescriptorReading& r, int a, int b) {
    return r.line_of[a] == r.line_of[b]
               ? "line " + std::to_string(r.line_of[a])
               : "lines " + std::to_string(r.line_of[a]) + " and " + std::to_string(r.line_of[b]);
}

// The cell width comes from the operator's answer; a descriptor that says otherwise,
// or says nothing, is worth a word.
void check_cell_width(const DescriptorReading& r, int val, int expected, const std::string& shown) {
    const std::string answered = expected == 2 ? "2 (16-bit cells)" : "4 (32-bit cells)";
    if (r.read > 2 && val != expected)
        report(shown + " says " + std::to_string(val) + " bytes per cell on line " +
               std::to_string(r.line_of[2]) + "; the raster is read with " + answered +
               " as answered");
    else if (r.read == 2 && r.found.empty())
        report(shown + " gives no bytes per cell: " + stop_text(r) + "; the raster is read with " +
               answered + " as answered");
}

}  // namespace

bool read_descriptor(const std::string& logical, int cell_bytes, Descriptor& d) {
    refuse_special_input(logical);
    std::FILE* stream =
        std::fopen(host_path(logical).c_str(), "rb");  // as bytes, as open_input says
    if (stream == nullptr) {
        if (errno == ENOENT) return false;
        fail("cannot open the descriptor " + shown_name(logical) + ": " + system_error());
    }
    const std::string shown = "the descriptor " + shown_name(logical);
    // Each number is an optional sign and digits after any white space; the first thing
    // that is not a number ends the reading, like the end of the file, and leaves the
    // rest at 0.
    int* const targets[6] = {&d.lines,  &d.columns, &d.cell_bytes,
                             &d.lowest, &d.highest, &d.pixel_size};
    const DescriptorReading r = DescriptorScanner(stream).read(targets, shown);
    if (std::ferror(stream)) fail("cannot read " + shown + ": " + system_error());
    std::fclose(stream);
    if (r.read < 2) fail(shown + " gives no " + descriptor_values[r.read] + ": " + stop_text(r));
    const std::string problem = geometry_problem(d.lines, d.columns);
    if (!problem.empty()) fail(shown + ", " + lines_text(r, 0, 1) + ", gives " + problem);
    check_cell_width(r, d.cell_bytes, cell_bytes, shown);
    if (r.read < 6 && !r.found.empty()) {
        std::string unread = descriptor_values[r.read];
        for (int k = r.read + 1; k < 6; ++k)
            unread += std::string(k == 5 ? " and the " : ", the ") + descriptor_values[k];
        report(shown + ": " + stop_text(r) + ", so the reading stops there and the " + unread +
               (r.read == 5 ? " is" : " are") + " taken as 0");
    }
    return true;
}

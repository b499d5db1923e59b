// DEM files: name suffixes, the input descriptor, the raw-raster and ASCII-grid
// readers and the writers of the result. Text is read in large blocks and converted
// with from_chars, which gives the same correctly rounded doubles as "%lf".
#include "dem_files.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "answers.h"
#include "failure.h"
#include "fixed_text.h"
#include "host_console.h"
#include "host_files.h"
#include "phase_times.h"
#include "run_state.h"
#include "wide_rows.h"

// --- Names -------------------------------------------------------------------------

namespace {
const char* const width_tag[2] = {"_m2", "_m4"};  // bytes per cell in the name

int width_index(int cell_type) { return cell_type == 0 ? 0 : 1; }
}  // namespace

std::string input_data_suffix(int file_format, int cell_width) {
    return file_format == 0 ? ".asc" : std::string(width_tag[width_index(cell_width)]) + ".raw";
}

std::string input_descriptor_suffix(int cell_width) {
    return std::string(width_tag[width_index(cell_width)]) + ".txt";
}

std::string output_data_suffix(int file_format, int cell_width) {
    return "_varnel" + (file_format == 0 ? std::string(".asc") : input_data_suffix(1, cell_width));
}

std::string output_descriptor_suffix(int cell_width) {
    return "_varnel" + input_descriptor_suffix(cell_width);
}

// --- Pending files of the run ------------------------------------------------------

namespace {
PendingFile pending_f1d, pending_f2, pending_f2d;
std::string input_name;  // the input data file as shown in messages

// What the reading pass leaves for the sweep: the raw cells' range in stored units, or
// the ASCII values' range and where they start in the file.
struct {
    int lowest, highest;
} raw_range;
struct {
    double lowest, highest;
} ascii_range;
std::uint64_t ascii_values_offset = 0;
// The values of an ASCII grid as the reading pass parsed them, in a file without a name
// beside the input, for the sweep to read back as fast as a raw raster; null where the
// folder or its free space does not allow one (the sweep then parses the text again).
std::FILE* ascii_values = nullptr;
std::string input_logical;  // the input data file's logical name
}  // namespace

void create_input_descriptor(const std::string& logical) {
    f1d = create_pending(pending_f1d, logical, "w");
}

void create_output_files(const std::string& data_logical, const std::string& descriptor_logical) {
    if (format2 == 0) {
        f2 = create_pending(pending_f2, data_logical, "w");
    } else {
        f2 = create_pending(pending_f2, data_logical, "wb");
        f2d = create_pending(pending_f2d, descriptor_logical, "w");
    }
}

// --- Input files -------------------------------------------------------------------

// Inputs are read as bytes, text too: the readers take CR as white space, so CR LF
// files read as LF ones, and the ASCII reader's byte offsets (it seeks back to its
// values) hold on every host, as a Windows text stream's would not; nor does a Ctrl-Z
// end a file there.
std::FILE* open_input(const std::string& logical, bool raster) {
    const std::string host = host_path(logical);
    input_name = shown_name(logical);
    input_logical = logical;
    std::FILE* stream = std::fopen(host.c_str(), "rb");
    if (stream == nullptr) {
        if (errno != ENOENT) fail("cannot open " + shown_name(logical) + ": " + system_error());
        say("\n File %s unknown\n", logical.c_str());
        if (host != logical) report("the host path tried was " + host);
        wait_for_key(answer_in);
        fail("");
    }
    if (is_directory(stream)) fail("cannot read " + shown_name(logical) + ": it is a directory");
    std::uint64_t size = 0;
    if (raster && regular_file_size(stream, size) && size == 0)
        fail(shown_name(logical) + " is empty: it holds no elevation");
    return stream;
}

std::string geometry_problem(long long lines, long long columns) {
    const std::string size =
        std::to_string(lines) + " lines and " + std::to_string(columns) + " columns";
    if (lines < 1 || columns < 1) return size + ": a grid needs at least one line and one column";
    if (padded(lines) > INT_MAX || padded(columns) > INT_MAX)
        return size + ": too large to address";
    // Byte offsets of 8-byte cells must fit 64 bits with room to spare.
    const std::uint64_t cells =
        static_cast<std::uint64_t>(padded(lines)) * static_cast<std::uint64_t>(padded(columns));
    if (cells > (std::uint64_t{1} << 58)) return size + ": too large to address";
    return "";
}

namespace {

// Reads whitespace-separated tokens from a text stream in large blocks.
class TokenReader {
public:
    TokenReader(std::FILE* stream, std::string name) : stream_(stream), name_(std::move(name)) {}

    // The next token, valid until the next call; false at the end of the file.
    bool next(std::string_view& token) {
        if (put_back_) {
            put_back_ = false;
            token = last_;
            return true;
        }
        for (;;) {
            while (pos_ < end_ && is_blank(buffer_[pos_])) ++pos_;
            std::size_t stop = pos_;
            while (stop < end_ && !is_blank(buffer_[stop])) ++stop;
            if (stop < end_ || (at_eof_ && stop > pos_)) {
                token = last_ = std::string_view(buffer_.data() + pos_, stop - pos_);
                pos_ = stop;
                return true;
            }
            if (at_eof_) return false;
            refill();
        }
    }

    // The last token is given again by the next call.
    void put_back() { put_back_ = true; }

    // Bytes of the file before the next token (and any blanks before it).
    std::uint64_t offset() const { return consumed_ + pos_ - (put_back_ ? last_.size() : 0); }

private:
    // Keeps the unfinished token at the front and reads more after it.
    void refill() {
        const std::size_t kept = end_ - pos_;
        if (kept == buffer_.size())
            fail(name_ + " holds a word longer than " + std::to_string(buffer_.size()) +
                 " characters");
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
        consumed_ += pos_;
        pos_ = 0;
        end_ = kept + std::fread(buffer_.data() + kept, 1, buffer_.size() - kept, stream_);
        if (std::ferror(stream_)) fail("cannot read " + name_ + ": " + system_error());
        if (end_ < buffer_.size()) at_eof_ = true;
    }

    std::FILE* stream_;
    std::string name_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::size_t pos_ = 0, end_ = 0;
    std::uint64_t consumed_ = 0;  // bytes of the file before the buffer's start
    bool at_eof_ = false;
    bool put_back_ = false;
    std::string_view last_;
};

// A whole token as a real, the value "%lf" gives; strtod's wider syntax (a leading
// '+', hexadecimal, results beyond the range of from_chars) is taken through strtod.
bool parse_value(std::string_view token, double& value) {
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    if (result.ec == std::errc() && result.ptr == end) return true;
    const std::string copy(token);
    char* stop = nullptr;
    value = std::strtod(copy.c_str(), &stop);
    return !copy.empty() && stop == copy.c_str() + copy.size();
}

}  // namespace

namespace {

const char* const descriptor_values[6] = {"number of lines",  "number of columns", "bytes per cell",
                                          "lowest elevation", "highest elevation", "pixel size"};

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
void check_cell_width(const DescriptorReading& r, int val, const std::string& shown) {
    const int expected = itype == 0 ? 2 : 4;
    const std::string answered = itype == 0 ? "2 (16-bit cells)" : "4 (32-bit cells)";
    if (r.read > 2 && val != expected)
        report(shown + " says " + std::to_string(val) + " bytes per cell on line " +
               std::to_string(r.line_of[2]) + "; the raster is read with " + answered +
               " as answered");
    else if (r.read == 2 && r.found.empty())
        report(shown + " gives no bytes per cell: " + stop_text(r) + "; the raster is read with " +
               answered + " as answered");
}

}  // namespace

bool read_descriptor(const std::string& logical, int& val) {
    std::FILE* stream =
        std::fopen(host_path(logical).c_str(), "rb");  // as bytes, as open_input says
    if (stream == nullptr) {
        if (errno == ENOENT) return false;
        fail("cannot open the descriptor " + shown_name(logical) + ": " + system_error());
    }
    f1d = stream;
    const std::string shown = "the descriptor " + shown_name(logical);
    // Each number is an optional sign and digits after any white space; the first thing
    // that is not a number ends the reading, like the end of the file, and leaves the
    // rest at 0.
    int* const targets[6] = {&nb_lig, &nb_col, &val, &mind, &maxd, &pix_size};
    const DescriptorReading r = DescriptorScanner(stream).read(targets, shown);
    if (std::ferror(stream)) fail("cannot read " + shown + ": " + system_error());
    std::fclose(stream);
    f1d = nullptr;
    descr_OK = true;
    if (r.read < 2) fail(shown + " gives no " + descriptor_values[r.read] + ": " + stop_text(r));
    const std::string problem = geometry_problem(nb_lig, nb_col);
    if (!problem.empty()) fail(shown + ", " + lines_text(r, 0, 1) + ", gives " + problem);
    check_cell_width(r, val, shown);
    if (r.read < 6 && !r.found.empty()) {
        std::string unread = descriptor_values[r.read];
        for (int k = r.read + 1; k < 6; ++k)
            unread += std::string(k == 5 ? " and the " : ", the ") + descriptor_values[k];
        report(shown + ": " + stop_text(r) + ", so the reading stops there and the " + unread +
               (r.read == 5 ? " is" : " are") + " taken as 0");
    }
    return true;
}

// --- Raw raster reader ---------------------------------------------------------------

namespace {

void report_short_raster(unsigned long long missing) {
    report(input_name + " is shorter than " + std::to_string(nb_lig) + " lines of " +
           std::to_string(nb_col) + " cells: the " + std::to_string(missing) +
           " missing cells are taken as 0");
}

// Compares the size of a raster file with its geometry before any memory is taken for
// it; returns false when the size cannot be told (the reading then counts the cells).
bool raster_size_checked(std::size_t cell_bytes) {
    std::uint64_t size = 0;
    if (!regular_file_size(f1, size)) return false;
    const unsigned long long cells =
        static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col);
    const unsigned long long whole = size / cell_bytes;
    const unsigned long long expected = cells * cell_bytes;
    if (whole < cells)
        report_short_raster(cells - whole);  // a cell the file ends inside is missing too
    else if (size > expected)
        report(input_name + " holds " + std::to_string(size - expected) + " bytes more than its " +
               std::to_string(nb_lig) + " lines of " + std::to_string(nb_col) +
               " cells; they are ignored");
    return true;
}

// The range of every cell of the raster in stored units, the first lowest and highest
// in the file's order, the cells it lacks being 0; read in large blocks and scanned in
// vectors, without holding the raster.
struct RawScan {
    int lowest = INT_MAX, highest = INT_MIN;
    unsigned long long missing = 0;
};

template <typename Cell>
RawScan scan_raster() {
    const unsigned long long cells =
        static_cast<unsigned long long>(nb_lig) * static_cast<unsigned long long>(nb_col);
    std::vector<Cell> block(
        static_cast<std::size_t>(std::min<unsigned long long>(cells, (1u << 20) / sizeof(Cell))));
    RawScan scan;
    unsigned long long done = 0;
    while (done < cells) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<unsigned long long>(block.size(), cells - done));
        const std::size_t got = std::fread(block.data(), sizeof(Cell), want, f1);
        if (std::ferror(f1)) fail("cannot read " + input_name + ": " + system_error());
        if constexpr (sizeof(Cell) == 2)
            wide_rows.range16(block.data(), static_cast<int>(got), scan.lowest, scan.highest);
        else
            wide_rows.range32(block.data(), static_cast<int>(got), scan.lowest, scan.highest);
        done += got;
        if (got < want) break;
    }
    scan.missing = cells - done;  // a cell the file ends inside too
    if (scan.missing > 0) {       // the missing cells are 0
        scan.lowest = std::min(scan.lowest, 0);
        scan.highest = std::max(scan.highest, 0);
    }
    return scan;
}

const double unit_factor[4] = {1.0, 10.0, 100.0, 1000.0};

void ask_unit() {
    dyn_scale = answer_int(
        [] {
            say("\n\n\tAre these values\n\t\t0 ====> in meters");
            say("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters");
            say("\n\t\t3 ====> in millimeters\n\t\t");
        },
        [](int v) { return v >= 0 && v <= 3 ? std::string() : not_a_choice(v, 3); });
    coef = unit_factor[dyn_scale];
}

}  // namespace

void dem_lecture() {
    PhaseTimer timer("reading");
    open_ascii_OK = false;
    const bool size_checked = raster_size_checked(itype == 0 ? 2 : 4);
    if (!can_seek(f1))
        fail("cannot read " + input_name +
             ": the sweep reads its lines again, so it must be a file");
    const RawScan scan = itype == 0 ? scan_raster<std::uint16_t>() : scan_raster<std::int32_t>();
    if (scan.missing > 0 && !size_checked) report_short_raster(scan.missing);
    // The report's scan starts from 1000000 and 0 with strict comparisons.
    const int min = std::min(1000000, scan.lowest), max = std::max(0, scan.highest);
    say("\n\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);
    ask_unit();  // the cells are divided by it as the sweep reads them
    raw_range = {scan.lowest, scan.highest};

    if (!descr_OK) {
        if (std::fprintf(f1d, "%d\n%d\n%d\n", min, max, static_cast<int>(dpix_size)) < 0)
            fail("cannot write " + shown_name(pending_f1d.logical) + ": " + system_error());
        close_pending(pending_f1d, f1d);
        install_pending({&pending_f1d});
    }
}

// --- ASCII grid reader ---------------------------------------------------------------

namespace {

const char* const pair_names[6] = {"ncols",     "nrows",    "xllcorner",
                                   "yllcorner", "cellsize", "nodata_value"};

std::string lower_case(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// The header's pairs, label then value, read by position as the grid's own writer
// orders them, with the variants other GIS tools write: no no-data pair, nrows before
// ncols, the centre of the corner cell, and dx/dy for the cell size.
class AsciiHeader {
public:
    AsciiHeader(TokenReader& tokens, const std::string& name) : tokens_(tokens), name_(name) {}

    // Reads the header into nb_col, nb_lig, X_min, Y_min, dpix_size and nodata;
    // returns whether the header gives a no-data value.
    bool read() {
        const std::string first = label(0);
        const int count1 = count(0);
        const std::string second = label(1);
        const int count2 = count(1);
        // Read by position, nrows first would transpose the grid without a sign.
        const bool rows_first = first == "nrows" && second == "ncols";
        nb_col = rows_first ? count2 : count1;
        nb_lig = rows_first ? count1 : count2;
        if (rows_first)
            report(name_ + ": its header gives nrows before ncols; each is read by its label");

        const std::string x_label = label(2);
        X_min = finite(2);
        const std::string y_label = label(3);
        Y_min = finite(3);
        if (x_label == "xllcenter" || y_label == "yllcenter")
            report(name_ + ": its header gives the centre of the lower-left cell (" + x_label +
                   ", " + y_label +
                   "), which is taken as its corner: the output's corner is then half a cell off");

        const std::string size_label = label(4);
        dpix_size = finite(4);
        std::string_view token;
        if (!next_label(5, token)) return false;
        if (size_label == "dx" && lower_case(token) == "dy") {
            const double dy = finite(5);
            if (dy != dpix_size)
                fail(name_ + ": its cells are not square (dx " + number_text(dpix_size) + ", dy " +
                     number_text(dy) +
                     "): this program needs square cells (GDAL writes cellsize with -co "
                     "FORCE_CELLSIZE=YES)");
            if (!next_label(5, token)) return false;
        }
        nodata = any_number(5);
        return true;
    }

private:
    std::string where(int pair) const {
        return name_ + ": header pair " + std::to_string(pair + 1) + " (" + pair_names[pair] + ")";
    }

    std::string label(int pair) {
        std::string_view token;
        if (!tokens_.next(token))
            fail(where(pair) + " is missing: the file ends within its header");
        if (token.size() > 59) fail(where(pair) + ": the label is longer than 59 characters");
        return lower_case(token);
    }

    // The label of an optional pair, or false when a number stands in its place: the
    // header has ended and the number is the grid's first value.
    bool next_label(int pair, std::string_view& token) {
        if (!tokens_.next(token))
            fail(where(pair) + " is missing: the file ends within its header");
        double number;
        if (parse_value(token, number)) {
            tokens_.put_back();
            return false;
        }
        if (token.size() > 59) fail(where(pair) + ": the label is longer than 59 characters");
        return true;
    }

    std::string_view value(int pair) {
        std::string_view token;
        if (!tokens_.next(token))
            fail(where(pair) + " has no value: the file ends within its header");
        return token;
    }

    int count(int pair) {
        const std::string_view token = value(pair);
        int n = 0;
        const IntWord kind = read_int(std::string(token), n);
        if (kind != IntWord::whole)
            fail(where(pair) + ": " + int_refusal(std::string(token), kind));
        return n;
    }

    double finite(int pair) {
        const std::string_view token = value(pair);
        double v = 0.0;
        if (!parse_value(token, v) || !std::isfinite(v))
            fail(where(pair) + ": " + quoted(token) + " is not a finite number");
        return v;
    }

    // The no-data value is never applied, so "nan" or "inf" do no harm there.
    double any_number(int pair) {
        const std::string_view token = value(pair);
        double v = 0.0;
        if (!parse_value(token, v)) fail(where(pair) + ": " + quoted(token) + " is not a number");
        return v;
    }

    TokenReader& tokens_;
    const std::string& name_;
};

// Every value takes at least one character and a separator, the last but its separator:
// a header claiming more than the rest of the file can hold is refused before the grid
// is made.
void check_values_fit(std::FILE* stream, std::uint64_t header_bytes, const std::string& name) {
    std::uint64_t size = 0;
    if (!regular_file_size(stream, size)) return;
    const std::uint64_t left = size > header_bytes ? size - header_bytes : 0;
    const std::uint64_t values =
        static_cast<std::uint64_t>(nb_lig) * static_cast<std::uint64_t>(nb_col);
    if (left < 2 * values - 1)
        fail(name + ": its header claims " + std::to_string(nb_lig) + " lines of " +
             std::to_string(nb_col) + " values, more than the " + std::to_string(left) +
             " bytes after the header can hold (every value takes at least 2 bytes with its "
             "separator)");
}

bool is_nodata(double v, double no_data) {
    return v == no_data || (std::isnan(v) && std::isnan(no_data));
}

void drop_stored_values() {
    if (ascii_values != nullptr) std::fclose(ascii_values);
    ascii_values = nullptr;
}

// The file for the parsed values, when the free space beside the input holds them with
// room to spare for the output.
void start_stored_values() {
    drop_stored_values();
    const std::uint64_t bytes =
        8 * static_cast<std::uint64_t>(nb_lig) * static_cast<std::uint64_t>(nb_col);
    if (free_space(host_path(input_logical)) / 2 < bytes) return;
    ascii_values = create_anonymous_beside(input_logical);
}

// One line of parsed values to the file, or null when the last is written; a file that
// cannot take them is given up for the parsing again.
void store_values(const double* row) {
    if (ascii_values == nullptr) return;
    const std::size_t n = static_cast<std::size_t>(nb_col);
    const bool written = row != nullptr ? std::fwrite(row, sizeof(double), n, ascii_values) == n
                                        : std::fflush(ascii_values) == 0;
    if (!written) drop_stored_values();
}

}  // namespace

void ascii_lecture() {
    PhaseTimer timer("reading");
    say("\n");
    open_ascii_OK = true;
    coef = 1.0;
    const std::string& name = input_name;
    TokenReader tokens(f1, name);
    const bool has_nodata = AsciiHeader(tokens, name).read();
    if (!(std::fabs(dpix_size) < 2147483648.0))
        fail(name + ": the cellsize " + number_text(dpix_size) + " is beyond the int range");
    const std::string problem = geometry_problem(nb_lig, nb_col);
    if (!problem.empty()) fail(name + " gives " + problem);
    check_values_fit(f1, tokens.offset(), name);
    if (!can_seek(f1))
        fail("cannot read " + name + ": the sweep reads its values again, so it must be a file");
    ascii_values_offset = tokens.offset();
    start_stored_values();

    // Every value is read and checked now, before any output exists; the sweep reads
    // them again as it needs them.
    std::vector<double> row(static_cast<std::size_t>(nb_col));
    ascii_range = {std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()};
    unsigned long long nodata_cells = 0;
    std::string_view token;
    for (int i = 0; i < nb_lig; ++i) {
        if (i > 0 && i % 100 == 0) say("\tline %d                   \r", i);
        for (int j = 0; j < nb_col; ++j) {
            const auto where = [i, j] {
                return " at line " + std::to_string(i) + ", column " + std::to_string(j);
            };
            if (!tokens.next(token))
                fail(name + " holds fewer values than its " + std::to_string(nb_lig) +
                     " lines of " + std::to_string(nb_col) + ": it ends" + where());
            if (!parse_value(token, row[j]))
                fail(name + ": " + quoted(token) + where() + " is not a number");
            if (has_nodata && is_nodata(row[j], nodata)) {
                if (!std::isfinite(row[j]))
                    fail(name + ": " + quoted(token) + where() + " is the grid's no-data value " +
                         number_text(nodata) +
                         ": this program takes no-data cells as elevations, and an elevation must "
                         "be a finite number");
                ++nodata_cells;
            }
            if (!std::isfinite(row[j]))
                fail(name + ": " + quoted(token) + where() + " is not finite");
        }
        wide_rows.fold_range(row.data(), nb_col, ascii_range.lowest, ascii_range.highest);
        store_values(row.data());
    }
    store_values(nullptr);
    pix_size = static_cast<int>(dpix_size);  // truncation toward zero
    if (tokens.next(token))
        report(name + " holds more values than its " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + "; the rest is ignored");
    if (nodata_cells > 0)
        report(std::to_string(nodata_cells) + " cells hold the no-data value " +
               number_text(nodata) + "; they are taken as elevations");
}

// --- The input's lines for the sweep --------------------------------------------------

namespace {

// A raw cell in metres: the cell over coef, formed in extended precision and rounded to
// double, which one double division gives here (see divide_by_unit).
double metres(int cell) {
    return coef == 1.0 ? static_cast<double>(cell) : static_cast<double>(cell) / coef;
}

// The padded input from a file of cells in line order: a raw raster, or the values of
// an ASCII grid as the reading pass stored them. Each line is read when the sweep first
// asks for it; the cells the file lacks are 0, and the margin lines are zeros.
template <typename Cell>
class StoredLines {
public:
    explicit StoredLines(std::FILE* file)
        : file_(file),
          cells_(std::is_same_v<Cell, double> ? 0 : static_cast<std::size_t>(nb_col)),
          window_(
              nb_col, [this](int i, double* data) { make(i, data); }, false) {}

    const double* line(int row) { return window_.line(row, nb_lig); }
    void forget(int row) { window_.forget(row); }
    static constexpr bool read_anywhere = true;

private:
    void make(int i, double* data) {
        const std::size_t bytes = static_cast<std::size_t>(nb_col) * sizeof(Cell);
        Cell* cells = cells_.empty() ? reinterpret_cast<Cell*>(data) : cells_.data();
        std::size_t got = 0;
        if (!read_at(file_, cells, bytes, static_cast<std::uint64_t>(i) * bytes, got))
            fail("cannot read " + input_name + ": " + system_error());
        const std::size_t whole = got / sizeof(Cell);  // a cell the file ends inside is 0
        std::fill(cells + whole, cells + nb_col, Cell(0));
        if constexpr (std::is_same_v<Cell, std::uint16_t>)
            wide_rows.widen16(cells, data, nb_col);
        else if constexpr (std::is_same_v<Cell, std::int32_t>)
            wide_rows.widen32(cells, data, nb_col);
        if (!std::is_same_v<Cell, double> && coef != 1.0)
            wide_rows.divide_by_unit(data, nb_col, coef);
    }

    std::FILE* file_;
    std::vector<Cell> cells_;  // raw cells before their conversion; doubles are read in place
    LineWindow window_;
};

// The padded input of an ASCII grid, its values read again from the file as the sweep
// asks for their lines; the reading pass has checked every one.
class AsciiLines {
public:
    AsciiLines()
        : tokens_(at_values(), input_name),
          window_(
              nb_col, [this](int, double* data) { make(data); }, true) {}

    const double* line(int row) { return window_.line(row, nb_lig); }
    void forget(int row) { window_.forget(row); }
    static constexpr bool read_anywhere = false;  // the text is read in order

private:
    static std::FILE* at_values() {
        if (!seek_to(f1, ascii_values_offset))
            fail("cannot read " + input_name + " again: " + system_error());
        return f1;
    }

    void make(double* data) {
        std::string_view token;
        for (int j = 0; j < nb_col; ++j)
            if (!tokens_.next(token) || !parse_value(token, data[j]) || !std::isfinite(data[j]))
                fail(input_name + " changed while it was being read");
    }

    TokenReader tokens_;
    LineWindow window_;
};

// A source over new lines of this kind; the lines of a file read at any place can be
// read by several threads at once, each with lines of its own.
template <typename Lines, typename... Arguments>
LineSource source_of(double lowest, double highest, Arguments... arguments) {
    const auto lines = std::make_shared<Lines>(arguments...);
    LineSource source{[lines](int row) { return lines->line(row); },
                      [lines](int row) { lines->forget(row); }};
    source.lowest = lowest;
    source.highest = highest;
    if (Lines::read_anywhere)
        source.another = [=] { return source_of<Lines>(lowest, highest, arguments...); };
    return source;
}

}  // namespace

LineSource input_lines() {
    if (open_ascii_OK)
        return ascii_values != nullptr
                   ? source_of<StoredLines<double>>(ascii_range.lowest, ascii_range.highest,
                                                    ascii_values)
                   : source_of<AsciiLines>(ascii_range.lowest, ascii_range.highest);
    const double lowest = metres(raw_range.lowest), highest = metres(raw_range.highest);
    return itype == 0 ? source_of<StoredLines<std::uint16_t>>(lowest, highest, f1)
                      : source_of<StoredLines<std::int32_t>>(lowest, highest, f1);
}

double input_elevation(int i, int j) {
    return input_lines().line(i + margin_before)[j + margin_before];
}

// --- Writers -------------------------------------------------------------------------

namespace {

void write_failed(const PendingFile& file) {
    fail("cannot write " + shown_name(file.logical) + ": " + system_error());
}

// Output line i of the padded line that carries it, as written: the frame's cells
// hold dmin_alt, the others are the padded line's data cells.
bool all_frame(int i) {
    return i < frame_width || i >= nb_lig4 - frame_width || nb_col4 <= 2 * frame_width;
}

// The raw raster, written a line at a time as the sweep finishes each. The frame's
// cells are all the stored value of dmin_alt, converted once.
template <typename Cell>
class RasterWriter {
public:
    using Store = std::uint64_t (*)(const double*, Cell*, int, double);
    explicit RasterWriter(Store store) : store_(store), cells_(static_cast<std::size_t>(nb_col4)) {
        frame_reduced_ = store_(&dmin_alt, &frame_, 1, coef);
    }

    void write(int i, const double* padded_line) {
        const int inside = all_frame(i) ? 0 : nb_col4 - 2 * frame_width;
        std::fill(cells_.begin(), cells_.end(), frame_);
        if (inside > 0)
            reduced_ += store_(padded_line + margin_before + frame_width,
                               cells_.data() + frame_width, inside, coef);
        reduced_ += frame_reduced_ * static_cast<std::uint64_t>(nb_col4 - inside);
        const std::size_t bytes = cells_.size() * sizeof(Cell);
        if (std::fwrite(cells_.data(), 1, bytes, f2) != bytes) write_failed(pending_f2);
        // Every 32 MiB or so the lines written go to the device while the next are made.
        const std::size_t lines_per_handover = std::max<std::size_t>(1, (32u << 20) / bytes);
        ++written_;
        if (static_cast<std::size_t>(written_) % lines_per_handover == 0) start_writeback(f2);
    }

    int written() const { return written_; }
    unsigned long long reduced() const { return reduced_; }

private:
    Store store_;
    std::vector<Cell> cells_;
    Cell frame_ = 0;
    std::uint64_t frame_reduced_ = 0;  // 1 when the frame's value does not fit
    int written_ = 0;
    unsigned long long reduced_ = 0;  // cells stored by their low bits
};

// The values of an ASCII grid as "%lf\t" prints them, a line at a time as the sweep
// finishes each, through one large buffer; no line break anywhere.
class AsciiValues {
public:
    AsciiValues(std::FILE* stream, const PendingFile& file)
        : stream_(stream), file_(file), line_(static_cast<std::size_t>(nb_col4)) {}

    void write(int i, const double* padded_line) {
        std::fill(line_.begin(), line_.end(), dmin_alt);
        if (!all_frame(i))
            std::copy(padded_line + margin_before + frame_width,
                      padded_line + margin_before + nb_col4 - frame_width,
                      line_.begin() + frame_width);
        const std::size_t widest = lf_text_room + 1;  // and the tab
        for (const double v : line_) {
            if (buffer_.size() - used_ < widest) flush();
            char* end = lf_text(v, buffer_.data() + used_);  // room checked above
            *end = '\t';
            used_ = static_cast<std::size_t>(end + 1 - buffer_.data());
        }
        ++written_;
    }

    void flush() {
        if (std::fwrite(buffer_.data(), 1, used_, stream_) != used_) write_failed(file_);
        used_ = 0;
        if (++flushes_ % 32 == 0) start_writeback(stream_);
    }

    int written() const { return written_; }

private:
    std::FILE* stream_;
    const PendingFile& file_;
    std::vector<double> line_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::size_t used_ = 0, flushes_ = 0;
    int written_ = 0;
};

// What the writers hold between the sweep and save: one of the three.
std::unique_ptr<RasterWriter<std::uint16_t>> narrow_writer;
std::unique_ptr<RasterWriter<std::int32_t>> wide_writer;
std::unique_ptr<AsciiValues> ascii_writer;
// The values of an ASCII grid whose corner is asked after the sweep wait in a file of
// their own, to follow the header once it is known.
PendingFile pending_values;
std::FILE* values_stream = nullptr;

void write_ascii_header_lines() {
    if (std::fprintf(f2, "ncols %d\n", nb_col4) < 0 || std::fprintf(f2, "nrows %d\n", nb_lig4) < 0)
        write_failed(pending_f2);
}

void write_ascii_corner_lines() {
    if (std::fprintf(f2, "xllcorner %lf\n", X_min) < 0 ||
        std::fprintf(f2, "yllcorner %lf\n", Y_min) < 0 ||
        std::fprintf(f2, "cellsize %lf\n", pix_size_out) < 0 ||
        std::fprintf(f2, "nodata_value -9999.9999\n") < 0)
        write_failed(pending_f2);
}

// The ASCII writer for the sweep's first line: the values follow the header at once
// when the corner is known (an ASCII input), otherwise they go to a file of their own.
void start_ascii_values() {
    if (open_ascii_OK) {
        write_ascii_header_lines();
        write_ascii_corner_lines();
        ascii_writer = std::make_unique<AsciiValues>(f2, pending_f2);
        return;
    }
    values_stream = create_pending(pending_values, pending_f2.logical, "w");
    ascii_writer = std::make_unique<AsciiValues>(values_stream, pending_values);
}

void put_output_line(int row, const double* line) {
    const int i = row - margin_before;
    if (i < 0 || i >= nb_lig4) return;  // margin lines are working space, not output
    if (format2 == 1) {
        if (itype2 == 0) {
            if (!narrow_writer)
                narrow_writer = std::make_unique<RasterWriter<std::uint16_t>>(wide_rows.stored16);
            narrow_writer->write(i, line);
        } else {
            if (!wide_writer)
                wide_writer = std::make_unique<RasterWriter<std::int32_t>>(wide_rows.stored32);
            wide_writer->write(i, line);
        }
    } else if (format2 == 0) {
        if (!ascii_writer) start_ascii_values();
        ascii_writer->write(i, line);
    }
}

void forget_writers() {
    narrow_writer.reset();
    wide_writer.reset();
    ascii_writer.reset();
    if (values_stream != nullptr) discard_pending(pending_values, values_stream);
}

int lines_written() {
    return narrow_writer  ? narrow_writer->written()
           : wide_writer  ? wide_writer->written()
           : ascii_writer ? ascii_writer->written()
                          : 0;
}

// The descriptor's range lines hold ints; a stored value beyond them keeps its low 32
// bits, which is worth saying (the maximum could read below the minimum).
void warn_unless_int(double elevation, const char* which, int written) {
    const long double stored = std::trunc(static_cast<long double>(elevation) * coef);
    if (stored >= INT_MIN && stored <= INT_MAX) return;
    report("the " + std::string(which) + " elevation, " + number_text(elevation) + " m, is " +
           number_text(static_cast<double>(stored)) +
           " stored units, beyond the int range of its descriptor line in " +
           shown_name(pending_f2d.logical) + "; the line holds its low 32 bits, " +
           std::to_string(written));
}

void save_raster() {
    const bool narrow = itype2 == 0;
    const unsigned long long reduced = narrow ? narrow_writer->reduced() : wide_writer->reduced();
    close_pending(pending_f2, f2);
    const int lines[6] = {nb_lig4,
                          nb_col4,
                          narrow ? 2 : 4,
                          static_cast<std::int32_t>(defined_stored_bits(dmin_alt, coef)),
                          static_cast<std::int32_t>(defined_stored_bits(dmax_alt, coef)),
                          static_cast<int>(pix_size_out)};
    for (int line : lines)
        if (std::fprintf(f2d, "%d\n", line) < 0) write_failed(pending_f2d);
    warn_unless_int(dmin_alt, "lowest", lines[3]);
    warn_unless_int(dmax_alt, "highest", lines[4]);
    close_pending(pending_f2d, f2d);
    install_pending({&pending_f2, &pending_f2d});
    if (reduced > 0)
        report(std::to_string(reduced) + " cells do not fit " +
               (narrow ? "16-bit cells and were stored modulo 65536"
                       : "32-bit cells and were stored as their low 32 bits"));
}

std::string finite_only(double v) {
    return std::isfinite(v) ? "" : "a coordinate must be a finite number";
}

}  // namespace

LineSink output_lines() {
    forget_writers();
    return LineSink{put_output_line};
}

std::uint64_t output_room() {
    return f2 == nullptr ? UINT64_MAX : free_space(pending_f2.temp_path);
}

std::uint64_t output_file_bytes(int lines, int columns) {
    const std::uint64_t cells =
        static_cast<std::uint64_t>(lines) * static_cast<std::uint64_t>(columns);
    if (format2 == 1) return cells * (itype2 == 0 ? 2 : 4) + 6 * 12;
    return cells * 9 * (open_ascii_OK ? 1 : 2) + 4096;
}

std::uint64_t file_lines_memory(int out_columns) {
    const std::uint64_t block = 1 << 20;  // the ASCII reader's, or the ASCII writer's text
    const std::uint64_t in = open_ascii_OK ? block : 4 * static_cast<std::uint64_t>(nb_col);
    const std::uint64_t out = format2 == 0 ? block + 8 * static_cast<std::uint64_t>(out_columns)
                                           : 4 * static_cast<std::uint64_t>(out_columns);
    return in + out;
}

void ascii_saving() {
    ascii_writer->flush();
    if (open_ascii_OK) return;  // the header went first
    write_ascii_header_lines();
    say("\n\n\tUTM Coordinates : ");
    X_min = answer_real([] { say("\n\t\tX_min ? "); }, finite_only);
    Y_min = answer_real([] { say("\t\tY_min ? "); }, finite_only);
    write_ascii_corner_lines();
    close_pending(pending_values, values_stream);
    append_pending(f2, pending_f2, pending_values);
}

void save() {
    PhaseTimer timer("save");
    if (format2 != 0 && format2 != 1) return;
    if (lines_written() != nb_lig4)
        fail("the output's lines were not all written during the treatment");
    if (format2 == 0) {
        ascii_saving();
        close_pending(pending_f2, f2);
        install_pending({&pending_f2});
    } else {
        save_raster();
    }
    forget_writers();
}

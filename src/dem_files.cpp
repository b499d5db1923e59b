// DEM files: name suffixes, the input descriptor, the raw-raster and ASCII-grid
// readers and the writers of the result. Text is read in large blocks and converted
// with from_chars, which gives the same correctly rounded doubles as "%lf".
#include "dem_files.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "answers.h"
#include "failure.h"
#include "fixed_text.h"
#include "host_files.h"
#include "phase_times.h"
#include "regrid.h"
#include "run_state.h"
#include "wide_rows.h"

const char* const base_directory = "c:\\images\\";

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

std::string number_text(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}
}  // namespace

void create_input_descriptor(const std::string& logical) {
    f1d = create_pending(pending_f1d, logical, "w");
}

namespace {
void forget_written_lines();
}

void create_output_files(const std::string& data_logical, const std::string& descriptor_logical) {
    forget_written_lines();
    if (format2 == 0) {
        f2 = create_pending(pending_f2, data_logical, "w");
    } else {
        f2 = create_pending(pending_f2, data_logical, "wb");
        f2d = create_pending(pending_f2d, descriptor_logical, "w");
    }
}

// --- Input files -------------------------------------------------------------------

std::FILE* open_input(const std::string& logical, bool raster) {
    const std::string host = host_path(logical);
    input_name = shown_name(logical);
    std::FILE* stream = std::fopen(host.c_str(), raster ? "rb" : "r");
    if (stream == nullptr) {
        if (errno != ENOENT) fail("cannot open " + shown_name(logical) + ": " + system_error());
        say("\n File %s unknown\n", logical.c_str());
        if (host != logical) report("the host path tried was " + host);
        wait_for_key();
        fail("");
    }
    struct stat st;
    if (fstat(fileno(stream), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail("cannot read " + shown_name(logical) + ": it is a directory");
        if (raster && S_ISREG(st.st_mode) && st.st_size == 0)
            fail(shown_name(logical) + " is empty: it holds no elevation");
    }
    return stream;
}

std::string geometry_problem(long long lines, long long columns) {
    const std::string size = std::to_string(lines) + " lines and " + std::to_string(columns) +
                             " columns";
    if (lines < 1 || columns < 1) return size + ": a grid needs at least one line and one column";
    if (lines > INT_MAX - 4 || columns > INT_MAX - 4) return size + ": too large to address";
    const std::uint64_t cells = static_cast<std::uint64_t>(lines + 4) *
                                static_cast<std::uint64_t>(columns + 4);
    if (cells > SIZE_MAX / 64) return size + ": too large to hold in memory";
    return "";
}

namespace {

[[noreturn]] void bad_geometry(const std::string& logical, const std::string& problem) {
    fail(shown_name(logical) + " gives " + problem);
}

// Reads whitespace-separated tokens from a text stream in large blocks.
class TokenReader {
public:
    TokenReader(std::FILE* stream, std::string name) : stream_(stream), name_(std::move(name)) {}

    // The next token, valid until the next call; false at the end of the file.
    bool next(std::string_view& token) {
        for (;;) {
            while (pos_ < end_ && is_blank(buffer_[pos_])) ++pos_;
            std::size_t stop = pos_;
            while (stop < end_ && !is_blank(buffer_[stop])) ++stop;
            if (stop < end_ || (at_eof_ && stop > pos_)) {
                token = std::string_view(buffer_.data() + pos_, stop - pos_);
                pos_ = stop;
                return true;
            }
            if (at_eof_) return false;
            refill();
        }
    }

private:
    // Keeps the unfinished token at the front and reads more after it.
    void refill() {
        const std::size_t kept = end_ - pos_;
        if (kept == buffer_.size())
            fail(name_ + " holds a word longer than " + std::to_string(buffer_.size()) +
                 " characters");
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
        pos_ = 0;
        end_ = kept + std::fread(buffer_.data() + kept, 1, buffer_.size() - kept, stream_);
        if (std::ferror(stream_)) fail("cannot read " + name_ + ": " + system_error());
        if (end_ < buffer_.size()) at_eof_ = true;
    }

    std::FILE* stream_;
    std::string name_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::size_t pos_ = 0, end_ = 0;
    bool at_eof_ = false;
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

std::string quoted(std::string_view token) {
    const std::size_t shown = 40;
    return "\"" + std::string(token.substr(0, shown)) + (token.size() > shown ? "...\"" : "\"");
}

}  // namespace

bool read_descriptor(const std::string& logical, int& val) {
    std::FILE* stream = std::fopen(host_path(logical).c_str(), "r");
    if (stream == nullptr) {
        if (errno == ENOENT) return false;
        fail("cannot open the descriptor " + shown_name(logical) + ": " + system_error());
    }
    f1d = stream;
    // scanf "%d" six times: each number is an optional sign and digits after any white
    // space; the first thing that is not a number ends the reading, like the end of the
    // file, and leaves the rest at 0.
    int* const targets[6] = {&nb_lig, &nb_col, &val, &mind, &maxd, &pix_size};
    int c = std::getc(stream);
    for (int* target : targets) {
        while (c != EOF && is_blank(c)) c = std::getc(stream);
        const bool negative = c == '-';
        if (c == '-' || c == '+') c = std::getc(stream);
        if (c < '0' || c > '9') break;
        long long v = 0;
        for (; c >= '0' && c <= '9'; c = std::getc(stream)) {
            v = v * 10 + (c - '0');
            if (v > static_cast<long long>(INT_MAX) + 1)
                fail("the descriptor " + shown_name(logical) + " holds a number beyond the int range");
        }
        if (negative) v = -v;
        if (v > INT_MAX) fail("the descriptor " + shown_name(logical) + " holds a number beyond the int range");
        *target = static_cast<int>(v);
    }
    if (std::ferror(stream)) fail("cannot read the descriptor " + shown_name(logical) + ": " + system_error());
    std::fclose(stream);
    f1d = nullptr;
    descr_OK = true;
    const std::string problem = geometry_problem(nb_lig, nb_col);
    if (!problem.empty()) bad_geometry(logical, problem);
    return true;
}

// --- Raw raster reader ---------------------------------------------------------------

namespace {

// Reads the raster a line at a time straight into its row of the raw grid, whose cells
// not read stay 0, and scans their range.
template <typename Cell>
void read_raster_lines(Cell** cells, int& min, int& max) {
    const std::size_t line_cells = static_cast<std::size_t>(nb_col);
    unsigned long long missing = 0;
    for (int i = 0; i < nb_lig; ++i) {
        const std::size_t got = std::fread(cells[i], sizeof(Cell), line_cells, f1);
        if (std::ferror(f1)) fail("cannot read " + input_name + ": " + system_error());
        // The cells not read are 0, the one the file ends inside too.
        std::fill(cells[i] + got, cells[i] + line_cells, Cell(0));
        missing += line_cells - got;
        if constexpr (sizeof(Cell) == 2)
            wide_rows.range16(cells[i], nb_col, min, max);
        else
            wide_rows.range32(cells[i], nb_col, min, max);
    }
    if (missing > 0) {
        report(input_name + " is shorter than " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + " cells: the " + std::to_string(missing) +
               " missing cells are taken as 0");
        return;
    }
    struct stat st;
    const long long expected = static_cast<long long>(nb_lig) * nb_col * static_cast<long long>(sizeof(Cell));
    if (fstat(fileno(f1), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > expected)
        report(input_name + " holds " + std::to_string(st.st_size - expected) +
               " bytes more than its " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + " cells; they are ignored");
}

const double unit_factor[4] = {1.0, 10.0, 100.0, 1000.0};

void ask_unit() {
    dyn_scale = answer_int(
        [] {
            say("\n\n\tAre these values\n\t\t0 ====> in meters");
            say("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters");
            say("\n\t\t3 ====> in millimeters\n\t\t");
        },
        [](int v) { return v >= 0 && v <= 3 ? std::string() : "the unit is one of 0, 1, 2 and 3"; });
    coef = unit_factor[dyn_scale];
}

}  // namespace

void dem_lecture() {
    PhaseTimer timer("reading");
    open_ascii_OK = false;
    make_raw_input();
    int min = 1000000, max = 0;
    if (itype == 0)
        read_raster_lines(jtab1, min, max);
    else
        read_raster_lines(itab1, min, max);
    say("\n\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);
    ask_unit();  // the cells are divided by it as the engine reads them

    if (!descr_OK) {
        if (std::fprintf(f1d, "%d\n%d\n%d\n", min, max, static_cast<int>(dpix_size)) < 0)
            fail("cannot write " + shown_name(pending_f1d.logical) + ": " + system_error());
        close_pending(pending_f1d, f1d);
        install_pending({&pending_f1d});
    }
}

// --- ASCII grid reader ---------------------------------------------------------------

void ascii_lecture() {
    say("\n");
    open_ascii_OK = true;
    coef = 1.0;
    const std::string& name = input_name;
    TokenReader tokens(f1, name);
    std::string_view token;

    const char* const pair_names[6] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize",
                                       "nodata_value"};
    int* const counts[2] = {&nb_col, &nb_lig};
    double* const reals[4] = {&X_min, &Y_min, &dpix_size, &nodata};
    for (int pair = 0; pair < 6; ++pair) {
        const std::string where = name + ": header pair " + std::to_string(pair + 1) + " (" +
                                  pair_names[pair] + ")";
        if (!tokens.next(token)) fail(where + " is missing: the file ends within its header");
        if (token.size() > 59) fail(where + ": the label is longer than 59 characters");
        double number;
        if (pair == 5 && parse_value(token, number))
            fail(name + ": the header lacks a pair: its sixth label is the number " +
                 quoted(token) + " (no nodata_value line?)");
        if (!tokens.next(token)) fail(where + " has no value: the file ends within its header");
        if (pair < 2) {
            if (!parse_int(std::string(token), *counts[pair]))
                fail(where + ": " + quoted(token) + " is not a whole number within the int range");
        } else if (!parse_value(token, *reals[pair - 2]) || !std::isfinite(*reals[pair - 2])) {
            fail(where + ": " + quoted(token) + " is not a finite number");
        }
    }
    if (!(std::fabs(dpix_size) < 2147483648.0))
        fail(name + ": the cellsize " + number_text(dpix_size) + " is beyond the int range");
    const std::string problem = geometry_problem(nb_lig, nb_col);
    if (!problem.empty()) fail(name + " gives " + problem);

    make_padded_input();
    unsigned long long nodata_cells = 0;
    for (int i = 0; i < nb_lig; ++i) {
        if (i > 0 && i % 100 == 0) say("\tline %d                   \r", i);
        double* row = dtab_in[i];
        for (int j = 0; j < nb_col; ++j) {
            const auto where = [i, j] {
                return " at line " + std::to_string(i) + ", column " + std::to_string(j);
            };
            if (!tokens.next(token))
                fail(name + " holds fewer values than its " + std::to_string(nb_lig) + " lines of " +
                     std::to_string(nb_col) + ": it ends" + where());
            if (!parse_value(token, row[j])) fail(name + ": " + quoted(token) + where() + " is not a number");
            if (!std::isfinite(row[j])) fail(name + ": " + quoted(token) + where() + " is not finite");
            if (row[j] == nodata) ++nodata_cells;
        }
    }
    pix_size = static_cast<int>(dpix_size);  // truncation toward zero
    if (tokens.next(token))
        report(name + " holds more values than its " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + "; the rest is ignored");
    if (nodata_cells > 0)
        report(std::to_string(nodata_cells) + " cells hold the no-data value " +
               number_text(nodata) + "; they are taken as elevations");
}

// --- Writers -------------------------------------------------------------------------

namespace {

void write_failed(const PendingFile& file) {
    fail("cannot write " + shown_name(file.logical) + ": " + system_error());
}

// Output line i as written: dmin_alt in the frame three cells wide, the padded grid's
// data cells inside.
void framed_line(int i, double* line) {
    std::fill(line, line + nb_col4, dmin_alt);
    if (i < 3 || i >= nb_lig4 - 3) return;
    const double* data = dtab_prov2[i + 3] + 3;
    for (int j = 3; j < nb_col4 - 3; ++j) line[j] = data[j];
}

// The raw raster, written a line at a time in order: during the engine's sweep, as
// each line is finished, or by save for the lines not written yet. The frame's cells
// are all the stored value of dmin_alt, converted once.
struct RasterLines {
    int written = 0;                 // lines written so far
    unsigned long long reduced = 0;  // cells stored by their low bits
    std::vector<std::uint16_t> narrow;
    std::vector<std::int32_t> wide;
    std::uint16_t narrow_frame = 0;
    std::int32_t wide_frame = 0;
    std::uint64_t frame_reduced = 0;  // 1 when the frame's value does not fit

    template <typename Cell>
    void write_line(std::vector<Cell>& cells, Cell frame,
                    std::uint64_t (*stored)(const double*, Cell*, int, double)) {
        const bool all_frame = written < 3 || written >= nb_lig4 - 3 || nb_col4 <= 6;
        const int inside = all_frame ? 0 : nb_col4 - 6;
        std::fill(cells.begin(), cells.end(), frame);
        if (inside > 0) reduced += stored(dtab_prov2[written + 3] + 6, cells.data() + 3, inside, coef);
        reduced += frame_reduced * static_cast<std::uint64_t>(nb_col4 - inside);
        const std::size_t bytes = cells.size() * sizeof(Cell);
        if (std::fwrite(cells.data(), 1, bytes, f2) != bytes) write_failed(pending_f2);
        // Every 32 MiB or so the lines written go to the device while the next are made.
        const std::size_t lines_per_handover = std::max<std::size_t>(1, (32u << 20) / bytes);
        ++written;
        if (static_cast<std::size_t>(written) % lines_per_handover == 0) start_writeback(f2);
    }

    void write_next() {
        const std::size_t n = static_cast<std::size_t>(nb_col4);
        if (itype2 == 0) {
            if (narrow.empty()) {
                narrow.resize(n);
                frame_reduced = wide_rows.stored16(&dmin_alt, &narrow_frame, 1, coef);
            }
            write_line(narrow, narrow_frame, wide_rows.stored16);
        } else {
            if (wide.empty()) {
                wide.resize(n);
                frame_reduced = wide_rows.stored32(&dmin_alt, &wide_frame, 1, coef);
            }
            write_line(wide, wide_frame, wide_rows.stored32);
        }
    }
};

RasterLines raster_lines;

void forget_written_lines() { raster_lines = RasterLines(); }

void save_raster() {
    const bool narrow = itype2 == 0;
    if (dtab_prov2 == nullptr && raster_lines.written < nb_lig4)
        fail("the output's lines were not all written during the treatment");
    while (raster_lines.written < nb_lig4) raster_lines.write_next();
    close_pending(pending_f2, f2);
    const int lines[6] = {nb_lig4,
                          nb_col4,
                          narrow ? 2 : 4,
                          static_cast<std::int32_t>(defined_stored_bits(dmin_alt, coef)),
                          static_cast<std::int32_t>(defined_stored_bits(dmax_alt, coef)),
                          static_cast<int>(pix_size_out)};
    for (int line : lines)
        if (std::fprintf(f2d, "%d\n", line) < 0) write_failed(pending_f2d);
    close_pending(pending_f2d, f2d);
    install_pending({&pending_f2, &pending_f2d});
    if (raster_lines.reduced > 0)
        report(std::to_string(raster_lines.reduced) + " cells do not fit " +
               (narrow ? "16-bit cells and were stored modulo 65536"
                       : "32-bit cells and were stored as their low 32 bits"));
    forget_written_lines();
}

std::string finite_only(double v) { return std::isfinite(v) ? "" : "a coordinate must be a finite number"; }

// Values as "%lf\t" prints them, into one large buffer.
void write_ascii_values() {
    std::vector<char> buffer(1 << 20);
    std::vector<double> line(static_cast<std::size_t>(nb_col4));
    std::size_t used = 0, flushes = 0;
    const std::size_t widest = lf_text_room + 1;  // and the tab
    for (int i = 0; i < nb_lig4; ++i) {
        framed_line(i, line.data());
        for (int j = 0; j < nb_col4; ++j) {
            if (buffer.size() - used < widest) {
                if (std::fwrite(buffer.data(), 1, used, f2) != used) write_failed(pending_f2);
                used = 0;
                if (++flushes % 32 == 0) start_writeback(f2);
            }
            char* end = lf_text(line[j], buffer.data() + used);  // room checked above
            *end = '\t';
            used = static_cast<std::size_t>(end + 1 - buffer.data());
        }
    }
    if (std::fwrite(buffer.data(), 1, used, f2) != used) write_failed(pending_f2);
}

}  // namespace

bool output_written_during_sweep() { return format2 == 1 && f2 != nullptr; }

std::uint64_t output_room() { return f2 == nullptr ? UINT64_MAX : free_space(pending_f2.temp_path); }

void output_row_finished(int padded_row) {
    // Output line i is padded row i + 3; rows come in order, each once.
    if (padded_row - 3 == raster_lines.written && raster_lines.written < nb_lig4) raster_lines.write_next();
}

void ascii_saving() {
    if (std::fprintf(f2, "ncols %d\n", nb_col4) < 0 || std::fprintf(f2, "nrows %d\n", nb_lig4) < 0)
        write_failed(pending_f2);
    if (!open_ascii_OK) {
        say("\n\n\tUTM Coordinates : ");
        X_min = answer_real([] { say("\n\t\tX_min ? "); }, finite_only);
        Y_min = answer_real([] { say("\t\tY_min ? "); }, finite_only);
    }
    if (std::fprintf(f2, "xllcorner %lf\n", X_min) < 0 || std::fprintf(f2, "yllcorner %lf\n", Y_min) < 0 ||
        std::fprintf(f2, "cellsize %lf\n", pix_size_out) < 0 ||
        std::fprintf(f2, "nodata_value -9999.9999\n") < 0)
        write_failed(pending_f2);
    write_ascii_values();
}

void save() {
    PhaseTimer timer("save");
    if (format2 == 0) {
        ascii_saving();
        close_pending(pending_f2, f2);
        install_pending({&pending_f2});
    } else if (format2 == 1) {
        save_raster();
    }
}

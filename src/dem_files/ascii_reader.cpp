// The ASCII grid's reading pass, its stored values and its line source.
#include "dem_files/ascii_reader.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "answers.h"
#include "dem_files/stored_lines.h"
#include "failure.h"
#include "host_files.h"
#include "phase_times.h"
#include "wide_rows.h"

namespace {

// Every value takes at least one character and a separator, the last but its separator:
// a header claiming more than the rest of the file can hold is refused before the grid
// is made.
void check_values_fit(std::FILE* stream, std::uint64_t header_bytes, const std::string& name,
                      int nb_lig, int nb_col) {
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

// The padded input of an ASCII grid, its values read again from the file as the sweep
// asks for their lines; the reading pass has checked every one. The text is read in
// order, so this source has no `another`.
class AsciiLines {
public:
    AsciiLines(std::FILE* file, std::uint64_t offset, const std::string& shown, int lines,
               int columns)
        : tokens_(at(file, offset, shown), shown),
          shown_(shown),
          lines_(lines),
          columns_(columns),
          window_(
              columns, [this](int, double* data) { make(data); }, true) {}

    const double* line(int row) { return window_.line(row, lines_); }
    void forget(int row) { window_.forget(row); }

private:
    static std::FILE* at(std::FILE* file, std::uint64_t offset, const std::string& shown) {
        if (!seek_to(file, offset)) fail("cannot read " + shown + " again: " + system_error());
        return file;
    }

    void make(double* data) {
        std::string_view token;
        for (int j = 0; j < columns_; ++j)
            if (!tokens_.next(token) || !parse_value(token, data[j]) || !std::isfinite(data[j]))
                fail(shown_ + " changed while it was being read");
        mark_voids(data, columns_, void_value);
    }

    TokenReader tokens_;
    std::string shown_;
    int lines_, columns_;
    LineWindow window_;

public:
    double void_value = NAN;  // cells made NaN as they are read
};

}  // namespace

AsciiReader::AsciiReader(std::FILE* file, std::string logical, std::string shown)
    : file_(file), logical_(std::move(logical)), shown_(std::move(shown)) {}

AsciiReader::~AsciiReader() {
    drop_stored_values();
    if (file_ != nullptr) std::fclose(file_);
}

const AsciiHeader& AsciiReader::read_header() {
    TokenReader tokens(file_, shown_);
    read_ascii_header(tokens, shown_, header_);
    if (!(std::fabs(header_.cell_size) < 2147483648.0))
        fail(shown_ + ": the cellsize " + number_text(header_.cell_size) +
             " is beyond the int range");
    const std::string problem = geometry_problem(header_.lines, header_.columns);
    if (!problem.empty()) fail(shown_ + " gives " + problem);
    check_values_fit(file_, tokens.offset(), shown_, header_.lines, header_.columns);
    if (!can_seek(file_))
        fail("cannot read " + shown_ + ": the sweep reads its values again, so it must be a file");
    values_offset_ = tokens.offset();
    values_place_ = tokens.place();
    return header_;
}

void AsciiReader::drop_stored_values() {
    if (stored_ != nullptr) std::fclose(stored_);
    stored_ = nullptr;
}

// The file for the parsed values, when the free space beside the input holds them with
// room to spare for the output.
void AsciiReader::start_stored_values() {
    drop_stored_values();
    const std::uint64_t bytes =
        8 * static_cast<std::uint64_t>(header_.lines) * static_cast<std::uint64_t>(header_.columns);
    if (free_space(host_path(logical_)) / 2 < bytes) return;
    stored_ = create_anonymous_beside(logical_);
}

// One line of parsed values to the file, or null when the last is written; a file that
// cannot take them is given up for the parsing again.
void AsciiReader::store_values(const double* row) {
    if (stored_ == nullptr) return;
    const std::size_t n = static_cast<std::size_t>(header_.columns);
    const bool written = row != nullptr ? std::fwrite(row, sizeof(double), n, stored_) == n
                                        : std::fflush(stored_) == 0;
    if (!written) drop_stored_values();
}

void AsciiReader::scan(const std::function<void(int line)>& progress) {
    PhaseTimer timer("reading");
    if (!seek_to(file_, values_offset_)) fail("cannot read " + shown_ + ": " + system_error());
    start_stored_values();
    TokenReader tokens(file_, shown_);
    tokens.start_at(values_place_);
    const std::string& name = shown_;
    const int nb_lig = header_.lines, nb_col = header_.columns;
    std::vector<double> row(static_cast<std::size_t>(nb_col));
    lowest_ = valid_lowest_ = std::numeric_limits<double>::infinity();
    highest_ = valid_highest_ = -std::numeric_limits<double>::infinity();
    nodata_cells_ = 0;
    unsigned long long voids_in_rows = 0;
    std::string_view token;
    for (int i = 0; i < nb_lig; ++i) {
        if (i > 0 && i % 100 == 0 && progress) progress(i);
        for (int j = 0; j < nb_col; ++j) {
            // Where a value stands: the file's line and its field there, from 1.
            const auto where = [&tokens] {
                return " on line " + std::to_string(tokens.line()) + ", field " +
                       std::to_string(tokens.field());
            };
            if (!tokens.next(token))
                fail(name + " holds fewer values than its " + std::to_string(nb_lig) +
                     " lines of " + std::to_string(nb_col) + ": it ends after " +
                     std::to_string(static_cast<unsigned long long>(i) * nb_col + j) +
                     " values, on line " + std::to_string(tokens.line()));
            if (!parse_value(token, row[j]))
                fail(name + ": " + quoted(token) + where() + " is not a number" +
                     (token.find(',') != std::string_view::npos
                          ? " (values must be separated by blanks, not commas)"
                          : ""));
            if (header_.has_nodata && is_nodata(row[j], header_.nodata)) {
                if (!std::isfinite(row[j]))
                    fail(name + ": " + quoted(token) + where() + " is the grid's no-data value " +
                         number_text(header_.nodata) +
                         ": this program takes no-data cells as elevations, and an elevation must "
                         "be a finite number");
                ++nodata_cells_;
            }
            if (!std::isfinite(row[j]))
                fail(name + ": " + quoted(token) + where() + " is not finite");
        }
        const unsigned long long voids_before = voids_in_rows;
        wide_rows.fold_range(row.data(), nb_col, lowest_, highest_);
        voids_in_rows = nodata_cells_;
        if (voids_in_rows == voids_before) {
            wide_rows.fold_range(row.data(), nb_col, valid_lowest_, valid_highest_);
        } else {
            for (int j = 0; j < nb_col; ++j)
                if (!is_nodata(row[j], header_.nodata)) {
                    if (valid_lowest_ > row[j]) valid_lowest_ = row[j];
                    if (valid_highest_ < row[j]) valid_highest_ = row[j];
                }
        }
        store_values(row.data());
    }
    store_values(nullptr);
    if (tokens.next(token))
        report(name + " holds more values than its " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + "; the rest is ignored");
}

LineSource AsciiReader::source(bool voids_as_nan) const {
    const bool voids = voids_as_nan && header_.has_nodata;
    const double void_value = voids ? header_.nodata : NAN;
    LineSource source;
    if (stored_ != nullptr) {
        source = stored_lines(stored_, shown_, CellType::real64, header_.lines, header_.columns,
                              1.0, void_value);
    } else {
        const auto lines = std::make_shared<AsciiLines>(file_, values_offset_, shown_,
                                                        header_.lines, header_.columns);
        lines->void_value = void_value;
        source = LineSource{[lines](int row) { return lines->line(row); },
                            [lines](int row) { lines->forget(row); }};
    }
    source.lowest = voids ? valid_lowest_ : lowest_;
    source.highest = voids ? valid_highest_ : highest_;
    return source;
}

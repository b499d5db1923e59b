// The ASCII grid's reading pass, its stored values and its line source.
#include "dem_files/ascii_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "answers.h"
#include "dem_files/stored_lines.h"
#include "failure.h"
#include "host_files.h"
#include "host_memory.h"
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
        if (sums)
            sums->check(row_++, data, static_cast<std::size_t>(columns_) * sizeof(double), shown_);
        mark_voids(data, columns_, void_value);
    }

    TokenReader tokens_;
    std::string shown_;
    int lines_, columns_;
    LineWindow window_;

    int row_ = 0;  // the data line made next: the text is read in order

public:
    double void_value = NAN;               // cells made NaN as they are read
    std::shared_ptr<const LineSums> sums;  // the reading pass's, checked line by line
};

// The values' text read in order, in chunks of up to 2 MiB cut between words, each chunk
// cut in pieces between words that the cores parse at once (parse_piece). A word cut by
// a chunk's end goes whole into the next chunk.
class PieceReader {
public:
    PieceReader(std::FILE* file, const std::string& shown)
        : file_(file), shown_(shown), threads_(std::max(1, usable_cores())) {}

    // The next chunk's pieces, parsed, with their texts (valid until the next call);
    // false at the end of the file.
    bool next(std::vector<std::string_view>& texts, std::vector<ParsedPiece>& pieces) {
        std::memmove(buffer_.data(), buffer_.data() + cut_, filled_ - cut_);
        filled_ -= cut_;
        cut_ = 0;
        if (!at_end_) {
            const std::size_t want = buffer_.size() - filled_;
            const std::size_t got = std::fread(buffer_.data() + filled_, 1, want, file_);
            if (std::ferror(file_)) fail("cannot read " + shown_ + ": " + system_error());
            filled_ += got;
            at_end_ = got < want;
        }
        if (filled_ == 0) return false;
        cut_ = filled_;
        if (!at_end_) {
            while (cut_ > 0 && !is_blank(buffer_[cut_ - 1])) --cut_;
            if (cut_ == 0)  // one word fills the buffer
                fail(shown_ + " holds a word longer than " + std::to_string(word_limit) +
                     " characters");
        }
        split(texts);
        pieces.resize(texts.size());
        parse(texts, pieces);
        return true;
    }

private:
    // Pieces of about equal size, each boundary moved on to the next blank.
    void split(std::vector<std::string_view>& texts) const {
        const std::size_t count = cut_ < (std::size_t{64} << 10) ? 1 : threads_;
        texts.clear();
        std::size_t from = 0;
        for (std::size_t k = 1; k <= count; ++k) {
            std::size_t to = k == count ? cut_ : std::max(from, cut_ / count * k);
            while (to < cut_ && !is_blank(buffer_[to])) ++to;
            texts.emplace_back(buffer_.data() + from, to - from);
            from = to;
        }
    }

    void parse(const std::vector<std::string_view>& texts, std::vector<ParsedPiece>& pieces) const {
        std::vector<std::thread> helpers;
        std::vector<std::exception_ptr> errors(texts.size());
        const auto one = [&](std::size_t k) {
            try {
                parse_piece(texts[k], pieces[k]);
            } catch (...) {
                errors[k] = std::current_exception();
            }
        };
        std::size_t k = 1;
        try {
            for (; k < texts.size(); ++k) helpers.emplace_back(one, k);
        } catch (const std::system_error&) {
            // Fewer threads: the caller parses the pieces left.
        }
        one(0);
        for (std::size_t rest = k; rest < texts.size(); ++rest) one(rest);
        for (std::thread& helper : helpers) helper.join();
        for (const std::exception_ptr& error : errors)
            if (error) std::rethrow_exception(error);
    }

    std::FILE* file_;
    const std::string& shown_;
    std::size_t threads_;
    std::vector<char> buffer_ = std::vector<char>(2 * word_limit);
    std::size_t filled_ = 0, cut_ = 0;  // bytes read, and those of the current chunk
    bool at_end_ = false;
};

// Word `w` of a piece that starts at `place`, and where it stands: its line and its
// field on that line, from 1.
std::string_view word_of(std::string_view text, std::size_t w, TokenReader::Place place, int& line,
                         int& field) {
    std::size_t seen = 0, at = 0;
    for (;;) {
        while (is_blank(text[at])) {
            if (text[at] == '\n') {
                ++place.line;
                place.fields_before = 0;
            }
            ++at;
        }
        std::size_t stop = at;
        while (stop < text.size() && !is_blank(text[stop])) ++stop;
        ++place.fields_before;
        if (seen++ == w) {
            line = place.line;
            field = place.fields_before;
            return text.substr(at, stop - at);
        }
        at = stop;
    }
}

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

// The pieces are parsed on every core; here they are taken in order, as one reading of
// the words would take them: each value into its line, each line folded into the range
// and stored, and the first fault in the file's order told where it stands.
void AsciiReader::scan(const std::function<void(int line)>& progress) {
    PhaseTimer timer("reading");
    if (!seek_to(file_, values_offset_)) fail("cannot read " + shown_ + ": " + system_error());
    const std::string memory = memory_refusal(LineSums::bytes(header_.lines));
    if (!memory.empty())
        fail("the sums that check " + shown_ + "'s lines as they are read again " + memory);
    sums_ = std::make_shared<LineSums>(header_.lines);
    start_stored_values();
    const std::string& name = shown_;
    const int nb_lig = header_.lines, nb_col = header_.columns;
    const unsigned long long needed = static_cast<unsigned long long>(nb_lig) * nb_col;
    std::vector<double> row(static_cast<std::size_t>(nb_col));
    lowest_ = valid_lowest_ = std::numeric_limits<double>::infinity();
    highest_ = valid_highest_ = -std::numeric_limits<double>::infinity();
    nodata_cells_ = 0;
    unsigned long long taken = 0, nodata_before = 0;
    int i = 0, j = 0;
    TokenReader::Place place = values_place_;  // where the reading stands
    int last_word_line = values_place_.line;   // of the last word read
    bool more = false;                         // a word follows the grid's values
    PieceReader reader(file_, shown_);
    std::vector<std::string_view> texts;
    std::vector<ParsedPiece> pieces;
    while (!more && reader.next(texts, pieces)) {
        for (std::size_t k = 0; k < pieces.size() && !more; ++k) {
            const ParsedPiece& piece = pieces[k];
            for (std::size_t w = 0; w < piece.words; ++w) {
                if (taken == needed) {  // the first word after the values
                    int line, field;
                    if (w == piece.values.size() &&
                        word_of(texts[k], w, place, line, field).size() >= word_limit)
                        fail(name + " holds a word longer than " + std::to_string(word_limit) +
                             " characters");
                    more = true;
                    break;
                }
                if (w == piece.values.size()) fault(texts[k], w, place);
                const double v = piece.values[w];
                if (header_.has_nodata && v == header_.nodata) ++nodata_cells_;
                row[static_cast<std::size_t>(j)] = v;
                ++taken;
                if (++j == nb_col) {
                    sums_->set(i, LineSums::of(row.data(), row.size() * sizeof(double)));
                    wide_rows.fold_range(row.data(), nb_col, lowest_, highest_);
                    fold_valid_range(row.data(), nb_col, nodata_cells_ > nodata_before);
                    nodata_before = nodata_cells_;
                    store_values(row.data());
                    j = 0;
                    if (++i < nb_lig && i % 100 == 0 && progress) progress(i);
                }
            }
            if (piece.words > 0) last_word_line = place.line + piece.last_word_line_ends;
            place.line += piece.line_ends;
            place.fields_before =
                piece.line_ends > 0 ? piece.fields : place.fields_before + piece.fields;
        }
    }
    if (taken < needed)
        fail(name + " holds fewer values than its " + std::to_string(nb_lig) + " lines of " +
             std::to_string(nb_col) + ": it ends after " + std::to_string(taken) +
             " values, on line " + std::to_string(last_word_line));
    store_values(nullptr);
    if (more)
        report(name + " holds more values than its " + std::to_string(nb_lig) + " lines of " +
               std::to_string(nb_col) + "; the rest is ignored");
}

void AsciiReader::fold_valid_range(const double* row, int columns, bool voids) {
    if (!voids) {
        wide_rows.fold_range(row, columns, valid_lowest_, valid_highest_);
        return;
    }
    for (int j = 0; j < columns; ++j)
        if (row[j] != header_.nodata) {
            if (valid_lowest_ > row[j]) valid_lowest_ = row[j];
            if (valid_highest_ < row[j]) valid_highest_ = row[j];
        }
}

// Word w of a piece starting at `place` is not a finite number, or too long: the message
// a reading word by word gives there.
void AsciiReader::fault(std::string_view text, std::size_t w,
                        const TokenReader::Place& place) const {
    const std::string& name = shown_;
    int line, field;
    const std::string_view token = word_of(text, w, place, line, field);
    if (token.size() >= word_limit)
        fail(name + " holds a word longer than " + std::to_string(word_limit) + " characters");
    const std::string where =
        " on line " + std::to_string(line) + ", field " + std::to_string(field);
    double v;
    if (!parse_value(token, v))
        fail(name + ": " + quoted(token) + where + " is not a number" +
             (token.find(',') != std::string_view::npos
                  ? " (values must be separated by blanks, not commas)"
                  : ""));
    if (header_.has_nodata && is_nodata(v, header_.nodata))
        fail(name + ": " + quoted(token) + where + " is the grid's no-data value " +
             number_text(header_.nodata) +
             ", which is not a finite number: this program reads voids marked by a finite "
             "no-data value only (such as -9999)");
    fail(name + ": " + quoted(token) + where + " is not finite");
}

LineSource AsciiReader::source(bool voids_as_nan) const {
    const bool voids = voids_as_nan && header_.has_nodata;
    const double void_value = voids ? header_.nodata : NAN;
    LineSource source;
    if (stored_ != nullptr) {
        StoredCells stored;  // the run's own file of the parsed values
        stored.file = stored_;
        stored.shown = shown_;
        stored.lines = header_.lines;
        stored.columns = header_.columns;
        stored.void_value = void_value;
        source = stored_lines(stored);
    } else {
        const auto lines = std::make_shared<AsciiLines>(file_, values_offset_, shown_,
                                                        header_.lines, header_.columns);
        lines->void_value = void_value;
        lines->sums = sums_;
        source = LineSource{[lines](int row) { return lines->line(row); },
                            [lines](int row) { lines->forget(row); }};
    }
    source.lowest = voids ? valid_lowest_ : lowest_;
    source.highest = voids ? valid_highest_ : highest_;
    return source;
}

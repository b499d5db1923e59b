// The header of an ASCII grid: label and value pairs, read by position as the grid's
// own writer orders them, with the variants other GIS tools write.
#include "dem_files/ascii_header.h"

#include <cmath>
#include <string>

#include "answers.h"
#include "failure.h"

namespace {

constexpr char pair_names[6][13] = {"ncols",     "nrows",    "xllcorner",
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
class HeaderPairs {
public:
    HeaderPairs(TokenReader& tokens, const std::string& name) : tokens_(tokens), name_(name) {}

    // Reads the header into `h`; returns whether it gives a no-data value.
    bool read(AsciiHeader& h) {
        const std::string first = label(0);
        const int count1 = count(0);
        const std::string second = label(1);
        const int count2 = count(1);
        // Read by position, nrows first would transpose the grid without a sign.
        const bool rows_first = first == "nrows" && second == "ncols";
        h.columns = rows_first ? count2 : count1;
        h.lines = rows_first ? count1 : count2;
        if (rows_first)
            report(name_ + ": its header gives nrows before ncols; each is read by its label");

        const std::string x_label = label(2);
        h.x_min = finite(2);
        const std::string y_label = label(3);
        h.y_min = finite(3);
        if (x_label == "xllcenter" || y_label == "yllcenter")
            report(name_ + ": its header gives the centre of the lower-left cell (" + x_label +
                   ", " + y_label +
                   "), which is taken as its corner: the output's corner is then half a cell off");

        const std::string size_label = label(4);
        h.cell_size = finite(4);
        std::string_view token;
        if (!next_label(5, token)) return false;
        if (size_label == "dx" && lower_case(token) == "dy") {
            const double dy = finite(5);
            if (dy != h.cell_size)
                fail(name_ + ": its cells are not square (dx " + number_text(h.cell_size) +
                     ", dy " + number_text(dy) +
                     "): this program needs square cells (GDAL writes cellsize with -co "
                     "FORCE_CELLSIZE=YES)");
            if (!next_label(5, token)) return false;
        }
        h.nodata = any_number(5);
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

}  // namespace

bool read_ascii_header(TokenReader& tokens, const std::string& name, AsciiHeader& header) {
    header.has_nodata = HeaderPairs(tokens, name).read(header);
    return header.has_nodata;
}

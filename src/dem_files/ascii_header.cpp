// The header of an ASCII grid: label and value pairs, read by their labels where all are
// known, otherwise by position as the grid's own writer orders them.
#include "dem_files/ascii_header.h"

#include <cmath>
#include <string>
#include <vector>

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

// A label and its value as the header gives them, and where the pair stands.
struct Pair {
    std::string label;  // in lower case
    std::string value;
    int position;  // 0 for the header's first pair
};

// The roles a pair can play, in the order the grid's own writer gives them.
enum Role { columns_role, lines_role, x_role, y_role, size_role, nodata_role, dy_role, roles };

// The role a known label names, or -1.
int role_of(const std::string& label) {
    if (label == "ncols") return columns_role;
    if (label == "nrows") return lines_role;
    if (label == "xllcorner" || label == "xllcenter") return x_role;
    if (label == "yllcorner" || label == "yllcenter") return y_role;
    if (label == "cellsize" || label == "dx") return size_role;
    if (label == "dy") return dy_role;
    if (label == "nodata_value" || label == "nodata") return nodata_role;
    return -1;
}

bool looks_like_a_number(std::string_view token) {
    const char c = token.empty() ? ' ' : token[0];
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
}

// The header's pairs, label then value. Where every label is a known one, each pair
// is read by its label, whatever their order; otherwise by position, as the grid's own
// writer orders them, with the variants other GIS tools write: no no-data pair, nrows
// before ncols, the centre of the corner cell, and dx/dy for the cell size.
class HeaderPairs {
public:
    HeaderPairs(TokenReader& tokens, const std::string& name) : tokens_(tokens), name_(name) {}

    // Reads the header into `h`; returns whether it gives a no-data value.
    bool read(AsciiHeader& h) {
        collect();
        const Pair* by_role[roles] = {};
        if (!by_labels(by_role)) by_position(by_role);
        note_order(by_role);

        h.columns = count(*by_role[columns_role], columns_role);
        h.lines = count(*by_role[lines_role], lines_role);
        h.x_min = finite(*by_role[x_role], x_role);
        h.y_min = finite(*by_role[y_role], y_role);
        const std::string& x_label = by_role[x_role]->label;
        const std::string& y_label = by_role[y_role]->label;
        h.x_centre = x_label == "xllcenter";
        h.y_centre = y_label == "yllcenter";
        if (h.x_centre || h.y_centre)
            report(name_ + ": its header gives the centre of the lower-left cell (" + x_label +
                   ", " + y_label +
                   "), which is taken as its corner: the output's corner is then half a cell off");
        h.cell_size = finite(*by_role[size_role], size_role);
        if (!(h.cell_size > 0))
            fail(where(*by_role[size_role], size_role) + ": the cell size must be positive, not " +
                 number_text(h.cell_size));
        if (by_role[dy_role] != nullptr) {
            const double dy = finite(*by_role[dy_role], dy_role);
            if (dy != h.cell_size)
                fail(name_ + ": its cells are not square (dx " + number_text(h.cell_size) +
                     ", dy " + number_text(dy) +
                     "): this program needs square cells; resample the grid to square cells "
                     "first (for instance gdalwarp -tr " +
                     number_text(std::fmin(h.cell_size, std::fabs(dy))) + " " +
                     number_text(std::fmin(h.cell_size, std::fabs(dy))) + ")");
        }
        if (by_role[nodata_role] == nullptr) return false;
        h.nodata = any_number(*by_role[nodata_role], nodata_role);
        return true;
    }

private:
    // The pairs up to the first value: five at least, six with a no-data pair, seven
    // with dx and dy.
    void collect() {
        for (;;) {
            const int position = static_cast<int>(pairs_.size());
            const bool optional = position >= 5;
            std::string_view token;
            if (!tokens_.next(token)) {
                if (optional) return;  // no values at all: the reading of values says so
                check_so_far();
                fail(where_position(position) + " is missing: the file ends within its header");
            }
            if (looks_like_a_number(token)) {
                double number;
                if (optional && parse_value(token, number)) {
                    tokens_.put_back();  // the grid's first value
                    return;
                }
                if (optional)
                    fail(name_ + ": " + quoted(token) + " on line " +
                         std::to_string(tokens_.line()) + ", field " +
                         std::to_string(tokens_.field()) + " is not a number" +
                         (token.find(',') != std::string_view::npos
                              ? " (values must be separated by blanks, not commas)"
                              : ""));
                check_so_far();
                fail(where_position(position) + " is missing: " + quoted(token) + " on line " +
                     std::to_string(tokens_.line()) + " stands where its label should be");
            }
            if (token.size() > 59)
                fail(where_position(position) + ": the label is longer than 59 characters");
            Pair pair{lower_case(token), "", position};
            if (!tokens_.next(token)) {
                check_so_far();
                fail(where_position(position) + " has no value: the file ends within its header");
            }
            pair.value = std::string(token);
            pairs_.push_back(pair);
            const bool dx_dy =
                pairs_.size() == 6 && pairs_[4].label == "dx" && pairs_[5].label == "dy";
            if (pairs_.size() == 7 || (pairs_.size() == 6 && !dx_dy)) return;
        }
    }

    // A header that ends early: the values of the pairs it gives are checked first, in
    // their order, as their positions take them, so that the first fault is the one told.
    void check_so_far() const {
        for (const Pair& pair : pairs_) {
            const int role = pair.position < nodata_role ? pair.position : nodata_role;
            if (role <= lines_role)
                count(pair, role);
            else if (role < nodata_role)
                finite(pair, role);
            else
                any_number(pair, role);
        }
    }

    // Every label known and each role given once (dx with dy): by label.
    bool by_labels(const Pair* by_role[roles]) const {
        for (const Pair& pair : pairs_) {
            const int role = role_of(pair.label);
            if (role < 0 || by_role[role] != nullptr) return false;
            by_role[role] = &pair;
        }
        const bool dx = by_role[size_role] != nullptr && by_role[size_role]->label == "dx";
        if (dx != (by_role[dy_role] != nullptr)) return false;
        for (int role = columns_role; role <= size_role; ++role)
            if (by_role[role] == nullptr) return false;
        return true;
    }

    // By position: labels are not compared, but for nrows before ncols and dx with dy.
    void by_position(const Pair* by_role[roles]) const {
        for (int role = 0; role < roles; ++role) by_role[role] = nullptr;
        const bool rows_first = pairs_[0].label == "nrows" && pairs_[1].label == "ncols";
        by_role[columns_role] = &pairs_[rows_first ? 1 : 0];
        by_role[lines_role] = &pairs_[rows_first ? 0 : 1];
        by_role[x_role] = &pairs_[2];
        by_role[y_role] = &pairs_[3];
        by_role[size_role] = &pairs_[4];
        std::size_t next = 5;
        if (pairs_.size() > 5 && pairs_[4].label == "dx" && pairs_[5].label == "dy")
            by_role[dy_role] = &pairs_[next++];
        if (pairs_.size() > next) by_role[nodata_role] = &pairs_[next];
    }

    // A header read by its labels in another order than the usual one is worth a note.
    void note_order(const Pair* const by_role[roles]) const {
        for (int a = columns_role; a < nodata_role; ++a)
            for (int b = a + 1; b <= nodata_role; ++b)
                if (by_role[a] != nullptr && by_role[b] != nullptr &&
                    by_role[b]->position < by_role[a]->position) {
                    report(name_ + ": its header gives " + by_role[b]->label + " before " +
                           by_role[a]->label + "; each is read by its label");
                    return;
                }
    }

    std::string where_position(int position) const {
        const int role = position < nodata_role ? position : nodata_role;
        return name_ + ": header pair " + std::to_string(position + 1) + " (" + pair_names[role] +
               ")";
    }

    std::string where(const Pair& pair, int role) const {
        return name_ + ": header pair " + std::to_string(pair.position + 1) + " (" +
               (role == dy_role ? "dy" : pair_names[role]) + ")";
    }

    int count(const Pair& pair, int role) const {
        int n = 0;
        const IntWord kind = read_int(pair.value, n);
        if (kind != IntWord::whole) fail(where(pair, role) + ": " + int_refusal(pair.value, kind));
        return n;
    }

    double finite(const Pair& pair, int role) const {
        double v = 0.0;
        if (!parse_value(pair.value, v) || !std::isfinite(v))
            fail(where(pair, role) + ": " + quoted(pair.value) + " is not a finite number");
        return v;
    }

    // The no-data value is never applied, so "nan" or "inf" do no harm there.
    double any_number(const Pair& pair, int role) const {
        double v = 0.0;
        if (!parse_value(pair.value, v))
            fail(where(pair, role) + ": " + quoted(pair.value) + " is not a number");
        return v;
    }

    TokenReader& tokens_;
    const std::string& name_;
    std::vector<Pair> pairs_;
};

}  // namespace

bool read_ascii_header(TokenReader& tokens, const std::string& name, AsciiHeader& header) {
    header.has_nodata = HeaderPairs(tokens, name).read(header);
    return header.has_nodata;
}

// Lines of stored cells read at any place, widened and divided by the unit in vectors.
#include "dem_files/stored_lines.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "failure.h"
#include "host_files.h"
#include "wide_rows.h"

namespace {

template <typename Cell>
class StoredLines {
public:
    StoredLines(std::FILE* file, std::string shown, int lines, int columns, double unit,
                double void_value)
        : file_(file),
          shown_(std::move(shown)),
          lines_(lines),
          columns_(columns),
          unit_(unit),
          void_value_(void_value),
          cells_(std::is_same_v<Cell, double> ? 0 : static_cast<std::size_t>(columns)),
          window_(
              columns, [this](int i, double* data) { make(i, data); }, false) {}

    const double* line(int row) { return window_.line(row, lines_); }
    void forget(int row) { window_.forget(row); }

private:
    void make(int i, double* data) {
        const std::size_t bytes = static_cast<std::size_t>(columns_) * sizeof(Cell);
        Cell* cells = cells_.empty() ? reinterpret_cast<Cell*>(data) : cells_.data();
        std::size_t got = 0;
        if (!read_at(file_, cells, bytes, static_cast<std::uint64_t>(i) * bytes, got))
            fail("cannot read " + shown_ + ": " + system_error());
        const std::size_t whole = got / sizeof(Cell);  // a cell the file ends inside is 0
        std::fill(cells + whole, cells + columns_, Cell(0));
        if constexpr (std::is_same_v<Cell, std::uint16_t>)
            wide_rows.widen16(cells, data, columns_, unit_);
        else if constexpr (std::is_same_v<Cell, std::int32_t>)
            wide_rows.widen32(cells, data, columns_, unit_);
        mark_voids(data, columns_, void_value_);
    }

    std::FILE* file_;
    std::string shown_;
    int lines_, columns_;
    double unit_, void_value_;
    std::vector<Cell> cells_;  // raw cells before their conversion; doubles are read in place
    LineWindow window_;
};

template <typename Cell>
LineSource source_of(std::FILE* file, const std::string& shown, int lines, int columns, double unit,
                     double void_value) {
    const auto stored =
        std::make_shared<StoredLines<Cell>>(file, shown, lines, columns, unit, void_value);
    LineSource source{[stored](int row) { return stored->line(row); },
                      [stored](int row) { stored->forget(row); }};
    source.another = [=] { return source_of<Cell>(file, shown, lines, columns, unit, void_value); };
    return source;
}

}  // namespace

LineSource stored_lines(std::FILE* file, const std::string& shown, CellType type, int lines,
                        int columns, double unit, double void_value) {
    switch (type) {
        case CellType::unsigned16:
            return source_of<std::uint16_t>(file, shown, lines, columns, unit, void_value);
        case CellType::signed32:
            return source_of<std::int32_t>(file, shown, lines, columns, unit, void_value);
        default:
            return source_of<double>(file, shown, lines, columns, 1.0, void_value);
    }
}

void mark_voids(double* cells, int columns, double void_value) {
    if (std::isnan(void_value)) return;
    for (int j = 0; j < columns; ++j)
        if (cells[j] == void_value) cells[j] = NAN;
}

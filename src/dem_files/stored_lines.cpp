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
    explicit StoredLines(const StoredCells& stored)
        : s_(stored),
          cells_(std::is_same_v<Cell, double> ? 0 : static_cast<std::size_t>(stored.columns)),
          window_(
              stored.columns, [this](int i, double* data) { make(i, data); }, false) {}

    const double* line(int row) { return window_.line(row, s_.lines); }
    void forget(int row) { window_.forget(row); }

private:
    void make(int i, double* data) {
        const int columns = s_.columns;
        const std::size_t bytes = static_cast<std::size_t>(columns) * sizeof(Cell);
        Cell* cells = cells_.empty() ? reinterpret_cast<Cell*>(data) : cells_.data();
        std::size_t got = 0;
        if (!read_at(s_.file, cells, bytes, static_cast<std::uint64_t>(i) * bytes, got))
            fail("cannot read " + s_.shown + ": " + system_error());
        if (s_.sums) s_.sums->check(i, cells, got, s_.shown);  // the bytes the file holds
        const std::size_t whole = got / sizeof(Cell);          // a cell the file ends inside is 0
        std::fill(cells + whole, cells + columns, Cell(0));
        if constexpr (std::is_same_v<Cell, std::uint16_t>)
            wide_rows.widen16(cells, data, columns, s_.unit);
        else if constexpr (std::is_same_v<Cell, std::int32_t>)
            wide_rows.widen32(cells, data, columns, s_.unit);
        mark_voids(data, columns, s_.void_value);
    }

    StoredCells s_;
    std::vector<Cell> cells_;  // raw cells before their conversion; doubles are read in place
    LineWindow window_;
};

template <typename Cell>
LineSource source_of(const StoredCells& stored) {
    const auto lines = std::make_shared<StoredLines<Cell>>(stored);
    LineSource source{[lines](int row) { return lines->line(row); },
                      [lines](int row) { lines->forget(row); }};
    source.another = [stored] { return source_of<Cell>(stored); };
    return source;
}

}  // namespace

LineSource stored_lines(const StoredCells& stored) {
    switch (stored.type) {
        case CellType::unsigned16:
            return source_of<std::uint16_t>(stored);
        case CellType::signed32:
            return source_of<std::int32_t>(stored);
        default:
            return source_of<double>(stored);
    }
}

void mark_voids(double* cells, int columns, double void_value) {
    if (std::isnan(void_value)) return;
    for (int j = 0; j < columns; ++j)
        if (cells[j] == void_value) cells[j] = NAN;
}

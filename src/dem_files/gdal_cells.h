// Cells of a GDAL output type: a no-data value the type can hold, and each line of
// doubles converted to the type by GDAL's own conversion, with the cells it clamps
// counted and the valid cells that would read back as no data moved just beyond it.
#pragma once

#include <gdal.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "wide_rows.h"

// Whether GDAL's masks and statistics take a real v of a band of type T for the no-data
// value: equal to it, or within two float epsilons of it relative to their sum,
// computed in T.
template <typename T>
bool reads_as_nodata(T v, T nodata) {
    return v == nodata ||
           std::abs(v - nodata) < std::numeric_limits<float>::epsilon() * std::abs(v + nodata) * 2;
}

// The same for a cell of `type` holding `value`: compared in that type, reals within
// the tolerance, whole numbers as they are, a NaN only with a NaN.
bool reads_as_nodata_in(GDALDataType type, double value, double nodata);

// The kind of cells the vectors convert for `type`, where they convert it.
std::optional<CellKind> cell_kind(GDALDataType type);

// The no-data value to write in cells of `type` (bytes with a sign where
// `signed_bytes`) for the wanted `nodata`: the value itself where the type holds it
// exactly, otherwise the type's largest value (unsigned integers) or smallest (signed
// integers, and floats beyond their range). Empty stays empty.
std::optional<double> nodata_for(GDALDataType type, const std::optional<double>& nodata,
                                 bool signed_bytes = false);

// The range of a line of whole-number cells, of every cell and of those that do not
// hold the no-data value, with the count of those that do; the valid range is empty
// (+inf, -inf) where every cell does.
struct WholeRange {
    double low, high, valid_low, valid_high;
    std::uint64_t voids;
};

// The range of `columns` cells of `type` (bytes signed where `signed_bytes`) as their
// own type compares them, for the whole-number types of up to 32 bits; false for any
// other. Widening such a cell to double keeps its value, so these are the ranges and the
// voids of the line's doubles, found with fewer bytes to look at.
bool whole_range(const void* cells, GDALDataType type, bool signed_bytes, int columns,
                 const std::optional<double>& nodata, WholeRange& range);

// The name of a cell type for messages: GDAL's, "signed Byte" for bytes with a sign.
std::string cell_type_name(GDALDataType type, bool signed_bytes);

class CellWriter {
public:
    // Lines of `columns` cells of `type`, bytes with a sign where `signed_bytes`; NaN
    // cells become `nodata` (which the type holds). `slots` lines may be converted at
    // once, each into a slot of its own, on any threads. Unsigned whole cells stored in
    // `bits` bits (fewer than the type's; 0 for all of them) are clamped to 2^bits - 1
    // and counted, as those beyond the type's range are.
    CellWriter(GDALDataType type, int columns, std::optional<double> nodata, int slots = 1,
               bool signed_bytes = false, int bits = 0);

    // Line `line` in the type, from `cells` (NaN where there is no data) times `unit`,
    // into slot line % slots, which it holds until a later line takes that slot.
    const void* convert(int line, const double* cells, long double unit);
    // The converted line `line`, or null where its slot holds another line.
    const void* converted(int line) const;

    // What the conversions changed, as a warning's words, or empty.
    std::string changes() const;
    // Cells written as the no-data value, and where one of them is (line * columns +
    // column), or -1.
    std::uint64_t nodata_cells() const { return nodata_cells_.load(); }
    std::int64_t a_nodata_cell() const { return a_nodata_cell_.load(); }

private:
    struct Slot {
        int line = -1;
        std::vector<double> values;  // the cells as stored, once a line needed looking at
        std::vector<unsigned char> out;
    };

    bool is_nodata_cell(const unsigned char* cell) const;

    GDALDataType type_;
    bool signed_bytes_;
    int size_;
    std::optional<double> nodata_;
    std::vector<unsigned char> nodata_cell_, nudged_cell_;
    std::size_t columns_;
    std::vector<Slot> slots_;
    double lowest_, highest_;                // the values the type holds
    double below_, above_;                   // the values it holds as one of them, rounded
    std::optional<CellKind> kind_;           // where the vectors convert such values
    std::atomic<std::uint64_t> clamped_{0};  // valid cells beyond them
    std::atomic<std::uint64_t> moved_{0};    // valid cells that fell on the no-data value
    std::atomic<std::uint64_t> nodata_cells_{0};
    std::atomic<std::int64_t> a_nodata_cell_{-1};
};

// Lines of doubles as cells of a GDAL type. The conversion is GDALCopyWords64, the one
// GDAL applies itself when it is handed doubles for a band of another type, so that the
// bytes are those a write of the doubles gives; this side only looks at what it did.
// Lines whose values all lie in the type's range go through the same rounding in
// vectors, where GDAL is found to round that way.
#include "dem_files/gdal_cells.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct Limits {
    double lowest, highest;
};

Limits limits_of(GDALDataType type, bool signed_bytes) {
    if (signed_bytes) return {-128.0, 127.0};
    if (GDALDataTypeIsInteger(type)) {
        const int bits = GDALGetDataTypeSizeBits(type);
        if (GDALDataTypeIsSigned(type))
            return {-std::ldexp(1.0, bits - 1), std::ldexp(1.0, bits - 1) - 1.0};
        return {0.0, std::ldexp(1.0, bits) - 1.0};
    }
    if (type == GDT_Float32) return {-FLT_MAX, FLT_MAX};
    return {-DBL_MAX, DBL_MAX};
}

// Doubles as cells of `type` by GDAL's conversion, which rounds to the nearest and
// clamps to the type's range; bytes with a sign as GDAL converts to the next wider
// signed type, then clamped to theirs.
void to_cells(const double* values, unsigned char* cells, std::size_t count, GDALDataType type,
              bool signed_bytes) {
    if (!signed_bytes) {
        GDALCopyWords64(values, GDT_Float64, 8, cells, type, GDALGetDataTypeSizeBytes(type),
                        static_cast<GPtrDiff_t>(count));
        return;
    }
    std::int16_t wide[256];
    for (std::size_t from = 0; from < count; from += 256) {
        const std::size_t n = std::min<std::size_t>(256, count - from);
        GDALCopyWords64(values + from, GDT_Float64, 8, wide, GDT_Int16, 2,
                        static_cast<GPtrDiff_t>(n));
        for (std::size_t j = 0; j < n; ++j) {
            const auto byte =
                static_cast<std::int8_t>(std::clamp<std::int16_t>(wide[j], -128, 127));
            std::memcpy(cells + from + j, &byte, 1);
        }
    }
}

// Whether the vectors convert values of [below, above] as GDAL does: tried on the
// values where roundings part ways (halves, the double just below a half, both zeros,
// the ends of the range) and a spread of others. A GDAL that rounds otherwise keeps
// every line.
bool rounds_as_gdal(GDALDataType type, double below, double above) {
    const std::optional<CellKind> kind = cell_kind(type);
    if (!kind) return false;
    std::vector<double> tried;
    const double edges[] = {below, above, std::nextafter(below, 0.0), std::nextafter(above, 0.0)};
    for (const double v : edges) tried.push_back(v);
    for (double w = 0.0; w <= 8.0; w += 0.5)
        for (const double v : {w, std::nextafter(w, -1.0), std::nextafter(w, 9.0)})
            for (const double sign : {1.0, -1.0}) tried.push_back(sign * v);
    for (int k = 0; k < 200; ++k) tried.push_back(below + (above - below) * (k / 199.0));
    tried.erase(std::remove_if(tried.begin(), tried.end(),
                               [&](double v) { return !(v >= below && v <= above); }),
                tried.end());
    const std::size_t size = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type));
    std::vector<unsigned char> theirs(tried.size() * size), ours(tried.size() * size);
    to_cells(tried.data(), theirs.data(), tried.size(), type, false);
    wide_rows.to_cells(tried.data(), ours.data(), static_cast<int>(tried.size()), *kind);
    return theirs == ours;
}

std::vector<unsigned char> cell_of(double v, GDALDataType type, bool signed_bytes) {
    std::vector<unsigned char> cell(static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type)));
    to_cells(&v, cell.data(), 1, type, signed_bytes);
    return cell;
}

// The value of T nearest to `nodata` toward `toward` that does not read as it: found by
// halving the gap to a value 8 float epsilons away (or to the next value, where that
// step is lost below the smallest numbers), then checked. Only near T's largest values,
// where the sum in GDAL's test goes beyond T's range and every value there reads as no
// data, is the value a few steps on taken all the same; an infinite no-data value is
// only itself.
template <typename T>
T beyond_nodata(T nodata, T toward) {
    if (std::isinf(nodata)) return std::nextafter(nodata, toward);
    const T step = 8 * std::numeric_limits<float>::epsilon() * std::abs(nodata);
    T inside = nodata, outside = nodata + (toward > nodata ? step : -step);
    if (outside == nodata || !std::isfinite(outside)) outside = std::nextafter(nodata, toward);
    for (;;) {
        const T middle = inside + (outside - inside) / 2;
        if (middle == inside || middle == outside) break;
        (reads_as_nodata(middle, nodata) ? inside : outside) = middle;
    }
    for (int k = 0; k < 64 && reads_as_nodata(outside, nodata) && std::isfinite(outside); ++k)
        outside = std::nextafter(outside, toward);
    return outside;
}

// The value nearest the no-data value that the type holds and that does not read as it,
// toward the inside of the type's range: the next whole number, or for reals the first
// beyond GDAL's tolerance.
double one_step_from(double nodata, GDALDataType type, const Limits& l) {
    if (GDALDataTypeIsInteger(type)) return nodata >= l.highest ? nodata - 1.0 : nodata + 1.0;
    const double toward = nodata >= l.highest ? -INFINITY : INFINITY;
    if (type == GDT_Float32)
        return static_cast<double>(
            beyond_nodata(static_cast<float>(nodata), static_cast<float>(toward)));
    return beyond_nodata(nodata, toward);
}

std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

}  // namespace

std::optional<CellKind> cell_kind(GDALDataType type) {
    switch (type) {
        case GDT_Byte:
            return CellKind::u8;
        case GDT_UInt16:
            return CellKind::u16;
        case GDT_Int16:
            return CellKind::i16;
        case GDT_UInt32:
            return CellKind::u32;
        case GDT_Int32:
            return CellKind::i32;
        case GDT_Float32:
            return CellKind::f32;
        default:
            return std::nullopt;
    }
}

bool reads_as_nodata_in(GDALDataType type, double value, double nodata) {
    if (std::isnan(value) || std::isnan(nodata)) return std::isnan(value) && std::isnan(nodata);
    if (type == GDT_Float32)
        return reads_as_nodata(static_cast<float>(value), static_cast<float>(nodata));
    if (type == GDT_Float64) return reads_as_nodata(value, nodata);
    return value == nodata;
}

std::string cell_type_name(GDALDataType type, bool signed_bytes) {
    return std::string(signed_bytes ? "signed " : "") + GDALGetDataTypeName(type);
}

std::optional<double> nodata_for(GDALDataType type, const std::optional<double>& nodata,
                                 bool signed_bytes) {
    if (!nodata) return nodata;
    const double v = *nodata;
    const Limits l = limits_of(type, signed_bytes);
    if (GDALDataTypeIsInteger(type)) {
        if (std::floor(v) == v && v >= l.lowest && v <= l.highest) return v;
        return GDALDataTypeIsSigned(type) || signed_bytes ? l.lowest : l.highest;
    }
    if (std::isnan(v) || std::isinf(v)) return v;
    if (v < l.lowest || v > l.highest) return l.lowest;
    return type == GDT_Float32 ? static_cast<double>(static_cast<float>(v)) : v;
}

CellWriter::CellWriter(GDALDataType type, int columns, std::optional<double> nodata, int slots,
                       bool signed_bytes, int bits)
    : type_(type),
      signed_bytes_(signed_bytes),
      size_(GDALGetDataTypeSizeBytes(type)),
      nodata_(nodata),
      columns_(static_cast<std::size_t>(columns)),
      slots_(static_cast<std::size_t>(slots)) {
    Limits stored = limits_of(type, signed_bytes);
    if (bits > 0 && bits < GDALGetDataTypeSizeBits(type) && GDALDataTypeIsInteger(type) &&
        !GDALDataTypeIsSigned(type) && !signed_bytes)
        stored.highest = std::ldexp(1.0, bits) - 1.0;
    lowest_ = stored.lowest;
    highest_ = stored.highest;
    // Rounding to a whole number keeps a value within half a unit of the range.
    const bool whole = GDALDataTypeIsInteger(type) != 0;
    below_ = whole ? lowest_ - 0.5 : lowest_;
    above_ = whole ? std::nextafter(highest_ + 0.5, -INFINITY) : highest_;
    if (!signed_bytes && rounds_as_gdal(type, below_, above_)) kind_ = cell_kind(type);
    if (nodata_ && !std::isnan(*nodata_)) {
        nodata_cell_ = cell_of(*nodata_, type, signed_bytes);
        nudged_cell_ = cell_of(one_step_from(*nodata_, type, stored), type, signed_bytes);
    }
}

const void* CellWriter::converted(int line) const {
    const Slot& slot = slots_[static_cast<std::size_t>(line) % slots_.size()];
    return slot.line == line ? slot.out.data() : nullptr;
}

const void* CellWriter::convert(int line, const double* cells, long double unit) {
    Slot& slot = slots_[static_cast<std::size_t>(line) % slots_.size()];
    const std::size_t columns = columns_;
    // A slot takes its room when first used: a raster of a few lines uses a few.
    slot.out.resize(columns * static_cast<std::size_t>(size_));
    const double* values = cells;
    // A valid cell is written as the no-data value when it rounds to it, from within
    // half a unit (whole numbers) or a float's rounding of it (a wider window costs
    // nothing), or when it is clamped to it.
    const double nodata = nodata_cell_.empty() ? NAN : *nodata_;
    const double window = 1.0 + std::fabs(nodata) * 0x1p-20;
    LineLook look =
        wide_rows.look_at(cells, static_cast<int>(columns), below_, above_, nodata, window);
    std::uint64_t beyond = 0;
    // A line whose values all go as they are is converted from where it lies; one with
    // voids, values beyond the type's range or a unit is looked at cell by cell.
    if (unit != 1.0L || !look.plain) {
        slot.values.resize(columns);
        std::uint64_t voids = 0;
        for (std::size_t j = 0; j < columns; ++j) {
            const double v = cells[j];
            if (std::isnan(v)) {
                slot.values[j] = nodata_ ? *nodata_ : v;
                if (voids++ == 0 && nodata_) {
                    std::int64_t none = -1;
                    a_nodata_cell_.compare_exchange_strong(
                        none, static_cast<std::int64_t>(line) * static_cast<std::int64_t>(columns) +
                                  static_cast<std::int64_t>(j));
                }
                continue;
            }
            const double stored = unit == 1.0L ? v : static_cast<double>(v * unit);
            beyond += static_cast<std::uint64_t>((stored < below_) | (stored > above_));
            // The conversion clamps to the type's range; fewer bits than the type's are
            // clamped here, so that a format which keeps the low bits does not wrap them.
            slot.values[j] = stored > highest_ ? highest_ : stored;
        }
        values = slot.values.data();
        if (voids > 0) nodata_cells_ += voids;
        if (unit != 1.0L)
            look.near =
                wide_rows.look_at(values, static_cast<int>(columns), 0.0, 0.0, nodata, window).near;
    }
    if (beyond > 0) clamped_ += beyond;
    if (kind_ && values == cells && look.plain)
        wide_rows.to_cells(values, slot.out.data(), static_cast<int>(columns), *kind_);
    else
        to_cells(values, slot.out.data(), columns, type_, signed_bytes_);
    if (!nodata_cell_.empty() && (beyond > 0 || look.near)) {
        const std::size_t size = static_cast<std::size_t>(size_);
        std::uint64_t moved = 0;
        for (std::size_t j = 0; j < columns; ++j) {
            unsigned char* cell = &slot.out[j * size];
            if (!std::isnan(cells[j]) && is_nodata_cell(cell)) {
                std::memcpy(cell, nudged_cell_.data(), size);
                ++moved;
            }
        }
        if (moved > 0) moved_ += moved;
    }
    slot.line = line;
    return slot.out.data();
}

// Reals are compared as GDAL's readers compare them: a -0 is a no-data value of 0, and
// a value within GDAL's tolerance of it is no data.
bool CellWriter::is_nodata_cell(const unsigned char* cell) const {
    if (type_ == GDT_Float32) {
        float v;
        std::memcpy(&v, cell, sizeof v);
        return reads_as_nodata_in(type_, v, *nodata_);
    }
    if (type_ == GDT_Float64) {
        double v;
        std::memcpy(&v, cell, sizeof v);
        return reads_as_nodata_in(type_, v, *nodata_);
    }
    return std::memcmp(cell, nodata_cell_.data(), nodata_cell_.size()) == 0;
}

std::string CellWriter::changes() const {
    std::string said;
    const std::string type = cell_type_name(type_, signed_bytes_);
    if (clamped_.load() > 0)
        said = std::to_string(clamped_.load()) + " cells beyond what " + type + " holds (" +
               number(lowest_) + " to " + number(highest_) +
               ") were written as the nearest value it holds";
    if (moved_.load() > 0 && GDALDataTypeIsInteger(type_))
        said += (said.empty() ? "" : "; ") + std::to_string(moved_.load()) +
                " valid cells equal to the no-data value " + number(*nodata_) +
                " were written one step from it, so as not to read as no data";
    else if (moved_.load() > 0)
        said += (said.empty() ? "" : "; ") + std::to_string(moved_.load()) +
                " valid cells that would read as the no-data value " + number(*nodata_) +
                " were written as the nearest value that does not";
    return said;
}

namespace {

// A line's range in T, the cells equal to a no-data value within it looked at again.
template <typename T>
WholeRange whole_range_of(const T* cells, int columns, const std::optional<double>& nodata) {
    T low = std::numeric_limits<T>::max(), high = std::numeric_limits<T>::lowest();
    for (int j = 0; j < columns; ++j) {
        low = std::min(low, cells[j]);
        high = std::max(high, cells[j]);
    }
    WholeRange r{double(low), double(high), double(low), double(high), 0};
    if (!nodata || !(*nodata >= r.low && *nodata <= r.high) || std::floor(*nodata) != *nodata)
        return r;
    const T value = static_cast<T>(*nodata);
    low = std::numeric_limits<T>::max();
    high = std::numeric_limits<T>::lowest();
    for (int j = 0; j < columns; ++j) {
        if (cells[j] == value) {
            ++r.voids;
        } else {
            low = std::min(low, cells[j]);
            high = std::max(high, cells[j]);
        }
    }
    const bool any_valid = r.voids < static_cast<std::uint64_t>(columns);
    r.valid_low = any_valid ? double(low) : std::numeric_limits<double>::infinity();
    r.valid_high = any_valid ? double(high) : -std::numeric_limits<double>::infinity();
    return r;
}

}  // namespace

bool whole_range(const void* cells, GDALDataType type, bool signed_bytes, int columns,
                 const std::optional<double>& nodata, WholeRange& range) {
    switch (type) {
        case GDT_Byte:
            range = signed_bytes
                        ? whole_range_of(static_cast<const std::int8_t*>(cells), columns, nodata)
                        : whole_range_of(static_cast<const std::uint8_t*>(cells), columns, nodata);
            return true;
        case GDT_UInt16:
            range = whole_range_of(static_cast<const std::uint16_t*>(cells), columns, nodata);
            return true;
        case GDT_Int16:
            range = whole_range_of(static_cast<const std::int16_t*>(cells), columns, nodata);
            return true;
        case GDT_UInt32:
            range = whole_range_of(static_cast<const std::uint32_t*>(cells), columns, nodata);
            return true;
        case GDT_Int32:
            range = whole_range_of(static_cast<const std::int32_t*>(cells), columns, nodata);
            return true;
        default:
            return false;
    }
}

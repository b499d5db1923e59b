// The raw raster writer: cells converted in vectors into a block output, whose blocks
// go to the device while the next lines are made.
#include "dem_files/raster_writer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

#include "answers.h"
#include "failure.h"
#include "host_files.h"
#include "phase_times.h"
#include "wide_rows.h"

RasterWriter::RasterWriter(const std::string& data_logical, const std::string& descriptor_logical,
                           int cell_bytes, double unit)
    : data_(data_logical, "wb"),
      descriptor_(descriptor_logical, "w"),
      cell_bytes_(cell_bytes),
      unit_(unit) {}

std::uint64_t RasterWriter::file_bytes(int lines, int columns, int cell_bytes) {
    return static_cast<std::uint64_t>(lines) * static_cast<std::uint64_t>(columns) *
               static_cast<std::uint64_t>(cell_bytes) +
           6 * 12;
}

// Each line's cells are made where the block output has room for them (objects of the
// cell type created there first).
template <typename Cell>
void RasterWriter::write(const double* line) {
    const std::size_t bytes = static_cast<std::size_t>(columns_) * sizeof(Cell);
    Cell* cells = new (blocks_->room(bytes)) Cell[static_cast<std::size_t>(columns_)];
    if constexpr (sizeof(Cell) == 2)
        reduced_ += wide_rows.stored16(line, cells, columns_, unit_);
    else
        reduced_ += wide_rows.stored32(line, cells, columns_, unit_);
    if (count_voids_)
        for (int j = 0; j < columns_; ++j) voids_ += std::isnan(line[j]) ? 1 : 0;
    blocks_->wrote(bytes);
    ++written_;
}

LineSink RasterWriter::sink() {
    LineSink sink;
    sink.start = [this](const OutputGeometry& g) {
        columns_ = g.columns;
        written_ = 0;
        reduced_ = 0;
        voids_ = 0;
        blocks_ = std::make_unique<BlockOutput>(data_, file_bytes(g.lines, g.columns, cell_bytes_));
    };
    sink.put = [this](int, const double* line) {
        if (cell_bytes_ == 2)
            write<std::uint16_t>(line);
        else
            write<std::int32_t>(line);
    };
    return sink;
}

// The descriptor's range lines hold ints; a stored value beyond them keeps its low 32
// bits, which is worth saying (the maximum could read below the minimum).
void RasterWriter::warn_unless_int(double elevation, const char* which, int written) const {
    const long double stored = std::trunc(static_cast<long double>(elevation) * unit_);
    if (stored >= INT_MIN && stored <= INT_MAX) return;
    report("the " + std::string(which) + " elevation, " + number_text(elevation) + " m, is " +
           number_text(static_cast<double>(stored)) +
           " stored units, beyond the int range of its descriptor line in " +
           shown_name(descriptor_.logical()) + "; the line holds its low 32 bits, " +
           std::to_string(written));
}

void RasterWriter::finish(const OutputGeometry& g, double pixel_size_out,
                          PendingOutput* companion) {
    PhaseTimer timer("save");
    if (written_ != g.lines) fail("the output's lines were not all written during the treatment");
    blocks_->finish();
    data_.close();
    const int lines[6] = {g.lines,
                          g.columns,
                          cell_bytes_,
                          static_cast<std::int32_t>(defined_stored_bits(g.lowest, unit_)),
                          static_cast<std::int32_t>(defined_stored_bits(g.highest, unit_)),
                          static_cast<int>(pixel_size_out)};  // truncation toward zero
    for (int line : lines)
        if (std::fprintf(descriptor_.stream(), "%d\n", line) < 0) descriptor_.write_failed();
    warn_unless_int(g.lowest, "lowest", lines[3]);
    warn_unless_int(g.highest, "highest", lines[4]);
    descriptor_.close();
    if (companion != nullptr)
        PendingOutput::install({&data_, &descriptor_, companion});
    else
        PendingOutput::install({&data_, &descriptor_});
    if (reduced_ > voids_)
        report(std::to_string(reduced_ - voids_) + " cells do not fit " +
               (cell_bytes_ == 2 ? "16-bit cells and were stored modulo 65536"
                                 : "32-bit cells and were stored as their low 32 bits"));
    if (voids_ > 0)
        report(std::to_string(voids_) +
               " cells without data were stored as 0, which this format takes as empty");
}

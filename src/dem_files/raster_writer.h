// The raw raster output and its descriptor: each framed output line converted to
// stored cells (elevation x unit, truncated toward zero, the low 16 or 32 bits kept)
// and written as the sweep hands it over; the descriptor once the sweep is done; both
// put in place together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dem_files/block_output.h"
#include "dem_files/pending_output.h"
#include "padded_lines.h"

class RasterWriter {
public:
    // Creates both files under temporary names; `cell_bytes` is 2 or 4, `unit` the factor
    // from metres to stored units (1, 10, 100 or 1000).
    RasterWriter(const std::string& data_logical, const std::string& descriptor_logical,
                 int cell_bytes, double unit);

    // The line sink the engine writes the raster through.
    LineSink sink();

    // Files that appear under the final names while the run is working are not replaced.
    void replace_nothing() {
        data_.replace_nothing();
        descriptor_.replace_nothing();
    }

    // Cells without data (NaN) may come: they are stored as 0, the empty cell of the
    // format, and counted apart from the cells that do not fit.
    void count_voids() { count_voids_ = true; }

    // Writes the descriptor (lines, columns, bytes per cell, the range in stored units,
    // the pixel size truncated), flushes both files and puts them in place, with a closed
    // `companion` file if given; warns of cells and range lines that did not fit.
    void finish(const OutputGeometry& g, double pixel_size_out, PendingOutput* companion = nullptr);

    // Bytes free where the files are written, and what an output of this size takes.
    std::uint64_t room() const { return data_.room(); }
    static std::uint64_t file_bytes(int lines, int columns, int cell_bytes);
    // Bytes the writer holds for an output of `columns` columns.
    static std::uint64_t memory(int columns) {
        return BlockOutput::memory(4 * static_cast<std::size_t>(columns));
    }

private:
    template <typename Cell>
    void write(const double* line);
    void warn_unless_int(double elevation, const char* which, int written) const;

    PendingOutput data_, descriptor_;
    int cell_bytes_;
    double unit_;
    std::unique_ptr<BlockOutput> blocks_;  // the raster's cells on their way to the file
    int columns_ = 0, written_ = 0;
    unsigned long long reduced_ = 0;  // cells stored by their low bits
    bool count_voids_ = false;
    unsigned long long voids_ = 0;  // cells without data, among the reduced ones
};

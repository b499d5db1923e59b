// The padded input from a file of cells in line order, as the sweep asks for its lines:
// a raw raster's 16-bit or 32-bit cells, or the doubles an ASCII grid's reading pass
// stored. Each line is read with one positioned read when first asked for; the cells
// the file lacks are 0 and the margin lines are zeros.
#pragma once

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "dem_files/line_sums.h"
#include "padded_lines.h"

enum class CellType { unsigned16, signed32, real64 };

// A file of cells in line order: `lines` x `columns` cells of `type` in `file` (which
// the source does not own), `shown` naming it in messages.
struct StoredCells {
    std::FILE* file = nullptr;
    std::string shown;
    CellType type = CellType::real64;
    int lines = 0, columns = 0;
    double unit = 1.0;        // each cell divided by it as it is read (1, 10, 100 or 1000)
    double void_value = NAN;  // each cell equal to it made a NaN, which marks a void
    // The lines' sums of the reading pass, each line checked against its sum as it is
    // read; none for a file of the run's own.
    std::shared_ptr<const LineSums> sums;
};

// A source over the cells; several threads may each take a source of their own
// (`another`).
LineSource stored_lines(const StoredCells& cells);

// Cells of a line equal to `void_value` made NaN (nothing when it is NaN itself).
void mark_voids(double* cells, int columns, double void_value);

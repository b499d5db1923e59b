// The padded input from a file of cells in line order, as the sweep asks for its lines:
// a raw raster's 16-bit or 32-bit cells, or the doubles an ASCII grid's reading pass
// stored. Each line is read with one positioned read when first asked for; the cells
// the file lacks are 0 and the margin lines are zeros.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

#include "padded_lines.h"

enum class CellType { unsigned16, signed32, real64 };

// A source over the `lines` x `columns` cells of `file` (which it does not own), each
// divided by `unit` (1, 10, 100 or 1000) as it is read, and each cell equal to
// `void_value` (when it is a number) made a NaN, which marks a void; several threads may
// each take a source of their own (`another`). `shown` names the file in messages.
LineSource stored_lines(std::FILE* file, const std::string& shown, CellType type, int lines,
                        int columns, double unit, double void_value = NAN);

// Cells of a line equal to `void_value` made NaN (nothing when it is NaN itself).
void mark_voids(double* cells, int columns, double void_value);

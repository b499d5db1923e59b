// The source as the void-aware kernel reads it. Its voids filled first: each void cell
// (a NaN) takes the value its line and its column interpolate between the nearest valid
// cells on either side, within a reach. A plane is filled exactly wherever the line or
// the column crosses the void, whatever its shape; a void wider than the reach on every
// side stays a void, for the engine's own filling. And its margins, which the padded
// mapping spreads over the output's edges, hold the nearest edge cell's value (the
// classic engine's zeros there are holes).
#pragma once

#include "padded_lines.h"

// Cells a fill looks along its line and its column for valid cells: as many as 8 MiB of
// input lines allow a thread (it holds twice the reach in lines), from 4 to 64.
int fill_reach(int columns);

// A source whose data lines are those of `base` (lines x columns data cells, voids as
// NaN) with their voids filled as far as `reach` allows (none at 0), and whose margin
// lines and columns repeat the nearest data line and column: a void between valid cells at
// distances a and b on its line takes (va b + vb a) / (a + b) with weight 1 / (a + b), the
// same on its column, and the void the weighted mean of these interpolations; where
// neither crosses the void (at the grid's edges), the weighted mean of the nearest valid
// cells on each side, weighted 1 / distance. Sums and quotients in extended precision,
// the value rounded once to double. Every cell is a function of the unfilled input only,
// so each thread's source (`another`) gives the same lines.
LineSource filled_lines(const LineSource& base, int lines, int columns, int reach);

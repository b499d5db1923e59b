// The descriptor beside a raw raster: six whole numbers, one a line (lines, columns,
// bytes per cell, lowest and highest elevation in stored units, pixel size in whole
// metres, 0 when not given).
#pragma once

#include <string>

struct Descriptor {
    int lines = 0, columns = 0, cell_bytes = 0, lowest = 0, highest = 0, pixel_size = 0;
};

// Reads the descriptor `logical` as scanf("%d") would, six times: the numbers it does
// not reach stay 0. Returns false when the file does not exist; fails when it cannot be
// read, gives no geometry or an impossible one, or holds a number beyond the int range.
// Warns where it gives other bytes per cell than `cell_bytes` (the width the raster is
// read with) or stops early at a word.
bool read_descriptor(const std::string& logical, int cell_bytes, Descriptor& d);

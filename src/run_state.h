// The run state: the module-level variables every phase reads and adds to. All are
// zero, false or null at program start; reset_run_state() brings them back there
// (tests run several phases in one process).
#pragma once

#include <cstdint>
#include <cstdio>

// Streams: input data and descriptor, output data and descriptor.
extern std::FILE* f1;
extern std::FILE* f1d;
extern std::FILE* f2;
extern std::FILE* f2d;

extern int format;   // input format: 0 ASCII grid, 1 raw raster
extern int format2;  // output format
extern int itype;    // input cell width: 0 16-bit, 1 32-bit
extern int itype2;   // output cell width

extern int nb_lig, nb_col;  // input lines, columns
extern int pix_size;        // input pixel size, whole metres
extern double dpix_size;    // input pixel size
extern int mind, maxd;      // range of an existing input descriptor; not used further
extern bool descr_OK;       // the input descriptor existed

extern int dyn_scale;  // unit answer 0-3
extern double coef;    // its factor: 1, 10, 100, 1000

extern bool open_ascii_OK;    // the input was an ASCII grid
extern double X_min, Y_min;   // lower-left corner
extern double nodata;         // no-data value of an ASCII header; never applied

extern double** dtab_in;        // input elevations in metres, nb_lig x nb_col, of an ASCII
                                // grid: a view of the data cells of dtab_prov1
extern std::int32_t** itab1;    // raw 32-bit input cells as read (a block grid)
extern std::uint16_t** jtab1;   // raw 16-bit input cells as read (a block grid)

extern double ratio;         // input pixel size / output pixel size
extern double pix_size_out;  // output pixel size

extern double dmin_alt, dmax_alt;  // input elevation range

extern int nb_lig4, nb_col4;  // output lines, columns
extern int nb_lig2, nb_col2;  // padded input size
extern int nb_lig3, nb_col3;  // padded output size

extern double** dtab_prov1;  // padded input (a block grid; for a raw raster, its lines
                             // are made from the raw cells during the sweep)
extern double** dtab_prov2;  // padded output (a block grid; for a raw raster output, a
                             // ring of the lines the sweep works on)

// The unpadded, framed and raw output grids: written a line at a time, so unused.
extern double** dtab_out;
extern double** dtab_out2;
extern std::int32_t** itab2;
extern std::uint16_t** jtab2;

// Releases every grid still held, each with the line count it was made with.
void release_grids();

// Closes the streams still open (the input data file stays open to the end of a run).
void close_streams();

// Releases the grids, closes the streams and zeroes every variable.
void reset_run_state();

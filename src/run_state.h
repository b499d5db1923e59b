// The run state: the module-level variables every phase reads and adds to. All are
// zero, false or null at program start; reset_run_state() brings them back there
// (tests run several phases in one process). No grid lives here: the sweep takes its
// lines from the reader's line source and hands them to the writer's line sink.
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

extern bool open_ascii_OK;   // the input was an ASCII grid
extern double X_min, Y_min;  // lower-left corner
extern double nodata;        // no-data value of an ASCII header; never applied

extern double ratio;         // input pixel size / output pixel size
extern double pix_size_out;  // output pixel size

extern double dmin_alt, dmax_alt;  // input elevation range

extern int nb_lig4, nb_col4;  // output lines, columns
extern int nb_lig2, nb_col2;  // padded input size
extern int nb_lig3, nb_col3;  // padded output size

// Closes the streams still open (the input data file stays open to the end of a run).
void close_streams();

// Closes the streams and zeroes every variable.
void reset_run_state();

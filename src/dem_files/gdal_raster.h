// GDAL as the command line's format layer: every raster GDAL reads, as a source read a
// line at a time, and every raster format it writes, as a destination written a line at
// a time (through a temporary GeoTIFF where a format can only be copied whole). GDAL's
// block cache is bounded, so memory stays bounded for every format. Built only where
// GDAL is (DEM_VARNEL_WITH_GDAL).
#pragma once

#include <cstdint>
#include <string>

#include "dem_files/raster_files.h"

// GDAL's version, e.g. "3.6.2".
std::string gdal_version();

// Starts GDAL once: its drivers registered, its errors kept for our messages and its
// warnings reported as ours.
void start_gdal();

// Empty when `format` names a driver that writes rasters under the name `destination`
// and `type` a cell type (or is empty); otherwise what is wrong, for a usage message.
std::string gdal_output_problem(const std::string& format, const std::string& type,
                                const std::string& destination);

// Opens the first band of a raster GDAL reads; fails naming it when GDAL cannot, or when
// its cells are rotated, not square, or its lines go up.
SourceRaster open_gdal_source(const std::string& path);

// A destination in the GDAL format wanted.format, placed and with the coordinate system
// of `facts`.
DestinationRaster create_gdal_destination(const DestinationOptions& wanted,
                                          const RasterFacts& facts);

// Bounds GDAL's block cache to `bytes` and a little more; returns the bound.
std::uint64_t bound_gdal_cache(std::uint64_t bytes);

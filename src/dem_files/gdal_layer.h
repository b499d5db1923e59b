// The GDAL layer as the program sees it: a table of the functions of gdal_raster.h, in a
// module of its own (libdem_varnel_gdal.so beside the program) that the command line
// loads when it first needs GDAL, so that GDAL's many libraries are loaded only then and
// the dialogue never waits for them.
#pragma once

#include <cstdint>
#include <string>

#include "dem_files/raster_files.h"

struct GdalLayer {
    std::string (*version)();
    std::string (*output_problem)(const std::string& format, const std::string& type,
                                  const std::string& destination);
    SourceRaster (*open_source)(const std::string& path);
    DestinationRaster (*create_destination)(const DestinationOptions& wanted,
                                            const RasterFacts& facts);
    std::uint64_t (*bound_cache)(std::uint64_t bytes);
};

// The module's name, and the function that gives its table.
constexpr const char* gdal_module_name = "libdem_varnel_gdal.so";
constexpr const char* gdal_layer_symbol = "dem_varnel_gdal_layer";
extern "C" const GdalLayer* dem_varnel_gdal_layer();

// The GDAL module's table of functions.
#include "dem_files/gdal_layer.h"

#include "dem_files/gdal_raster.h"

extern "C" const GdalLayer* dem_varnel_gdal_layer() {
    static const GdalLayer layer{gdal_version, gdal_output_problem, open_gdal_source,
                                 create_gdal_destination, bound_gdal_cache};
    return &layer;
}

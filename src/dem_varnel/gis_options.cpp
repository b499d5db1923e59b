// Parsing the command line's options: each option's value must convert whole and make
// sense, and exactly one source and one destination must remain.
#include "dem_varnel/gis_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "answers.h"

const char* const gis_usage =
    R"(Usage: dem_varnel [options] SOURCE DESTINATION
  --pixel-size P         the output pixel size, in the source's ground units
  --ratio R              or the ratio source pixel size / output pixel size
  --source-pixel-size P  the source's pixel size where its file gives none
  --unit m|dm|cm|mm      the unit of a raw source's stored values (default m)
  -of FORMAT             output format: GTiff (default), any raster format GDAL
                         writes, VarnelRaw (raw cells and descriptor) or
                         VarnelASCII (ASCII grid)
  -ot TYPE               output cell type: Byte, Int16, UInt16, Int32, UInt32,
                         Float32, Float64 (default: the source's)
  -co NAME=VALUE         a creation option of the output format (repeatable)
  --frame lowest|nodata  the three-cell border: the lowest elevation (default)
                         or no data
  --voids fill|keep      fill the source's voids (default) or keep them as no
                         data where no valid ground lies under a cell
  --engine classic       the dialogue's engine: 0 is an empty cell, and the
                         source must hold no voids
  --overwrite            replace an existing destination
  --threads N            threads to use (default: every core)
  -q, --quiet            print nothing but errors
)";

namespace {

std::string quoted_argument(const char* argument) {
    std::string text = argument;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return "'" + text + "'";
}

// A positive finite number, the whole argument.
// Written in decimal: the conversion would also take leading blanks and hexadecimal.
bool positive(const char* text, double& value) {
    return !std::isspace(static_cast<unsigned char>(*text)) &&
           std::strpbrk(text, "xX") == nullptr && parse_real(text, value) && std::isfinite(value) &&
           value > 0;
}

}  // namespace

std::string parse_gis_options(int count, const char* const* arguments, GisOptions& options) {
    std::vector<std::string> files;
    for (int k = 0; k < count; ++k) {
        const std::string option = arguments[k];
        const auto value = [&](const char*& text) {
            if (k + 1 >= count) return false;
            text = arguments[++k];
            return true;
        };
        const char* text = nullptr;
        const std::string needs = option + " needs a value";
        if (option == "--pixel-size" || option == "--ratio" || option == "--source-pixel-size") {
            if (!value(text)) return needs;
            double v = 0;
            if (!positive(text, v))
                return option + " must be a positive number, not " + quoted_argument(text);
            (option == "--ratio"               ? options.ratio
             : option == "--source-pixel-size" ? options.source_pixel_size
                                               : options.pixel_size) = v;
        } else if (option == "--unit") {
            if (!value(text)) return needs;
            const std::string u = text;
            if (u == "m")
                options.unit = 1;
            else if (u == "dm")
                options.unit = 10;
            else if (u == "cm")
                options.unit = 100;
            else if (u == "mm")
                options.unit = 1000;
            else
                return "--unit is one of m, dm, cm, mm, not " + quoted_argument(text);
        } else if (option == "-of") {
            if (!value(text) || *text == '\0') return needs;
            options.format = text;
        } else if (option == "-ot") {
            if (!value(text)) return needs;
            options.type = text;
        } else if (option == "-co") {
            if (!value(text)) return needs;
            const char* equals = std::strchr(text, '=');
            if (equals == nullptr || equals == text)
                return "-co takes NAME=VALUE, not " + quoted_argument(text);
            options.creation.emplace_back(std::string(text, equals), std::string(equals + 1));
        } else if (option == "--frame") {
            if (!value(text)) return needs;
            const std::string f = text;
            if (f != "lowest" && f != "nodata")
                return "--frame is lowest or nodata, not " + quoted_argument(text);
            options.frame_nodata = f == "nodata";
        } else if (option == "--voids") {
            if (!value(text)) return needs;
            const std::string v = text;
            if (v != "fill" && v != "keep")
                return "--voids is fill or keep, not " + quoted_argument(text);
            options.voids = v == "fill" ? GisOptions::Voids::fill : GisOptions::Voids::keep;
        } else if (option == "--engine") {
            if (!value(text)) return needs;
            if (std::string(text) != "classic")
                return "--engine takes classic, not " + quoted_argument(text);
            options.classic = true;
        } else if (option == "--threads") {
            if (!value(text)) return needs;
            int n = 0;
            if (!parse_int(text, n) || n < 1 || n > 1024)
                return "--threads must be a whole number from 1 to 1024, not " +
                       quoted_argument(text);
            options.threads = n;
        } else if (option == "--overwrite") {
            options.overwrite = true;
        } else if (option == "-q" || option == "--quiet") {
            options.quiet = true;
        } else if (option.size() > 1 && option[0] == '-') {
            return "unknown option " + quoted_argument(arguments[k]);
        } else {
            files.push_back(option);
        }
    }
    if (files.size() != 2)
        return files.size() < 2 ? "a SOURCE and a DESTINATION are needed"
                                : "unexpected argument " + quoted_argument(files[2].c_str()) +
                                      " after SOURCE and DESTINATION";
    options.source = files[0];
    options.destination = files[1];
    if (options.pixel_size.has_value() == options.ratio.has_value())
        return "give either --pixel-size or --ratio";
    if (options.classic && options.voids == GisOptions::Voids::keep)
        return "--voids keep needs the void-aware engine, not --engine classic";
    return "";
}

// make_terrain: writes a smooth synthetic DEM of any size, for the demo and the
// benchmark: rolling hills and a valley from a few sine octaves, the same for the
// same arguments on every host.
//
//   make_terrain LINES COLUMNS FORMAT STEM [--unit U] [--pixel P] [--seed S]
//
// FORMAT is raw16, raw32 or ascii. raw16/raw32 write STEM_m2.raw or STEM_m4.raw with
// their descriptor STEM_m2.txt or STEM_m4.txt; ascii writes STEM.asc. Raw cells are in
// the unit U (0 metres, 1 decimetres, 2 centimetres, 3 millimetres; default 1).
// Arguments it cannot use are refused with status 2; a failed write ends with status 1
// and removes what this run wrote.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Options {
    long long lines = 0, columns = 0;
    std::string format, stem;
    int unit = 1;
    int pixel = 10;
    unsigned seed = 1;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "make_terrain: %s\nusage: make_terrain LINES COLUMNS raw16|raw32|ascii STEM "
                 "[--unit 0-3] [--pixel P] [--seed S]\n",
                 why.c_str());
    std::exit(2);
}

// A whole number from low to high, written whole in decimal, or the arguments refused.
long long number(const char* text, const char* what, long long low, long long high) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < low || value > high)
        usage(std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
              std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

// Bytes a cell takes at most in the file: "%.2f " of at most 1349 m is 8 characters.
long long bytes_per_cell(const std::string& format) {
    return format == "raw16" ? 2 : format == "raw32" ? 4 : 8;
}

Options parse(int argc, char** argv) {
    if (argc < 5) usage("expected LINES COLUMNS FORMAT STEM, then options");
    Options o;
    // The program reads a geometry of ints, so larger sides would make a useless DEM.
    o.lines = number(argv[1], "LINES", 1, INT_MAX);
    o.columns = number(argv[2], "COLUMNS", 1, INT_MAX);
    o.format = argv[3];
    if (o.format != "raw16" && o.format != "raw32" && o.format != "ascii")
        usage("unknown format \"" + o.format + "\" (raw16, raw32 or ascii)");
    o.stem = argv[4];
    // Both sides are below 2^31, so the product is exact in 64 bits.
    if (o.lines * o.columns > INT64_MAX / bytes_per_cell(o.format))
        usage(std::to_string(o.lines) + " x " + std::to_string(o.columns) +
              " cells would make a file larger than any file offset");
    for (int k = 5; k < argc; k += 2) {
        const std::string flag = argv[k];
        if (flag != "--unit" && flag != "--pixel" && flag != "--seed")
            usage("unknown option \"" + flag + "\"");
        if (k + 1 == argc) usage(flag + " needs a value");
        const char* value = argv[k + 1];
        if (flag == "--unit") o.unit = static_cast<int>(number(value, "--unit", 0, 3));
        if (flag == "--pixel") o.pixel = static_cast<int>(number(value, "--pixel", 1, INT_MAX));
        if (flag == "--seed") o.seed = static_cast<unsigned>(number(value, "--seed", 0, UINT_MAX));
    }
    return o;
}

// Elevation in metres, 20 (a flat valley floor) to about 1230, at fractional position
// (u, v) in [0, 1).
double elevation(double u, double v, unsigned seed) {
    const double s = seed * 0.7310585;
    const double pi2 = 6.283185307179586;
    double h = 700.0;
    h += 420.0 * std::sin(pi2 * (0.9 * u + 0.13 + s)) * std::cos(pi2 * (0.7 * v + 0.31 * s));
    h += 160.0 * std::sin(pi2 * (2.3 * u + 1.7 * v + s));
    h += 55.0 * std::sin(pi2 * (5.9 * u - 0.4 * s)) * std::sin(pi2 * (6.7 * v + 0.2));
    h += 14.0 * std::cos(pi2 * (13.0 * u + 11.0 * v));
    const double valley = (u - 0.55 - 0.1 * std::sin(pi2 * v)) * 9.0;
    h -= 380.0 * std::exp(-valley * valley);
    return h < 20.0 ? 20.0 : h;
}

// The cells, line after line, straight to the stream: no line is held, whatever its
// length. Raw cells are stored little-endian in the unit, 16-bit ones saturated; their
// range goes to lowest and highest. False once a write has failed.
bool write_cells(std::FILE* out, const Options& o, long long& lowest, long long& highest) {
    const bool ascii = o.format == "ascii";
    const int width = o.format == "raw32" ? 4 : 2;
    const double factor = std::pow(10.0, o.unit);
    if (ascii && std::fprintf(out,
                              "ncols %lld\nnrows %lld\nxllcorner 500000.0\nyllcorner 4800000.0\n"
                              "cellsize %d\nNODATA_value -9999\n",
                              o.columns, o.lines, o.pixel) < 0)
        return false;
    for (long long i = 0; i < o.lines; ++i) {
        for (long long j = 0; j < o.columns; ++j) {
            const double h = elevation(static_cast<double>(i) / o.lines,
                                       static_cast<double>(j) / o.columns, o.seed);
            if (ascii) {
                std::fprintf(out, j + 1 < o.columns ? "%.2f " : "%.2f\n", h);
                continue;
            }
            long long stored = std::llround(h * factor);
            if (width == 2 && stored > 65535) stored = 65535;
            if (stored < lowest) lowest = stored;
            if (stored > highest) highest = stored;
            const auto bits = static_cast<std::uint32_t>(stored);
            for (int b = 0; b < width; ++b)
                std::putc(static_cast<unsigned char>(bits >> (8 * b)), out);
        }
        if (std::ferror(out)) return false;  // a full disk: stop at the first line
    }
    return true;
}

// Creates path and fills it; on a failed write or close removes it. False, with the
// reason on stderr, when the file is not complete.
template <typename Fill>
bool write_file(const std::string& path, Fill fill) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "make_terrain: cannot create %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool filled = fill(out) && !std::ferror(out);
    const int error = errno;
    if (std::fclose(out) == 0 && filled) return true;
    std::fprintf(stderr, "make_terrain: cannot write %s: %s\n", path.c_str(),
                 std::strerror(filled ? errno : error));
    std::remove(path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const bool ascii = o.format == "ascii";
    const bool wide = o.format == "raw32";
    const std::string path = o.stem + (ascii ? ".asc" : wide ? "_m4.raw" : "_m2.raw");
    long long lowest = INT64_MAX, highest = INT64_MIN;
    if (!write_file(path, [&](std::FILE* out) { return write_cells(out, o, lowest, highest); }))
        return 1;
    if (ascii) return 0;
    const std::string descriptor = o.stem + (wide ? "_m4.txt" : "_m2.txt");
    const bool described = write_file(descriptor, [&](std::FILE* out) {
        return std::fprintf(out, "%lld\n%lld\n%d\n%lld\n%lld\n%d\n", o.lines, o.columns,
                            wide ? 4 : 2, lowest, highest, o.pixel) >= 0;
    });
    if (described) return 0;
    std::remove(path.c_str());  // a raster without its descriptor is no DEM
    return 1;
}

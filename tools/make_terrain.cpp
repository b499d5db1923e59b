// make_terrain: writes a smooth synthetic DEM of any size, for the demo and the
// benchmark: rolling hills and a valley from a few sine octaves, the same for the
// same arguments on every host.
//
//   make_terrain LINES COLUMNS FORMAT STEM [--unit U] [--pixel P] [--seed S]
//
// FORMAT is raw16, raw32 or ascii. raw16/raw32 write STEM_m2.raw or STEM_m4.raw with
// their descriptor STEM_m2.txt or STEM_m4.txt; ascii writes STEM.asc. Raw cells are in
// the unit U (0 metres, 1 decimetres, 2 centimetres, 3 millimetres; default 1).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    long lines = 0, columns = 0;
    std::string format, stem;
    int unit = 1;
    int pixel = 10;
    unsigned seed = 1;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "make_terrain: %s\nusage: make_terrain LINES COLUMNS raw16|raw32|ascii STEM "
                 "[--unit 0-3] [--pixel P] [--seed S]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    if (argc < 5) usage("missing arguments");
    Options o;
    o.lines = std::strtol(argv[1], nullptr, 10);
    o.columns = std::strtol(argv[2], nullptr, 10);
    o.format = argv[3];
    o.stem = argv[4];
    for (int k = 5; k + 1 < argc; k += 2) {
        const std::string flag = argv[k];
        const long value = std::strtol(argv[k + 1], nullptr, 10);
        if (flag == "--unit") o.unit = static_cast<int>(value);
        else if (flag == "--pixel") o.pixel = static_cast<int>(value);
        else if (flag == "--seed") o.seed = static_cast<unsigned>(value);
        else usage("unknown option");
    }
    if (o.lines < 1 || o.columns < 1) usage("lines and columns must be at least 1");
    if (o.format != "raw16" && o.format != "raw32" && o.format != "ascii") usage("unknown format");
    if (o.unit < 0 || o.unit > 3) usage("the unit is 0 to 3");
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

void fail_io(const std::string& path) {
    std::perror(path.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const double factor = std::pow(10.0, o.unit);
    const bool ascii = o.format == "ascii";
    const bool wide = o.format == "raw32";
    const std::string path = o.stem + (ascii ? ".asc" : wide ? "_m4.raw" : "_m2.raw");
    std::FILE* out = std::fopen(path.c_str(), ascii ? "w" : "wb");
    if (out == nullptr) fail_io(path);
    if (ascii)
        std::fprintf(out, "ncols %ld\nnrows %ld\nxllcorner 500000.0\nyllcorner 4800000.0\ncellsize %d\n"
                     "NODATA_value -9999\n", o.columns, o.lines, o.pixel);
    long long lowest = INT64_MAX, highest = INT64_MIN;
    std::vector<unsigned char> bytes;
    std::string text;
    for (long i = 0; i < o.lines; ++i) {
        bytes.clear();
        text.clear();
        for (long j = 0; j < o.columns; ++j) {
            const double h = elevation(static_cast<double>(i) / o.lines, static_cast<double>(j) / o.columns, o.seed);
            if (ascii) {
                char cell[32];
                std::snprintf(cell, sizeof cell, j + 1 < o.columns ? "%.2f " : "%.2f\n", h);
                text += cell;
                continue;
            }
            long long stored = std::llround(h * factor);
            if (!wide && stored > 65535) stored = 65535;
            if (stored < lowest) lowest = stored;
            if (stored > highest) highest = stored;
            const auto bits = static_cast<std::uint32_t>(stored);
            for (int b = 0; b < (wide ? 4 : 2); ++b) bytes.push_back(static_cast<unsigned char>(bits >> (8 * b)));
        }
        const bool ok = ascii ? std::fputs(text.c_str(), out) >= 0
                              : std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (!ok) fail_io(path);
    }
    if (std::fclose(out) != 0) fail_io(path);
    if (!ascii) {
        const std::string descriptor = o.stem + (wide ? "_m4.txt" : "_m2.txt");
        std::FILE* d = std::fopen(descriptor.c_str(), "w");
        if (d == nullptr) fail_io(descriptor);
        std::fprintf(d, "%ld\n%ld\n%d\n%lld\n%lld\n%d\n", o.lines, o.columns, wide ? 4 : 2, lowest, highest, o.pixel);
        if (std::fclose(d) != 0) fail_io(descriptor);
    }
    return 0;
}

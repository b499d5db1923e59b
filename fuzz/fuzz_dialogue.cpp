// Fuzz target: the bytes are the whole standard input of a session. opening(),
// parameters(), treatment() and save() run in order on a small fixed image root; the
// run must end when the answers end, must never change its input files, and must leave
// either complete output files that agree with the run state or, after a failure, no
// output and no temporary file at all.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_state.h"
#include "harness.h"
#include "host_files.h"
#include "in_process_run.h"

namespace {

std::string root;
std::map<std::string, std::string> inputs;  // relative path -> bytes, never to change

// Larger inputs (answered for the rasters without descriptor) are read but not
// regridded: the sweep over 10^8 cells of the padded input takes 8 to 15 s under the
// instrumentation, a timeout without a fault; 4M cells take about 0.3 s.
constexpr long long most_input_cells = 1 << 22;

std::string cells16(int lines, int columns, int base) {
    std::string bytes;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) {
            const unsigned v =
                (i == 2 && j == 3) ? 0u : static_cast<unsigned>(base + 37 * i + 11 * j);
            bytes += static_cast<char>(v & 0xff);
            bytes += static_cast<char>(v >> 8);
        }
    return bytes;
}

std::string cells32(int lines, int columns) {
    std::string bytes;
    for (int i = 0; i < lines; ++i)
        for (int j = 0; j < columns; ++j) {
            const std::int32_t v = (i + j) % 4 == 0 ? -50 : 100 * i + 7 * j;
            const auto u = static_cast<std::uint32_t>(v);
            for (int k = 0; k < 4; ++k) bytes += static_cast<char>((u >> (8 * k)) & 0xff);
        }
    return bytes;
}

// Folder d: a 16-bit raster with a CR LF descriptor (a), a 32-bit raster with negative
// cells and a descriptor without pixel size (b), rasters without descriptor (c), an
// ASCII grid (g), a short raster whose descriptor claims 4 bytes per cell (h), and a
// raster named like an output (k_varnel), which output k must not overwrite.
void lay_inputs() {
    inputs["d/a_m2.raw"] = cells16(5, 7, 1200);
    inputs["d/a_m2.txt"] = "5\r\n7\r\n2\r\n1200\r\n1570\r\n10\r\n";
    inputs["d/b_m4.raw"] = cells32(7, 5);
    inputs["d/b_m4.txt"] = "7\n5\n4\n-50\n607\n0\n";
    inputs["d/c_m2.raw"] = cells16(5, 7, 300);
    inputs["d/c_m4.raw"] = cells32(5, 7);
    inputs["d/g.asc"] =
        "ncols 5\r\nnrows 6\r\nxllcorner 1000.5\r\nyllcorner -20\r\ncellsize 25\r\nnodata_value "
        "-9999\r\n"
        "10 11 12 13 14\r\n15 16 -9999 18 19\r\n20 21 22 23 24\r\n"
        "25 26 27 28 29\r\n30 31 32 33 34\r\n35 36 37 38 39.5\r\n";
    inputs["d/h_m2.raw"] = cells16(2, 5, 90);
    inputs["d/h_m2.txt"] = "5 7 4 0 0 25";
    inputs["d/k_varnel_m2.raw"] = cells16(3, 4, 50);
    inputs["d/k_varnel_m2.txt"] = "3\n4\n2\n50\n150\n5\n";
    fuzz::make_dir(root + "/d");
    for (const auto& [name, bytes] : inputs) fuzz::write_file(root + "/" + name, bytes);
}

bool ends_with(const std::string& s, const char* tail) {
    const std::size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool read_ints(const std::string& path, int (&v)[6]) {
    std::string text;
    return fuzz::read_file(path, text) &&
           std::sscanf(text.c_str(), "%d%d%d%d%d%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6;
}

// The files a completed run wrote, against the run state it ends with.
void check_output(const std::string& name) {
    const std::string path = root + "/" + name;
    for (int width : {2, 4}) {
        const std::string tag = "_varnel_m" + std::to_string(width);
        if (ends_with(name, (tag + ".raw").c_str()))
            fuzz::check_raster_file(path, width, nb_lig4, nb_col4, dmin_alt, dmax_alt, coef);
        else if (ends_with(name, (tag + ".txt").c_str()))
            fuzz::check_descriptor_file(path, width, nb_lig4, nb_col4, pix_size_out);
    }
    if (ends_with(name, "_varnel.asc"))
        fuzz::check_ascii_file(path, nb_lig4, nb_col4, dmin_alt, dmax_alt);
}

// A descriptor the dialogue created for a raster without one, completed by the reader.
void check_created_descriptor(const std::string& name) {
    int v[6];
    if (!read_ints(root + "/" + name, v))
        fuzz::finding("the created descriptor " + name + " is incomplete");
    if (v[0] != nb_lig || v[1] != nb_col || v[2] != (ends_with(name, "_m2.txt") ? 2 : 4))
        fuzz::finding("the created descriptor " + name + " does not give the geometry answered");
}

// The k_varnel raster of the root is named like the raster output of base k: a run on
// another input may replace it, as it replaces any earlier output of that name, but a
// run on k_varnel itself must not (it is recognised by its descriptor).
bool input_was_k_varnel() {
    return format == 1 && descr_OK && nb_lig == 3 && nb_col == 4 && mind == 50 && maxd == 150;
}

// Whether a name is a run's temporary file: "<final name>.part-<process>-<n>". An
// input's own name may hold ".part-" (and so its outputs' names).
bool is_temporary(const std::string& name) {
    const auto at = name.rfind(".part-");
    if (at == std::string::npos) return false;
    const std::string ending = name.substr(at + 6);
    const auto dash = ending.find('-');
    const auto digits = [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    };
    return dash != std::string::npos && digits(ending.substr(0, dash)) &&
           digits(ending.substr(dash + 1));
}

// Inputs unchanged, nothing temporary left, outputs only after a completed run; every
// file the run made is then removed, and a replaced k_varnel file laid again.
void sweep(bool completed) {
    for (const auto& [name, bytes] : inputs) {
        std::string now;
        if (fuzz::read_file(root + "/" + name, now) && now == bytes) continue;
        if (!completed || name.find("_varnel") == std::string::npos || input_was_k_varnel())
            fuzz::finding("the input file " + name + " was changed or removed");
        check_output(name);
        fuzz::write_file(root + "/" + name, bytes);
    }
    for (const std::string& name : fuzz::files_under(root)) {
        if (inputs.count(name) != 0) continue;
        if (is_temporary(name)) fuzz::finding("a temporary file was left behind: " + name);
        if (name.find("_varnel") != std::string::npos) {
            if (!completed) fuzz::finding("a failed run left the output " + name);
            check_output(name);
        } else if (ends_with(name, ".txt")) {
            check_created_descriptor(name);
        } else {
            fuzz::finding("the run made an unexpected file " + name);
        }
        unlink((root + "/" + name).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    root = fuzz::make_root("dialogue");
    lay_inputs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // ".." in a folder or name would reach files outside the private root: such a
    // session is not run (and not kept in the corpus).
    if (memmem(data, size, "..", 2) != nullptr) return -1;
    support::start_run({reinterpret_cast<const char*>(data), size});
    bool regridded = false;
    const bool completed = fuzz::run_phases([&] {
        RunFiles files;
        opening(files);
        if (static_cast<long long>(nb_lig) * nb_col > most_input_cells) return;
        parameters(files);
        treatment(files);
        save(files);
        regridded = true;
    });
    remove_temporary_files();
    sweep(completed && regridded);
    support::end_run();
    return 0;
}

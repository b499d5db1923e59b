// The run's dialogue: opening (banner, input names and reading, output names and
// files) and parameters (the two pixel sizes and their ratio). main() runs them with
// treatment and save.
#include "dem_varnel/dialogue.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "answers.h"
#include "dem_files/crs_file.h"
#include "dem_files/descriptor.h"
#include "dem_files/names.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_state.h"
#include "failure.h"
#include "host_console.h"
#include "host_files.h"
#include "host_memory.h"
#include "padded_lines.h"
#include "regrid/engine.h"

namespace {

// --- Banner --------------------------------------------------------------------------

std::string framed(const std::string& text) {
    return "\n\t*" + text + std::string(60 - text.size(), ' ') + "*";
}

void banner() {
    const std::string border = "\n\t" + std::string(62, '*');
    say("\n%s", border.c_str());
    const char* const lines[12] = {"",
                                   "                     DEM VARNEL",
                                   "",
                                   "",
                                   "",
                                   "",
                                   "    Changes the pixel size of a digital elevation model",
                                   "    by area-weighted averaging, gap filling and smoothing",
                                   "",
                                   "    Raw 16/32-bit rasters with descriptor, or ASCII grids",
                                   "",
                                   ""};
    for (const char* line : lines) say("%s", framed(line).c_str());
    say("%s", border.c_str());
}

// --- Answer checks ---------------------------------------------------------------------

IntCheck one_of(int highest) {
    return [highest](int v) {
        return v >= 0 && v <= highest ? std::string() : not_a_choice(v, highest);
    };
}

// A name answer that leaves room for the longest suffix that can follow it.
WordCheck fits_after(const std::string& prefix, std::size_t suffix, const char* what) {
    return [prefix, suffix, what](const std::string& name) {
        const std::size_t room = max_name - prefix.size() - suffix;
        if (name.size() <= room) return std::string();
        return std::string(what) + " may have at most " + std::to_string(room) +
               " characters here, so that every file name stays within " + std::to_string(max_name);
    };
}

IntCheck count_check(const char* what) {
    return [what](int v) {
        if (v < 1) return std::string("the number of ") + what + " must be at least 1";
        if (padded(v) > INT_MAX) return std::string("the number of ") + what + " is too large";
        return std::string();
    };
}

std::string not_negative(int v) { return v >= 0 ? "" : "the pixel size must not be negative"; }

int ask_format() {
    return answer_int(
        [] { say("\n\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t"); }, one_of(1));
}

int ask_cell_width() {
    return answer_int(
        [] { say("\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t"); },
        one_of(1));
}

// --- Input -------------------------------------------------------------------------------

// The descriptor of a raw raster: read when it exists, otherwise created from the
// operator's answers and completed by the reader.
void descriptor(RunFiles& files, const std::string& nomdescr1) {
    Descriptor read;
    if (read_descriptor(nomdescr1, itype == 0 ? 2 : 4, read)) {
        nb_lig = read.lines;
        nb_col = read.columns;
        mind = read.lowest;
        maxd = read.highest;
        pix_size = read.pixel_size;
        descr_OK = true;
        return;
    }
    say("\n No File %s \n\n", nomdescr1.c_str());
    files.new_descriptor = std::make_unique<PendingOutput>(nomdescr1, "w");
    nb_lig = answer_int([] { say("\n\tNumber of lines   ? "); }, count_check("lines"));
    nb_col = answer_int([] { say("\n\tNumber of columns ? "); }, count_check("columns"));
    pix_size = answer_int([] { say("\n\tPixel size ? "); }, not_negative);
    const int val = itype == 0 ? 2 : 4;
    if (std::fprintf(files.new_descriptor->stream(), "%d\n%d\n%d\n", nb_lig, nb_col, val) < 0)
        files.new_descriptor->write_failed();
    descr_OK = false;
}

// The files of the input, which the output must never overwrite.
struct InputFiles {
    std::string data, descriptor;
};

InputFiles raster_input(RunFiles& files, const std::string& stem) {
    itype = ask_cell_width();
    const InputFiles input{stem + input_data_suffix(1, itype),
                           stem + input_descriptor_suffix(itype)};
    std::FILE* stream = open_input(input.data, true);
    files.input = InputWatch(input.data, stream);
    files.raw =
        std::make_unique<RawReader>(stream, shown_name(input.data), itype == 0 ? 2 : 4, 0, 0);
    descriptor(files, input.descriptor);
    if (pix_size == 0)
        pix_size = answer_int([] { say("\n\n\tPixel Size (in meters) ? "); }, not_negative);
    dpix_size = pix_size;
    files.raw->set_geometry(nb_lig, nb_col);
    dem_lecture(files);
    return input;
}

InputFiles ascii_input(RunFiles& files, const std::string& stem) {
    const InputFiles input{stem + input_data_suffix(0, 0), ""};
    std::FILE* stream = open_input(input.data, false);
    files.input = InputWatch(input.data, stream);
    files.ascii = std::make_unique<AsciiReader>(stream, input.data, shown_name(input.data));
    ascii_lecture(files);
    files.crs = read_crs_beside(input.data);
    say("\n");
    return input;
}

// --- Output ------------------------------------------------------------------------------

std::string clash(const InputFiles& input, const std::string& nomim2,
                  const std::string& nomdescr2) {
    if (!nomdescr2.empty() && same_file(nomim2, nomdescr2))
        return "the output descriptor " + nomdescr2 + " is the same file as the output " + nomim2 +
               ", so one would replace the other; choose another output name";
    for (const std::string* out : {&nomim2, &nomdescr2}) {
        if (out->empty()) continue;
        for (const std::string* in : {&input.data, &input.descriptor})
            if (!in->empty() && same_file(*out, *in))
                return "the output " + *out + " would overwrite the input " + *in +
                       "; choose another output name";
    }
    return "";
}

void output(RunFiles& files, const std::string& directory, const std::string& nomfic1,
            const InputFiles& input) {
    const std::string generic_too_long =
        fits_after(directory, longest_output_suffix, "the output name")(nomfic1);
    for (;;) {
        const int rep = answer_int(
            [&nomfic1] {
                say("\n\n\t0 -----> Use of the generic name %s ? ", nomfic1.c_str());
                say("\n\t1 -----> Creation of a new File ? \n\t");
            },
            [&generic_too_long](int v) {
                if (v != 0 && v != 1) return not_a_choice(v, 1);
                return v == 0 ? generic_too_long : std::string();
            });
        std::string nomfic = nomfic1;
        if (rep == 1)
            nomfic =
                answer_word([] { say("\n\n\tName of the DEM out (without any extension) ? "); },
                            fits_after(directory, longest_output_suffix, "the output name"));
        std::string nomim2 = directory + nomfic;
        std::string nomdescr2;
        format2 = ask_format();
        if (format2 == 1) {
            itype2 = ask_cell_width();
            nomdescr2 = nomim2 + output_descriptor_suffix(itype2);
        }
        nomim2 += output_data_suffix(format2, itype2);
        const std::string problem = clash(input, nomim2, nomdescr2);
        if (!problem.empty()) {
            report(problem);
            continue;
        }
        if (format2 == 1) {
            files.raster =
                std::make_unique<RasterWriter>(nomim2, nomdescr2, itype2 == 0 ? 2 : 4, coef);
            // Voids beyond the reach of every filling come as cells without data.
            if (files.voids) files.raster->count_voids();
        } else {
            files.grid = std::make_unique<AsciiWriter>(nomim2, !open_ascii_OK);
        }
        files.written = {nomim2};
        if (format2 == 1) files.written.push_back(nomdescr2);
        files.crs_name = crs_name_of(nomim2);
        return;
    }
}

// The typed input pixel size decides the output's extent with the output pixel size;
// one that differs from the grid's own is most likely a slip.
void warn_of_other_pixel_size(double pix_size_in) {
    if (open_ascii_OK ? pix_size_in == dpix_size
                      : pix_size == 0 || static_cast<long long>(pix_size_in) == pix_size)
        return;
    const double own = open_ascii_OK ? dpix_size : static_cast<double>(pix_size);
    report(
        "the pixel size in, " + number_text(pix_size_in) + ", differs from the grid's own, " +
        number_text(own) +
        (open_ascii_OK ? " (the cellsize of its header)" : " (the pixel size of its descriptor)") +
        ": the output then covers another extent than the input");
}

// Reason to refuse a ratio: no output line or column, an output too large to address,
// more memory than the machine can give for the sweep, or output files larger than
// the free space where they are written; empty when the run can go on.
std::string ratio_problem(const RunFiles& files, double r) {
    char text[240];
    const long long out_lines = output_count(nb_lig, r), out_columns = output_count(nb_col, r);
    if (out_lines < 0 || out_columns < 0) {
        if (!(scaled_count(nb_lig, r) >= 1.0L) || !(scaled_count(nb_col, r) >= 1.0L))
            std::snprintf(text, sizeof text,
                          "ratio %g gives an output of fewer than one line or column "
                          "(%d x %d input lines and columns)",
                          r, nb_lig, nb_col);
        else
            std::snprintf(text, sizeof text, "ratio %g gives an output too large to address", r);
        return text;
    }
    const int lines = static_cast<int>(out_lines), columns = static_cast<int>(out_columns);
    RegridRequest request = treatment_request();
    request.ratio = r;
    const std::string memory =
        memory_refusal(regrid_memory(request) + file_lines_memory(files, columns));
    if (!memory.empty())
        return "an output of " + std::to_string(lines) + " lines and " + std::to_string(columns) +
               " columns " + memory;
    const std::uint64_t bytes = output_file_bytes(files, lines, columns), disk = output_room(files);
    if (bytes > disk) {
        const SizeTexts sizes = distinct_sizes(bytes, disk);
        std::snprintf(text, sizeof text,
                      "an output of %d lines and %d columns makes files of %s, more than the "
                      "%s free where they are written",
                      lines, columns, sizes.first.c_str(), sizes.second.c_str());
        return text;
    }
    return "";
}

}  // namespace

// Inputs are read as bytes, text too: the
// readers take CR as white space, so CR LF files read as LF ones, and the ASCII
// reader's byte offsets (it seeks back to its values) hold on every host, as a Windows
// text stream's would not; nor does a Ctrl-Z end a file there.
std::FILE* open_input(const std::string& logical, bool raster) {
    const std::string host = host_path(logical);
    refuse_special_input(logical);
    std::FILE* stream = std::fopen(host.c_str(), "rb");
    if (stream == nullptr) {
        if (errno != ENOENT) fail("cannot open " + shown_name(logical) + ": " + system_error());
        say("\n File %s unknown\n", logical.c_str());
        if (host != logical) report("the host path tried was " + host);
        wait_for_key(answer_in);
        fail("");
    }
    const auto refuse = [stream](const std::string& why) {
        std::fclose(stream);
        fail(why);
    };
    if (is_directory(stream)) refuse("cannot read " + shown_name(logical) + ": it is a directory");
    std::uint64_t size = 0;
    if (raster && regular_file_size(stream, size) && size == 0)
        refuse(shown_name(logical) + " is empty: it holds no elevation");
    return stream;
}

void opening(RunFiles& files) {
    banner();
    std::string nomim1 = base_directory;
    // The folder must leave room for a one-character name with the longest suffix.
    const std::string nomdir = answer_word(
        [] { say("\n\n\tName of the File Folder located in the Directory %s : ", base_directory); },
        fits_after(nomim1 + "\\", 1 + longest_output_suffix, "the folder name"));
    nomim1 += nomdir + "\\";
    const std::string directory = nomim1;  // the output goes to the same folder

    const std::string nomfic1 =
        answer_word([] { say("\n\n\tName of DEM File (without any extension) ? "); },
                    fits_after(directory, longest_input_suffix, "the input name"));
    nomim1 += nomfic1;

    format = ask_format();
    const InputFiles input = format == 1 ? raster_input(files, nomim1) : ascii_input(files, nomim1);

    say("\n\tTHE ORIGINAL DEM HAS : ");
    say("\n\t            %d LINES", nb_lig);
    say("\n\t        AND %d COLUMNS", nb_col);

    output(files, directory, nomfic1, input);
}

void parameters(const RunFiles& files) {
    const RealCheck pixel_size = [](double v) {
        if (std::isfinite(v) && v > 0 && v <= 2147483647.0) return std::string();
        return std::string("a pixel size must be a positive number no larger than 2147483647");
    };
    say("\n\tParameters : ");
    double pix_size_in = 0.0;
    for (;;) {
        pix_size_in = answer_real([] { say("\n\t\tpixel size in  ? "); }, pixel_size);
        pix_size_out = answer_real([] { say("\t\tpixel size out ? "); }, pixel_size);
        // The quotient keeps a 64-bit significand and is rounded once, to double.
        ratio = pixel_ratio(pix_size_in, pix_size_out);
        const std::string problem = ratio_problem(files, ratio);
        if (problem.empty()) break;
        report(problem + "; pixel sizes asked again");
    }
    warn_of_other_pixel_size(pix_size_in);
    say("\n\tresulting ratio = %lf ", ratio);
}

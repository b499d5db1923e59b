// The suffixes of the files: "_m2"/"_m4" give the bytes per cell of a raw raster.
#include "dem_files/names.h"

namespace {
constexpr char width_tag[2][4] = {"_m2", "_m4"};

int width_index(int cell_type) { return cell_type == 0 ? 0 : 1; }
}  // namespace

bool ends_with_ignoring_case(const std::string& text, const std::string& end) {
    if (text.size() < end.size()) return false;
    for (std::size_t k = 0; k < end.size(); ++k) {
        char c = text[text.size() - end.size() + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != end[k]) return false;
    }
    return true;
}

std::string input_data_suffix(int file_format, int cell_width) {
    return file_format == 0 ? ".asc" : std::string(width_tag[width_index(cell_width)]) + ".raw";
}

std::string input_descriptor_suffix(int cell_width) {
    return std::string(width_tag[width_index(cell_width)]) + ".txt";
}

std::string output_data_suffix(int file_format, int cell_width) {
    return "_varnel" + (file_format == 0 ? std::string(".asc") : input_data_suffix(1, cell_width));
}

std::string output_descriptor_suffix(int cell_width) {
    return "_varnel" + input_descriptor_suffix(cell_width);
}

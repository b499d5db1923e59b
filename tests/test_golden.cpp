// Golden grids: one tiny input per mode (reduction, enlargement, ratio 1), among them
// every input and output format, run through the real program and compared whole with
// the files it wrote once and that were checked by hand (golden/README.md says how).
// To add a case, add its folder under golden/ and its transcript here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "session.h"
#include "transcript.h"

namespace {

std::string file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Every file of `folder` by its name under `prefix`.
void add_files(const std::string& folder, const std::string& prefix,
               std::map<std::string, std::string>& files) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[prefix + entry.path().filename().string()] = file_bytes(entry.path());
}

std::size_t first_difference(const std::string& a, const std::string& b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first -
                                    a.begin());
}

struct Golden {
    std::string name, out, err;  // the case's folder, its whole standard output and error
};

}  // namespace

TEST(Golden, EveryModeAndFormatWritesItsHandCheckedFilesByteForByte) {
    const std::string opening = text::banner() + text::folder + text::name + text::format;
    const std::string pixel_sizes = text::parameters + text::pixel_in + text::pixel_out;
    const Golden cases[] = {
        {"reduction",
         opening + text::width + text::range(1000, 1975) + text::unit + text::size(26, 36) +
             text::output_name("ramp") + text::format + pixel_sizes + text::ratio("0.333333") +
             text::announcement(8, 11) + text::reduction + text::treatment + text::corner,
         ""},
        {"enlargement",
         opening + "\n\n" + text::size(6, 6) + text::output_name("ridge") + text::format +
             text::width + pixel_sizes + text::ratio("3.500000") + text::announcement(21, 21) +
             text::enlargement + text::treatment,
         ""},
        {"ratio1",
         opening + text::width + text::range(-50, 307) + text::unit + text::size(9, 13) +
             text::output_name("sea") + text::format + text::width + pixel_sizes +
             text::ratio("1.000000") + text::announcement(9, 13) + text::reduction +
             text::treatment,
         "dem_varnel: the input holds negative elevations: this program is made for positive "
         "elevations, where 0 means no data, so results near negative cells come out as "
         "magnitudes\n"},
    };
    for (const Golden& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = std::string(DEM_VARNEL_GOLDEN) + "/" + c.name;
        std::map<std::string, std::string> inputs;
        add_files(folder + "/input", c.name + "/", inputs);
        std::map<std::string, std::string> expected = inputs;
        add_files(folder + "/expected", c.name + "/", expected);
        TempRoot root;
        for (const auto& file : inputs) root.write(file.first, file.second);
        const Session s = run_program(root, file_bytes(folder + "/answers"));
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_EQ(s.out, c.out);
        EXPECT_EQ(text::without_summary(s.err), c.err);
        // The inputs unchanged, every output as golden, and nothing else.
        const std::map<std::string, std::string> written = root.snapshot();
        for (const auto& file : expected) {
            const auto found = written.find(file.first);
            if (found == written.end())
                ADD_FAILURE() << file.first << " was not written";
            else if (found->second != file.second)
                ADD_FAILURE() << file.first << " differs from the golden file from byte "
                              << first_difference(found->second, file.second);
        }
        EXPECT_EQ(written.size(), expected.size()) << "files under the root";
    }
}

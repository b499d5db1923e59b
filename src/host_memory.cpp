// Memory sizes as the refusals tell them. What the host can give is read by the host's
// own body: host_memory_linux.cpp or host_memory_windows.cpp.
#include "host_memory.h"

#include <cstdio>

std::string memory_refusal(std::uint64_t needed) {
    const std::uint64_t room = memory_available();
    if (needed <= room) return "";
    const SizeTexts sizes = distinct_sizes(needed, room);
    return "needs " + sizes.first + ", more than the " + sizes.second + " this machine can give";
}

std::uint64_t memory_ceiling = UINT64_MAX;

namespace {
std::string in_mebibytes(std::uint64_t bytes, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f MiB", decimals,
                  static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}
}  // namespace

std::string mebibytes(std::uint64_t bytes) { return in_mebibytes(bytes, 1); }

SizeTexts distinct_sizes(std::uint64_t first, std::uint64_t second) {
    for (int decimals = 1; decimals <= 3; ++decimals) {
        SizeTexts texts{in_mebibytes(first, decimals), in_mebibytes(second, decimals)};
        if (texts.first != texts.second || first == second) return texts;
    }
    return {std::to_string(first) + " bytes", std::to_string(second) + " bytes"};
}

// How much memory this process can still be given, so that a run too large for the
// machine is refused at once with its needs rather than killed or swapped later.
#pragma once

#include <cstdint>
#include <string>

// The least of the memory the system reports available, the room left under this
// process's control-group limit, the room left under its address-space limit and
// memory_ceiling.
std::uint64_t memory_available();

// A further bound on memory_available(), unbounded by default; tests and fuzzers lower
// it to see the refusals without using the memory.
extern std::uint64_t memory_ceiling;

// Empty when `needed` bytes can be had now, otherwise why not: "needs 12.3 MiB, more
// than the 10.0 MiB this machine can give", the two sizes told apart.
std::string memory_refusal(std::uint64_t needed);

// The cores this process may run on (its affinity), at least 1.
int usable_cores();

// "12.3 MiB"-style text.
std::string mebibytes(std::uint64_t bytes);

// Two sizes as texts that tell them apart: in MiB with as many decimals as that takes
// (up to three), otherwise in bytes.
struct SizeTexts {
    std::string first, second;
};
SizeTexts distinct_sizes(std::uint64_t first, std::uint64_t second);

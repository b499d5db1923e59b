// How much memory this process can still be given, so that a run too large for the
// machine is refused at once with its needs rather than killed or swapped later.
#pragma once

#include <cstdint>
#include <string>

// The least of the memory the system reports available, the room left under this
// process's control-group limit and the room left under its address-space limit.
std::uint64_t memory_available();

// "12.3 MiB"-style text.
std::string mebibytes(std::uint64_t bytes);

// Writing a file's blocks straight to the device, past the page cache, where the host
// and its file system allow it: an output far larger than what the run holds gains
// nothing from having its pages copied into the cache, dirtied and written back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Blocks written this way start and end at multiples of this many bytes of the file,
// from memory aligned to it.
constexpr std::size_t direct_block = 4096;

// A handle for writes past the page cache on the file at `path`, which another handle
// is writing; -1 where the host or the file system does not allow them, or where
// direct_writes_allowed is false.
int open_direct(const std::string& path);

// Writes `bytes` (a multiple of direct_block) from `data` (aligned to it) at `offset`
// (a multiple of it); false, with errno set, on a failure (EINVAL: the file system
// refuses such writes after all).
bool write_direct(int handle, const void* data, std::size_t bytes, std::uint64_t offset);

void close_direct(int handle);

// True by default; tests lower it to check that both ways write the same file.
extern bool direct_writes_allowed;

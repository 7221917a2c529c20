// Writing a new world file beside the old one and putting it in place.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes the new block to g_settings.outworldfile and leaves
// g_settings.worldfile at the first byte after the old block.
using block_producer = void (*)();

// Returns the exit status: 0 after success or a reported end, 1 after an I/O
// failure that left the world untouched.
int rewrite_world(std::int64_t block_offset, block_producer produce);

// Writes one assembled part of the block to the new world file; a failed
// write ends the run with status 1, the world untouched.
void write_block_part(const void* data, std::size_t size);

// Ends the rewrite before any rename with a report of `format` (one %s, for
// `path`) and exit status 1; the world stays untouched, the TEMP file behind.
[[noreturn]] void stop_rewrite(const char* format, const char* path);
// The common case: the new world file could not be written.
[[noreturn]] void new_world_write_failed();

// Copies everything from the current position of `from` to its end.
enum class copy_outcome { done, read_failed, write_failed };
copy_outcome copy_remainder(std::FILE* from, std::FILE* to);

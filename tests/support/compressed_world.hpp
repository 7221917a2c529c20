#pragma once
// Compressed world files for tests, made and taken apart with zlib alone (not
// the tool's code): bytes 0-7 as they are, then chunks of a u32
// little-endian length and one zlib stream.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// One zlib stream (header and Adler-32 included) at zlib's default level.
std::string zlib_stream(std::string_view bytes);
// A chunk as stored: the length of `stored`, then `stored`.
std::string framed(std::string_view stored);

// The compressed form of `logical`: its first 8 bytes as they are, then the
// rest cut into chunks whose inflated sizes are taken from `sizes` in turn,
// the last one repeated (so {3, 1} cuts 3 bytes, then single bytes).
std::string compress_world(std::string_view logical,
                           const std::vector<std::size_t>& sizes = {20000});

struct stored_chunk {
  std::size_t offset;    // of the length field in the file
  std::size_t stored;    // the length field's value
  std::size_t inflated;  // bytes the chunk inflates to
};

struct inflated_world {
  std::string logical;
  std::vector<stored_chunk> chunks;
};

// The logical content of a compressed world file and its chunks. Throws
// std::runtime_error, naming the chunk's offset, when a chunk is damaged.
inflated_world inflate_world(std::string_view file);

}  // namespace testsupport

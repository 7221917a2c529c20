// The compressed form of a world: bytes 0-7 as they are, then chunks, each a
// u32 little-endian length L > 0 and L bytes of one zlib stream. The logical
// content is bytes 0-7 followed by the chunks' inflated bytes; chunk
// boundaries mean nothing to the readers. The source itself is
// compressed_world_source() in world_source.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "world_source.h"

// The game reads a chunk into a buffer of 20,000 bytes, so chunks written
// never inflate to more; chunks read may inflate to up to a million.
constexpr std::size_t chunk_write_limit = 20000;
constexpr std::size_t chunk_read_limit = 1000000;

// Where and why a compressed world was found damaged: the file offset of the
// bad chunk's length field, and zlib's message or the tool's own words.
struct chunk_damage {
  std::int64_t offset = 0;
  std::string reason;
};

// The damage that made the last read of `source` fail; null when the failure
// was the system's (a read error) and for sources that are not compressed.
const chunk_damage* damage_of(const world_source& source);

// A sink that writes the compressed form: the first eight bytes as they
// are, the rest deflated at zlib's default level into chunks of at most
// chunk_write_limit bytes each. finish() writes the last, partial chunk.
std::unique_ptr<world_sink> compressed_world_sink(std::FILE* file);

// A zlib stream of exactly `wanted` bytes that inflates to the `size` bytes
// of `data`: the data stored, after empty deflate blocks that take up the
// difference. Every size from `size` + 11 (the data in one stored block)
// up to a few thousand bytes more has one, but `size` + 14; for the sizes
// without one the stream is empty.
std::string padded_stream(const std::uint8_t* data, std::size_t size, std::size_t wanted);

// The compressed world source on arbitrary files, against an independent
// reading of the whole chunk sequence, each chunk inflated by zlib in one
// call: the source must give the same logical bytes and fail at the same
// chunk.
//
// Input:
//   byte 0      flags: bit 0 the file is built from a recipe (below), not
//               taken as it is; bit 1 it is a real file, whose size the
//               source can ask for, not a memory stream; bit 2 it is read
//               a second time after a rewind
//   byte 1      seed of the sizes of the reads and skips
//   the rest    the file, or its recipe: 8 bytes as they are, then pieces,
//               each a kind byte, a u16 length and that many bytes:
//                 kind % 4 == 0  a chunk of the bytes deflated at level
//                                (kind / 4) % 10
//                 kind % 4 == 1  the bytes as they are (damage of any kind)
//                 kind % 4 == 2  a deflated chunk with one bit flipped,
//                                kind / 4 bytes from its end
//                 kind % 4 == 3  a chunk repeating the bytes: of 1,000,000
//                                + kind / 4 bytes (at the limit and past
//                                it) for kind / 4 < 2, else of kind / 4 *
//                                2,000 bytes (past the window's first
//                                size); the second and later are made as
//                                kind 0
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "compressed_world.h"
#include "harness.h"
#include "little_endian.h"
#include "world_source.h"

namespace {
constexpr std::size_t limit = 1000000;

void put_u32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

// One deflate state serves every chunk: compress2 would allocate a quarter
// of a megabyte for each, which under AddressSanitizer costs more than the
// rest of the input.
z_stream& deflater(int level) {
  static z_stream stream{};
  static bool ready = deflateInit(&stream, Z_DEFAULT_COMPRESSION) == Z_OK;
  if (!ready || deflateReset(&stream) != Z_OK ||
      deflateParams(&stream, level, Z_DEFAULT_STRATEGY) != Z_OK) {
    fault("deflate could not be set up");
  }
  return stream;
}

// A chunk of one zlib stream of `size` bytes: `pattern` repeated (whole),
// deflated as it is fed, so that a chunk of a million bytes costs no buffer
// that big.
std::string chunk_of(const std::string& pattern, std::size_t size, int level) {
  z_stream& stream = deflater(level);
  static std::uint8_t out[65536];
  std::string stored;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0 && size > 0) {
      const std::size_t feed = std::min(size, pattern.size());
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(pattern.data()));
      stream.avail_in = static_cast<uInt>(feed);
      size -= feed;
    }
    stream.next_out = out;
    stream.avail_out = sizeof out;
    status = deflate(&stream, size == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (status == Z_STREAM_ERROR) fault("deflate failed");
    stored.append(reinterpret_cast<const char*>(out), sizeof out - stream.avail_out);
  }
  std::string chunk;
  put_u32(chunk, static_cast<std::uint32_t>(stored.size()));
  return chunk + stored;
}

std::string build_file(const std::uint8_t* data, std::size_t size) {
  std::string file(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 8));
  int big_chunks = 0;
  for (std::size_t at = file.size(); at + 3 <= size;) {
    unsigned kind = data[at];
    if (kind % 4 == 3 && ++big_chunks > 1) kind -= 3;
    const std::size_t length =
        std::min<std::size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
    const std::string bytes(reinterpret_cast<const char*>(data + at + 3), length);
    at += 3 + length;
    switch (kind % 4) {
      case 0:
        file += chunk_of(bytes, bytes.size(), static_cast<int>(kind / 4 % 10));
        break;
      case 1:
        file += bytes;
        break;
      case 2: {
        std::string chunk = chunk_of(bytes, bytes.size(), Z_DEFAULT_COMPRESSION);
        chunk[chunk.size() - 1 - kind / 4 % (chunk.size() - 4)] ^=
            static_cast<char>(1u << (length % 8));
        file += chunk;
        break;
      }
      default:
        // Fed in pieces of whole periods of the pattern, 64 KiB at most.
        std::string piece = bytes.empty() ? std::string(1, '\0') : bytes;
        const std::size_t period = piece.size();
        while (piece.size() < 65536) piece += piece;
        piece.resize(std::max(period, 65536 - 65536 % period));
        const std::size_t repeated = kind / 4 < 2 ? 1000000 + kind / 4 : kind / 4 * 2000;
        file += chunk_of(piece, repeated, Z_BEST_SPEED);
    }
  }
  return file;
}

struct expectation {
  std::string logical;
  std::int64_t damage_at = -1;  // the bad chunk's length field, or none
};

// The whole file at once: each chunk must be a length that fits, then one
// zlib stream that fills exactly that length and inflates, in one call into
// a buffer of a million bytes, to its end. Static, so that its buffers are
// reused.
const expectation& read_independently(const std::string& file) {
  static z_stream stream{};
  static bool ready = inflateInit(&stream) == Z_OK;
  static std::uint8_t inflated[limit];
  static expectation expected;
  expected.logical.assign(file, 0, 8);
  expected.damage_at = -1;
  for (std::size_t at = expected.logical.size(); at < file.size();) {
    const auto* field = reinterpret_cast<const std::uint8_t*>(file.data() + at);
    const std::size_t left = file.size() - at;
    const std::size_t length = left < 4 ? 0 : load_le32(field);
    if (!ready || inflateReset(&stream) != Z_OK) fault("inflate could not be set up");
    stream.next_in = const_cast<Bytef*>(field + 4);
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = inflated;
    stream.avail_out = limit;
    if (length == 0 || length > left - 4 || inflate(&stream, Z_FINISH) != Z_STREAM_END ||
        stream.avail_in != 0) {
      expected.damage_at = static_cast<std::int64_t>(at);
      break;
    }
    expected.logical.append(reinterpret_cast<const char*>(inflated), limit - stream.avail_out);
    at += 4 + length;
  }
  return expected;
}

// A stream over the file's bytes for the source to own and close. A real
// file is one temporary file rewritten for each input, each time under a
// new descriptor: making a file per input would cost more than reading it.
std::FILE* open_file(const std::string& file, bool real) {
  if (!real) {
    return stream_over({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
  }
  static std::FILE* const kept = std::tmpfile();
  const int fd = kept != nullptr ? fileno(kept) : -1;
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    fault("could not write the temporary file");
  }
  std::FILE* stream = fdopen(dup(fd), "rb");
  if (stream == nullptr) fault("could not open the temporary file");
  return stream;
}

// Reads the source to its end or its failure in the given mix of read and
// skip sizes, checking every byte read; returns how the last read ended.
read_status read_through(world_source& source, const expectation& expected,
                         std::minstd_rand& sizes) {
  static std::uint8_t piece[70000];
  for (;;) {
    const std::uint32_t choice = sizes();
    const std::size_t size = choice % 4 == 0   ? 1 + choice / 4 % 8
                             : choice % 4 == 1 ? 1 + choice / 4 % 300
                                               : 1 + choice / 4 % sizeof piece;
    const std::int64_t before = source.position();
    const bool skip = choice % 7 == 0;
    const read_status status = skip ? source.skip(size) : source.read(piece, size);
    const std::int64_t got = source.position() - before;
    if (got < 0 || static_cast<std::size_t>(got) > size ||
        (status == read_status::ok) != (static_cast<std::size_t>(got) == size)) {
      fault("a read of %zu bytes at %lld moved the position by %lld", size,
            static_cast<long long>(before), static_cast<long long>(got));
    }
    if (static_cast<std::size_t>(source.position()) > expected.logical.size()) {
      fault("the source reads past the %zu logical bytes, to %lld", expected.logical.size(),
            static_cast<long long>(source.position()));
    }
    if (!skip &&
        std::memcmp(piece, expected.logical.data() + before, static_cast<std::size_t>(got)) != 0) {
      fault("the bytes read at %lld differ from the independent reading",
            static_cast<long long>(before));
    }
    if (status != read_status::ok) return status;
  }
}

void check_end(world_source& source, read_status status, const expectation& expected) {
  if (static_cast<std::size_t>(source.position()) != expected.logical.size()) {
    fault("the source stopped at %lld of %zu logical bytes (\"%s\")",
          static_cast<long long>(source.position()), expected.logical.size(),
          source.failure().c_str());
  }
  const chunk_damage* damage = damage_of(source);
  if (expected.damage_at < 0) {
    if (status != read_status::end) fault("a sound file failed: %s", source.failure().c_str());
    return;
  }
  if (status != read_status::failed || damage == nullptr) {
    fault("damage at byte %lld was not found", static_cast<long long>(expected.damage_at));
  }
  if (damage->offset != expected.damage_at || damage->reason.empty() ||
      damage->reason != source.failure()) {
    fault("damage at byte %lld reported at %lld (\"%s\")",
          static_cast<long long>(expected.damage_at), static_cast<long long>(damage->offset),
          damage->reason.c_str());
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool recipe = (data[0] & 1) != 0;
  const bool real = (data[0] & 2) != 0;
  const std::string file = recipe ? build_file(data + 2, size - 2)
                                  : std::string(reinterpret_cast<const char*>(data + 2), size - 2);
  const expectation& expected = read_independently(file);

  const auto source = compressed_world_source(open_file(file, real));
  std::minstd_rand sizes(data[1] + 1u);
  check_end(*source, read_through(*source, expected, sizes), expected);
  if ((data[0] & 4) != 0) {
    // Again in other sizes: no state of the first pass may stay.
    if (source->rewind() != read_status::ok) fault("rewind failed: %s", source->failure().c_str());
    check_end(*source, read_through(*source, expected, sizes), expected);
  }
  return 0;
}

// A world's logical bytes, as the block readers see them, and the new
// world's bytes, as the rewrite produces them.
//
// The readers never see how a world is stored: a plain world file is its
// bytes as they are; a compressed world stores everything after its first
// eight bytes as zlib chunks, and its source inflates them. Offsets (the
// header's fields, the block offset) are offsets in the logical content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "little_endian.h"
#include "platform.h"

enum class read_status {
  ok,
  end,     // the data ended first; what was left of it has been consumed
  failed,  // a read error or damage; see world_source::failure()
};

class world_sink;

// Copies a string of at most 32 bytes as two fixed 16-byte pieces, which
// cost less than a call to memcpy; 32 bytes must be readable at `from` and
// writable at `to`, past the string's end too.
inline void copy_short(void* to, const void* from) {
  std::memcpy(to, from, 16);
  std::memcpy(static_cast<char*>(to) + 16, static_cast<const char*>(from) + 16, 16);
}

// Reads front to back through a window of bytes that the implementation
// refills; a read that the window can serve costs a memcpy.
class world_source {
 public:
  virtual ~world_source() = default;
  world_source(const world_source&) = delete;
  world_source& operator=(const world_source&) = delete;

  // Reads exactly `size` bytes into `into`.
  read_status read(void* into, std::size_t size) {
    if (size <= static_cast<std::size_t>(end_ - next_)) {
      if (size != 0) std::memcpy(into, next_, size);
      next_ += size;
      return read_status::ok;
    }
    return read_slow(static_cast<std::uint8_t*>(into), size);
  }
  // Moves `size` bytes forward, as a read that keeps nothing.
  read_status skip(std::uint64_t size);
  // Moves past one counted string (a u16 length, little-endian, and that
  // many bytes); `length` gets its length when the status is ok, else 0.
  read_status skip_counted_string(std::uint16_t& length) {
    const auto held = static_cast<std::size_t>(end_ - next_);
    if (held >= 2) {
      const std::uint16_t size = load_le16(next_);
      if (held - 2 >= size) {
        next_ += std::size_t{2} + size;
        length = size;
        return read_status::ok;
      }
    }
    return skip_counted_string_slow(length);
  }
  // Reads one counted string's length into `length` and its text into
  // `into`, which has room for 65,535 bytes; `length` is 0 unless the
  // length itself was read.
  read_status read_counted_string(char* into, std::size_t& length) {
    const auto held = static_cast<std::size_t>(end_ - next_);
    if (held >= 2) {
      length = load_le16(next_);
      if (held - 2 >= length) {
        // Most identifiers are short (`into` has room for 32 bytes).
        if (length <= 32 && held - 2 >= 32) {
          copy_short(into, next_ + 2);
        } else {
          std::memcpy(into, next_ + 2, length);
        }
        next_ += 2 + length;
        return read_status::ok;
      }
    }
    return read_counted_string_slow(into, length);
  }
  // The bytes read ahead and not yet consumed. A reader may work on them
  // where they lie and then consume what it used with advance().
  const std::uint8_t* held_begin() const { return next_; }
  const std::uint8_t* held_end() const { return end_; }
  void advance(const std::uint8_t* to) { next_ = to; }  // within the held bytes
  // Reads the next `size` bytes and compares them, where they lie in the
  // window, with `data`; `same` becomes false at the first difference and
  // the read stops there.
  read_status read_comparing(const void* data, std::size_t size, bool& same);
  // Logical offset of the next byte to be read.
  std::int64_t position() const { return end_offset_ - (end_ - next_); }
  // Why the last read failed: the system's reason, or the damage found.
  const std::string& failure() const { return failure_; }

  // Starts again at logical offset 0.
  virtual read_status rewind() = 0;
  // Goes back to logical offset `offset`, which has been read before.
  virtual read_status seek(std::int64_t offset) {
    const read_status status = rewind();
    return status == read_status::ok ? skip(static_cast<std::uint64_t>(offset)) : status;
  }
  // Closes the world's file (a file open cannot be renamed everywhere);
  // nothing is read after it.
  virtual void close() = 0;
  // True for a world stored as zlib chunks.
  virtual bool compressed() const { return false; }

  // A sink that writes a new world of this world's form into `file`.
  virtual std::unique_ptr<world_sink> make_sink(std::FILE* file) const = 0;

  // Copies everything from position() to the world's end into `sink` and
  // finishes the sink. `piece_done` is called once per 16 MiB piece of the
  // file copied (the rewrite's progress dots).
  enum class copy_result { done, read_failed, write_failed };
  virtual copy_result copy_rest(world_sink& sink, platform::file_copier& copier,
                                void (*piece_done)()) = 0;

 protected:
  world_source() = default;
  // Puts the next bytes in the window [next_, end_) and adds their number
  // to end_offset_. `end` when there are none; `failed` with failure_ set.
  virtual read_status refill() = 0;
  // Copies `file` from its current position, file offset `start`, to its
  // end into the sink's file in 16 MiB pieces, and checks that exactly the
  // rest of the file was copied. `copied` gets the bytes copied.
  copy_result copy_file_rest(std::FILE* file, std::int64_t start, world_sink& sink,
                             platform::file_copier& copier, void (*piece_done)(),
                             std::int64_t& copied);
  // Empties the window and sets the logical offset of what comes next.
  void restart_at(std::int64_t offset) {
    next_ = end_ = nullptr;
    end_offset_ = offset;
  }

  const std::uint8_t* next_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::int64_t end_offset_ = 0;  // logical offset of end_
  std::string failure_;

 private:
  template <typename Piece>
  read_status consume(std::uint64_t size, Piece&& piece);
  read_status read_slow(std::uint8_t* into, std::size_t size);
  read_status skip_counted_string_slow(std::uint16_t& length);
  read_status read_counted_string_slow(char* into, std::size_t& length);
};

// Takes the new world's logical bytes in order; how they are stored is the
// sink's business.
class world_sink {
 public:
  virtual ~world_sink() = default;
  // False when the bytes could not be written (see failure()).
  virtual bool write(const void* data, std::size_t size) = 0;
  // Writes out whatever the sink holds back; false on failure.
  virtual bool finish() = 0;
  // The same, but where the form allows, the file written then ends at an
  // offset congruent to `offset` modulo 4096: stored bytes copied after it
  // from `offset` of another file then keep their place within a page, and
  // the kernel copies them fastest.
  virtual bool finish_aligned(std::int64_t offset) {
    static_cast<void>(offset);
    return finish();
  }
  // The file written: the source's copy of the rest appends to it directly.
  std::FILE* file() const { return file_; }
  const std::string& failure() const { return failure_; }
  void set_failure(std::string reason) { failure_ = std::move(reason); }

 protected:
  explicit world_sink(std::FILE* file) : file_(file) {}
  std::FILE* file_;
  std::string failure_;
};

// Opens the world at `path` for reading, in the form its first eight bytes
// declare (a file too short to tell is read as plain; the header checks
// then refuse it). Null, with the system's reason in `reason`, when it
// cannot be opened.
// A path that names no regular file is refused, never waited on, with
// `*not_regular` set when given.
std::unique_ptr<world_source> open_world_source(const char* path, std::string& reason,
                                                bool* not_regular = nullptr);

// A plain world is read through a window of this many bytes.
constexpr std::size_t plain_window_size = 256 * 1024;

// Sources over a stream that the source then owns and closes: the plain
// form, read `window` bytes at a time (at least 1), and the compressed form
// (bytes 0-7 as they are, then zlib chunks).
std::unique_ptr<world_source> plain_world_source(std::FILE* stream,
                                                 std::size_t window = plain_window_size);
std::unique_ptr<world_source> compressed_world_source(std::FILE* stream);

// A sink that writes bytes as they come (the plain form).
std::unique_ptr<world_sink> plain_world_sink(std::FILE* file);

// A sink that drops what it is given: for a dry run whose report is made
// on the way.
std::unique_ptr<world_sink> null_world_sink();

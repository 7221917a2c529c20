// Pieces the fuzz targets share: catching the tool's consistency stops,
// worlds, sinks and streams over memory, a private scratch folder, and an
// independent walker of the object-name block that the targets use to judge
// what the tool read and wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_stream.h"
#include "import.h"
#include "world_source.h"

using byte_view = std::span<const std::uint8_t>;
using byte_vector = std::vector<std::uint8_t>;

// What the stop handler throws instead of ending the process.
struct consistency_stopped {
  const char* condition;
};

// Sets the tool up as its driver does at start-up, except that every
// consistency stop throws consistency_stopped instead of ending the process.
void prepare_tool();

// A wrong result: prints the reason and aborts, which libFuzzer records as a
// crash with the input that caused it.
[[noreturn]] void fault(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A read-only stream over `data`, which must outlive it. Empty data gives a
// stream that is at its end at once.
std::FILE* stream_over(byte_view data);
// A plain world over `data` (the source owns and closes its stream), read
// through a window of `window` bytes.
std::unique_ptr<world_source> world_over(byte_view data, std::size_t window = plain_window_size);

// Sizes a target picks from its input (any number; eight choices): 0 gives
// the tool's own, the others small ones near the edges the readers treat
// apart, so that short inputs cross many windows and dump blocks.
std::size_t window_for(unsigned pick);  // around the 32-byte string copies
std::size_t dump_block_for(unsigned pick);  // around the 64-byte pieces

// Collects in memory what the tool writes to stream(). The stream is closed
// before the memory is released, so a late flush never writes into freed
// memory.
class memory_output {
 public:
  memory_output();
  ~memory_output();
  memory_output(const memory_output&) = delete;
  memory_output& operator=(const memory_output&) = delete;
  file_stream& stream() { return stream_; }
  // Everything written so far (flushes first while the stream is open).
  byte_vector bytes();

 private:
  file_stream stream_;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
};

// Keeps the new world's bytes that a block producer writes.
class byte_sink final : public world_sink {
 public:
  byte_sink() : world_sink(nullptr) {}
  bool write(const void* data, std::size_t size) override {
    const auto* start = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), start, start + size);
    return true;
  }
  bool finish() override { return true; }

  byte_vector bytes;
};

// A fresh folder of this process's own, removed at exit.
std::string private_folder();
void write_file(const std::string& path, byte_view data);

// ---------------------------------------------------------------------------
// The block as the readers must see it: i32 group count G (<= 0: none), then
// G groups and sections 1..19, each a positive i32 count and that many
// strings (u16 length + bytes). A count the data ends inside reads as 0.

enum class empty_strings {
  refused,  // export: an empty string is a stop
  kept,     // sync: an empty string is copied as it is
};

enum class zero_counts {
  refused,  // every reader: a count of 0 is a stop
  allowed,  // import writes them for empty sections; the structure holds
};

struct block_lists {
  std::int32_t groups = 0;                      // as stored, may be negative
  std::vector<std::vector<std::string>> lists;  // the groups, then sections 1..19
  std::size_t end = 0;                          // first byte after the block
};

// The block's lists, or none when a reader must stop on it.
std::optional<block_lists> walk_block(byte_view block, empty_strings empties,
                                      zero_counts zeros = zero_counts::refused);

// The object-name block for `lists`, encoded.
byte_vector encode_block(std::int32_t groups, const std::vector<std::vector<std::string>>& lists);

// The dump that export writes for the block (everything after the title line).
std::string expected_dump(const block_lists& block);

bool is_blank(char c);

// Runs the tool's export over a block held in memory; none when it stopped.
std::optional<std::string> export_of(byte_view block);
// The same for the block at the current position of `world`.
std::optional<std::string> export_from(world_source& world);

// Runs the tool's import over a dump held in memory, read `block_size`
// bytes at a time; none when it stopped.
std::optional<byte_vector> import_of(std::string_view dump, bool force = false,
                                     std::size_t block_size = dump_block_size);

std::string printable(std::string_view text);

// The object-name block: the section table, the counted string, the readers
// of counts and strings, the assembly buffer in which import and sync build
// sections, and the routine that reads past a whole block.
//
// Block layout (little-endian): i32 group count G (<= 0: no groups); G groups
// of u32 n + n counted strings; then sections 1..19, each u32 n + n counted
// strings. A counted string is a u16 length L and L bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "little_endian.h"
#include "world_source.h"

constexpr int section_creature_layer = 0;
constexpr int section_count = 20;

// The table seen as an array indexed by section number; entry section_count
// is the end marker, which is null.
extern const char* g_sectionlist[section_count + 1];

// The same storage seen by name.
struct section_table {
  const char*& creature_layer;
  const char*& inorganic;
  const char*& plant;
  const char*& body;
  const char*& bodygloss;
  const char*& creature;
  const char*& item;
  const char*& building;
  const char*& entity;
  const char*& word;
  const char*& symbol;
  const char*& translation;
  const char*& color;
  const char*& shape;
  const char*& color_pattern;
  const char*& reaction;
  const char*& material_template;
  const char*& tissue_template;
  const char*& body_detail_plan;
  const char*& creature_variation;
  const char*& end_marker;
};
extern const section_table g_section;

// Start-up self-check that both views share storage; a failure is a stop.
void check_section_list();

// Index of the section whose name equals `name` ignoring ASCII case, or -1.
int find_section(const char* name);

struct counted_string {
  std::uint16_t len = 0;
  std::unique_ptr<char[]> s;  // len bytes and a zero byte, or null
};

// Reads one counted string into `record`, replacing its previous text.
// The record has text only when the status is ok and the string is not
// empty; otherwise it is length 0 with no text. `end`: the world ends
// inside the string.
read_status read_counted_string(world_source& in, counted_string& record);

// Reads a 32-bit count into `value`; a count the world ends inside reads as
// 0 (with status `end`).
read_status read_count(world_source& in, std::int32_t& value);

// A string count read from the world must be positive: 0 (which a truncated
// world also gives) and negative values are consistency stops. Only a read
// error returns anything but ok.
read_status read_string_count(world_source& in, std::int32_t& value);

// The growing buffer in which a section is assembled before its one write.
// It starts small and doubles as needed, in place where the allocator can
// (a large block is then remapped, not copied). Only the bytes assembled
// are ever read: what lies past them is never initialised, since it is
// about to be written.
class assembly_buffer {
 public:
  static constexpr std::size_t initial_size = 64 * 1024;
  assembly_buffer();

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  // The number of bytes assembled.
  std::size_t size() const { return used_; }
  // Room for `more` bytes after those assembled, growing the buffer as
  // needed; what is written there counts once commit() adds it.
  std::uint8_t* room(std::size_t more) {
    if (more > capacity_ - used_) grow(more);
    return bytes_.get() + used_;
  }
  void commit(std::size_t written) { used_ += written; }
  // Starts again at the beginning; what was assembled is dropped.
  void reset() { used_ = 0; }

 private:
  void grow(std::size_t more);
  struct release {
    void operator()(std::uint8_t* bytes) const;
  };
  std::unique_ptr<std::uint8_t, release> bytes_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

void append_u32(assembly_buffer& out, std::uint32_t value);
void store_u32(assembly_buffer& out, std::size_t position, std::uint32_t value);
void append_counted_cstr(assembly_buffer& out, const char* text);
// Reads one counted string of `world` straight into `out` as a record (its
// length and bytes); `length` gets its length. Only an ok status appends.
read_status append_world_string(world_source& world, assembly_buffer& out, std::size_t& length);
// Appends a record of `length` bytes of `text`.
inline void append_record(assembly_buffer& out, const char* text, std::uint16_t length) {
  std::uint8_t* p = out.room(std::size_t{2} + length);
  store_le16(p, length);
  if (length != 0) std::memcpy(p + 2, text, length);
  out.commit(std::size_t{2} + length);
}

// Whether a block that begins at the position of `world` reads back whole:
// the group count, each group and the 19 sections, every string count above
// 0, no string empty, and the block ending exactly at `expected_end` (or
// anywhere, for -1). Never stops the run; reports nothing. `empty_lists`,
// when given, gets the name (as list_name gives it) of each list whose
// count is not above 0, up to where the block stops reading back.
bool block_reads_back_whole(world_source& world, std::int64_t expected_end,
                            std::vector<std::string>* empty_lists = nullptr);

// The name of the list at `position` of a block with `groups` groups, as
// messages and reports give it: "creature_layer 00000000" for a group, the
// section's name for a section.
std::string list_name(std::int64_t position, std::int64_t groups);

// Reads past a whole block, leaving `world` at its first byte after it, and
// adds the number of strings read to `strings` when it is given. Only a read
// error returns anything but ok.
read_status skip_world_block(world_source& world, std::uint64_t* strings = nullptr);

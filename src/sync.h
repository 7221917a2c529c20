// Brings the world's identifier lists up to date with the region's raw files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "object_block.h"

// Block producer: merges each section of the old block (read from
// g_settings.worldfile) with the identifiers the raw files define and writes
// it to g_settings.outworldfile.
int sync_raws();

// First position in [0, size) where `pattern` starts, comparing bytes
// exactly, or none.
std::optional<std::size_t> find_bytes(const std::uint8_t* range, std::size_t size,
                                      const std::uint8_t* pattern, std::size_t pattern_size);

// Answers "does this record occur anywhere in the bytes assembled so far?"
// exactly as find_bytes over the whole buffer would, for records whose text
// holds no zero byte, without scanning the buffer on every question.
//
// A record of length L < 256 is L, 0, then L non-zero bytes. Wherever it
// occurs, its 0 lands on a zero byte of the buffer. If that zero is the high
// length byte of a short record, the occurrence is that record itself
// (aligned). Any other zero byte z admits exactly one such record, the one
// of length buffer[z-1] whose text follows z, so those are collected as they
// appear. The empty record 0, 0 occurs wherever two zeros meet. Records of
// 256 bytes and more are rare enough to be searched for plainly.
class duplicate_index {
 public:
  void clear();
  // The bytes appended since the last call are not a record (a count field).
  void add_bytes(const assembly_buffer& buffer);
  // A record was appended at `start` and ends at buffer.outp.
  void add_record(const assembly_buffer& buffer, std::size_t start);
  bool contains(const assembly_buffer& buffer, const std::uint8_t* record,
                std::size_t size) const;

 private:
  void absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte);
  // Settles the record that the zero byte at z admits; false while the
  // buffer does not yet hold all of it.
  bool settle(const assembly_buffer& buffer, std::size_t z);

  struct text_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_set<std::string, text_hash, std::equal_to<>> records_;
  std::vector<std::size_t> pending_;  // zeros whose record is not complete yet
  std::size_t scanned_ = 0;
  bool zero_pair_ = false;
};

// The duplicate test of sync: does a record already occur anywhere in the
// bytes of the section assembled so far? Import asks a plainer question of
// the same table: was an equal record given before in this list?
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "object_block.h"

// First position in [0, size) where `pattern` starts, comparing bytes
// exactly, or none.
std::optional<std::size_t> find_bytes(const std::uint8_t* range, std::size_t size,
                                      const std::uint8_t* pattern, std::size_t pattern_size);

// Answers exactly as find_bytes over the whole buffer would, for records
// whose text holds no zero byte, without scanning the buffer on every
// question.
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
  // Sizes the table for about `records` records (a section's count).
  void reserve(std::size_t records);
  // The bytes appended since the last call are not a record (a count field).
  void add_bytes(const assembly_buffer& buffer);
  // A record was appended at `start` and ends at buffer.size().
  void add_record(const assembly_buffer& buffer, std::size_t start);
  // `record` is a whole record: its length field, then that many bytes.
  bool contains(const assembly_buffer& buffer, const std::uint8_t* record,
                std::size_t size) const;
  // Import's question, never mixed with the calls above: of the `count`
  // records at `first` of `buffer`, those equal to an earlier one of them
  // (by their number from 0, in order) are appended to `repeats`. The
  // table is emptied first.
  void find_repeats(const assembly_buffer& buffer, std::size_t first, std::uint32_t count,
                    std::vector<std::uint32_t>& repeats);
  // Starts fetching where `record` would be kept, to be asked about soon:
  // a large table is mostly out of cache.
  void prepare(const std::uint8_t* record, std::size_t size) const;

 private:
  // Known records are kept as places in the buffer, not as copies: the
  // table (open addressing, linear probing, at most half full) holds for
  // each a 32-bit hash and its number in places_. Slots are small so that
  // the table stays in cache, and growing it never reads a record again.
  struct slot {
    std::uint32_t hash;
    std::uint32_t number;  // the record's number + 1 (find_repeats: its offset + 1); 0: empty
  };

  void insert(const assembly_buffer& buffer, std::size_t offset, std::uint32_t hash);
  // The hash of a short record, remembered for the next question about it.
  std::uint32_t asked(const std::uint8_t* record, std::size_t size) const;
  void grow_to(std::size_t capacity);
  void absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte);
  // Settles the record that the zero byte at z admits; false while the
  // buffer does not yet hold all of it.
  bool settle(const assembly_buffer& buffer, std::size_t z);

  std::vector<slot> slots_;  // empty, or a power of two of them
  std::vector<std::size_t> places_;  // each record's offset in the buffer
  std::vector<std::size_t> pending_;  // zeros whose record is not complete yet
  std::size_t scanned_ = 0;
  bool zero_pair_ = false;
  // The last short record prepared or asked about and its hash: sync asks
  // about a record it prepared and adds it right after, hashing it once.
  mutable std::uint32_t asked_hash_ = 0;
  mutable std::size_t asked_size_ = 0;
  mutable std::uint8_t asked_[2 + 255] = {};
};

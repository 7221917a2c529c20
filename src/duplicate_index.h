// The duplicate test of sync: does a record already occur anywhere in the
// bytes of the section assembled so far?
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
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
  duplicate_index() = default;
  duplicate_index(const duplicate_index&) = delete;  // the set refers to its owner
  duplicate_index& operator=(const duplicate_index&) = delete;

  void clear();
  // The bytes appended since the last call are not a record (a count field).
  void add_bytes(const assembly_buffer& buffer);
  // A record was appended at `start` and ends at buffer.outp.
  void add_record(const assembly_buffer& buffer, std::size_t start);
  bool contains(const assembly_buffer& buffer, const std::uint8_t* record,
                std::size_t size) const;

 private:
  // Known records are kept as places in the buffer, not as copies.
  struct span {
    std::size_t offset;
    std::size_t length;
  };
  struct span_hash {
    const duplicate_index* owner;
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const;
    std::size_t operator()(const span& place) const { return (*this)(owner->text_of(place)); }
  };
  struct span_equal {
    const duplicate_index* owner;
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return owner->text_of(a) == owner->text_of(b);
    }
  };

  std::string_view text_of(std::string_view text) const { return text; }
  std::string_view text_of(const span& place) const {
    return {reinterpret_cast<const char*>(buffer_->data()) + place.offset, place.length};
  }
  void absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte);
  // Settles the record that the zero byte at z admits; false while the
  // buffer does not yet hold all of it.
  bool settle(const assembly_buffer& buffer, std::size_t z);

  const assembly_buffer* buffer_ = nullptr;
  std::unordered_set<span, span_hash, span_equal> records_{64, span_hash{this}, span_equal{this}};
  std::vector<std::size_t> pending_;  // zeros whose record is not complete yet
  std::size_t scanned_ = 0;
  bool zero_pair_ = false;
};

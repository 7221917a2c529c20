#include "duplicate_index.h"

#include <algorithm>
#include <cstring>
#include <functional>

// Knuth-Morris-Pratt: never looks at a byte of the range twice, so long
// repetitive records cost no more than short ones.
std::optional<std::size_t> find_bytes(const std::uint8_t* range, std::size_t size,
                                      const std::uint8_t* pattern, std::size_t pattern_size) {
  if (pattern_size == 0) return std::size_t{0};
  if (pattern_size > size) return std::nullopt;
  // border[i]: length of the longest proper border of pattern[0, i].
  std::vector<std::size_t> border(pattern_size, 0);
  for (std::size_t i = 1, k = 0; i < pattern_size; ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = 0, matched = 0; i < size; ++i) {
    while (matched > 0 && range[i] != pattern[matched]) matched = border[matched - 1];
    if (range[i] == pattern[matched]) ++matched;
    if (matched == pattern_size) return i + 1 - pattern_size;
  }
  return std::nullopt;
}

std::size_t duplicate_index::span_hash::operator()(std::string_view text) const {
  return std::hash<std::string_view>{}(text);
}

void duplicate_index::clear() {
  records_.clear();
  pending_.clear();
  scanned_ = 0;
  zero_pair_ = false;
}

void duplicate_index::add_bytes(const assembly_buffer& buffer) {
  buffer_ = &buffer;
  absorb(buffer, SIZE_MAX);
}

void duplicate_index::add_record(const assembly_buffer& buffer, std::size_t start) {
  buffer_ = &buffer;
  const bool short_record = buffer.data()[start + 1] == 0;
  if (short_record) records_.insert(span{start, buffer.outp - start});
  absorb(buffer, short_record ? start + 1 : SIZE_MAX);
}

bool duplicate_index::settle(const assembly_buffer& buffer, std::size_t z) {
  const std::uint8_t* bytes = buffer.data();
  const std::size_t length = bytes[z - 1];
  const std::size_t end = std::min(z + 1 + length, buffer.outp);
  if (std::memchr(bytes + z + 1, 0, end - (z + 1)) != nullptr) return true;  // no record fits
  if (z + 1 + length > buffer.outp) return false;
  records_.insert(span{z - 1, length + 2});
  return true;
}

void duplicate_index::absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte) {
  const std::uint8_t* bytes = buffer.data();
  std::erase_if(pending_, [&](std::size_t z) { return settle(buffer, z); });
  std::size_t z = std::max<std::size_t>(scanned_, 1);
  while (z < buffer.outp) {
    const void* zero = std::memchr(bytes + z, 0, buffer.outp - z);
    if (zero == nullptr) break;
    z = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes);
    if (bytes[z - 1] == 0) {
      zero_pair_ = true;
    } else if (z != aligned_high_byte && !settle(buffer, z)) {
      pending_.push_back(z);
    }
    ++z;
  }
  scanned_ = buffer.outp;
}

bool duplicate_index::contains(const assembly_buffer& buffer, const std::uint8_t* record,
                               std::size_t size) const {
  if (size == 2 && record[0] == 0 && record[1] == 0) return zero_pair_;
  if (record[1] == 0) {
    return records_.contains(std::string_view(reinterpret_cast<const char*>(record), size));
  }
  return find_bytes(buffer.data(), buffer.outp, record, size).has_value();
}

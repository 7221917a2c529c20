#include "duplicate_index.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "text_util.h"

namespace {
// Knuth-Morris-Pratt from `from` on: never looks at a byte of the range
// twice, so long repetitive patterns cost no more than short ones.
std::optional<std::size_t> find_bytes_kmp(const std::uint8_t* range, std::size_t size,
                                          std::size_t from, const std::uint8_t* pattern,
                                          std::size_t pattern_size) {
  // border[i]: length of the longest proper border of pattern[0, i]; each
  // is set before it is read.
  const std::unique_ptr<std::size_t[]> border(new std::size_t[pattern_size]);
  border[0] = 0;
  for (std::size_t i = 1, k = 0; i < pattern_size; ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = from, matched = 0; i < size; ++i) {
    while (matched > 0 && range[i] != pattern[matched]) matched = border[matched - 1];
    if (range[i] == pattern[matched]) ++matched;
    if (matched == pattern_size) return i + 1 - pattern_size;
  }
  return std::nullopt;
}
}  // namespace

// Each place that holds the pattern's first byte is compared, which the
// library does far faster than a byte at a time: first a few bytes, then
// the rest. Repetitive bytes can make that quadratic, so once whole
// comparisons have cost about as much as the range, Knuth-Morris-Pratt
// takes over where they stopped.
std::optional<std::size_t> find_bytes(const std::uint8_t* range, std::size_t size,
                                      const std::uint8_t* pattern, std::size_t pattern_size) {
  if (pattern_size == 0) return std::size_t{0};
  if (pattern_size > size) return std::nullopt;
  const std::size_t last = size - pattern_size;  // the last start that fits
  const std::size_t head = std::min<std::size_t>(pattern_size, 16);
  std::size_t budget = size;
  for (std::size_t at = 0; at <= last; ++at) {
    const void* first = std::memchr(range + at, pattern[0], last - at + 1);
    if (first == nullptr) return std::nullopt;
    at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(first) - range);
    if (budget < pattern_size) return find_bytes_kmp(range, size, at, pattern, pattern_size);
    budget -= head;
    if (std::memcmp(range + at, pattern, head) != 0) continue;
    budget -= std::min(budget, pattern_size - head);
    if (std::memcmp(range + at + head, pattern + head, pattern_size - head) == 0) return at;
  }
  return std::nullopt;
}

namespace {
// Sections are sized from their count up to this many records; a count is
// read from the world and may be anything, and the table grows anyway.
constexpr std::size_t largest_reservation = std::size_t{1} << 12;
constexpr std::size_t smallest_table = 64;
// A cleared table at most this large is emptied and kept, a larger one is
// given back: the next section may be much smaller.
constexpr std::size_t kept_table = 4096;

std::uint64_t load_u64(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Words are mixed by independent multiplications, so that a short record,
// the common case, costs little more than its loads: one of up to 32 bytes
// is read as four words (up to 16, as two), the last ones ending at the
// record's end and overlapping those before.
std::uint32_t hash_record(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xC2B2AE3D27D4EB4Full,
                          k3 = 0x165667B19E3779F9ull, k4 = 0xD6E8FEB86659FD93ull;
  std::uint64_t hash = size * k3;
  const std::uint8_t* const end = bytes + size;
  if (size > 32) {
    for (; end - bytes > 16; bytes += 16) {
      hash = (hash ^ (load_u64(bytes) * k1) ^ (load_u64(bytes + 8) * k2)) * k3;
      hash ^= hash >> 29;
    }
    hash ^= (load_u64(end - 16) * k1) ^ (load_u64(end - 8) * k2);
  } else if (size > 16) {
    hash ^= (load_u64(bytes) * k1) ^ (load_u64(bytes + 8) * k2) ^ (load_u64(end - 16) * k4) ^
            ((load_u64(end - 8) ^ 0x5555) * k3);
  } else if (size >= 8) {
    hash ^= (load_u64(bytes) * k1) ^ (load_u64(end - 8) * k2);
  } else {
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes, size);
    hash ^= tail * k1;
  }
  hash ^= hash >> 32;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 29;
  return static_cast<std::uint32_t>(hash >> 32);
}

std::size_t record_size(const std::uint8_t* bytes, std::size_t offset) {
  return std::size_t{load_le16(bytes + offset)} + 2;
}

bool same_record(const std::uint8_t* bytes, std::size_t offset, const std::uint8_t* record,
                 std::size_t size) {
  return record_size(bytes, offset) == size && std::memcmp(bytes + offset, record, size) == 0;
}
}  // namespace

void duplicate_index::clear() {
  if (slots_.size() > kept_table) {
    slots_ = {};
  } else {
    std::fill(slots_.begin(), slots_.end(), slot{0, 0});
  }
  places_.clear();
  pending_.clear();
  scanned_ = 0;
  zero_pair_ = false;
  asked_size_ = 0;
}

void duplicate_index::reserve(std::size_t records) {
  records = std::min(records, largest_reservation);
  places_.reserve(records);
  std::size_t capacity = std::max(slots_.size(), smallest_table);
  while (capacity < records * 2) capacity *= 2;
  if (capacity != slots_.size()) grow_to(capacity);
}

void duplicate_index::grow_to(std::size_t capacity) {
  std::vector<slot> old = std::move(slots_);
  slots_.assign(capacity, slot{0, 0});
  const std::size_t mask = capacity - 1;
  for (const slot& entry : old) {
    if (entry.number == 0) continue;
    std::size_t at = entry.hash & mask;
    while (slots_[at].number != 0) at = (at + 1) & mask;
    slots_[at] = entry;
  }
}

void duplicate_index::insert(const assembly_buffer& buffer, std::size_t offset, std::uint32_t hash) {
  // Every record kept starts at an offset of its own, so their numbers fit
  // 32 bits for any section under 4 GiB.
  consistency_check(places_.size() < UINT32_MAX, "a section holds fewer than 2^32 records");
  if ((places_.size() + 1) * 2 > slots_.size()) {
    grow_to(std::max(slots_.size() * 2, smallest_table));
  }
  const std::uint8_t* bytes = buffer.data();
  const std::size_t size = record_size(bytes, offset);
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = hash & mask;
  for (; slots_[at].number != 0; at = (at + 1) & mask) {
    if (slots_[at].hash == hash &&
        same_record(bytes, places_[slots_[at].number - 1], bytes + offset, size)) {
      return;
    }
  }
  places_.push_back(offset);
  slots_[at] = slot{hash, static_cast<std::uint32_t>(places_.size())};
}

void duplicate_index::find_repeats(const assembly_buffer& buffer, std::size_t first,
                                   std::uint32_t count, std::vector<std::uint32_t>& repeats) {
  // The table is filled anew below; clear() would give a large one back.
  places_.clear();
  pending_.clear();
  scanned_ = 0;
  zero_pair_ = false;
  const std::uint8_t* const bytes = buffer.data();
  // Slots hold a record's offset from `first` + 1, which must fit 32 bits;
  // a list of 4 GiB is not looked at.
  if (count < 2 || buffer.size() - first >= UINT32_MAX) return;
  // Sized once for the whole list, which is known: no growing meanwhile.
  std::size_t capacity = smallest_table;
  while (capacity < std::size_t{count} * 2) capacity *= 2;
  slots_.assign(capacity, slot{0, 0});
  slot* const table = slots_.data();
  const std::size_t mask = capacity - 1;
  // The records' slots are fetched a few records ahead, so that the walk
  // does not wait on memory for each one: a large list's table is mostly
  // out of cache.
  constexpr std::uint32_t ahead = 8;
  std::size_t offsets[ahead];
  std::uint32_t hashes[ahead];
  std::size_t next = first;  // the next record to fetch
  const auto fetch = [&](std::uint32_t i) {
    const std::size_t size = record_size(bytes, next);
    offsets[i % ahead] = next;
    hashes[i % ahead] = hash_record(bytes + next, size);
#if defined(__GNUC__)
    __builtin_prefetch(&table[hashes[i % ahead] & mask]);
#endif
    next += size;
  };
  for (std::uint32_t i = 0; i < count && i < ahead; ++i) fetch(i);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t offset = offsets[i % ahead];
    const std::uint32_t hash = hashes[i % ahead];
    if (i + ahead < count) fetch(i + ahead);
    const std::size_t size = record_size(bytes, offset);
    std::size_t at = hash & mask;
    for (; table[at].number != 0; at = (at + 1) & mask) {
      if (table[at].hash == hash &&
          same_record(bytes, first + table[at].number - 1, bytes + offset, size)) {
        break;
      }
    }
    if (table[at].number != 0) {
      repeats.push_back(i);
    } else {
      table[at] = slot{hash, static_cast<std::uint32_t>(offset - first + 1)};
    }
  }
}

void duplicate_index::add_bytes(const assembly_buffer& buffer) { absorb(buffer, SIZE_MAX); }

void duplicate_index::add_record(const assembly_buffer& buffer, std::size_t start) {
  const std::uint8_t* record = buffer.data() + start;
  const bool short_record = record[1] == 0;
  if (short_record) {
    insert(buffer, start, asked(record, buffer.size() - start));
  }
  absorb(buffer, short_record ? start + 1 : SIZE_MAX);
}

bool duplicate_index::settle(const assembly_buffer& buffer, std::size_t z) {
  const std::uint8_t* bytes = buffer.data();
  const std::size_t length = bytes[z - 1];
  const std::size_t end = std::min(z + 1 + length, buffer.size());
  if (std::memchr(bytes + z + 1, 0, end - (z + 1)) != nullptr) return true;  // no record fits
  if (z + 1 + length > buffer.size()) return false;
  insert(buffer, z - 1, hash_record(bytes + z - 1, length + 2));
  return true;
}

void duplicate_index::absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte) {
  const std::uint8_t* bytes = buffer.data();
  std::erase_if(pending_, [&](std::size_t z) { return settle(buffer, z); });
  std::size_t z = std::max<std::size_t>(scanned_, 1);
  while (z < buffer.size()) {
    const void* zero = std::memchr(bytes + z, 0, buffer.size() - z);
    if (zero == nullptr) break;
    z = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes);
    if (bytes[z - 1] == 0) {
      zero_pair_ = true;
    } else if (z != aligned_high_byte && !settle(buffer, z)) {
      pending_.push_back(z);
    }
    ++z;
  }
  scanned_ = buffer.size();
}

std::uint32_t duplicate_index::asked(const std::uint8_t* record, std::size_t size) const {
  if (asked_size_ == size && std::memcmp(asked_, record, size) == 0) return asked_hash_;
  const std::uint32_t hash = hash_record(record, size);
  if (size <= sizeof asked_) {
    asked_hash_ = hash;
    asked_size_ = size;
    std::memcpy(asked_, record, size);
  }
  return hash;
}

void duplicate_index::prepare(const std::uint8_t* record, std::size_t size) const {
  if (size < 2 || record[1] != 0) return;
  const std::uint32_t hash = asked(record, size);
#if defined(__GNUC__)
  if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
#else
  (void)hash;
#endif
}

bool duplicate_index::contains(const assembly_buffer& buffer, const std::uint8_t* record,
                               std::size_t size) const {
  if (size == 2 && record[0] == 0 && record[1] == 0) return zero_pair_;
  if (record[1] != 0) return find_bytes(buffer.data(), buffer.size(), record, size).has_value();
  const std::uint32_t hash = asked(record, size);
  if (slots_.empty()) return false;
  const std::uint8_t* bytes = buffer.data();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask; slots_[at].number != 0; at = (at + 1) & mask) {
    if (slots_[at].hash == hash &&
        same_record(bytes, places_[slots_[at].number - 1], record, size)) {
      return true;
    }
  }
  return false;
}

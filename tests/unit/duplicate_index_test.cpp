// The indexed duplicate test must give exactly what a plain byte search over
// the assembled section gives, including matches that straddle count bytes,
// length bytes and world strings holding zero bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>
#include <string>

#include "duplicate_index.h"

namespace {
std::string record_of(const std::string& text) {
  std::string record;
  record += static_cast<char>(text.size() & 0xFF);
  record += static_cast<char>(text.size() >> 8);
  return record + text;
}

bool plain_search(const assembly_buffer& out, const std::string& record) {
  return find_bytes(out.data(), out.size(), reinterpret_cast<const std::uint8_t*>(record.data()),
                    record.size())
      .has_value();
}

// Builds one section the way sync does: the world's count and strings, then
// new identifiers added only when the index says they are not there yet.
class section_simulation {
 public:
  explicit section_simulation(std::uint32_t seed) : rng_(seed) {}

  void run(int world_strings, int candidates) {
    append_u32(out_, pick_count());
    index_.add_bytes(out_);
    for (int i = 0; i < world_strings; ++i) {
      add(world_string());
    }
    for (int i = 0; i < candidates; ++i) {
      const std::string candidate = i % 3 == 0 ? lifted_candidate() : identifier();
      const std::string record = record_of(candidate);
      const bool expected = plain_search(out_, record);
      const bool indexed = index_.contains(
          out_, reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
      ASSERT_EQ(indexed, expected) << "candidate of length " << candidate.size() << " at offset "
                                   << out_.size();
      if (!expected) add(candidate);
    }
  }

 private:
  std::uint32_t pick_count() {
    switch (below(4)) {
      case 0: return below(300);
      case 1: return 65536u * below(4) + below(3);
      case 2: return static_cast<std::uint32_t>(rng_());
      default: return 0x00010000u | (below(256) << 24);
    }
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }

  std::size_t length() {
    switch (below(10)) {
      case 0: return 0;
      case 1: return 256 * (1 + below(2)) + below(3) - 1;  // around the high byte's change
      default: return 1 + below(6);
    }
  }
  // World strings may hold any byte, zeros included.
  std::string world_string() {
    std::string text(length(), '\0');
    for (char& c : text) c = static_cast<char>(below(4) == 0 ? 0 : below(8));
    return text;
  }
  // New identifiers never hold a zero byte; a tiny alphabet makes matches likely.
  std::string identifier() {
    std::string text(length(), 'A');
    for (char& c : text) c = static_cast<char>(1 + below(7));
    return text;
  }
  // Text that, as a record, probably occurs somewhere unaligned in the buffer.
  std::string lifted_candidate() {
    if (out_.size() < 3) return identifier();
    const std::size_t at = below(static_cast<std::uint32_t>(out_.size() - 2));
    const std::size_t size = out_.data()[at];
    std::string text;
    for (std::size_t i = at + 2; i < out_.size() && text.size() < size; ++i) {
      const char c = static_cast<char>(out_.data()[i]);
      text += c != 0 ? c : '\x01';
    }
    return text;
  }
  void add(const std::string& text) {
    const std::size_t start = out_.size();
    append_record(out_, text.data(), static_cast<std::uint16_t>(text.size()));
    index_.add_record(out_, start);
  }

  std::mt19937 rng_;
  assembly_buffer out_;
  duplicate_index index_;
};
}  // namespace

TEST(DuplicateIndex, AgreesWithAPlainByteSearch) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    section_simulation simulation(seed);
    simulation.run(static_cast<int>(seed % 40), 400);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "seed " << seed;
      return;
    }
  }
}

TEST(DuplicateIndex, EmptyRecordMatchesAnyTwoAdjacentZeros) {
  const std::string empty = record_of("");
  // Below 65,536 the count's upper half is 00 00; above it, only zeros
  // elsewhere in the count can pair up.
  const std::pair<std::uint32_t, bool> cases[] = {
      {1u, true}, {65535u, true}, {65536u, true}, {0x00010101u, false}, {0x01010101u, false}};
  for (const auto& [count, found] : cases) {
    assembly_buffer out;
    duplicate_index index;
    append_u32(out, count);
    index.add_bytes(out);
    const std::size_t start = out.size();
    append_counted_cstr(out, "OAK");
    index.add_record(out, start);
    EXPECT_EQ(index.contains(out, reinterpret_cast<const std::uint8_t*>(empty.data()), 2), found)
        << count;
  }
}

TEST(FindBytes, ReturnsTheFirstFullFit) {
  const std::uint8_t range[] = {1, 2, 1, 2, 3};
  const std::uint8_t twice[] = {1, 2};
  const std::uint8_t tail[] = {2, 3};
  const std::uint8_t longer[] = {2, 3, 4};
  EXPECT_EQ(find_bytes(range, 5, twice, 2), 0u);
  EXPECT_EQ(find_bytes(range, 5, tail, 2), 3u);
  EXPECT_FALSE(find_bytes(range, 5, longer, 3).has_value());
  EXPECT_FALSE(find_bytes(range, 1, twice, 2).has_value());
}

TEST(FindBytes, AgreesWithANaiveSearchOnRepetitiveBytes) {
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> range(rng() % 60), pattern(1 + rng() % 8);
    for (auto& b : range) b = static_cast<std::uint8_t>(rng() % 2);
    for (auto& b : pattern) b = static_cast<std::uint8_t>(rng() % 2);
    std::optional<std::size_t> naive;
    for (std::size_t at = 0; !naive && at + pattern.size() <= range.size(); ++at) {
      if (std::equal(pattern.begin(), pattern.end(), range.begin() + static_cast<long>(at))) naive = at;
    }
    ASSERT_EQ(find_bytes(range.data(), range.size(), pattern.data(), pattern.size()), naive)
        << "round " << round;
  }
}

// Import's question: which records of one list repeat an earlier one, byte
// for byte, long ones and ones a prefix apart included.
TEST(DuplicateIndex, FindRepeatsNamesEachLaterEqualRecordOfTheList) {
  const std::string long_a(300, 'A'), long_b = std::string(299, 'A') + "B";
  const struct {
    std::vector<std::string> list;
    std::vector<std::uint32_t> repeats;
  } cases[] = {
      {{"ONE"}, {}},
      {{"ONE", "ONE"}, {1}},
      {{"AB", "ABC", "A", "ABC", "AB", "AB"}, {3, 4, 5}},
      {{long_a, long_b, long_a, "X", long_b}, {2, 4}},
  };
  duplicate_index index;
  for (const auto& c : cases) {
    // Records of an earlier list in the buffer are not this list's.
    assembly_buffer out;
    append_record(out, "ONE", 3);
    const std::size_t first = out.size();
    for (const std::string& s : c.list) append_record(out, s.data(), static_cast<std::uint16_t>(s.size()));
    std::vector<std::uint32_t> repeats;
    index.find_repeats(out, first, static_cast<std::uint32_t>(c.list.size()), repeats);
    EXPECT_EQ(repeats, c.repeats) << c.list.size();
  }
}

// Sync's duplicate test: the index must answer exactly as the plain byte
// search over the assembled section would, and the byte search must find
// the first match.
//
// Input: a program of steps over one section buffer, fed to both the index
// and the search the way sync feeds them.
//   4 bytes                 the section's count field
//   then steps, each one byte s followed by its operands:
//   s % 7 == 0  length, text  a string from the world (any bytes)
//   s % 7 == 1  length, text  an identifier from a raw file (zero bytes
//                             dropped); probed, and appended when not found
//   s % 7 == 2  u16 p         probe the record that starts at byte p % size
//   s % 7 == 3  u16 p, n      probe n bytes found at p % size under the
//                             header n, 0
//   s % 7 == 4  4 bytes       start a new section with this count field
//   s % 7 == 5  length n, c   a string from the world: n times the byte c
//   s % 7 == 6  length n, c,  an identifier: n times c (never 0), then the
//               length, text  text (zero bytes dropped); probed as above
// A length is one byte below 0x80, or two bytes (15 bits) when the first
// has its top bit set. The runs make long, repetitive records, the worst
// case of a byte search, cheap to write; a section stops growing at 64 KiB,
// and a program stops once its probes have searched 256 KiB in all.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "duplicate_index.h"
#include "harness.h"
#include "little_endian.h"
#include "object_block.h"

namespace {
struct program {
  const std::uint8_t* at;
  const std::uint8_t* end;

  bool done() const { return at == end; }
  std::uint32_t byte() { return at == end ? 0 : *at++; }
  std::uint32_t u16() { return byte() | (byte() << 8); }
  std::uint32_t u32() { return u16() | (u16() << 16); }
  std::size_t length() {
    const std::uint32_t first = byte();
    return (first & 0x80) == 0 ? first : ((first & 0x7F) << 8) | byte();
  }
  std::string text(std::size_t length) {
    const std::size_t available = std::min<std::size_t>(length, static_cast<std::size_t>(end - at));
    std::string out(reinterpret_cast<const char*>(at), available);
    at += available;
    return out;
  }
};

std::optional<std::size_t> first_match(const std::uint8_t* range, std::size_t size,
                                       const std::string& pattern) {
  for (std::size_t start = 0; start + pattern.size() <= size; ++start) {
    if (std::memcmp(range + start, pattern.data(), pattern.size()) == 0) return start;
  }
  return std::nullopt;
}

std::string record_of(const std::string& text) {
  std::string record(2, '\0');
  store_le16(record.data(), static_cast<std::uint16_t>(text.size()));
  return record + text;
}

// Runs make big sections from small inputs; past this size a section takes
// no more records, so that a slow input points at the search, not at sheer
// volume. Records of up to 32 KiB still fit twice.
constexpr std::size_t largest_section = 64 * 1024;
// Every probe searches the whole section; once the probes of an input have
// searched this much in all, the rest of its program is dropped. What the
// index must get right shows in small sections, and an input that repeats
// probes over large ones only slows the fuzzer down. (A search that is slow
// on one probe still shows: the budget is checked between probes.)
constexpr std::size_t search_budget = 256 * 1024;
std::size_t searched_bytes = 0;

void append(assembly_buffer& out, duplicate_index& index, const std::string& text) {
  if (out.size() + 2 + text.size() > largest_section) return;
  const std::size_t start = out.size();
  append_record(out, text.data(), static_cast<std::uint16_t>(text.size()));
  index.add_record(out, start);
}

void start_section(assembly_buffer& out, duplicate_index& index, std::uint32_t count) {
  out.reset();
  index.clear();
  append_u32(out, count);
  index.add_bytes(out);
}

// An identifier's record: the index and the search must agree, and it is
// appended when neither finds it, as sync does.
void probe(assembly_buffer& out, duplicate_index& index, const std::string& text) {
  if (text.find('\0') != std::string::npos) return;  // identifiers never hold zero bytes
  searched_bytes += out.size();
  const std::string record = record_of(text);
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(record.data());
  const std::optional<std::size_t> searched =
      find_bytes(out.data(), out.size(), pattern, record.size());
  // The naive search is only affordable on small cases.
  const std::optional<std::size_t> expected =
      out.size() * record.size() <= (std::size_t{1} << 18) ? first_match(out.data(), out.size(), record)
                                                         : searched;
  if (searched != expected) {
    fault("find_bytes gives %lld, the first match is at %lld",
          searched ? static_cast<long long>(*searched) : -1LL,
          expected ? static_cast<long long>(*expected) : -1LL);
  }
  const bool indexed = index.contains(out, pattern, record.size());
  if (indexed != searched.has_value()) {
    fault("the index %s \"%s\" (length %zu) in %zu bytes; the search %s it",
          indexed ? "finds" : "misses", printable(text).c_str(), text.size(), out.size(),
          searched ? "finds" : "does not find");
  }
  if (!indexed) append(out, index, text);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static assembly_buffer out;
  static duplicate_index index;
  program steps{data, data + size};
  start_section(out, index, steps.u32());
  searched_bytes = 0;
  while (!steps.done() && searched_bytes < search_budget) {
    switch (steps.byte() % 7) {
      case 0:
        append(out, index, steps.text(steps.length()));
        break;
      case 1: {
        std::string text = steps.text(steps.length());
        std::erase(text, '\0');
        probe(out, index, text);
        break;
      }
      case 2: {
        const std::size_t p = steps.u16() % out.size();
        if (out.size() - p < 2) break;
        const std::size_t length = load_le16(out.data() + p);
        if (out.size() - p - 2 < length) break;
        probe(out, index, std::string(reinterpret_cast<const char*>(out.data() + p + 2), length));
        break;
      }
      case 3: {
        const std::size_t p = steps.u16() % out.size();
        const std::size_t length = std::min<std::size_t>(steps.byte(), out.size() - p);
        probe(out, index, std::string(reinterpret_cast<const char*>(out.data() + p), length));
        break;
      }
      case 4:
        start_section(out, index, steps.u32());
        break;
      case 5: {
        const std::size_t length = steps.length();
        append(out, index, std::string(length, static_cast<char>(steps.byte())));
        break;
      }
      case 6: {
        const std::size_t length = steps.length();
        const char c = static_cast<char>(std::max<std::uint32_t>(steps.byte(), 1));
        std::string text = steps.text(steps.length());
        std::erase(text, '\0');
        probe(out, index, std::string(length, c) + text);
        break;
      }
    }
  }
  return 0;
}

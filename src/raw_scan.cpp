#include "raw_scan.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "settings.h"
#include "text_util.h"

namespace {
constexpr std::size_t longest_line = scratch_size - 1;
constexpr std::size_t first_block = std::size_t{64} << 10;

unsigned char folded(char c) { return static_cast<unsigned char>(lower_ascii(c)); }
bool is_letter(char c) { return lower_ascii(c) >= 'a' && lower_ascii(c) <= 'z'; }
}  // namespace

// The buffer is never cleared: only the bytes read into it are looked at.
raw_scanner::raw_scanner(std::size_t block)
    : block_(std::max(block, longest_line + 1)),
      size_(std::min(block_, std::max(first_block, longest_line + 1))),
      data_(new char[size_]) {}

void raw_scanner::start(std::FILE* in, const char* name) {
  in_ = in;
  marker_ = std::string("[") + name;
  for (char& c : marker_) c = lower_ascii(c);
  second_fold_ = marker_.size() > 1 && is_letter(marker_[1]) ? 0x20 : 0;
  std::string folds(marker_.size(), '\0');
  for (std::size_t i = 0; i < marker_.size(); ++i) folds[i] = is_letter(marker_[i]) ? 0x20 : 0;
  word_size_ = marker_.size() >= 8 ? 8 : 4;
  marker_words_.clear();
  for (std::size_t offset = 0; offset < marker_.size(); offset += word_size_) {
    // The last word ends where the marker does, overlapping the one before.
    const std::size_t at = std::min(offset, marker_.size() - std::min(marker_.size(), word_size_));
    marker_word word{at, 0, 0};
    const std::size_t size = std::min(word_size_, marker_.size() - at);
    std::memcpy(&word.text, marker_.data() + at, size);
    std::memcpy(&word.fold, folds.data() + at, size);
    marker_words_.push_back(word);
  }
  next_ = end_ = 0;
  at_end_ = false;
  read_error_ = 0;
}

// A word at a time: ORing 0x20 into a letter gives its lower case, and the
// marker's other bytes are compared as they are. The words lie within the
// marker; one shorter than a word is compared a byte at a time.
bool raw_scanner::marker_at(const char* at) const {
  if (marker_.size() < word_size_) {
    std::size_t i = 1;
    while (i < marker_.size() && folded(at[i]) == static_cast<unsigned char>(marker_[i])) ++i;
    return i == marker_.size();
  }
  for (const marker_word& word : marker_words_) {
    std::uint64_t here = 0;
    if (word_size_ == 8) {
      std::memcpy(&here, at + word.offset, 8);
    } else {
      std::memcpy(&here, at + word.offset, 4);
    }
    if ((here | word.fold) != word.text) return false;
  }
  return true;
}

#if defined(__SSE2__)
namespace {
// Of sixteen bytes: which begin "[" and a byte that folds (ORed with `fold`)
// to `second`, and which are line feeds, one bit each.
struct sixteen_bytes {
  std::uint32_t pairs;
  std::uint32_t feeds;
};
sixteen_bytes look_at(const char* at, __m128i fold, __m128i second) {
  const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
  const __m128i pair = _mm_and_si128(_mm_cmpeq_epi8(here, _mm_set1_epi8('[')),
                                     _mm_cmpeq_epi8(_mm_or_si128(after, fold), second));
  return {static_cast<std::uint32_t>(_mm_movemask_epi8(pair)),
          static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, _mm_set1_epi8('\n'))))};
}
}  // namespace
#endif

// The first marker that fits wholly in [from, to), or `to`; `line` is moved
// past every line feed before it. Tags are sparse, but "[" is not rare
// enough in raw files for a search that stops at each one: 32 bytes at a
// time are checked for "[" followed by the name's first letter.
std::size_t raw_scanner::find_marker(std::size_t from, std::size_t to, std::size_t& line) const {
  const char* bytes = data_.get();
  const std::size_t size = marker_.size();
  std::size_t at = from;
  if (to - from >= size) {
    const std::size_t last = to - size;  // the last start that fits
#if defined(__SSE2__)
    // The loads stay below `to`: at + width <= last + 1 and size >= 2.
    const std::size_t vectors_end = size >= 2 ? last + 1 : at;
    const __m128i fold = _mm_set1_epi8(static_cast<char>(second_fold_));
    const __m128i second = _mm_set1_epi8(size >= 2 ? marker_[1] : '[');
    // Looks at `width` bytes from `at`, given their bits, and moves past
    // them; or to a marker among them, which ends the search.
    const auto step = [&](std::size_t width, std::uint32_t pairs, std::uint32_t feeds) {
      for (; pairs != 0; pairs &= pairs - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(pairs));
        if (!marker_at(bytes + at + k)) continue;
        const std::uint32_t before = feeds & ((std::uint32_t{1} << k) - 1);
        if (before != 0) line = at + static_cast<std::size_t>(std::bit_width(before));
        at += k;
        return true;
      }
      if (feeds != 0) line = at + static_cast<std::size_t>(std::bit_width(feeds));
      at += width;
      return false;
    };
    while (at + 32 <= vectors_end) {
      const sixteen_bytes low = look_at(bytes + at, fold, second);
      const sixteen_bytes high = look_at(bytes + at + 16, fold, second);
      if (step(32, low.pairs | high.pairs << 16, low.feeds | high.feeds << 16)) return at;
    }
    if (at + 16 <= vectors_end) {
      const sixteen_bytes half = look_at(bytes + at, fold, second);
      if (step(16, half.pairs, half.feeds)) return at;
    }
#endif
    for (; at <= last; ++at) {
      if (bytes[at] == '[' && marker_at(bytes + at)) return at;
      if (bytes[at] == '\n') line = at + 1;
    }
  }
  const std::string_view rest(bytes + at, to - at);
  const std::size_t feed = rest.rfind('\n');
  if (feed != std::string_view::npos) line = at + feed + 1;
  return to;
}

// A line begins after every line feed, and every longest_line characters
// after that; `line` begins one (after a line feed, or next_).
std::size_t raw_scanner::piece_start(std::size_t line, std::size_t at) const {
  return line + (at - line) / longest_line * longest_line;
}

// Where the line beginning at `start` ends, or 0 while the bytes held do not
// reach that far.
std::size_t raw_scanner::piece_end(std::size_t start) const {
  const std::size_t held = end_ - start;
  const void* feed = std::memchr(data_.get() + start, '\n', std::min(held, longest_line));
  if (feed != nullptr) return static_cast<std::size_t>(static_cast<const char*>(feed) - data_.get()) + 1;
  if (held >= longest_line) return start + longest_line;
  if (at_end_) return end_;
  return 0;
}

// Keeps the bytes from `keep_from` (a line start) and reads more after them.
// A file that filled the first buffer is read on in whole blocks.
void raw_scanner::read_more(std::size_t keep_from) {
  const std::size_t kept = end_ - keep_from;
  if (end_ == size_ && size_ < block_) {
    std::unique_ptr<char[]> bytes(new char[block_]);
    std::memcpy(bytes.get(), data_.get() + keep_from, kept);
    data_ = std::move(bytes);
    size_ = block_;
  } else {
    std::memmove(data_.get(), data_.get() + keep_from, kept);
  }
  next_ -= keep_from;
  end_ = kept;
  errno = 0;
  const std::size_t got = std::fread(data_.get() + end_, 1, size_ - end_, in_);
  if (got == 0 && std::ferror(in_)) read_error_ = errno;
  end_ += got;
  at_end_ = got == 0;
}

bool raw_scanner::next_line() {
  for (;;) {
    std::size_t line = next_;
    const std::size_t at = find_marker(next_, end_, line);
    if (at == end_) {
      if (at_end_) return false;
      // Keep the line the block's end cuts: a marker may run on in it.
      next_ = piece_start(line, end_);
      read_more(next_);
      continue;
    }
    const std::size_t start = piece_start(line, at);
    const std::size_t end = piece_end(start);
    if (end == 0) {
      next_ = start;
      read_more(start);
      continue;
    }
    next_ = end;
    // A marker running past its line's end belongs to no line.
    if (at + marker_.size() > end) continue;
    const std::size_t length = end - start;
    std::memcpy(scratch, data_.get() + start, length);
    scratch[length] = '\0';
    marker_offset_ = at - start;
    return true;
  }
}

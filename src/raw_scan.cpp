#include "raw_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "rawgraft.h"
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
  next_ = end_ = 0;
  at_end_ = false;
}

bool raw_scanner::marker_at(const char* at) const {
  std::size_t i = 1;
  while (i < marker_.size() && folded(at[i]) == static_cast<unsigned char>(marker_[i])) ++i;
  return i == marker_.size();
}

// The first marker that fits wholly in [from, to), or `to`; `line` is moved
// past every line feed before it. Tags are sparse, but "[" is not rare
// enough in raw files for a search that stops at each one: sixteen bytes
// at a time are checked for "[" followed by the name's first letter.
std::size_t raw_scanner::find_marker(std::size_t from, std::size_t to, std::size_t& line) const {
  const char* bytes = data_.get();
  const std::size_t size = marker_.size();
  std::size_t at = from;
  if (to - from >= size) {
    const std::size_t last = to - size;  // the last start that fits
#if defined(__SSE2__)
    // Both loads stay below `to`: at + 16 <= last + 1 and size >= 2.
    const std::size_t vectors_end = size >= 2 ? last + 1 : at;
    const __m128i open = _mm_set1_epi8('[');
    const __m128i feed = _mm_set1_epi8('\n');
    const __m128i fold = _mm_set1_epi8(static_cast<char>(second_fold_));
    const __m128i second = _mm_set1_epi8(size >= 2 ? marker_[1] : '[');
    for (; at + 16 <= vectors_end; at += 16) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
      const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 1));
      const __m128i pair = _mm_and_si128(_mm_cmpeq_epi8(here, open),
                                         _mm_cmpeq_epi8(_mm_or_si128(after, fold), second));
      unsigned candidates = static_cast<unsigned>(_mm_movemask_epi8(pair));
      const unsigned feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, feed)));
      for (; candidates != 0; candidates &= candidates - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
        if (!marker_at(bytes + at + k)) continue;
        const unsigned before = feeds & ((1u << k) - 1);
        if (before != 0) line = at + static_cast<std::size_t>(std::bit_width(before));
        return at + k;
      }
      if (feeds != 0) line = at + static_cast<std::size_t>(std::bit_width(feeds));
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
// A file that filled the buffer is read on in larger blocks.
void raw_scanner::read_more(std::size_t keep_from) {
  const std::size_t kept = end_ - keep_from;
  if (end_ == size_ && size_ < block_) {
    const std::size_t grown = std::min(size_ * 2, block_);
    std::unique_ptr<char[]> bytes(new char[grown]);
    std::memcpy(bytes.get(), data_.get() + keep_from, kept);
    data_ = std::move(bytes);
    size_ = grown;
  } else {
    std::memmove(data_.get(), data_.get() + keep_from, kept);
  }
  next_ -= keep_from;
  end_ = kept;
  const std::size_t got = std::fread(data_.get() + end_, 1, size_ - end_, in_);
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

#include "raw_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "settings.h"
#include "text_util.h"

namespace {
constexpr std::size_t block_size = std::size_t{1} << 20;
constexpr std::size_t longest_line = scratch_size - 1;

unsigned char folded(char c) { return static_cast<unsigned char>(lower_ascii(c)); }
}  // namespace

raw_scanner::raw_scanner() : data_(block_size) {}

void raw_scanner::start(std::FILE* in, const char* name) {
  in_ = in;
  marker_ = std::string("[") + name;
  for (char& c : marker_) c = lower_ascii(c);
  next_ = end_ = 0;
  at_end_ = false;
  read_error_ = 0;
}

// Tags are sparse enough that jumping from "[" to "[" with memchr beats a
// skipping search, whose skips the tag names' letters keep short.
const char* raw_scanner::find_marker(const char* from, const char* to) const {
  const std::size_t size = marker_.size();
  for (const char* at = from; to - at >= static_cast<std::ptrdiff_t>(size); ++at) {
    at = static_cast<const char*>(std::memchr(at, '[', static_cast<std::size_t>(to - at) - size + 1));
    if (at == nullptr) return to;
    std::size_t i = 1;
    while (i < size && folded(at[i]) == static_cast<unsigned char>(marker_[i])) ++i;
    if (i == size) return at;
  }
  return to;
}

// A line begins after every line feed, and every longest_line characters
// after that; next_ always begins one.
std::size_t raw_scanner::piece_start(std::size_t at) const {
  const std::string_view before(data_.data() + next_, at - next_);
  const std::size_t feed = before.rfind('\n');
  const std::size_t line = feed == std::string_view::npos ? next_ : next_ + feed + 1;
  return line + (at - line) / longest_line * longest_line;
}

// Where the line beginning at `start` ends, or nothing while the bytes held
// do not reach that far.
std::optional<std::size_t> raw_scanner::piece_end(std::size_t start) const {
  const std::size_t held = end_ - start;
  const void* feed = std::memchr(data_.data() + start, '\n', std::min(held, longest_line));
  if (feed != nullptr) return static_cast<std::size_t>(static_cast<const char*>(feed) - data_.data()) + 1;
  if (held >= longest_line) return start + longest_line;
  if (at_end_) return end_;
  return std::nullopt;
}

// Keeps the bytes from `keep_from` (a line start) and reads more after them.
void raw_scanner::read_more(std::size_t keep_from) {
  const std::size_t kept = end_ - keep_from;
  std::memmove(data_.data(), data_.data() + keep_from, kept);
  next_ -= keep_from;
  end_ = kept;
  errno = 0;
  const std::size_t got = std::fread(data_.data() + end_, 1, data_.size() - end_, in_);
  if (got == 0 && std::ferror(in_)) read_error_ = errno;
  end_ += got;
  at_end_ = got == 0;
}

bool raw_scanner::next_line() {
  for (;;) {
    const char* base = data_.data();
    const char* hit = find_marker(base + next_, base + end_);
    if (hit == base + end_) {
      if (at_end_) return false;
      // Keep the line the block's end cuts: a marker may run on in it.
      const std::size_t keep = piece_start(end_);
      next_ = keep;
      read_more(keep);
      continue;
    }
    const std::size_t at = static_cast<std::size_t>(hit - base);
    const std::size_t start = piece_start(at);
    const std::optional<std::size_t> end = piece_end(start);
    if (!end) {
      next_ = start;
      read_more(start);
      continue;
    }
    next_ = *end;
    // A marker running past its line's end belongs to no line.
    if (at + marker_.size() > *end) continue;
    const std::size_t length = *end - start;
    std::memcpy(scratch, data_.data() + start, length);
    scratch[length] = '\0';
    return true;
  }
}

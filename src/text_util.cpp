#include "text_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"

namespace {
bool batching = false;
stop_handler current_stop_handler = nullptr;
}  // namespace

int report(const char* format, ...) {
  if (format == nullptr) return 1;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  if (!batching) std::fflush(stderr);
  return 1;
}

void report_reason(const char* reason) {
  if (reason != nullptr && *reason != '\0') report(msg::system_reason, reason);
}

void report_batching(bool on) {
  batching = on;
  if (!on) std::fflush(stderr);
}

void report_setup() { std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16); }

void report_flush() { std::fflush(stderr); }

char* skip_space(char* text) {
  while (*text != '\0' && is_space(*text)) ++text;
  return text;
}

char* end_of_text(char* text) {
  char* end = text + std::strlen(text);
  while (end > text && is_space(end[-1])) --end;
  return end;
}

char* trim(char* text) {
  if (text == nullptr) return nullptr;
  char* start = skip_space(text);
  *end_of_text(start) = '\0';
  return start;
}

const char* find_nocase(const char* text, const char* needle) {
  return find_nocase_in(text, std::strlen(text), needle);
}

const char* find_nocase_in(const char* text, std::size_t size, const char* needle) {
  const std::size_t needle_len = std::strlen(needle);
  if (needle_len == 0 || needle_len > size) return nullptr;
  const char* const last = text + (size - needle_len);  // last start that fits
  const char lower = lower_ascii(needle[0]);
  const char upper = (lower >= 'a' && lower <= 'z') ? static_cast<char>(lower - 'a' + 'A') : lower;
  // Candidates are found with memchr, one per case; each is searched for
  // again only once passed, so the scan stays linear.
  const auto next = [&](const char* from, char c) {
    return static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(last - from) + 1));
  };
  const char* next_lower = next(text, lower);
  const char* next_upper = upper == lower ? nullptr : next(text, upper);
  while (next_lower != nullptr || next_upper != nullptr) {
    const bool take_lower = next_upper == nullptr || (next_lower != nullptr && next_lower < next_upper);
    const char* candidate = take_lower ? next_lower : next_upper;
    std::size_t i = 1;
    while (i < needle_len && lower_ascii(candidate[i]) == lower_ascii(needle[i])) ++i;
    if (i == needle_len) return candidate;
    const char* after = candidate + 1;
    const char*& advanced = take_lower ? next_lower : next_upper;
    advanced = after > last ? nullptr : next(after, take_lower ? lower : upper);
  }
  return nullptr;
}

bool equal_nocase(const char* a, const char* b) {
  while (*a != '\0' && lower_ascii(*a) == lower_ascii(*b)) {
    ++a;
    ++b;
  }
  return *a == '\0' && *b == '\0';
}

void upper_in_place(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

void replace_char(char* text, char from, char to) {
  for (; *text != '\0'; ++text) {
    if (*text == from) *text = to;
  }
}

void set_stop_handler(stop_handler handler) { current_stop_handler = handler; }

void consistency_stop(const char* condition) {
  if (current_stop_handler != nullptr) current_stop_handler(condition);
  std::fprintf(stderr, "consistency check failed: %s\n", condition);
  std::fflush(stderr);
  std::exit(1);
}

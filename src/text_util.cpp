#include "text_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool batching = false;
stop_handler current_stop_handler = nullptr;

char fold(char c) { return lower_ascii(c); }
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

void report_batching(bool on) {
  batching = on;
  if (!on) std::fflush(stderr);
}

void report_setup() { std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16); }

void report_flush() { std::fflush(stderr); }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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
  const std::size_t needle_len = std::strlen(needle);
  if (needle_len == 0) return nullptr;
  const char first_lower = fold(needle[0]);
  const char first_upper =
      (first_lower >= 'a' && first_lower <= 'z') ? static_cast<char>(first_lower - 'a' + 'A')
                                                 : first_lower;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != first_lower && *p != first_upper) continue;
    std::size_t i = 1;
    while (i < needle_len && p[i] != '\0' && fold(p[i]) == fold(needle[i])) ++i;
    if (i == needle_len) return p;
    if (p[i] == '\0') return nullptr;  // text ran out: no later start can fit
  }
  return nullptr;
}

bool equal_nocase(const char* a, const char* b) {
  while (*a != '\0' && fold(*a) == fold(*b)) {
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

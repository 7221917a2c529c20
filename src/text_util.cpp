#include "text_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "messages.h"

namespace {
bool batching = false;
stop_handler current_stop_handler = nullptr;

// Appends `text` as a message shows it: a control byte (below 0x20 but tab,
// and 0x7F) as \xNN. Names come from worlds, dumps and folders, and a
// downloaded save may hold terminal escape sequences.
void append_shown(std::string& out, const char* text, std::size_t size) {
  static const char hex[] = "0123456789ABCDEF";
  // Eight bytes at a time while none is below 0x20 or 0x7F (a tab stops
  // the fast part too): names rarely hold any.
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, sizeof word);
    const std::uint64_t deleted = word ^ (0x7F * ones);
    if ((((word - 0x20 * ones) & ~word) | ((deleted - ones) & ~deleted)) & highs) break;
  }
  std::size_t plain = 0;  // the start of the bytes not appended yet
  for (; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte >= 0x20 || byte == '\t') && byte != 0x7F) continue;
    const char escaped[] = {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
    out.append(text + plain, i - plain).append(escaped, sizeof escaped);
    plain = i + 1;
  }
  out.append(text + plain, size - plain);
}

// The decimal number at `at`, moving past it.
int digits(const char*& at) {
  int value = 0;
  for (; *at >= '0' && *at <= '9'; ++at) value = value * 10 + (*at - '0');
  return value;
}

// One conversion of a printf format, formatted alone by the library.
template <typename T>
void append_formatted(std::string& out, const char* directive, T value) {
  char piece[128];
  const int length = std::snprintf(piece, sizeof piece, directive, value);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) < sizeof piece) {
    out.append(piece, static_cast<std::size_t>(length));
    return;
  }
  std::string longer(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(longer.data(), longer.size(), directive, value);
  out.append(longer.data(), static_cast<std::size_t>(length));
}

// One conversion of a format: the piece handed to the library (without
// stars), and what the tool reads of it itself.
struct conversion {
  char directive[48] = "%";
  bool left = false;  // the '-' flag
  int width = -1, precision = -1;
  std::string_view length;  // h, l, ll, z, ...
  char type = '\0';
};

// Reads the conversion after a '%' at `at`, moving past it, and the stars'
// arguments; false at a format cut short.
bool read_conversion(const char*& at, std::va_list* args, conversion& c) {
  std::size_t used = 1;
  while ((*at == '-' || *at == '+' || *at == ' ' || *at == '#' || *at == '0') && used < 8) {
    c.left = c.left || *at == '-';
    c.directive[used++] = *at++;
  }
  if (*at == '*') {
    c.width = va_arg(*args, int);
    ++at;
  } else if (*at >= '0' && *at <= '9') {
    c.width = digits(at);
  }
  if (*at == '.') {
    ++at;
    if (*at == '*') {
      c.precision = va_arg(*args, int);
      ++at;
    } else {
      c.precision = digits(at);
    }
  }
  if (c.width >= 0) used += static_cast<std::size_t>(std::snprintf(c.directive + used, 12, "%d", c.width));
  if (c.precision >= 0) {
    used += static_cast<std::size_t>(std::snprintf(c.directive + used, 13, ".%d", c.precision));
  }
  const char* length = at;
  while ((*at == 'h' || *at == 'l' || *at == 'L' || *at == 'j' || *at == 'z' || *at == 't') &&
         at - length < 2) {
    c.directive[used++] = *at++;
  }
  c.length = std::string_view(length, static_cast<std::size_t>(at - length));
  c.type = *at;
  if (c.type == '\0') return false;
  ++at;
  c.directive[used++] = c.type;
  c.directive[used] = '\0';
  return true;
}

// A %s or %c argument, as shown_text shows it, padded to its width.
void append_text_argument(std::string& out, const conversion& c, std::va_list* args) {
  char one = '\0';
  const char* text = &one;
  std::size_t size = 1;
  if (c.type == 'c') {
    one = static_cast<char>(va_arg(*args, int));
  } else {
    text = va_arg(*args, const char*);
    if (text == nullptr) text = "(null)";
    size = 0;
    while ((c.precision < 0 || size < static_cast<std::size_t>(c.precision)) && text[size] != '\0') {
      ++size;
    }
  }
  std::string shown;
  append_shown(shown, text, size);
  const std::size_t wanted = c.width > 0 ? static_cast<std::size_t>(c.width) : 0;
  const std::size_t pad = shown.size() < wanted ? wanted - shown.size() : 0;
  if (!c.left) out.append(pad, ' ');
  out += shown;
  if (c.left) out.append(pad, ' ');
}

// Any other argument, as printf writes it.
void append_other_argument(std::string& out, const conversion& c, std::va_list* args) {
  const bool wide = c.length == "z" || c.length == "t" || c.length == "j";
  switch (c.type) {
    case 'd':
    case 'i':
      if (c.length == "ll") return append_formatted(out, c.directive, va_arg(*args, long long));
      if (c.length == "l") return append_formatted(out, c.directive, va_arg(*args, long));
      if (wide) return append_formatted(out, c.directive, va_arg(*args, std::ptrdiff_t));
      return append_formatted(out, c.directive, va_arg(*args, int));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (c.length == "ll") return append_formatted(out, c.directive, va_arg(*args, unsigned long long));
      if (c.length == "l") return append_formatted(out, c.directive, va_arg(*args, unsigned long));
      if (wide) return append_formatted(out, c.directive, va_arg(*args, std::size_t));
      return append_formatted(out, c.directive, va_arg(*args, unsigned));
    case 'p': return append_formatted(out, c.directive, va_arg(*args, void*));
    default:  // e, f, g, a
      if (c.length == "L") return append_formatted(out, c.directive, va_arg(*args, long double));
      return append_formatted(out, c.directive, va_arg(*args, double));
  }
}

// Appends the message to `out`: each %s and %c argument as shown_text
// shows it, every other conversion as printf writes it.
void append_message(std::string& out, const char* format, std::va_list args) {
  // A copy the helpers can take arguments from in turn.
  std::va_list rest;
  va_copy(rest, args);
  for (const char* at = format; *at != '\0';) {
    if (*at != '%') {
      const char* plain = at;
      while (*at != '\0' && *at != '%') ++at;
      out.append(plain, static_cast<std::size_t>(at - plain));
      continue;
    }
    ++at;
    conversion c;
    if (!read_conversion(at, &rest, c)) break;
    if (c.type == '%') {
      out += '%';
    } else if (c.type == 's' || c.type == 'c') {
      append_text_argument(out, c, &rest);
    } else {
      append_other_argument(out, c, &rest);
    }
  }
  va_end(rest);
}
}  // namespace

std::string message_text_v(const char* format, std::va_list args) {
  std::string out;
  append_message(out, format, args);
  return out;
}

std::string message_text(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = message_text_v(format, args);
  va_end(args);
  return text;
}

std::string shown_text(std::string_view text) {
  std::string out;
  append_shown(out, text.data(), text.size());
  return out;
}

int report(const char* format, ...) {
  if (format == nullptr) return 1;
  // Kept between messages: a sync reports every identifier it adds.
  static std::string text;
  text.clear();
  std::va_list args;
  va_start(args, format);
  append_message(text, format, args);
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stderr);
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

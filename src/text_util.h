// Text helpers that work in place on NUL-terminated byte text, the one
// message channel (report) and the one consistency stop.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// Formats a message and writes it to standard error, each %s and %c argument
// as shown_text shows it (the format's own text, line ends included, is
// written as it is). Returns 1; a null format prints nothing.
int report(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// What report writes for `format` and its arguments.
std::string message_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string message_text_v(const char* format, std::va_list args);
// `text` as messages show names: each byte below 0x20 but tab, and 0x7F, as
// \xNN (two upper-case hex digits); every other byte as it is.
std::string shown_text(std::string_view text);

// Writes the system's reason for the failure just reported, on its own line
// ("  (%s)\n"); nothing when the reason is null or empty.
void report_reason(const char* reason);

// While batching, report() leaves its output in the stream buffer instead of
// flushing after every message; long runs of short lines then cost one write
// per buffer instead of one per line. report_flush() ends a batch.
void report_batching(bool on);
// Gives standard error a buffer so that batching has effect; call before
// anything is written to it.
void report_setup();
void report_flush();

// A count for a "%d" in a message; a count past INT_MAX shows as INT_MAX.
inline int shown_count(std::uint64_t count) {
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// Skips leading whitespace and cuts trailing whitespace; null gives null.
char* trim(char* text);
// First non-whitespace character, or the terminator.
char* skip_space(char* text);
// Just after the last non-whitespace character.
char* end_of_text(char* text);
// First occurrence of needle in text ignoring ASCII case; an empty needle is
// never found.
const char* find_nocase(const char* text, const char* needle);
// The same within a span of bytes, where a zero byte is an ordinary byte.
const char* find_nocase_in(const char* text, std::size_t size, const char* needle);
bool equal_nocase(const char* a, const char* b);
void upper_in_place(char* text);
void replace_char(char* text, char from, char to);

// A failed internal check: writes "consistency check failed: <condition>" to
// standard error and ends the process with status 1. Never returns.
[[noreturn]] void consistency_stop(const char* condition);
inline void consistency_check(bool holds, const char* condition) {
  if (!holds) consistency_stop(condition);
}

// Lets an in-process driver (a fuzz target) catch stops instead of exiting.
// The handler must not return; if it does, the process exits as usual.
using stop_handler = void (*)(const char* condition);
void set_stop_handler(stop_handler handler);

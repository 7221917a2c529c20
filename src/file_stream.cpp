#include "file_stream.h"

#include <cstdarg>

#include "platform.h"
#include "text_util.h"

bool build_lock_path(char* out, std::size_t size, const char* worldpath) {
  return build_path(out, size, "%s.%s", worldpath, "lock");
}

bool build_path(char* out, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(out, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= size) {
    out[0] = '\0';
    return false;
  }
  if (platform::path_separator != '/') replace_char(out, '/', platform::path_separator);
  return true;
}

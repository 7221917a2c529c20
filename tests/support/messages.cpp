#include "support/messages.hpp"

#include "support/run.hpp"

namespace testsupport {

std::string banner_and_usage() {
  return "rawgraft\nVersion 31.5.3\n"
         "Usage:\n\trawgraft <region> <export|import> <file>\nExamples:\n"
         "\trawgraft region1 export -\n"
         "\trawgraft 1 export exportfile.txt\n"
         "\trawgraft 1 import modifiedfile.txt\n"
         "\trawgraft 1 sync\n"
         "\trawgraft 1 check\n"
         "\trawgraft 1 compare modifiedfile.txt\n"
         "\trawgraft 1 backups\n"
         "\trawgraft 1 restore latest\n"
         "\trawgraft 1 prune 3\n";
}

std::string reason(std::string_view posix_text) {
  return "  (" + (windows_build() ? std::string("system reason") : std::string(posix_text)) + ")\n";
}

namespace {

constexpr std::size_t stamp_size = 15;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool stamp_at(std::string_view text, std::size_t pos) {
  if (pos + stamp_size > text.size()) return false;
  for (std::size_t i = 0; i < stamp_size; ++i) {
    const char c = text[pos + i];
    if (i == 8 ? c != '_' : !is_digit(c)) return false;
  }
  const bool digit_before = pos > 0 && is_digit(text[pos - 1]);
  const bool digit_after = pos + stamp_size < text.size() && is_digit(text[pos + stamp_size]);
  return !digit_before && !digit_after;
}

}  // namespace

std::vector<std::string> find_timestamps(std::string_view text) {
  std::vector<std::string> stamps;
  for (std::size_t pos = 0; pos < text.size();) {
    if (stamp_at(text, pos)) {
      stamps.emplace_back(text.substr(pos, stamp_size));
      pos += stamp_size;
    } else {
      ++pos;
    }
  }
  return stamps;
}

std::string mask_timestamps(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    if (stamp_at(text, pos)) {
      out += timestamp_placeholder;
      pos += stamp_size;
    } else {
      out.push_back(text[pos++]);
    }
  }
  return out;
}

bool ends_with_reason(std::string_view text, std::string_view message) {
  if (!text.ends_with(")\n")) return false;
  const std::size_t line = text.rfind("\n  (", text.size() - 2);
  if (line == std::string_view::npos || line + 6 >= text.size()) return false;
  return text.substr(0, line + 1).ends_with(message);
}

std::string timestamp_at(std::time_t t, stamp_zone zone) {
  std::tm parts{};
  if (zone == stamp_zone::utc) {
    gmtime_r(&t, &parts);
  } else {
    localtime_r(&t, &parts);
  }
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", &parts);
  return text;
}

}  // namespace testsupport

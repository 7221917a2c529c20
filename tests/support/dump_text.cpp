#include "support/dump_text.hpp"

#include <algorithm>
#include <cstdio>

#include "support/run.hpp"

namespace testsupport {

std::string dump_title(std::string_view world_path, std::string_view stamp) {
  return "**data exported from " + std::string(world_path) + " on " + std::string(stamp) +
         " by Rawgraft**\n";
}

std::string dump_body(const world_block& block) {
  std::string out;
  for (std::size_t g = 0; g < block.creature_layer.size(); ++g) {
    char header[48];
    std::snprintf(header, sizeof header, "\n====creature_layer=%08zu====\n", g);
    out += header;
    for (const auto& s : block.creature_layer[g]) out += s + "\n";
  }
  for (std::size_t k = 0; k < section_names.size(); ++k) {
    out += "\n====" + std::string(section_names[k]) + "====\n";
    for (const auto& s : block.sections[k]) out += s + "\n";
  }
  return out + "\n====END====\n";
}

std::string dump_as_written(std::string_view dump) {
  if (!windows_build()) return std::string(dump);
  std::string out;
  const std::size_t title_end = std::min(dump.find('\n'), dump.size());
  std::string title(dump.substr(0, title_end));
  const std::size_t path = title.find("./data/save/");
  if (path != std::string::npos)
    std::replace(title.begin() + static_cast<std::ptrdiff_t>(path), title.end(), '/', '\\');
  for (const char c : title + std::string(dump.substr(title_end))) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace testsupport

#include "compare.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "object_block.h"
#include "text_util.h"

namespace {
void put_u32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

read_status copy_list(world_source& world, std::string& out, counted_string& record) {
  std::int32_t n = 0;
  if (read_string_count(world, n) == read_status::failed) return read_status::failed;
  put_u32(out, static_cast<std::uint32_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    const read_status status = read_counted_string(world, record);
    if (status == read_status::failed) return status;
    consistency_check(record.s != nullptr, "string read from world");
    out.push_back(static_cast<char>(record.len & 0xFF));
    out.push_back(static_cast<char>(record.len >> 8));
    out.append(record.s.get(), record.len);
  }
  return read_status::ok;
}

std::uint32_t get_u32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

// One list's strings from `at`; false when the bytes end first (what was
// whole is kept).
bool split_list(const std::string& bytes, std::size_t& at, std::vector<std::string_view>& list) {
  if (bytes.size() - at < 4) return false;
  const std::int64_t n = static_cast<std::int32_t>(get_u32(bytes, at));
  at += 4;
  for (std::int64_t i = 0; i < n; ++i) {
    if (bytes.size() - at < 2) return false;
    const std::size_t length = static_cast<unsigned char>(bytes[at]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    if (bytes.size() - at - 2 < length) return false;
    list.emplace_back(bytes.data() + at + 2, length);
    at += 2 + length;
  }
  return true;
}

// The text of a string up to its first zero byte, as the dump shows it.
std::string shown(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

bool print_list_change(const std::string& name, const std::vector<std::string_view>& old_list,
                       const std::vector<std::string_view>& new_list, bool& changed) {
  if (old_list == new_list) return true;
  changed = true;
  // Duplicates count per occurrence: each string of one list cancels one
  // equal string of the other.
  std::unordered_map<std::string_view, std::int64_t> in_new, in_old;
  for (std::string_view s : new_list) ++in_new[s];
  for (std::string_view s : old_list) ++in_old[s];
  std::vector<std::string_view> removed, added;
  for (std::string_view s : old_list) {
    if (in_new[s] > 0) {
      --in_new[s];
    } else {
      removed.push_back(s);
    }
  }
  for (std::string_view s : new_list) {
    if (in_old[s] > 0) {
      --in_old[s];
    } else {
      added.push_back(s);
    }
  }
  if (removed.empty() && added.empty()) return std::printf("%s: order changed\n", name.c_str()) >= 0;
  bool ok = std::printf("%s: %zu removed, %zu added\n", name.c_str(), removed.size(), added.size()) >= 0;
  for (std::string_view s : removed) ok = ok && std::printf("  - %s\n", shown(s).c_str()) >= 0;
  for (std::string_view s : added) ok = ok && std::printf("  + %s\n", shown(s).c_str()) >= 0;
  return ok;
}
}  // namespace

read_status read_world_lists(world_source& world, block_views& lists) {
  std::string bytes;
  counted_string record;
  std::int32_t groups = 0;
  if (read_count(world, groups) == read_status::failed) return read_status::failed;
  put_u32(bytes, static_cast<std::uint32_t>(groups));
  for (std::int32_t g = 0; g < groups; ++g) {
    if (copy_list(world, bytes, record) == read_status::failed) return read_status::failed;
  }
  for (int section = 1; section < section_count; ++section) {
    if (copy_list(world, bytes, record) == read_status::failed) return read_status::failed;
  }
  split_block(std::move(bytes), lists);
  return read_status::ok;
}

void split_block(std::string bytes, block_views& lists) {
  lists.bytes = std::move(bytes);
  lists.groups.clear();
  lists.sections.clear();
  const std::string& b = lists.bytes;
  std::size_t at = 0;
  if (b.size() < 4) return;
  lists.group_count = static_cast<std::int32_t>(get_u32(b, 0));
  at = 4;
  for (std::int32_t g = 0; g < lists.group_count; ++g) {
    if (!split_list(b, at, lists.groups.emplace_back())) return;
  }
  for (int section = 1; section < section_count; ++section) {
    if (!split_list(b, at, lists.sections.emplace_back())) return;
  }
}

bool print_comparison(const block_views& world, const block_views& dump, const char* exported_from,
                      bool refused) {
  bool ok = true, changed = false;
  if (exported_from != nullptr) {
    ok = std::printf("Note: this dump was exported from %s.\n", exported_from) >= 0;
  }
  if (world.groups.size() != dump.groups.size()) {
    changed = true;
    ok = ok && std::printf("creature_layer: %zu groups, was %zu\n", dump.groups.size(),
                           world.groups.size()) >= 0;
  }
  static const std::vector<std::string_view> none;
  const std::size_t groups = std::max(world.groups.size(), dump.groups.size());
  for (std::size_t g = 0; g < groups && ok; ++g) {
    char name[64];
    std::snprintf(name, sizeof name, "creature_layer %08zu", g);
    ok = print_list_change(name, g < world.groups.size() ? world.groups[g] : none,
                           g < dump.groups.size() ? dump.groups[g] : none, changed);
  }
  for (int section = 1; section < section_count && ok; ++section) {
    const std::size_t k = static_cast<std::size_t>(section - 1);
    ok = print_list_change(g_sectionlist[section], k < world.sections.size() ? world.sections[k] : none,
                           k < dump.sections.size() ? dump.sections[k] : none, changed);
  }
  if (!changed) ok = ok && std::fputs("No change.\n", stdout) >= 0;
  if (refused) {
    ok = ok && std::fputs("Note: importing this dump would be refused: the new lists do not read "
                          "back whole.\n",
                          stdout) >= 0;
  }
  return ok && std::fflush(stdout) == 0;
}

bool print_additions(const std::vector<std::vector<std::string>>& additions) {
  bool ok = true;
  int lists = 0, total = 0;
  for (std::size_t k = 0; k < additions.size() && ok; ++k) {
    if (additions[k].empty()) continue;
    ++lists;
    total += static_cast<int>(additions[k].size());
    ok = std::printf("%s: %zu to add\n", g_sectionlist[k + 1], additions[k].size()) >= 0;
    for (const std::string& id : additions[k]) ok = ok && std::printf("  %s\n", id.c_str()) >= 0;
  }
  if (total == 0) {
    ok = ok && std::fputs("Nothing to add.\n", stdout) >= 0;
  } else {
    ok = ok && std::printf("Would add %d identifiers to %d lists.\n", total, lists) >= 0;
  }
  return ok && std::fflush(stdout) == 0;
}

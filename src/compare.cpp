#include "compare.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "object_block.h"
#include "text_util.h"

namespace {
// Appends one list of the world to `out`, read as export reads it.
read_status copy_list(world_source& world, assembly_buffer& out) {
  std::int32_t n = 0;
  if (read_string_count(world, n) == read_status::failed) return read_status::failed;
  append_u32(out, static_cast<std::uint32_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    out.reserve(2 + 0xFFFF);  // room for the longest string
    std::uint8_t* record = out.data() + out.outp;
    std::size_t length = 0;
    const read_status status = world.read_counted_string(reinterpret_cast<char*>(record + 2), length);
    if (status == read_status::failed) return status;
    consistency_check(status == read_status::ok && length != 0, "string read from world");
    record[0] = static_cast<std::uint8_t>(length & 0xFF);
    record[1] = static_cast<std::uint8_t>(length >> 8);
    out.outp += 2 + length;
  }
  return read_status::ok;
}

std::uint32_t get_u32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

// Moves `at` past one list; false when the bytes end first. `strings`, when
// given, gets the list's strings.
bool walk_list(std::string_view bytes, std::size_t& at,
               std::vector<std::string_view>* strings = nullptr) {
  if (bytes.size() - at < 4) return false;
  const std::int64_t n = static_cast<std::int32_t>(get_u32(bytes, at));
  at += 4;
  for (std::int64_t i = 0; i < n; ++i) {
    if (bytes.size() - at < 2) return false;
    const std::size_t length = static_cast<unsigned char>(bytes[at]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    if (bytes.size() - at - 2 < length) return false;
    if (strings != nullptr) strings->emplace_back(bytes.data() + at + 2, length);
    at += 2 + length;
  }
  return true;
}

std::vector<std::string_view> strings_of(const block_views& block, const block_views::list_range* list) {
  std::vector<std::string_view> strings;
  if (list == nullptr) return strings;
  std::size_t at = list->begin;
  walk_list(block.bytes, at, &strings);
  return strings;
}

std::string_view bytes_of(const block_views& block, const block_views::list_range* list) {
  if (list == nullptr) return {};
  return block.bytes.substr(list->begin, list->end - list->begin);
}

// The text of a string up to its first zero byte, as the dump shows it.
std::string shown(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

// The part of a changed list (the old one, or the new one) that the
// cancelling of equal strings needs to look at. A common start cancels
// pair by pair, as it would anyway: its strings come first on both sides.
// So does a common end, from the last of its strings that occurs in the
// part between (or before it in the end) on: there the first of equal
// strings must be the one cancelled. An edit in a long list then costs a
// few strings, not the list.
std::span<const std::string_view> changed_middle(const std::vector<std::string_view>& old_list,
                                                 const std::vector<std::string_view>& new_list,
                                                 bool old_side) {
  const std::size_t shorter = std::min(old_list.size(), new_list.size());
  std::size_t start = 0;
  while (start < shorter && old_list[start] == new_list[start]) ++start;
  std::size_t end = 0;  // strings common to both ends
  while (end < shorter - start &&
         old_list[old_list.size() - 1 - end] == new_list[new_list.size() - 1 - end]) {
    ++end;
  }
  std::unordered_set<std::string_view> between;
  for (std::size_t i = start; i < old_list.size() - end; ++i) between.insert(old_list[i]);
  for (std::size_t i = start; i < new_list.size() - end; ++i) between.insert(new_list[i]);
  const std::size_t end_from = old_list.size() - end;
  std::size_t kept_from = 0;  // in the common end: what stays out of the middle
  for (std::size_t j = 0; j < end; ++j) {
    if (!between.contains(old_list[end_from + j])) continue;
    for (std::size_t i = kept_from; i < j; ++i) between.insert(old_list[end_from + i]);
    kept_from = j + 1;
  }
  const std::vector<std::string_view>& list = old_side ? old_list : new_list;
  return std::span<const std::string_view>(list).subspan(start, list.size() - start - (end - kept_from));
}

// Prints how a list changed; a list that is missing on one side (null) has
// no strings there.
bool print_list_change(const char* name, const block_views& world, const block_views::list_range* old_range,
                       const block_views& dump, const block_views::list_range* new_range,
                       bool& changed) {
  if (bytes_of(world, old_range) == bytes_of(dump, new_range)) return true;
  const std::vector<std::string_view> old_list = strings_of(world, old_range);
  const std::vector<std::string_view> new_list = strings_of(dump, new_range);
  if (old_list == new_list) return true;  // an absent list and an empty one
  changed = true;
  // Duplicates count per occurrence: each string of one list cancels the
  // first equal string of the other not cancelled yet.
  const std::span<const std::string_view> old_middle = changed_middle(old_list, new_list, true);
  const std::span<const std::string_view> new_middle = changed_middle(old_list, new_list, false);
  std::unordered_map<std::string_view, std::int64_t> in_new, in_old;
  for (std::string_view s : new_middle) ++in_new[s];
  for (std::string_view s : old_middle) ++in_old[s];
  std::vector<std::string_view> removed, added;
  for (std::string_view s : old_middle) {
    if (in_new[s] > 0) {
      --in_new[s];
    } else {
      removed.push_back(s);
    }
  }
  for (std::string_view s : new_middle) {
    if (in_old[s] > 0) {
      --in_old[s];
    } else {
      added.push_back(s);
    }
  }
  if (removed.empty() && added.empty()) return std::printf("%s: order changed\n", name) >= 0;
  bool ok = std::printf("%s: %zu removed, %zu added\n", name, removed.size(), added.size()) >= 0;
  for (std::string_view s : removed) ok = ok && std::printf("  - %s\n", shown(s).c_str()) >= 0;
  for (std::string_view s : added) ok = ok && std::printf("  + %s\n", shown(s).c_str()) >= 0;
  return ok;
}

// Records the lists of `lists.bytes` from its start.
void find_lists(block_views& lists) {
  lists.groups.clear();
  lists.sections.clear();
  const std::string_view b = lists.bytes;
  if (b.size() < 4) return;
  lists.group_count = static_cast<std::int32_t>(get_u32(b, 0));
  std::size_t at = 4;
  for (std::int32_t g = 0; g < lists.group_count; ++g) {
    const std::size_t begin = at;
    if (!walk_list(b, at)) return;
    lists.groups.push_back({begin, at});
  }
  for (int section = 1; section < section_count; ++section) {
    const std::size_t begin = at;
    if (!walk_list(b, at)) return;
    lists.sections.push_back({begin, at});
  }
}
}  // namespace

read_status read_world_lists(world_source& world, block_views& lists) {
  assembly_buffer& bytes = lists.read;
  bytes.reset();
  std::int32_t groups = 0;
  if (read_count(world, groups) == read_status::failed) return read_status::failed;
  append_u32(bytes, static_cast<std::uint32_t>(groups));
  for (std::int32_t g = 0; g < groups; ++g) {
    if (copy_list(world, bytes) == read_status::failed) return read_status::failed;
  }
  for (int section = 1; section < section_count; ++section) {
    if (copy_list(world, bytes) == read_status::failed) return read_status::failed;
  }
  lists.bytes = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.outp);
  find_lists(lists);
  return read_status::ok;
}

void split_block(std::string bytes, block_views& lists) {
  lists.written = std::move(bytes);
  lists.bytes = lists.written;
  find_lists(lists);
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
  const auto at = [](const std::vector<block_views::list_range>& lists, std::size_t k) {
    return k < lists.size() ? &lists[k] : nullptr;
  };
  const std::size_t groups = std::max(world.groups.size(), dump.groups.size());
  for (std::size_t g = 0; g < groups && ok; ++g) {
    char name[64];
    std::snprintf(name, sizeof name, "creature_layer %08zu", g);
    ok = print_list_change(name, world, at(world.groups, g), dump, at(dump.groups, g), changed);
  }
  for (int section = 1; section < section_count && ok; ++section) {
    const std::size_t k = static_cast<std::size_t>(section - 1);
    ok = print_list_change(g_sectionlist[section], world, at(world.sections, k), dump,
                           at(dump.sections, k), changed);
  }
  if (!changed) ok = ok && std::fputs("No change.\n", stdout) >= 0;
  if (refused) {
    ok = ok && std::fputs("Note: importing this dump would be refused: the new lists do not read "
                          "back whole.\n",
                          stdout) >= 0;
  }
  return ok && std::fflush(stdout) == 0;
}

bool print_additions(const sync_additions& additions) {
  bool ok = true;
  int lists = 0, total = 0;
  for (std::size_t k = 0; k < additions.size() && ok; ++k) {
    const section_additions& added = additions[k];
    if (added.count == 0) continue;
    ++lists;
    total += added.count;
    ok = std::printf("%s: %d to add\n", g_sectionlist[k + 1], added.count) >= 0 &&
         std::fwrite(added.lines.data(), 1, added.lines.size(), stdout) == added.lines.size();
  }
  if (total == 0) {
    ok = ok && std::fputs("Nothing to add.\n", stdout) >= 0;
  } else {
    ok = ok && std::printf("Would add %d identifiers to %d lists.\n", total, lists) >= 0;
  }
  return ok && std::fflush(stdout) == 0;
}

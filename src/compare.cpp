#include "compare.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "commands.h"
#include "import.h"
#include "little_endian.h"
#include "messages.h"
#include "object_block.h"
#include "settings.h"
#include "text_util.h"
#include "world_header.h"

namespace {
// Appends one list of the world to `out`, read as export reads it.
read_status copy_list(world_source& world, assembly_buffer& out) {
  std::int32_t n = 0;
  if (read_string_count(world, n) == read_status::failed) return read_status::failed;
  append_u32(out, static_cast<std::uint32_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    std::size_t length = 0;
    const read_status status = append_world_string(world, out, length);
    if (status == read_status::failed) return status;
    consistency_check(status == read_status::ok && length != 0, "string read from world");
  }
  return read_status::ok;
}

// Moves `at` past one list; false when the bytes end first. `strings`, when
// given, gets the list's strings.
// `whole`, when given, tells whether the list reads back whole: a count
// above 0 and no string empty, as the rewrite's read-back check has it.
bool walk_list(std::string_view bytes, std::size_t& at,
               std::vector<std::string_view>* strings = nullptr, bool* whole = nullptr) {
  if (bytes.size() - at < 4) return false;
  const std::int64_t n = static_cast<std::int32_t>(load_le32(bytes.data() + at));
  at += 4;
  bool none_empty = true;
  for (std::int64_t i = 0; i < n; ++i) {
    if (bytes.size() - at < 2) return false;
    const std::size_t length = load_le16(bytes.data() + at);
    if (bytes.size() - at - 2 < length) return false;
    if (strings != nullptr) strings->emplace_back(bytes.data() + at + 2, length);
    none_empty = none_empty && length != 0;
    at += 2 + length;
  }
  if (whole != nullptr) *whole = n > 0 && none_empty;
  return true;
}

std::vector<std::string_view> strings_of(std::string_view list) {
  std::vector<std::string_view> strings;
  std::size_t at = 0;
  walk_list(list, at, &strings);
  return strings;
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

// Adds to `report` how a list changed; a list missing on one side (empty
// bytes) has no strings there. False when it did not change.
bool note_list_change(const std::string& name, std::string_view old_bytes, std::string_view new_bytes,
                      std::string& report) {
  if (old_bytes == new_bytes) return false;
  const std::vector<std::string_view> old_list = strings_of(old_bytes);
  const std::vector<std::string_view> new_list = strings_of(new_bytes);
  if (old_list == new_list) return false;  // an absent list and an empty one
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
  if (removed.empty() && added.empty()) {
    report += name + ": order changed\n";
    return true;
  }
  report += name + ": " + std::to_string(removed.size()) + " removed, " + std::to_string(added.size()) +
            " added\n";
  for (std::string_view s : removed) report.append("  - ").append(shown(s)) += '\n';
  for (std::string_view s : added) report.append("  + ").append(shown(s)) += '\n';
  return true;
}

}  // namespace

list_comparer::list_comparer(world_source& world) : world_sink(nullptr), world_(world) {}

bool list_comparer::write(const void* data, std::size_t size) {
  std::string_view bytes(static_cast<const char*>(data), size);
  if (!pending_.empty()) {
    pending_.append(bytes);
    bytes = pending_;
  }
  if (!take_lists(bytes)) return false;
  // What is left is the start of a list: kept until the rest comes.
  pending_.assign(bytes);
  return true;
}

// Compares every whole list at the start of `bytes` and moves past it.
bool list_comparer::take_lists(std::string_view& bytes) {
  if (new_groups_ < 0) {
    if (bytes.size() < 4) return true;
    new_groups_ = std::max(static_cast<std::int32_t>(load_le32(bytes.data())), 0);
    bytes.remove_prefix(4);
    if (!start_world()) return false;
  }
  for (;;) {
    std::size_t end = 0;
    bool whole = false;
    if (!walk_list(bytes, end, nullptr, &whole)) return true;
    const std::string_view list = bytes.substr(0, end);
    whole_ = whole_ && whole;
    // The new block's lists take positions in order, but its sections come
    // after all the world's groups.
    const std::int64_t position =
        new_lists_ < new_groups_ ? new_lists_ : groups() + (new_lists_ - new_groups_);
    ++new_lists_;
    if (position >= groups() + section_count - 1) {
      whole_ = false;  // more lists than a block holds
    } else {
      if (static_cast<std::int32_t>(load_le32(list.data())) <= 0) {
        empty_lists_.push_back(list_name(position, groups()));
      }
      while (lists_done_ < position) {
        if (!compare_next({}, false)) return false;
      }
      if (!compare_next(list, whole)) return false;
    }
    bytes.remove_prefix(end);
  }
}

// Reads the world's group count, once the new one is known.
bool list_comparer::start_world() {
  if (read_count(world_, world_groups_) == read_status::failed) return false;
  world_groups_ = std::max(world_groups_, 0);
  if (new_groups_ != world_groups_) {
    changed_ = true;
    report_ += "creature_layer: " + std::to_string(new_groups_) + " groups, was " +
               std::to_string(world_groups_) + "\n";
  }
  return true;
}

// Compares the world's list at position lists_done_ (when the world has
// one there) with `new_list` (empty: the new block has none there).
// A world's list that holds exactly the bytes of a new one that reads back
// whole is only compared, never copied: it is that list, and as whole.
// Any other is read as export reads it, which stops the run where export
// would stop.
bool list_comparer::compare_next(std::string_view new_list, bool new_whole) {
  std::string_view old_list;
  if (lists_done_ < world_groups_ || lists_done_ >= groups()) {
    const std::int64_t start = world_.position();
    bool same = false;
    read_status status = read_status::ok;
    if (new_whole) {
      same = true;
      status = world_.read_comparing(new_list.data(), new_list.size(), same);
    }
    if (status == read_status::ok && same) {
      old_list = new_list;
    } else {
      world_list_.reset();
      if (status == read_status::failed || world_.seek(start) != read_status::ok ||
          copy_list(world_, world_list_) == read_status::failed) {
        return false;  // the world could not be read
      }
      old_list = std::string_view(reinterpret_cast<const char*>(world_list_.data()), world_list_.size());
    }
  }
  if (note_list_change(list_name(lists_done_, groups()), old_list, new_list, report_)) changed_ = true;
  ++lists_done_;
  return true;
}

bool list_comparer::finish() {
  if (new_groups_ < 0) {
    whole_ = false;
    new_groups_ = 0;
    if (!start_world()) return false;
  }
  if (!pending_.empty() || new_lists_ < new_groups_ + section_count - 1) whole_ = false;
  // The lists the new block lacks are empty in the import's read-back too.
  for (std::int64_t list = new_lists_; list < new_groups_ + section_count - 1; ++list) {
    empty_lists_.push_back(
        list_name(list < new_groups_ ? list : groups() + (list - new_groups_), groups()));
  }
  while (lists_done_ < groups() + section_count - 1) {
    if (!compare_next({}, false)) return false;
  }
  return true;
}

bool list_comparer::print(const char* exported_from) const {
  bool ok = true;
  if (exported_from != nullptr) {
    ok = std::printf(msg::exported_elsewhere, exported_from) >= 0;
  }
  ok = ok && std::fwrite(report_.data(), 1, report_.size(), stdout) == report_.size();
  if (!changed_) ok = ok && std::fputs("No change.\n", stdout) >= 0;
  if (!whole_) {
    ok = ok && std::fputs("Note: importing this dump would be refused: the new lists do not read "
                          "back whole.\n",
                          stdout) >= 0;
    for (const std::string& name : empty_lists_) {
      ok = ok && std::printf(msg::empty_list, name.c_str()) >= 0;
    }
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

// Import's dry run: how the dump's lists differ from the world's goes to
// standard output.
int run_compare(settings& run, const run_context&) {
  if (!open_dump(run)) return exit_error;
  list_comparer compared(*run.worldfile);
  import_tally tally;
  const block_result parsed = import_text(run.importfile.get(), compared, run.force, &tally);
  if (parsed == block_result::input_read_failed) {
    report(msg::input_read_failed, run.argfile);
    report_reason(tally.read_failure.c_str());
    return exit_error;
  }
  if (parsed != block_result::done || !compared.finish()) return world_read_failed(run);
  const std::string source = exported_elsewhere(tally.title, run.worldpath);
  errno = 0;
  if (!compared.print(source.empty() ? nullptr : source.c_str())) {
    if (platform::reader_gone(errno)) return exit_error;
    report("Error: could not write the report to standard output\n");
    return exit_error;
  }
  return exit_done;
}

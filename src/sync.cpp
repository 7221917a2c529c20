#include "sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "compare.h"
#include "duplicate_index.h"
#include "file_stream.h"
#include "little_endian.h"
#include "messages.h"
#include "raw_scan.h"
#include "settings.h"
#include "text_util.h"
#include "world_header.h"

namespace {
// The object type a raw file must declare to feed each section.
const char* const object_types[section_count] = {
    nullptr,     "inorganic",        "plant",           "body",
    "bodygloss", "creature",         "item",            "building",
    "entity",    "LANGUAGE",         "LANGUAGE",        "LANGUAGE",
    "DESCRIPTOR_COLOR", "DESCRIPTOR_SHAPE", "DESCRIPTOR_PATTERN", "reaction",
    "material_template", "tissue_template", "body_detail_plan", "creature_variation"};

bool starts_nocase(const char* text, std::size_t text_length, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (text_length < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (lower_ascii(text[i]) != lower_ascii(prefix[i])) return false;
  }
  return true;
}

// Which tags define a section's identifiers, worked out once per section:
// "ITEM_..." and "BUILDING_..." tags, or the section's name itself.
struct defining_tag {
  const char* name;
  std::size_t name_length;
  const char* prefix;  // or null: the tag is the name

  explicit defining_tag(int section)
      : name(g_sectionlist[section]), name_length(std::strlen(name)), prefix(nullptr) {
    if (std::strcmp(name, "item") == 0) prefix = "ITEM_";
    if (std::strcmp(name, "building") == 0) prefix = "BUILDING_";
  }
  // The tag name runs from `tag` for `length` characters.
  bool defines(const char* tag, std::size_t length) const {
    return prefix != nullptr ? starts_nocase(tag, length, prefix) : length == name_length;
  }
};

// Reads the next line into scratch; false at the end of the file, and after
// a read error, which ends the file's use for this section.
bool read_line(file_stream& in) {
  errno = 0;
  if (std::fgets(scratch, scratch_size, in.get()) != nullptr) return true;
  if (std::ferror(in.get())) in.fail(errno);
  return false;
}

// The type the file's first "[OBJECT:" line declares: the text after it up
// to "]", or to the line's end when there is no "]". None without such a line.
std::optional<std::string> object_type(file_stream& in) {
  while (read_line(in)) {
    char* object = std::strstr(scratch, "[OBJECT:");
    if (object == nullptr) continue;
    char* type = object + 8;
    if (char* close = std::strchr(type, ']')) *close = '\0';
    return std::string(type);
  }
  return std::nullopt;
}

// The identifier the line in scratch defines, trimmed and upper-cased in
// scratch, or null. Only the first occurrence of the section's name in the
// line's text (up to a zero byte) counts, and it must follow "[". The
// scanner's marker, "[" and the name, is one such occurrence, so the first
// one ends no later than it does.
char* defined_identifier(const defining_tag& tag, std::size_t marker_offset) {
  const std::size_t marker_end = marker_offset + 1 + tag.name_length;
  char* found = nullptr;
  if (marker_offset < 64) {
    // Tags mostly begin their lines: a short look before the marker. A zero
    // byte there ends the text; an occurrence cannot hold one.
    found = scratch + marker_offset + 1;
    for (std::size_t at = 0; at <= marker_offset; ++at) {
      if (scratch[at] == '\0') return nullptr;
      if (lower_ascii(scratch[at]) == tag.name[0] &&
          starts_nocase(scratch + at, marker_end - at, tag.name)) {
        found = scratch + at;
        break;
      }
    }
  } else {
    std::size_t text = marker_end;
    if (const void* zero = std::memchr(scratch, '\0', marker_end)) {
      text = static_cast<std::size_t>(static_cast<const char*>(zero) - scratch);
    }
    found = const_cast<char*>(find_nocase_in(scratch, text, tag.name));
  }
  if (found == nullptr || found == scratch || found[-1] != '[') return nullptr;
  // The tag runs to the first ':'. A section's name holds none, so a tag
  // that must be the name is followed by one at once.
  char* colon = tag.prefix != nullptr ? std::strchr(found, ':') : found + tag.name_length;
  if (colon == nullptr || *colon != ':') return nullptr;
  if (!tag.defines(found, static_cast<std::size_t>(colon - found))) return nullptr;
  char* identifier = colon + 1;
  char* close = std::strchr(identifier, ']');
  if (close == nullptr) return nullptr;
  *close = '\0';
  identifier = trim(identifier);
  upper_in_place(identifier);
  return identifier;
}

struct section_merge {
  assembly_buffer& out;
  duplicate_index& index;
  raw_scanner& scanner;
  std::uint32_t running_count;
  std::string record;  // the identifier found last, as a record
  section_additions* collected;  // a dry run's additions, or null

  // Each identifier is looked up only once the next one has been found: the
  // index fetches its place meanwhile, which would otherwise be a wait on
  // memory for every identifier of a large section.
  void take_from(std::FILE* in, int section) {
    // Only lines holding "[" and the section's name can define an identifier.
    scanner.start(in, g_sectionlist[section]);
    const defining_tag tag(section);
    record.clear();
    while (scanner.next_line()) {
      const char* identifier = defined_identifier(tag, scanner.marker_offset());
      if (identifier == nullptr) continue;
      const std::size_t length = std::strlen(identifier);
      // An empty identifier is never a name: every reader of the world
      // refuses it.
      if (length == 0) continue;
      if (!record.empty()) add_if_new();
      record.assign(2, '\0');
      store_le16(record.data(), static_cast<std::uint16_t>(length));
      record.append(identifier, length);
      index.prepare(reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
    }
    if (!record.empty()) add_if_new();
  }

  void add_if_new() {
    if (index.contains(out, reinterpret_cast<const std::uint8_t*>(record.data()), record.size())) {
      return;
    }
    const char* identifier = record.c_str() + 2;
    const std::size_t length = record.size() - 2;
    if (collected != nullptr) {
      ++collected->count;
      collected->lines.append("  ").append(identifier, length) += '\n';
    } else {
      report("  %s\n", identifier);
    }
    const std::size_t start = out.size();
    append_record(out, identifier, static_cast<std::uint16_t>(length));
    index.add_record(out, start);
    ++running_count;
  }
};

// Copies the world's strings unchanged. A world that ends inside its block
// would otherwise gain made-up empty strings, so that stops the run.
block_result copy_world_strings(world_source& world, std::int32_t n, assembly_buffer& out,
                                duplicate_index* index) {
  for (std::int32_t i = 0; i < n; ++i) {
    const std::size_t start = out.size();
    std::size_t length = 0;
    const read_status status = append_world_string(world, out, length);
    if (status == read_status::failed) return block_result::world_read_failed;
    consistency_check(status == read_status::ok, "world block ends inside a string list");
    if (index != nullptr) index->add_record(out, start);
  }
  return block_result::done;
}

block_result copy_creature_layer(world_source& world, assembly_buffer& assembled,
                                 world_sink& out, std::int32_t& groups) {
  if (read_count(world, groups) == read_status::failed) return block_result::world_read_failed;
  append_u32(assembled, static_cast<std::uint32_t>(groups));
  for (std::int32_t g = 0; g < groups; ++g) {
    std::int32_t n = 0;
    if (read_string_count(world, n) == read_status::failed) return block_result::world_read_failed;
    append_u32(assembled, static_cast<std::uint32_t>(n));
    const block_result copied = copy_world_strings(world, n, assembled, nullptr);
    if (copied != block_result::done) return copied;
  }
  const bool written = out.write(assembled.data(), assembled.size());
  assembled.reset();
  return written ? block_result::done : block_result::write_failed;
}

// The object type of every raw file read whole once in this run, by name.
// A file known to declare another type is not opened again: most files feed
// one section only, and opening each of them nineteen times dominated the
// run on big mod folders.
using known_types = std::map<std::string, std::optional<std::string>>;

// What the section passes share.
struct sync_state {
  assembly_buffer out;
  duplicate_index index;
  raw_scanner scanner;
  known_types types;
  std::uint64_t added = 0;  // identifiers added to all sections
  int lists_added_to = 0;     // sections that gained identifiers, as check counts them
  sync_additions* additions;  // a dry run's, or null
};

bool synchronized(const std::string& type) {
  for (int section = 1; section < section_count; ++section) {
    if (equal_nocase(type.c_str(), object_types[section])) return true;
  }
  return false;
}

// After the passes: each entry of the raw folder that no pass read, and why,
// so that a mod file put in the wrong place or form does not go unnoticed.
// Devices, and files that could not be opened or read, were reported or
// left alone by the passes already.
void report_unread(const raw_folder& raws, const known_types& types) {
  for (const platform::folder_entry& entry : raws.listing.entries()) {
    std::string reason;
    if (entry.kind == platform::entry_kind::folder) {
      reason = "a folder (only the files directly in raw/objects are read)";
    } else if (const auto known = types.find(entry.name); known != types.end()) {
      if (!known->second) {
        reason = "no [OBJECT: line";
      } else if (!synchronized(*known->second)) {
        // A type without its "]" runs to the line's end, which is not shown.
        std::string type = *known->second;
        while (!type.empty() && (type.back() == '\n' || type.back() == '\r')) type.pop_back();
        reason = "object type " + type + " is not synchronized";
      }
    }
    if (!reason.empty()) report("Skipped %s: %s\n", entry.name.c_str(), reason.c_str());
  }
}

block_result sync_section(int section, world_source& world, world_sink& sink,
                          const raw_folder& raws, sync_state& state) {
  report("Synchronizing %s...\n", g_sectionlist[section]);
  assembly_buffer& out = state.out;
  out.reset();
  state.index.clear();
  std::int32_t n = 0;
  if (read_string_count(world, n) == read_status::failed) return block_result::world_read_failed;
  state.index.reserve(static_cast<std::size_t>(n));
  append_u32(out, static_cast<std::uint32_t>(n));
  state.index.add_bytes(out);
  const block_result copied = copy_world_strings(world, n, out, &state.index);
  if (copied != block_result::done) return copied;

  section_merge merge{out, state.index, state.scanner, static_cast<std::uint32_t>(n), {},
                      state.additions != nullptr
                          ? &(*state.additions)[static_cast<std::size_t>(section - 1)]
                          : nullptr};
  char path[sizeof settings::rawpath + 512];
  for (const platform::folder_entry& entry : raws.listing.entries()) {
    if (entry.kind == platform::entry_kind::folder || entry.kind == platform::entry_kind::device) {
      continue;
    }
    const auto known = state.types.find(entry.name);
    if (known != state.types.end() &&
        !(known->second && equal_nocase(known->second->c_str(), object_types[section]))) {
      continue;
    }
    file_stream raw;
    const bool built = build_path(path, sizeof path, "%s/%s", raws.path, entry.name.c_str());
    if (!built || !raw.open(path, "r")) {
      report("Error: could not open %s.  Skipping.\n", path);
      report_reason(built ? raw.failure().c_str() : platform::error_text(ENAMETOOLONG).c_str());
      continue;
    }
    const std::optional<std::string> type = object_type(raw);
    if (type && equal_nocase(type->c_str(), object_types[section])) {
      merge.take_from(raw.get(), section);
      if (state.scanner.read_error() != 0) raw.fail(state.scanner.read_error());
    }
    if (std::ferror(raw.get())) {
      report("Error: could not read %s.  Skipping.\n", path);
      report_reason(raw.failure().c_str());
    } else {
      state.types.emplace(entry.name, type);
    }
  }
  store_u32(out, 0, merge.running_count);
  state.added += merge.running_count - static_cast<std::uint32_t>(n);
  if (merge.running_count != static_cast<std::uint32_t>(n)) ++state.lists_added_to;
  return sink.write(out.data(), out.size()) ? block_result::done : block_result::write_failed;
}
}  // namespace

block_result sync_raws(world_source& world, world_sink& out, const raw_folder& raws,
                       sync_additions* additions) {
  sync_state state;
  state.additions = additions;
  if (additions != nullptr) additions->assign(section_count - 1, {});
  report("Beginning World Sychronization...\n");
  std::int32_t groups = 0;
  block_result result = copy_creature_layer(world, state.out, out, groups);
  report_batching(true);
  for (int section = 1; section < section_count && result == block_result::done; ++section) {
    result = sync_section(section, world, out, raws, state);
    report_flush();
  }
  report_batching(false);
  if (result == block_result::done) {
    if (additions == nullptr) {
      report("Added %d identifiers to %d lists.\n", shown_count(state.added),
             state.lists_added_to);
    }
    report_unread(raws, state.types);
  }
  return result;
}

namespace {
// Opens the region's raw folder that sync and check read; false after
// reporting.
bool open_raws(settings& run) {
  if (!build_path(run.rawpath, sizeof run.rawpath, "%s%s/%s", "./data/save/", run.region,
                  "raw/objects") ||
      !run.rawdir.open(run.rawpath)) {
    report("Error: can not open raws: %s\n", run.rawpath);
    report_reason(run.rawpath[0] == '\0' ? platform::error_text(ENAMETOOLONG).c_str()
                                          : platform::last_failure().c_str());
    return false;
  }
  return true;
}
}  // namespace

int run_sync(settings& run, const run_context& context) {
  if (!open_raws(run)) return exit_error;
  const raw_folder raws{run.rawpath, run.rawdir};
  const rewrite_job job{run.worldpath, timestamp, *run.worldfile, context.block_offset,
                        [&raws](world_source& world, world_sink& out) {
                          return sync_raws(world, out, raws);
                        },
                        nullptr, nullptr};
  return rewrite_status(rewrite_world(job));
}

// Sync's dry run: what it would add goes to standard output.
int run_check(settings& run, const run_context&) {
  if (!open_raws(run)) return exit_error;
  const raw_folder raws{run.rawpath, run.rawdir};
  const std::unique_ptr<world_sink> nowhere = null_world_sink();
  sync_additions additions;
  if (sync_raws(*run.worldfile, *nowhere, raws, &additions) != block_result::done) {
    return world_read_failed(run);
  }
  errno = 0;
  if (!print_additions(additions)) {
    if (platform::reader_gone(errno)) return exit_error;
    report("Error: could not write the report to standard output\n");
    return exit_error;
  }
  return exit_done;
}

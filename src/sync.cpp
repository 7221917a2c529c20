#include "sync.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "duplicate_index.h"
#include "raw_scan.h"
#include "rawgraft.h"
#include "text_util.h"
#include "world_rewrite.h"

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
bool read_line(std::FILE* in) { return std::fgets(scratch, scratch_size, in) != nullptr; }

// The type the file's first "[OBJECT:" line declares: the text after it up
// to "]", or to the line's end when there is no "]". None without such a line.
std::optional<std::string> object_type(std::FILE* in) {
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
  std::string message;

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
      if (!record.empty()) add_if_new();
      const std::size_t length = std::strlen(identifier);
      record.assign({static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)});
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
    // The line is put together here: one write to the stream, not three.
    message.assign("  ").append(identifier, length) += '\n';
    report("%s", message.c_str());
    const std::size_t start = out.outp;
    append_record(out, identifier, static_cast<std::uint16_t>(length));
    index.add_record(out, start);
    ++running_count;
  }
};

// Copies the world's strings unchanged. A world that ends inside its block
// would otherwise gain made-up empty strings, so that stops the run.
void copy_world_strings(std::FILE* world, std::int32_t n, assembly_buffer& out,
                        duplicate_index* index) {
  counted_string record;
  for (std::int32_t i = 0; i < n; ++i) {
    const bool read = read_counted_string(world, record) != nullptr;
    consistency_check(read || !std::feof(world), "world block ends inside a string list");
    const std::size_t start = out.outp;
    append_counted_string(out, record);
    if (index != nullptr) index->add_record(out, start);
  }
}

void copy_creature_layer(std::FILE* world, assembly_buffer& out) {
  const std::int32_t groups = read_count(world);
  append_u32(out, static_cast<std::uint32_t>(groups));
  for (std::int32_t g = 0; g < groups; ++g) {
    const std::int32_t n = read_string_count(world);
    append_u32(out, static_cast<std::uint32_t>(n));
    copy_world_strings(world, n, out, nullptr);
  }
  write_block_part(out.data(), out.outp);
  out.reset();
  if (std::fflush(g_settings.outworldfile.get()) != 0) new_world_write_failed();
}

// The object type of every raw file read whole once in this run, by name.
// A file known to declare another type is not opened again: most files feed
// one section only, and opening each of them nineteen times dominated the
// run on big mod folders.
using known_types = std::map<std::string, std::optional<std::string>>;

void sync_section(int section, std::FILE* world, assembly_buffer& out, duplicate_index& index,
                  raw_scanner& scanner, known_types& types) {
  report("Synchronizing %s...\n", g_sectionlist[section]);
  out.reset();
  index.clear();
  const std::int32_t n = read_string_count(world);
  index.reserve(static_cast<std::size_t>(n));
  append_u32(out, static_cast<std::uint32_t>(n));
  index.add_bytes(out);
  copy_world_strings(world, n, out, &index);

  section_merge merge{out, index, scanner, static_cast<std::uint32_t>(n), {}, {}};
  char path[sizeof g_settings.rawpath + 512];
  for (const platform::folder_entry& entry : g_settings.rawdir.entries()) {
    if (entry.kind == platform::entry_kind::folder || entry.kind == platform::entry_kind::device) {
      continue;
    }
    const auto known = types.find(entry.name);
    if (known != types.end() &&
        !(known->second && equal_nocase(known->second->c_str(), object_types[section]))) {
      continue;
    }
    file_stream raw;
    if (!build_path(path, sizeof path, "%s/%s", g_settings.rawpath, entry.name.c_str()) ||
        !raw.open(path, "r")) {
      report("Error: could not open %s.  Skipping.\n", path);
      continue;
    }
    const std::optional<std::string> type = object_type(raw.get());
    if (type && equal_nocase(type->c_str(), object_types[section])) {
      merge.take_from(raw.get(), section);
    }
    if (std::ferror(raw.get())) {
      report("Error: could not read %s.  Skipping.\n", path);
    } else {
      types.emplace(entry.name, type);
    }
  }
  store_u32(out, 0, merge.running_count);
  write_block_part(out.data(), out.outp);
}
}  // namespace

int sync_raws() {
  std::FILE* world = g_settings.worldfile.get();
  assembly_buffer out;
  duplicate_index index;
  raw_scanner scanner;
  known_types types;
  report("Beginning World Sychronization...\n");
  copy_creature_layer(world, out);
  report_batching(true);
  for (int section = 1; section < section_count; ++section) {
    sync_section(section, world, out, index, scanner, types);
    report_flush();
  }
  report_batching(false);
  return 0;
}

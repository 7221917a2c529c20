#include "sync.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

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

// The tag name runs from `tag` for `length` characters.
bool tag_defines(int section, const char* tag, std::size_t length) {
  if (std::strcmp(g_sectionlist[section], "item") == 0) return starts_nocase(tag, length, "ITEM_");
  if (std::strcmp(g_sectionlist[section], "building") == 0) {
    return starts_nocase(tag, length, "BUILDING_");
  }
  return length == std::strlen(g_sectionlist[section]) &&
         starts_nocase(tag, length, g_sectionlist[section]);
}

// Reads the next line into scratch; false at the end of the file, and after
// a read error, which ends the file's use for this section.
bool read_line(std::FILE* in) { return std::fgets(scratch, scratch_size, in) != nullptr; }

// Whether the file's first "[OBJECT:" line declares the section's type.
bool declares_type(std::FILE* in, int section) {
  while (read_line(in)) {
    char* object = std::strstr(scratch, "[OBJECT:");
    if (object == nullptr) continue;
    char* type = object + 8;
    if (char* close = std::strchr(type, ']')) *close = '\0';
    return equal_nocase(type, object_types[section]);
  }
  return false;
}

// The identifier a line defines for the section, trimmed and upper-cased
// in scratch, or null.
char* defined_identifier(int section) {
  const char* name = g_sectionlist[section];
  char* found = const_cast<char*>(find_nocase(scratch, name));
  if (found == nullptr || found == scratch || found[-1] != '[') return nullptr;
  char* colon = std::strchr(found, ':');
  if (colon == nullptr) return nullptr;
  if (!tag_defines(section, found, static_cast<std::size_t>(colon - found))) return nullptr;
  char* identifier = colon + 1;
  char* close = std::strchr(identifier, ']');
  if (close == nullptr) return nullptr;
  *close = '\0';
  identifier = trim(identifier);
  upper_in_place(identifier);
  return identifier;
}

// Hands out a file's lines exactly as reading them into scratch with fgets
// would: at most scratch_size - 1 characters each, so a longer line comes in
// pieces. Reading in large blocks keeps the scan of big mod folders cheap.
class line_reader {
 public:
  void restart() {
    begin_ = end_ = 0;
    at_end_ = false;
  }

  bool next(std::FILE* in, std::string_view& line) {
    constexpr std::size_t longest = scratch_size - 1;
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const std::size_t held = end_ - begin_;
      const void* line_end = std::memchr(start, '\n', std::min(held, longest));
      std::size_t length = 0;
      if (line_end != nullptr) {
        length = static_cast<std::size_t>(static_cast<const char*>(line_end) - start) + 1;
      } else if (held >= longest) {
        length = longest;
      } else if (at_end_) {
        if (held == 0) return false;
        length = held;
      } else {
        std::memmove(buffer_.data(), start, held);
        begin_ = 0;
        end_ = held;
        const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, in);
        end_ += got;
        at_end_ = got == 0;
        continue;
      }
      line = {start, length};
      begin_ += length;
      return true;
    }
  }

 private:
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 20);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
};

struct section_merge {
  assembly_buffer& out;
  duplicate_index& index;
  line_reader& reader;
  std::uint32_t running_count;
  std::string record;

  void take_from(std::FILE* in, int section) {
    reader.restart();
    std::string_view line;
    while (reader.next(in, line)) {
      // Most lines never name the section; only those are looked at closely.
      if (find_nocase_in(line.data(), line.size(), g_sectionlist[section]) == nullptr) continue;
      std::memcpy(scratch, line.data(), line.size());
      scratch[line.size()] = '\0';
      const char* identifier = defined_identifier(section);
      if (identifier == nullptr) continue;
      const std::size_t length = std::strlen(identifier);
      record.assign({static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)});
      record.append(identifier, length);
      if (index.contains(out, reinterpret_cast<const std::uint8_t*>(record.data()),
                         record.size())) {
        continue;
      }
      report("  %s\n", identifier);
      const std::size_t start = out.outp;
      append_record(out, identifier, static_cast<std::uint16_t>(length));
      index.add_record(out, start);
      ++running_count;
    }
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

void sync_section(int section, std::FILE* world, assembly_buffer& out, duplicate_index& index,
                  line_reader& reader) {
  report("Synchronizing %s...\n", g_sectionlist[section]);
  out.reset();
  index.clear();
  const std::int32_t n = read_string_count(world);
  append_u32(out, static_cast<std::uint32_t>(n));
  index.add_bytes(out);
  copy_world_strings(world, n, out, &index);

  section_merge merge{out, index, reader, static_cast<std::uint32_t>(n), {}};
  char path[sizeof g_settings.rawpath + 512];
  for (const platform::folder_entry& entry : g_settings.rawdir.entries()) {
    if (entry.kind == platform::entry_kind::folder || entry.kind == platform::entry_kind::device) {
      continue;
    }
    file_stream raw;
    if (!build_path(path, sizeof path, "%s/%s", g_settings.rawpath, entry.name.c_str()) ||
        !raw.open(path, "r")) {
      report("Error: could not open %s.  Skipping.\n", path);
      continue;
    }
    if (declares_type(raw.get(), section)) merge.take_from(raw.get(), section);
    if (std::ferror(raw.get())) report("Error: could not read %s.  Skipping.\n", path);
  }
  store_u32(out, 0, merge.running_count);
  write_block_part(out.data(), out.outp);
}
}  // namespace

std::optional<std::size_t> find_bytes(const std::uint8_t* range, std::size_t size,
                                      const std::uint8_t* pattern, std::size_t pattern_size) {
  if (pattern_size > size) return std::nullopt;
  const std::uint8_t* found = std::search(range, range + size, pattern, pattern + pattern_size);
  if (found == range + size && pattern_size != 0) return std::nullopt;
  return static_cast<std::size_t>(found - range);
}

void duplicate_index::clear() {
  records_.clear();
  pending_.clear();
  scanned_ = 0;
  zero_pair_ = false;
}

void duplicate_index::add_bytes(const assembly_buffer& buffer) { absorb(buffer, SIZE_MAX); }

void duplicate_index::add_record(const assembly_buffer& buffer, std::size_t start) {
  const std::uint8_t* bytes = buffer.data();
  const bool short_record = bytes[start + 1] == 0;
  if (short_record) {
    records_.emplace(reinterpret_cast<const char*>(bytes + start), buffer.outp - start);
  }
  absorb(buffer, short_record ? start + 1 : SIZE_MAX);
}

bool duplicate_index::settle(const assembly_buffer& buffer, std::size_t z) {
  const std::uint8_t* bytes = buffer.data();
  const std::size_t length = bytes[z - 1];
  const std::size_t end = std::min(z + 1 + length, buffer.outp);
  for (std::size_t i = z + 1; i < end; ++i) {
    if (bytes[i] == 0) return true;  // a zero inside: no record fits here
  }
  if (z + 1 + length > buffer.outp) return false;
  records_.emplace(reinterpret_cast<const char*>(bytes + z - 1), length + 2);
  return true;
}

void duplicate_index::absorb(const assembly_buffer& buffer, std::size_t aligned_high_byte) {
  const std::uint8_t* bytes = buffer.data();
  std::erase_if(pending_, [&](std::size_t z) { return settle(buffer, z); });
  for (std::size_t z = scanned_; z < buffer.outp; ++z) {
    if (bytes[z] != 0 || z == 0) continue;
    if (bytes[z - 1] == 0) zero_pair_ = true;
    if (z == aligned_high_byte || bytes[z - 1] == 0) continue;
    if (!settle(buffer, z)) pending_.push_back(z);
  }
  scanned_ = buffer.outp;
}

bool duplicate_index::contains(const assembly_buffer& buffer, const std::uint8_t* record,
                               std::size_t size) const {
  if (size == 2 && record[0] == 0 && record[1] == 0) return zero_pair_;
  if (record[1] == 0) {
    return records_.contains(std::string_view(reinterpret_cast<const char*>(record), size));
  }
  return find_bytes(buffer.data(), buffer.outp, record, size).has_value();
}

int sync_raws() {
  std::FILE* world = g_settings.worldfile.get();
  assembly_buffer out;
  duplicate_index index;
  line_reader reader;
  report("Beginning World Sychronization...\n");
  copy_creature_layer(world, out);
  report_batching(true);
  for (int section = 1; section < section_count; ++section) {
    sync_section(section, world, out, index, reader);
    report_flush();
  }
  report_batching(false);
  return 0;
}

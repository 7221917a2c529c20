#include "object_block.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "little_endian.h"
#include "text_util.h"

const char* g_sectionlist[section_count + 1] = {
    "creature_layer", "inorganic",        "plant",           "body",
    "bodygloss",      "creature",         "item",            "building",
    "entity",         "word",             "symbol",          "translation",
    "color",          "shape",            "color_pattern",   "reaction",
    "material_template", "tissue_template", "body_detail_plan", "creature_variation",
    nullptr};

const section_table g_section = {
    g_sectionlist[0],  g_sectionlist[1],  g_sectionlist[2],  g_sectionlist[3],
    g_sectionlist[4],  g_sectionlist[5],  g_sectionlist[6],  g_sectionlist[7],
    g_sectionlist[8],  g_sectionlist[9],  g_sectionlist[10], g_sectionlist[11],
    g_sectionlist[12], g_sectionlist[13], g_sectionlist[14], g_sectionlist[15],
    g_sectionlist[16], g_sectionlist[17], g_sectionlist[18], g_sectionlist[19],
    g_sectionlist[20]};

void check_section_list() {
  consistency_check(&g_sectionlist[0] == &g_section.creature_layer,
                    "section list starts at creature_layer");
  consistency_check(&g_sectionlist[section_creature_layer] == &g_section.creature_layer,
                    "creature_layer is section 0");
  consistency_check(&g_sectionlist[section_count - 1] == &g_section.creature_variation,
                    "creature_variation is the last section");
  consistency_check(&g_sectionlist[section_count] == &g_section.end_marker,
                    "end marker follows the last section");
  consistency_check(g_section.end_marker == nullptr, "end marker is null");
}

int find_section(const char* name) {
  for (int i = 0; g_sectionlist[i] != nullptr; ++i) {
    if (equal_nocase(name, g_sectionlist[i])) return i;
  }
  return -1;
}

read_status read_counted_string(world_source& in, counted_string& record) {
  record.s.reset();
  record.len = 0;
  std::uint8_t length_bytes[2];
  const read_status status = in.read(length_bytes, 2);
  if (status != read_status::ok) return status;
  const std::uint16_t length = load_le16(length_bytes);
  if (length == 0) return read_status::ok;  // an empty string has no text
  std::unique_ptr<char[]> text;
  try {
    text.reset(new char[std::size_t{length} + 1]);
  } catch (const std::bad_alloc&) {
    consistency_stop("string buffer obtained");
  }
  const read_status text_status = in.read(text.get(), length);
  if (text_status != read_status::ok) return text_status;
  text[length] = '\0';
  record.len = length;
  record.s = std::move(text);
  return read_status::ok;
}

read_status read_count(world_source& in, std::int32_t& value) {
  std::uint8_t b[4];
  value = 0;
  const read_status status = in.read(b, 4);
  if (status != read_status::ok) return status;
  value = static_cast<std::int32_t>(load_le32(b));
  return read_status::ok;
}

read_status read_string_count(world_source& in, std::int32_t& value) {
  if (read_count(in, value) == read_status::failed) return read_status::failed;
  consistency_check(value != 0, "string count is not 0");
  consistency_check(value > 0, "string count is not negative");
  return read_status::ok;
}

void assembly_buffer::release::operator()(std::uint8_t* bytes) const { std::free(bytes); }

assembly_buffer::assembly_buffer() {
  // Uninitialised on purpose: every byte is written before it is read.
  bytes_.reset(static_cast<std::uint8_t*>(std::malloc(initial_size)));
  if (!bytes_) consistency_stop("output buffer obtained");
  capacity_ = initial_size;
}

void assembly_buffer::grow(std::size_t more) {
  std::size_t wanted = capacity_;
  while (wanted - used_ < more) wanted *= 2;
  void* grown = std::realloc(bytes_.get(), wanted);
  if (grown == nullptr) consistency_stop("output buffer grown");
  static_cast<void>(bytes_.release());
  bytes_.reset(static_cast<std::uint8_t*>(grown));
  capacity_ = wanted;
}

void store_u32(assembly_buffer& out, std::size_t position, std::uint32_t value) {
  store_le32(out.data() + position, value);
}

void append_u32(assembly_buffer& out, std::uint32_t value) {
  store_le32(out.room(4), value);
  out.commit(4);
}

read_status append_world_string(world_source& world, assembly_buffer& out, std::size_t& length) {
  std::uint8_t* record = out.room(2 + 0xFFFF);  // room for the longest string
  const read_status status = world.read_counted_string(reinterpret_cast<char*>(record + 2), length);
  if (status == read_status::ok) {
    store_le16(record, static_cast<std::uint16_t>(length));
    out.commit(2 + length);
  }
  return status;
}

void append_counted_cstr(assembly_buffer& out, const char* text) {
  const std::size_t length = std::strlen(text);
  consistency_check(length <= 0xFFFF, "string fits a counted string");
  append_record(out, text, static_cast<std::uint16_t>(length));
}

namespace {
// Reads and drops n strings. Once the world has ended every further read
// ends the same way, so the rest of the list need not be tried one by one.
read_status skip_strings(world_source& world, std::int32_t n, std::uint64_t& strings) {
  std::uint16_t length = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const read_status status = world.skip_counted_string(length);
    if (status == read_status::failed) return status;
    if (status == read_status::end) return read_status::ok;
    ++strings;
  }
  return read_status::ok;
}

read_status skip_list(world_source& world, std::uint64_t& strings) {
  std::int32_t n = 0;
  if (read_string_count(world, n) == read_status::failed) return read_status::failed;
  return skip_strings(world, n, strings);
}
}  // namespace

read_status skip_world_block(world_source& world, std::uint64_t* strings) {
  report("Skipping to world data...\n");
  std::uint64_t read = 0;
  std::int32_t groups = 0;
  read_status status = read_count(world, groups);
  for (std::int32_t g = 0; g < groups && status != read_status::failed; ++g) {
    status = skip_list(world, read);
  }
  for (int section = 1; section < section_count && status != read_status::failed; ++section) {
    status = skip_list(world, read);
  }
  if (strings != nullptr) *strings += read;
  return status == read_status::failed ? read_status::failed : read_status::ok;
}

namespace {
enum class read_back { whole, empty, broken };

read_back list_reads_back(world_source& world) {
  std::int32_t n = 0;
  if (read_count(world, n) != read_status::ok) return read_back::broken;
  if (n <= 0) return read_back::empty;
  std::uint16_t length = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (world.skip_counted_string(length) != read_status::ok || length == 0) return read_back::broken;
  }
  return read_back::whole;
}
}  // namespace

std::string list_name(std::int64_t position, std::int64_t groups) {
  if (position >= groups) return g_sectionlist[position - groups + 1];
  char group[40];
  std::snprintf(group, sizeof group, "creature_layer %08lld", static_cast<long long>(position));
  return group;
}

bool block_reads_back_whole(world_source& world, std::int64_t expected_end,
                            std::vector<std::string>* empty_lists) {
  std::int32_t groups = 0;
  if (read_count(world, groups) != read_status::ok) return false;
  const std::int64_t lists = std::int64_t{std::max(groups, 0)} + section_count - 1;
  bool whole = true;
  // An empty list holds no strings, so the lists after it still read.
  for (std::int64_t position = 0; position < lists; ++position) {
    // A block cut short lacks its last lists: they hold no identifiers.
    const bool past_end = expected_end >= 0 && world.position() >= expected_end;
    const read_back list = past_end ? read_back::empty : list_reads_back(world);
    if (list == read_back::broken) return false;
    if (list == read_back::empty) {
      whole = false;
      if (empty_lists != nullptr) empty_lists->push_back(list_name(position, std::max(groups, 0)));
    }
  }
  return whole && (expected_end < 0 || world.position() == expected_end);
}

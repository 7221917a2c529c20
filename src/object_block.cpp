#include "object_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

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

namespace {
bool read_exact(std::FILE* in, void* into, std::size_t size) {
  return size != 0 && std::fread(into, size, 1, in) == 1;
}
}  // namespace

const char* read_counted_string(std::FILE* in, counted_string& record) {
  record.s.reset();
  record.len = 0;
  std::uint8_t length_bytes[2];
  if (!read_exact(in, length_bytes, 2)) return nullptr;
  const std::uint16_t length = static_cast<std::uint16_t>(length_bytes[0] | (length_bytes[1] << 8));
  std::unique_ptr<char[]> text;
  try {
    text = std::make_unique<char[]>(std::size_t{length} + 1);
  } catch (const std::bad_alloc&) {
    consistency_stop("string buffer obtained");
  }
  if (!read_exact(in, text.get(), length)) return nullptr;
  record.len = length;
  record.s = std::move(text);
  return record.s.get();
}

std::int32_t read_count(std::FILE* in) {
  std::uint8_t b[4];
  if (std::fread(b, 1, 4, in) != 4) return 0;
  const std::uint32_t value = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                              (static_cast<std::uint32_t>(b[2]) << 16) |
                              (static_cast<std::uint32_t>(b[3]) << 24);
  return static_cast<std::int32_t>(value);
}

std::int32_t read_string_count(std::FILE* in) {
  const std::int32_t n = read_count(in);
  consistency_check(n != 0, "string count is not 0");
  consistency_check(n > 0, "string count is not negative");
  return n;
}

void assembly_buffer::release::operator()(std::uint8_t* bytes) const { std::free(bytes); }

assembly_buffer::assembly_buffer() {
  // Uninitialised on purpose: every byte is written before it is read.
  bytes_.reset(static_cast<std::uint8_t*>(std::malloc(initial_size)));
  if (!bytes_) consistency_stop("output buffer obtained");
  size_ = initial_size;
}

void assembly_buffer::reserve(std::size_t more) {
  if (more <= size_ - outp) return;
  std::size_t wanted = size_;
  while (wanted - outp < more) wanted *= 2;
  void* grown = std::realloc(bytes_.get(), wanted);
  if (grown == nullptr) consistency_stop("output buffer grown");
  static_cast<void>(bytes_.release());
  bytes_.reset(static_cast<std::uint8_t*>(grown));
  size_ = wanted;
}

void store_u32(assembly_buffer& out, std::size_t position, std::uint32_t value) {
  std::uint8_t* p = out.data() + position;
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

void append_u32(assembly_buffer& out, std::uint32_t value) {
  out.reserve(4);
  store_u32(out, out.outp, value);
  out.outp += 4;
}

void append_record(assembly_buffer& out, const char* text, std::uint16_t length) {
  out.reserve(std::size_t{2} + length);
  std::uint8_t* p = out.data() + out.outp;
  p[0] = static_cast<std::uint8_t>(length);
  p[1] = static_cast<std::uint8_t>(length >> 8);
  if (length != 0) std::memcpy(p + 2, text, length);
  out.outp += std::size_t{2} + length;
}

void append_counted_string(assembly_buffer& out, const counted_string& record) {
  append_record(out, record.s.get(), record.len);
}

void append_counted_cstr(assembly_buffer& out, const char* text) {
  const std::size_t length = std::strlen(text);
  consistency_check(length <= 0xFFFF, "string fits a counted string");
  append_record(out, text, static_cast<std::uint16_t>(length));
}

namespace {
// Reads and drops n strings. Once the file has ended every further read
// fails the same way, so the rest of the list need not be tried one by one.
void skip_strings(std::FILE* worldfile, std::int32_t n, counted_string& record) {
  for (std::int32_t i = 0; i < n; ++i) {
    if (read_counted_string(worldfile, record) == nullptr && std::feof(worldfile)) return;
  }
}
}  // namespace

void skip_world_block(std::FILE* worldfile) {
  report("Skipping to world data...\n");
  counted_string record;
  const std::int32_t groups = read_count(worldfile);
  for (std::int32_t g = 0; g < groups; ++g) {
    skip_strings(worldfile, read_string_count(worldfile), record);
  }
  for (int section = 1; section < section_count; ++section) {
    skip_strings(worldfile, read_string_count(worldfile), record);
  }
}

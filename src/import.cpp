#include "import.h"

#include <cstdio>
#include <cstring>

#include "object_block.h"
#include "rawgraft.h"
#include "text_util.h"
#include "world_rewrite.h"

namespace {
bool starts_with_marker(const char* text) { return std::strncmp(text, "====", 4) == 0; }

// Reads the next line into scratch; false at the end of the input. A read
// error is not an end: taking it for one would write a world with lists cut.
bool read_line(std::FILE* in) {
  if (std::fgets(scratch, scratch_size, in) != nullptr) return true;
  if (std::ferror(in)) stop_rewrite("Error: could not read input file: %s\n", g_settings.argfile);
  return false;
}

void write_assembled(assembly_buffer& out) {
  write_block_part(out.data(), out.outp);
  out.reset();
}

// Reads the data lines of one group or section up to the next header line,
// appending each and returning their number. `sectioni` gets the header's
// section; `at_end` is set when the input ends first.
std::uint32_t read_string_lines(std::FILE* in, assembly_buffer& out, int& sectioni, bool& at_end) {
  std::uint32_t tally = 0;
  while (read_line(in)) {
    char* line = skip_space(scratch);
    if (*line == '\0') continue;
    if (starts_with_marker(line)) {
      sectioni = parse_section_header(line);
      return tally;
    }
    *end_of_text(line) = '\0';
    append_counted_cstr(out, line);
    ++tally;
  }
  at_end = true;
  return tally;
}

// Force lets a malformed dump through with a warning; otherwise it stops.
void section_problem(const char* condition) {
  if (!g_settings.force) consistency_stop(condition);
  report("...trying to continue, but don't expect success.\n");
}

const char* section_name_or_null(int index) {
  return g_sectionlist[index] != nullptr ? g_sectionlist[index] : "(null)";
}
}  // namespace

int parse_section_header(const char* line) {
  const char* name = line + 4;
  const char* end = std::strchr(name, '=');
  if (end == nullptr) return find_section(name);
  const std::size_t length = static_cast<std::size_t>(end - name);
  char found[32];
  if (length >= sizeof found) return -1;  // longer than any section name
  std::memcpy(found, name, length);
  found[length] = '\0';
  return find_section(found);
}

int import_text() {
  std::FILE* in = g_settings.importfile.get();
  assembly_buffer out;
  report("Beginning file import...\n");

  // Lines before the first header (the title line, blank lines) are ignored.
  int sectioni = -1;
  bool at_end = false;
  while (sectioni < 0) {
    if (!read_line(in)) {
      at_end = true;
      break;
    }
    if (starts_with_marker(scratch)) sectioni = parse_section_header(scratch);
  }
  if (sectioni >= 0) report("Importing %s...\n", g_sectionlist[sectioni]);

  // Every creature_layer header starts a group, whatever its number.
  int count = 0;
  out.outp = 4;
  while (sectioni == section_creature_layer && !at_end) {
    ++count;
    const std::size_t tally_at = out.outp;
    append_u32(out, 0);
    store_u32(out, tally_at, read_string_lines(in, out, sectioni, at_end));
  }
  store_u32(out, 0, static_cast<std::uint32_t>(count));
  write_assembled(out);

  count = 1;
  while (sectioni > 0 && count <= section_count && !at_end) {
    report("Importing %s...\n", g_sectionlist[sectioni]);
    if (count != sectioni) {
      report("panic! section found out of order! expected %s\n", section_name_or_null(count));
      section_problem("sections in table order");
    }
    const std::size_t tally_at = out.outp;
    append_u32(out, 0);
    const std::uint32_t tally = read_string_lines(in, out, sectioni, at_end);
    if (!at_end) ++count;
    store_u32(out, tally_at, tally);
    write_assembled(out);
  }

  if (count != section_count) {
    report("panic! found %d sections, expected %d", count, section_count);
    section_problem("all sections found");
  }
  std::fflush(nullptr);
  report("Imported %d sections.\n", section_count);
  return 0;
}

#include "export.h"

#include <cstdio>

#include "object_block.h"
#include "rawgraft.h"
#include "text_util.h"

namespace {
// Writes n string lines; a string that cannot be read stops the run, and a
// failed write ends the export early.
bool export_strings(std::FILE* world, std::FILE* out, counted_string& record) {
  const std::int32_t n = read_string_count(world);
  for (std::int32_t i = 0; i < n; ++i) {
    const char* text = read_counted_string(world, record);
    consistency_check(text != nullptr, "string read from world");
    // The line ends at the string's first zero byte; nothing is escaped.
    if (std::fputs(text, out) < 0 || std::fputc('\n', out) == EOF) return false;
  }
  return true;
}
}  // namespace

bool export_block() {
  std::FILE* world = g_settings.worldfile.get();
  std::FILE* out = g_settings.exportfile.get();
  counted_string record;
  report("Beginning file export...\n");

  const std::int32_t groups = read_count(world);
  for (std::int32_t i = 0; i < groups; ++i) {
    if (std::fprintf(out, "\n====%s=%08d====\n", g_sectionlist[section_creature_layer], i) < 0 ||
        !export_strings(world, out, record)) {
      return false;
    }
  }
  for (int section = 1; section < section_count; ++section) {
    if (std::fprintf(out, "\n====%s====\n", g_sectionlist[section]) < 0 ||
        !export_strings(world, out, record)) {
      return false;
    }
  }
  if (std::fputs("\n====END====\n", out) < 0) return false;
  if (std::fflush(out) != 0 || std::ferror(out) || !g_settings.exportfile.close()) return false;
  report("Exported %d sections.\n", section_count);
  return true;
}

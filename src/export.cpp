#include "export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "object_block.h"
#include "text_util.h"

namespace {
// The dump is built in memory and written in large pieces: a write per line
// would cost more than everything else together.
class dump_writer {
 public:
  explicit dump_writer(file_stream& out) : out_(out) { text_.reserve(piece + 64 * 1024); }
  void line(const char* text, std::size_t length) {
    text_.append(text, length);
    text_.push_back('\n');
  }
  void header(int section, int group) {
    char header[64];
    const int length =
        group < 0 ? std::snprintf(header, sizeof header, "\n====%s====\n", g_sectionlist[section])
                  : std::snprintf(header, sizeof header, "\n====%s=%08d====\n",
                                  g_sectionlist[section], group);
    text_.append(header, static_cast<std::size_t>(length));
  }
  void append(const char* text) { text_.append(text); }
  // Writes what is held once it reaches a piece, or always when `all`.
  bool flush(bool all) {
    if (text_.empty() || (!all && text_.size() < piece)) return true;
    errno = 0;
    const bool written = std::fwrite(text_.data(), 1, text_.size(), out_.get()) == text_.size();
    if (!written) out_.fail(errno);
    text_.clear();
    return written;
  }

 private:
  static constexpr std::size_t piece = 1 << 20;
  file_stream& out_;
  std::string text_;
};

// A stop leaves the dump written up to the list that stopped it.
void check(bool holds, const char* condition, dump_writer& dump) {
  if (!holds) dump.flush(true);
  consistency_check(holds, condition);
}

// Writes n string lines; a string that cannot be read stops the run.
export_result export_strings(world_source& world, dump_writer& dump, counted_string& record) {
  std::int32_t n = 0;
  if (read_count(world, n) == read_status::failed) return export_result::world_read_failed;
  check(n != 0, "string count is not 0", dump);
  check(n > 0, "string count is not negative", dump);
  for (std::int32_t i = 0; i < n; ++i) {
    const read_status status = read_counted_string(world, record);
    if (status == read_status::failed) return export_result::world_read_failed;
    check(record.s != nullptr, "string read from world", dump);
    // The line ends at the string's first zero byte; nothing is escaped.
    const void* zero = std::memchr(record.s.get(), '\0', record.len);
    const std::size_t length =
        zero == nullptr ? record.len : static_cast<std::size_t>(static_cast<const char*>(zero) - record.s.get());
    dump.line(record.s.get(), length);
    if (!dump.flush(false)) return export_result::write_failed;
  }
  return export_result::done;
}
}  // namespace

export_result export_block(world_source& world, file_stream& out) {
  dump_writer dump(out);
  counted_string record;
  report("Beginning file export...\n");

  std::int32_t groups = 0;
  if (read_count(world, groups) == read_status::failed) return export_result::world_read_failed;
  for (std::int32_t i = 0; i < groups; ++i) {
    dump.header(section_creature_layer, static_cast<int>(i));
    const export_result result = export_strings(world, dump, record);
    if (result != export_result::done) return result;
  }
  for (int section = 1; section < section_count; ++section) {
    dump.header(section, -1);
    const export_result result = export_strings(world, dump, record);
    if (result != export_result::done) return result;
  }
  dump.append("\n====END====\n");
  if (!dump.flush(true)) return export_result::write_failed;
  errno = 0;
  if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
    out.fail(errno);
    return export_result::write_failed;
  }
  if (!out.close()) return export_result::write_failed;
  report("Exported %d sections.\n", section_count);
  return export_result::done;
}

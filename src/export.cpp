#include "export.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "commands.h"
#include "little_endian.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"
#include "world_header.h"

namespace {
// The dump is built in memory and written in large pieces: a write per line
// would cost more than everything else together.
class dump_writer {
 public:
  explicit dump_writer(file_stream& out)
      : out_(out), text_(new char[size]), lines_(new string_line[line_room]) {}
  // Room for the longest line (a counted string and its line feed) at the
  // end of what is held; a string put there counts once committed.
  char* room() { return text_.get() + held_; }
  void commit(std::size_t length) {
    lines_[line_count_++] = {static_cast<std::uint32_t>(held_), static_cast<std::uint32_t>(length)};
    text_[held_ + length] = '\n';
    held_ += length + 1;
  }
  void header(int section, int group) {
    const int length =
        group < 0 ? std::snprintf(room(), 64, "\n====%s====\n", g_sectionlist[section])
                  : std::snprintf(room(), 64, "\n====%s=%08d====\n", g_sectionlist[section], group);
    held_ += static_cast<std::size_t>(length);
  }
  void append(const char* text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(room(), text, length);
    held_ += length;
  }
  // Copies strings that lie whole in the world's read-ahead window as long
  // as they are short (1 to 32 bytes), at most `most` of them and only while
  // the piece has room: the common case, in one tight loop. Returns how
  // many it copied; the caller reads the others one by one.
  std::int32_t copy_short_strings(world_source& world, std::int32_t most) {
    const std::uint8_t* from = world.held_begin();
    const std::uint8_t* const end = world.held_end();
    char* const text = text_.get();
    std::size_t held = held_;
    string_line* line = lines_.get() + line_count_;
    string_line* const lines_end = lines_.get() + line_room - 1;  // one left for commit()
    std::int32_t copied = 0;
    // 34: a length and two 16-byte copies, which may reach past the string.
    while (copied < most && held < piece && line < lines_end && end - from >= 34) {
      const std::size_t length = load_le16(from);
      if (length == 0 || length > 32) break;
      copy_short(text + held, from + 2);
      *line++ = {static_cast<std::uint32_t>(held), static_cast<std::uint32_t>(length)};
      text[held + length] = '\n';
      held += length + 1;
      from += 2 + length;
      ++copied;
    }
    world.advance(from);
    held_ = held;
    line_count_ = static_cast<std::size_t>(line - lines_.get());
    return copied;
  }
  // Writes what is held once it reaches a piece or the line table is full,
  // or always when `all`; after it there is room for a line again.
  bool flush(bool all) {
    if (held_ == 0 || (!all && held_ < piece && line_count_ < line_room - 1)) return true;
    cut_at_zeros();
    errno = 0;
    const bool written = std::fwrite(text_.get(), 1, held_, out_.get()) == held_;
    if (!written) out_.fail(errno);
    held_ = 0;
    line_count_ = 0;
    return written;
  }

 private:
  // A string's line ends at its first zero byte; nothing is escaped. Zero
  // bytes are rare, so what is held is searched for one in one go, and only
  // when there is one are the strings cut and the lines moved together.
  void cut_at_zeros() {
    char* text = text_.get();
    if (std::memchr(text, '\0', held_) == nullptr) return;
    std::size_t from = 0;
    std::size_t to = 0;
    for (const string_line& line : std::span(lines_.get(), line_count_)) {
      std::memmove(text + to, text + from, line.start - from);  // headers before it
      to += line.start - from;
      const void* zero = std::memchr(text + line.start, '\0', line.length);
      const std::size_t length =
          zero == nullptr ? line.length : static_cast<std::size_t>(static_cast<const char*>(zero) - (text + line.start));
      std::memmove(text + to, text + line.start, length);
      to += length;
      text[to++] = '\n';
      from = std::size_t{line.start} + line.length + 1;
    }
    std::memmove(text + to, text + from, held_ - from);
    held_ = to + (held_ - from);
  }

  static constexpr std::size_t piece = 1 << 20;
  static constexpr std::size_t size = piece + 0x10000 + 64;  // a piece, a line, a header
  struct string_line {
    std::uint32_t start;   // in text_
    std::uint32_t length;  // of the string, without its line feed
  };
  file_stream& out_;
  std::unique_ptr<char[]> text_;
  std::size_t held_ = 0;
  // The strings' lines in what is held; a piece of lines shorter than 16
  // bytes is written before it is full.
  static constexpr std::size_t line_room = piece / 16;
  std::unique_ptr<string_line[]> lines_;
  std::size_t line_count_ = 0;
};

// A stop leaves the dump written up to the list that stopped it.
void check(bool holds, const char* condition, dump_writer& dump) {
  if (!holds) dump.flush(true);
  consistency_check(holds, condition);
}

// Writes n string lines; a string that cannot be read stops the run. Each
// string is read straight into the dump, so none is allocated.
export_result export_strings(world_source& world, dump_writer& dump) {
  std::int32_t n = 0;
  if (read_count(world, n) == read_status::failed) return export_result::world_read_failed;
  check(n != 0, "string count is not 0", dump);
  check(n > 0, "string count is not negative", dump);
  for (std::int32_t i = 0; i < n; ++i) {
    i += dump.copy_short_strings(world, n - i);
    if (i == n) break;
    std::size_t length = 0;
    const read_status status = world.read_counted_string(dump.room(), length);
    if (status == read_status::failed) return export_result::world_read_failed;
    check(status == read_status::ok && length != 0, "string read from world", dump);
    dump.commit(length);  // cut at a zero byte when written
    if (!dump.flush(false)) return export_result::write_failed;
  }
  return export_result::done;
}
}  // namespace

export_result export_block(world_source& world, file_stream& out,
                           const std::function<bool(file_stream&)>& finish) {
  dump_writer dump(out);
  report("Beginning file export...\n");

  std::int32_t groups = 0;
  if (read_count(world, groups) == read_status::failed) return export_result::world_read_failed;
  for (std::int32_t i = 0; i < groups; ++i) {
    dump.header(section_creature_layer, static_cast<int>(i));
    const export_result result = export_strings(world, dump);
    if (result != export_result::done) return result;
  }
  for (int section = 1; section < section_count; ++section) {
    dump.header(section, -1);
    const export_result result = export_strings(world, dump);
    if (result != export_result::done) return result;
  }
  dump.append("\n====END====\n");
  if (!dump.flush(true)) return export_result::write_failed;
  errno = 0;
  if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
    out.fail(errno);
    return export_result::write_failed;
  }
  if (!(finish ? finish(out) : out.close())) return export_result::write_failed;
  report("Exported %d sections.\n", section_count);
  return export_result::done;
}

namespace {
// Whether an existing file may be replaced by a dump: it is empty, or it is
// a dump itself (its first line says so, after a byte-order mark).
bool replaceable_by_dump(const char* path) {
  file_stream existing;
  if (!existing.open(path, "rb")) return false;
  char start[3 + 20] = {};
  const std::size_t got = std::fread(start, 1, sizeof start, existing.get());
  if (got == 0) return !std::ferror(existing.get());
  const char* text = std::strncmp(start, "\xEF\xBB\xBF", 3) == 0 ? start + 3 : start;
  return std::strncmp(text, "**data exported from", 20) == 0;
}

// Makes a whole dump durable under its name: TEMP synced, renamed over the
// old dump while its stream (and so its lock) is still open, the folder
// synced. False with the reason in `dump`.
bool commit_dump(platform::temp_file& temp, file_stream& dump, const char* target) {
  if (!platform::sync_file(dump.get())) {
    dump.fail_with(platform::last_failure());
    return false;
  }
  if (platform::kind_of(target) == platform::path_kind::file) {
    platform::copy_permissions(target, temp.path());
  }
  if (!temp.commit(target)) {
    dump.fail_with(platform::last_failure());
    return false;
  }
  platform::sync_parent_folder(target);
  return dump.close();
}

// Opens the dump to a file (run.argfile) into run.exportfile: a regular
// file's TEMP beside it, locked, or a folder's or device's path directly.
// False after reporting.
bool open_export_file(settings& run, platform::temp_file& temp) {
  const char* target = run.argfile;
  // Opening with "w+" would empty the world before it is read.
  if (platform::same_file(target, run.worldpath)) {
    report("Error: export file is the world file: %s\n", target);
    return false;
  }
  const platform::path_kind kind = platform::kind_of(target);
  if (kind == platform::path_kind::file && !replaceable_by_dump(target)) {
    report("Error: %s exists and is not a dump; it was not replaced.\n", target);
    return false;
  }
  char beside[sizeof settings::worldpath + 8];
  std::string reason = platform::error_text(ENAMETOOLONG);
  if (kind == platform::path_kind::folder || kind == platform::path_kind::other) {
    run.exportfile.open(target, "w+");
    reason = run.exportfile.failure();
  } else if (std::snprintf(beside, sizeof beside, "%s.TEMP", target) <
             static_cast<int>(sizeof beside)) {
    bool busy = false;
    run.exportfile.adopt(temp.create_locked(beside, true, busy));
    if (busy) {
      report("Error: another run is writing %s\n", target);
      return false;
    }
    if (!run.exportfile) reason = platform::last_failure();
  }
  if (!run.exportfile) {
    report("Error: can not open output file: %s\n", target);
    report_reason(reason.c_str());
    return false;
  }
  report("Writing export to %s\n", target);
  return true;
}
}  // namespace

int run_export(settings& run, const run_context&) {
  const char* target = run.argfile;
  // A dump to a regular file is written beside it and renamed into place
  // once whole and durable, so a failed export or a power cut never leaves
  // a cut file or loses the old one. Pipes and devices are written directly.
  platform::temp_file temp;
  if (std::strcmp(target, "-") == 0) {
    run.exportfile.adopt(stdout);
  } else if (!open_export_file(run, temp)) {
    return exit_error;
  }
  errno = 0;
  const bool written = std::fprintf(run.exportfile.get(),
                                    "**data exported from %s on %s by Rawgraft**\n",
                                    run.worldpath, timestamp) >= 0;
  if (!written) run.exportfile.fail(errno);
  const auto finish = [&temp, target](file_stream& dump) {
    return temp.path()[0] == '\0' ? dump.close() : commit_dump(temp, dump, target);
  };
  const export_result result = written ? export_block(*run.worldfile, run.exportfile, finish)
                                       : export_result::write_failed;
  if (result != export_result::done) run.exportfile.close();
  if (result == export_result::world_read_failed) {
    report_unreadable_world(*run.worldfile, run.worldpath);
    return exit_error;
  }
  if (result == export_result::write_failed) {
    if (std::strcmp(target, "-") == 0 && platform::reader_gone(run.exportfile.failure_number())) {
      return exit_error;
    }
    report(msg::export_write_failed, target);
    report_reason(run.exportfile.failure().c_str());
    return exit_error;
  }
  return exit_done;
}

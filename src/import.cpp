#include "import.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "commands.h"
#include "duplicate_index.h"
#include "little_endian.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"

namespace {
#if defined(__SSE2__)
// The number of bits set in `x`. (std::popcount is a library call where the
// processor's instruction may be missing, as on plain x86-64.)
int bits_set(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555;
  x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return static_cast<int>((x * 0x0101010101010101) >> 56);
}

// Bit i is set where from[i] is a line feed, for the 64 bytes at `from`.
std::uint64_t line_feeds_in_64(const char* from) {
  std::uint64_t mask = 0;
  const __m128i feed = _mm_set1_epi8('\n');
  for (int i = 0; i < 4; ++i) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * i));
    const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
    mask |= std::uint64_t{found} << (16 * i);
  }
  return mask;
}
#endif

bool starts_with_marker(const char* text) { return std::strncmp(text, "====", 4) == 0; }

// Reads the dump in large blocks and hands out its lines, cut exactly as
// fgets into scratch would cut them: at a line feed, kept, or after 32,766
// characters, the rest of a longer line being the next line. A line that
// lies whole in the block is handed out where it lies; only the others are
// assembled in scratch. A UTF-8 byte-order mark at the very start is not
// part of the dump. The block's size is the caller's (at least 3 bytes, so
// that the mark lies in the first one).
class line_reader {
 public:
  line_reader(std::FILE* in, std::size_t block_size)
      : in_(in),
        block_size_(block_size),
        block_(new char[block_size + pad]),
        feeds_(new std::uint32_t[feed_room]) {}

  // False at the end of the input and after a read error (see failed()).
  bool next() {
    if (feeds_ahead()) {
      const std::size_t take = block_.get() + feeds_[feed_next_] - next_ + 1;
      if (take <= scratch_size - 1) {
        ++feed_next_;
        return hand_out(take);
      }
    } else if (next_ != end_) {  // the block's last bytes
      const std::size_t held =
          std::min<std::size_t>(scratch_size - 1, static_cast<std::size_t>(end_ - next_));
      if (const void* feed = std::memchr(next_, '\n', held)) {
        return hand_out(static_cast<std::size_t>(static_cast<const char*>(feed) - next_) + 1);
      }
    }
    std::size_t length = 0;
    while (length < scratch_size - 1) {
      if (next_ == end_ && !refill()) break;
      const std::size_t room = scratch_size - 1 - length;
      const std::size_t held = std::min(room, static_cast<std::size_t>(end_ - next_));
      const void* feed = std::memchr(next_, '\n', held);
      const std::size_t take =
          feed == nullptr ? held : static_cast<std::size_t>(static_cast<const char*>(feed) - next_) + 1;
      std::memcpy(scratch + length, next_, take);
      next_ += take;
      length += take;
      if (feed != nullptr) break;
    }
    scratch[length] = '\0';
    line_ = {scratch, length};
    if (length == 0) return false;
    if (at_line_start_) ++line_number_;
    at_line_start_ = scratch[length - 1] == '\n';
    return true;
  }
  // Appends the lines ahead that are plain identifiers as records to `out`
  // in one tight loop, and returns how many: a line whose feed is indexed,
  // that starts with neither a blank nor '=' and holds 1 to 32 characters
  // before its trailing blanks. It stops before any other line (a header,
  // a blank line, an indented or long one, one in a block that holds a
  // zero byte), which next() then hands out.
  std::uint32_t append_identifiers(assembly_buffer& out) {
    if (block_holds_zero_ || !feeds_ahead()) return 0;
    const std::uint32_t* feed = feeds_.get() + feed_next_;
    const std::uint32_t* const feeds_end = feeds_.get() + feed_count_;
    // A record is at most 2 + 32 bytes, and its copy writes 34.
    std::uint8_t* const start = out.room(34 * static_cast<std::size_t>(feeds_end - feed));
    std::uint8_t* to = start;
    const char* from = next_;
    for (; feed != feeds_end; ++feed) {
      const char* const line_end = block_.get() + *feed;
      const char* last = line_end;
      while (last > from && is_space(last[-1])) --last;
      const auto length = static_cast<std::size_t>(last - from);
      if (length == 0 || length > 32 || line_end - from >= scratch_size - 1 || is_space(*from) ||
          *from == '=') {
        break;
      }
      store_le16(to, static_cast<std::uint16_t>(length));
      copy_short(to + 2, from);  // within the block and its pad
      to += 2 + length;
      from = line_end + 1;
    }
    const auto appended = static_cast<std::uint32_t>(feed - (feeds_.get() + feed_next_));
    if (appended != 0) {
      line_number_ += static_cast<int>(appended) - (at_line_start_ ? 0 : 1);
      at_line_start_ = true;
    }
    feed_next_ += appended;
    next_ = from;
    out.commit(static_cast<std::size_t>(to - start));
    return appended;
  }
  // The line next() found, line feed included.
  std::string_view line() const { return line_; }
  // False when the line cannot hold a zero byte: it lies in a block that
  // holds none (dumps never do; checking a block once is cheaper than
  // checking every line).
  bool may_hold_zero() const { return line_.data() == scratch || block_holds_zero_; }
  // The same line in scratch, ended by a zero byte.
  char* in_scratch() {
    if (line_.data() != scratch) {
      std::memcpy(scratch, line_.data(), line_.size());
      scratch[line_.size()] = '\0';
      line_ = {scratch, line_.size()};
    }
    return scratch;
  }
  // The dump's line, counted from 1, that the last piece read belongs to.
  int line_number() const { return line_number_; }
  // The line that the next piece read belongs to.
  int next_line_number() const { return line_number_ + (at_line_start_ ? 1 : 0); }
  // A read error is not an end: taking it for one would write a world with
  // lists cut.
  bool failed() const { return failed_; }
  const std::string& failure() const { return failure_; }

 private:
  static constexpr std::size_t pad = 32;  // the fixed copies may read past the block
  static constexpr std::size_t feed_room = 4096;

  // Hands out the `take` bytes from next_, which end at a line feed.
  bool hand_out(std::size_t take) {
    line_ = {next_, take};
    next_ += take;
    if (at_line_start_) ++line_number_;
    at_line_start_ = true;
    return true;
  }
  // Whether line feeds ahead are noted, noting more when none are left.
  // Without SSE2 none are: found a byte at a time, noting them costs more
  // than the search per line they save.
  bool feeds_ahead() {
#if defined(__SSE2__)
    if (feed_next_ == feed_count_ && next_ != end_) index_feeds();
#endif
    return feed_next_ < feed_count_;
  }
#if defined(__SSE2__)
  // Notes where the line feeds are in the whole 64-byte pieces of the block
  // from next_ on, as many as there is room for: dump lines are short, and
  // with their ends known the identifier loop runs without a search per
  // line.
  void index_feeds() {
    feed_next_ = feed_count_ = 0;
    for (const char* piece = next_; end_ - piece >= 64 && feed_count_ <= feed_room - 64; piece += 64) {
      std::uint64_t mask = line_feeds_in_64(piece);
      const auto base = static_cast<std::uint32_t>(piece - block_.get());
      const auto count = static_cast<std::size_t>(bits_set(mask));
      std::uint32_t* out = feeds_.get() + feed_count_;
      // Eight are always written (there is room): most pieces have fewer.
      for (std::size_t i = 0; i < 8 || i < count; ++i) {
        out[i] = base + static_cast<std::uint32_t>(std::countr_zero(mask));
        mask &= mask - 1;
      }
      feed_count_ += count;
    }
  }
#endif
  bool refill() {
    if (failed_) return false;
    errno = 0;
    const std::size_t got = std::fread(block_.get(), 1, block_size_, in_);
    if (got == 0 && std::ferror(in_)) {
      failed_ = true;
      failure_ = platform::error_text(errno);
    }
    next_ = block_.get();
    end_ = next_ + got;
    feed_next_ = feed_count_ = 0;
    block_holds_zero_ = std::memchr(next_, '\0', got) != nullptr;
    if (at_start_) {
      at_start_ = false;
      if (got >= 3 && std::memcmp(next_, "\xEF\xBB\xBF", 3) == 0) next_ += 3;
      if (next_ == end_ && got != 0) return refill();
    }
    return next_ != end_;
  }

  std::FILE* in_;
  const std::size_t block_size_;
  std::unique_ptr<char[]> block_;
  // Offsets in the block of the line feeds found ahead; those from
  // feed_next_ on lie after next_.
  std::unique_ptr<std::uint32_t[]> feeds_;
  std::size_t feed_next_ = 0;
  std::size_t feed_count_ = 0;
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  std::string_view line_;
  bool block_holds_zero_ = false;
  bool at_start_ = true;
  bool at_line_start_ = true;
  int line_number_ = 0;
  bool failed_ = false;
  std::string failure_;
};

// Identifiers a player may not have meant: one given twice in a list, one
// with lower-case letters (the raw files define them in upper case, so a
// sync would add the upper-case one beside it). Each list is looked at once
// whole, in the assembled bytes, where a run of identifiers costs a hash
// each and a scan for lower case; the lines they came from are kept as
// runs of consecutive lines. At most shown_most of each kind are shown.
class dump_doubts {
 public:
  // The list's record `record` came from line `line`, and the records
  // after it from the lines after it, until the next run.
  void note_line(std::uint32_t record, int line) {
    if (!runs_.empty() && record - runs_.back().record ==
                              static_cast<std::uint32_t>(line - runs_.back().line)) {
      return;
    }
    runs_.push_back({record, line});
  }
  // Looks at the `count` records at `first` of `out`, the list named
  // `name`, and starts the next list.
  void check_list(const assembly_buffer& out, std::size_t first, std::uint32_t count,
                  const std::string& name) {
    const std::uint8_t* bytes = out.data();
    // Length bytes may look like letters too; they only cost the closer look.
    const bool any_lower = holds_lower_case(bytes + first, out.size() - first);
    repeats_.clear();
    seen_.find_repeats(out, first, count, repeats_);
    if (!any_lower && repeats_.empty()) {
      runs_.clear();
      return;
    }
    std::size_t at = first;
    std::size_t run = 0;
    std::size_t next_repeat = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t length = load_le16(bytes + at);
      const bool repeated = next_repeat < repeats_.size() && repeats_[next_repeat] == i;
      if (repeated) ++next_repeat;
      const bool lower = any_lower && holds_lower_case(bytes + at + 2, length);
      if (repeated || lower) {
        while (run + 1 < runs_.size() && runs_[run + 1].record <= i) ++run;
        const int line = runs_.empty() ? 0 : runs_[run].line + static_cast<int>(i - runs_[run].record);
        const std::string text(reinterpret_cast<const char*>(bytes + at + 2), length);
        if (repeated && ++repeated_ <= shown_most) {
          report("line %d: %s is already in %s\n", line, text.c_str(), name.c_str());
        }
        if (lower && ++lower_case_ <= shown_most) {
          report("line %d: %s has lower-case letters; the raw files define identifiers in upper "
                 "case\n",
                 line, text.c_str());
        }
      }
      at += 2 + length;
    }
    runs_.clear();
  }
  // The warnings not shown, counted.
  void report_rest() const {
    for (const int kind : {repeated_, lower_case_}) {
      if (kind > shown_most) report("... and %d more like it\n", kind - shown_most);
    }
  }

 private:
  static constexpr int shown_most = 20;
  struct run {
    std::uint32_t record;
    int line;
  };

  static bool holds_lower_case(const std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    bool found = false;
#if defined(__SSE2__)
    // Sixteen bytes at a time: b - 'a', as unsigned, is at most 25.
    const __m128i a = _mm_set1_epi8('a');
    const __m128i last = _mm_set1_epi8(25);
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
      const __m128i from_a =
          _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), a);
      any = _mm_or_si128(any, _mm_cmpeq_epi8(_mm_min_epu8(from_a, last), from_a));
    }
    found = _mm_movemask_epi8(any) != 0;
#endif
    for (; i < size; ++i) found |= static_cast<std::uint8_t>(bytes[i] - 'a') < 26;
    return found;
  }

  duplicate_index seen_;
  std::vector<std::uint32_t> repeats_;
  std::vector<run> runs_;
  int repeated_ = 0;
  int lower_case_ = 0;
};

// A header line naming no list is worth a warning: its list, and every
// list after it, are not imported. The end line is the one such header
// that belongs there.
void report_unknown_name(const line_reader& lines, const char* header) {
  const char* name = header + 4;
  std::size_t length = std::strcspn(name, "=");
  while (length > 0 && (name[length - 1] == '\n' || name[length - 1] == '\r')) --length;
  const std::string shown(name, length);
  if (equal_nocase(shown.c_str(), "END")) return;
  report("line %d: unknown list name: %s\n", lines.line_number(), shown.c_str());
}

// Reads the data lines of one group or section up to the next header line,
// appending each and returning their number. `sectioni` gets the header's
// section; `at_end` is set when the input ends first.
std::uint32_t read_string_lines(line_reader& lines, assembly_buffer& out, int& sectioni,
                                bool& at_end, dump_doubts& doubts) {
  std::uint32_t tally = 0;
  for (;;) {
    const int first_line = lines.next_line_number();
    if (const std::uint32_t appended = lines.append_identifiers(out)) {
      doubts.note_line(tally, first_line);
      tally += appended;
    }
    if (!lines.next()) break;
    std::string_view line = lines.line();
    // A zero byte ends the text, as it ends a C string.
    if (lines.may_hold_zero()) {
      if (const void* zero = std::memchr(line.data(), '\0', line.size())) {
        line = line.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - line.data()));
      }
    }
    std::size_t begin = 0;
    while (begin < line.size() && is_space(line[begin])) ++begin;
    if (begin == line.size()) continue;
    if (line.size() - begin >= 4 && std::memcmp(line.data() + begin, "====", 4) == 0) {
      const char* header = lines.in_scratch() + begin;
      sectioni = parse_section_header(header);
      if (sectioni < 0) report_unknown_name(lines, header);
      return tally;
    }
    std::size_t end = line.size();
    while (end > begin && is_space(line[end - 1])) --end;
    append_record(out, line.data() + begin, static_cast<std::uint16_t>(end - begin));
    doubts.note_line(tally, lines.line_number());
    ++tally;
  }
  at_end = true;
  return tally;
}

// Force lets a malformed dump through with a warning; otherwise it stops.
void section_problem(const char* condition, bool force) {
  if (!force) consistency_stop(condition);
  report("...trying to continue, but don't expect success.\n");
}

const char* section_name_or_null(int index) {
  return g_sectionlist[index] != nullptr ? g_sectionlist[index] : "(null)";
}

bool write_assembled(assembly_buffer& assembled, world_sink& out) {
  const bool written = out.write(assembled.data(), assembled.size());
  assembled.reset();
  return written;
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

std::string exported_elsewhere(const std::string& title, const char* world_path) {
  const std::string start = "**data exported from ";
  const std::size_t on = title.rfind(" on ");
  if (!title.starts_with(start) || on == std::string::npos || on < start.size()) return "";
  const std::string source = title.substr(start.size(), on - start.size());
  const auto with_slashes = [](std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  };
  return with_slashes(source) == with_slashes(world_path) ? "" : source;
}

namespace {
// What the three phases of an import share: the dump's lines, the block
// being assembled, the doubts found, the header just read and what was
// written.
struct dump_reading {
  dump_reading(std::FILE* in, std::size_t block_size, import_tally& tally)
      : lines(in, block_size), written(tally) {}
  line_reader lines;
  assembly_buffer assembled;
  dump_doubts doubts;
  import_tally& written;
  int sectioni = -1;  // the header last read; -1 before the first
  bool at_end = false;

  // Whether the dump could not be read; the reason goes to the tally.
  bool read_failed() {
    if (!lines.failed()) return false;
    written.read_failure = lines.failure();
    return true;
  }
};

// Lines before the first header (the title line, blank lines) are ignored;
// anything else there was probably meant to be imported. False when the
// dump could not be read.
bool read_to_first_header(dump_reading& dump, const char* world_path) {
  line_reader& lines = dump.lines;
  bool title = false;
  int ignored_through = 0;  // the last line of text ignored, 0 for none
  for (bool first_piece = true; dump.sectioni < 0; first_piece = false) {
    if (!lines.next()) {
      dump.at_end = true;
      break;
    }
    lines.in_scratch();
    if (first_piece) {
      title = std::strncmp(scratch, "**data exported from", 20) == 0;
      if (title) dump.written.title.assign(scratch, end_of_text(scratch));
      if (title && world_path != nullptr) {
        const std::string source = exported_elsewhere(dump.written.title, world_path);
        if (!source.empty()) report(msg::exported_elsewhere, source.c_str());
      }
    }
    if (starts_with_marker(scratch)) {
      dump.sectioni = parse_section_header(scratch);
      if (dump.sectioni >= 0) break;
      report_unknown_name(lines, scratch);
    }
    if (*skip_space(scratch) != '\0' && !(title && lines.line_number() == 1)) {
      ignored_through = lines.line_number();
    }
  }
  if (dump.read_failed()) return false;
  if (ignored_through > 0) {
    const int before = dump.sectioni >= 0 ? lines.line_number() - 1 : lines.line_number();
    report("lines 1-%d ignored before the first list header\n", std::max(before, ignored_through));
  }
  if (dump.sectioni >= 0) report("Importing %s...\n", g_sectionlist[dump.sectioni]);
  return true;
}

// The creature_layer groups, with their count first: every creature_layer
// header starts a group, whatever its number.
block_result import_groups(dump_reading& dump, world_sink& out) {
  assembly_buffer& assembled = dump.assembled;
  int count = 0;
  std::uint64_t group_strings = 0;
  append_u32(assembled, 0);
  while (dump.sectioni == section_creature_layer && !dump.at_end) {
    ++count;
    const std::size_t tally_at = assembled.size();
    append_u32(assembled, 0);
    const std::uint32_t strings =
        read_string_lines(dump.lines, assembled, dump.sectioni, dump.at_end, dump.doubts);
    store_u32(assembled, tally_at, strings);
    group_strings += strings;
    dump.doubts.check_list(assembled, tally_at + 4, strings, list_name(count - 1, count));
  }
  if (dump.read_failed()) return block_result::input_read_failed;
  store_u32(assembled, 0, static_cast<std::uint32_t>(count));
  if (!write_assembled(assembled, out)) return block_result::write_failed;
  dump.written.lists += count;
  dump.written.identifiers += group_strings;
  return block_result::done;
}

// The sections 1.., each written as soon as it is read; `count` ends as
// the number found.
block_result import_sections(dump_reading& dump, world_sink& out, bool force, int& count) {
  assembly_buffer& assembled = dump.assembled;
  count = 1;
  while (dump.sectioni > 0 && count <= section_count && !dump.at_end) {
    report("Importing %s...\n", g_sectionlist[dump.sectioni]);
    if (count != dump.sectioni) {
      report("panic! section found out of order! expected %s\n", section_name_or_null(count));
      section_problem("sections in table order", force);
    }
    const std::size_t tally_at = assembled.size();
    append_u32(assembled, 0);
    const int reading = dump.sectioni;
    const std::uint32_t strings =
        read_string_lines(dump.lines, assembled, dump.sectioni, dump.at_end, dump.doubts);
    if (dump.read_failed()) return block_result::input_read_failed;
    dump.doubts.check_list(assembled, tally_at + 4, strings, g_sectionlist[reading]);
    if (!dump.at_end) ++count;
    store_u32(assembled, tally_at, strings);
    if (!write_assembled(assembled, out)) return block_result::write_failed;
    ++dump.written.lists;
    dump.written.identifiers += strings;
  }
  return block_result::done;
}
}  // namespace

block_result import_text(std::FILE* in, world_sink& out, bool force, import_tally* tally,
                         std::size_t block_size, const char* world_path) {
  import_tally counted;
  dump_reading dump(in, block_size, tally != nullptr ? *tally : counted);
  report("Beginning file import...\n");
  if (!read_to_first_header(dump, world_path)) return block_result::input_read_failed;
  block_result result = import_groups(dump, out);
  int count = 0;
  if (result == block_result::done) result = import_sections(dump, out, force, count);
  if (result != block_result::done) return result;
  dump.doubts.report_rest();
  if (count != section_count) {
    report("panic! found %d sections, expected %d", count, section_count);
    // The stop's own line must not run on from the panic message.
    if (!force) report("\n");
    section_problem("all sections found", force);
  }
  report("Imported %d sections.\n", section_count);
  return block_result::done;
}

// Opens the dump that import and compare read; false after reporting.
bool open_dump(settings& run) {
  const char* source = run.argfile;
  if (std::strcmp(source, "-") == 0) {
    run.importfile.adopt(stdin);
    return true;
  }
  if (!run.importfile.open(source, "r")) {
    report("Error: can not open input file: %s\n", source);
    report_reason(run.importfile.failure().c_str());
    return false;
  }
  report("Reading import from %s\n", source);
  return true;
}

int run_import(settings& run, const run_context& context) {
  const char* source = run.argfile;
  if (!open_dump(run)) return exit_error;
  const bool force = run.force;
  std::FILE* in = run.importfile.get();
  import_tally tally;
  const rewrite_job job{run.worldpath, timestamp, *run.worldfile, context.block_offset,
                        [in, force, &tally, worldpath = run.worldpath](world_source& world,
                                                                       world_sink& out) {
                          const block_result written =
                              import_text(in, out, force, &tally, dump_block_size, worldpath);
                          if (written != block_result::done) return written;
                          std::uint64_t held = 0;
                          if (skip_world_block(world, &held) != read_status::ok) {
                            return block_result::world_read_failed;
                          }
                          report("Wrote %d identifiers in %d lists (the world held %d).\n",
                                 shown_count(tally.identifiers), tally.lists, shown_count(held));
                          return block_result::done;
                        },
                        source, &tally.read_failure};
  return rewrite_status(rewrite_world(job));
}

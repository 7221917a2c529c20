#include "harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <sanitizer/common_interface_defs.h>

#include "export.h"
#include "import.h"
#include "little_endian.h"
#include "object_block.h"
#include "text_util.h"

namespace {
[[noreturn]] void throw_stop(const char* condition) { throw consistency_stopped{condition}; }

std::vector<std::string> folders_made;

void remove_folders() {
  for (const std::string& folder : folders_made) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}

void put_u32(byte_vector& out, std::uint32_t value) {
  out.resize(out.size() + 4);
  store_le32(out.data() + out.size() - 4, value);
}
}  // namespace

void prepare_tool() {
  set_stop_handler(throw_stop);
  report_setup();
  check_section_list();
}

void fault(const char* format, ...) {
  char reason[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  // With -close_fd_mask=2 standard error is gone; the sanitizers' own
  // report channel, which libFuzzer keeps open, still shows the reason.
  const std::string summary = std::string("rawgraft fuzz fault: ") + reason;
  __sanitizer_report_error_summary(summary.c_str());
  std::abort();
}

std::FILE* stream_over(byte_view data) {
  static std::uint8_t nothing = 0;
  // fmemopen never writes in "r" mode; it only wants a non-const pointer.
  void* start = data.empty() ? &nothing : const_cast<std::uint8_t*>(data.data());
  std::FILE* stream = fmemopen(start, data.size(), "r");
  if (stream == nullptr) fault("fmemopen failed");
  return stream;
}

std::unique_ptr<world_source> world_over(byte_view data, std::size_t window) {
  return plain_world_source(stream_over(data), window);
}

std::size_t window_for(unsigned pick) {
  static const std::size_t sizes[8] = {plain_window_size, 1, 2, 33, 34, 35, 100, 4096};
  return sizes[pick % 8];
}

std::size_t dump_block_for(unsigned pick) {
  static const std::size_t sizes[8] = {dump_block_size, 3, 4, 63, 64, 65, 200, 4096};
  return sizes[pick % 8];
}

memory_output::memory_output() {
  std::FILE* sink = open_memstream(&buffer_, &size_);
  if (sink == nullptr) fault("open_memstream failed");
  stream_.adopt(sink);
}

memory_output::~memory_output() {
  stream_.close();
  std::free(buffer_);
}

byte_vector memory_output::bytes() {
  if (stream_) std::fflush(stream_.get());
  if (buffer_ == nullptr) return {};
  const auto* start = reinterpret_cast<const std::uint8_t*>(buffer_);
  return byte_vector(start, start + size_);
}

std::string private_folder() {
  // Targets write a file for every input: in memory (/dev/shm) unless TMPDIR
  // says otherwise, since a disk's file system costs more than the tool.
  const char* base = std::getenv("TMPDIR");
  std::error_code ignored;
  const char* fallback = std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : fallback) +
                        "/rawgraft-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fault("mkdtemp failed for %s", pattern.c_str());
  if (folders_made.empty()) std::atexit(remove_folders);
  folders_made.push_back(pattern);
  return pattern;
}

void write_file(const std::string& path, byte_view data) {
  // A new file, not a truncated one: ext4 writes a file that was truncated
  // and written again out to disk when it is closed.
  std::remove(path.c_str());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) fault("cannot create %s", path.c_str());
  if ((!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size()) ||
      std::fclose(file) != 0) {
    fault("cannot write %s", path.c_str());
  }
}

std::optional<block_lists> walk_block(byte_view block, empty_strings empties,
                                      zero_counts zeros) {
  std::size_t at = 0;
  auto count = [&]() -> std::int32_t {
    if (block.size() - at < 4) {
      at = block.size();
      return 0;
    }
    const std::uint32_t value = load_le32(block.data() + at);
    at += 4;
    return static_cast<std::int32_t>(value);
  };
  auto list = [&](std::vector<std::string>& into) {
    const std::int32_t n = count();
    if (n < 0 || (n == 0 && zeros == zero_counts::refused)) return false;
    for (std::int32_t i = 0; i < n; ++i) {
      if (block.size() - at < 2) return false;
      const std::size_t length = load_le16(block.data() + at);
      at += 2;
      if (block.size() - at < length) return false;
      if (length == 0 && empties == empty_strings::refused) return false;
      into.emplace_back(reinterpret_cast<const char*>(block.data() + at), length);
      at += length;
    }
    return true;
  };

  block_lists result;
  result.groups = count();
  const std::int64_t lists = std::int64_t{result.groups > 0 ? result.groups : 0} + 19;
  for (std::int64_t i = 0; i < lists; ++i) {
    result.lists.emplace_back();
    if (!list(result.lists.back())) return std::nullopt;
  }
  result.end = at;
  return result;
}

byte_vector encode_block(std::int32_t groups, const std::vector<std::vector<std::string>>& lists) {
  byte_vector out;
  put_u32(out, static_cast<std::uint32_t>(groups));
  for (const std::vector<std::string>& list : lists) {
    put_u32(out, static_cast<std::uint32_t>(list.size()));
    for (const std::string& text : list) {
      out.resize(out.size() + 2);
      store_le16(out.data() + out.size() - 2, static_cast<std::uint16_t>(text.size()));
      out.insert(out.end(), text.begin(), text.end());
    }
  }
  return out;
}

std::string expected_dump(const block_lists& block) {
  static const char* const sections[19] = {
      "inorganic",   "plant", "body",  "bodygloss",     "creature", "item",
      "building",    "entity", "word", "symbol",        "translation", "color",
      "shape",       "color_pattern", "reaction", "material_template", "tissue_template",
      "body_detail_plan", "creature_variation"};
  std::string dump;
  const std::size_t groups = block.lists.size() - 19;
  char header[64];
  for (std::size_t i = 0; i < block.lists.size(); ++i) {
    if (i < groups) {
      std::snprintf(header, sizeof header, "\n====creature_layer=%08zu====\n", i);
    } else {
      std::snprintf(header, sizeof header, "\n====%s====\n", sections[i - groups]);
    }
    dump += header;
    for (const std::string& text : block.lists[i]) {
      dump.append(text.c_str());  // a line stops at the string's first zero byte
      dump += '\n';
    }
  }
  dump += "\n====END====\n";
  return dump;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<std::string> export_from(world_source& world) {
  std::optional<std::string> dump;
  memory_output out;
  try {
    const export_result result = export_block(world, out.stream());
    if (result != export_result::done) {
      fault("export from memory to memory reported a failed %s",
            result == export_result::write_failed ? "write" : "read");
    }
    const byte_vector written = out.bytes();
    dump.emplace(written.begin(), written.end());
  } catch (const consistency_stopped&) {
  }
  return dump;
}

std::optional<std::string> export_of(byte_view block) {
  return export_from(*world_over(block));
}

std::optional<byte_vector> import_of(std::string_view dump, bool force, std::size_t block_size) {
  std::FILE* in = stream_over({reinterpret_cast<const std::uint8_t*>(dump.data()), dump.size()});
  std::optional<byte_vector> block;
  byte_sink out;
  try {
    const block_result result = import_text(in, out, force, nullptr, block_size);
    if (result != block_result::done) {
      fault("import from memory to memory reported a failed read or write");
    }
    block = std::move(out.bytes);
  } catch (const consistency_stopped&) {
  }
  std::fclose(in);
  return block;
}

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

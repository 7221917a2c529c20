// Sync's raw file scanner against the plain reading it stands for: lines cut
// as fgets into the 32,767-byte scratch buffer cuts them, keeping those that
// hold "[" and the section's name in any case, wholly.
//
// The scanner reads in blocks of a megabyte, so the file is built to reach
// past them from a small input:
//   byte 0      section (1..19, taken modulo 19)
//   byte 1      lines read with fgets before the scan, as the object line is
//               (modulo 4)
//   bytes 2-3   repeat count R (u16)
//   the rest    prefix \x01 middle \x01 suffix
// and the file is prefix + R times middle + suffix, at most 4 MiB.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "object_block.h"
#include "raw_scan.h"
#include "settings.h"

namespace {
constexpr std::size_t longest_file = 4u << 20;
constexpr std::size_t longest_piece = 32766;  // what fgets puts in scratch

std::string build_file(const std::uint8_t* data, std::size_t size, std::size_t repeats) {
  const std::string rest(reinterpret_cast<const char*>(data), size);
  const std::size_t first = std::min(rest.find('\x01'), rest.size());
  const std::size_t second = std::min(rest.find('\x01', first + 1), rest.size());
  const std::string prefix = rest.substr(0, first);
  const std::string middle = first < rest.size() ? rest.substr(first + 1, second - first - 1) : "";
  const std::string suffix = second < rest.size() ? rest.substr(second + 1) : "";
  std::string file = prefix;
  if (!middle.empty()) {
    repeats = std::min(repeats, (longest_file - std::min(longest_file, prefix.size())) / middle.size());
    file.reserve(prefix.size() + repeats * middle.size() + suffix.size());
    for (std::size_t i = 0; i < repeats; ++i) file += middle;
  }
  return file + suffix;
}

// The file's lines as successive fgets calls give them.
std::vector<std::string_view> pieces_of(const std::string& file) {
  std::vector<std::string_view> pieces;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t room = std::min(longest_piece, file.size() - at);
    const void* feed = std::memchr(file.data() + at, '\n', room);
    const std::size_t length =
        feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - (file.data() + at)) + 1
                        : room;
    pieces.emplace_back(file.data() + at, length);
    at += length;
  }
  return pieces;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool holds_marker(std::string_view piece, const std::string& marker) {
  if (piece.size() < marker.size()) return false;
  for (std::size_t at = 0; at + marker.size() <= piece.size(); ++at) {
    std::size_t i = 0;
    while (i < marker.size() && lower(piece[at + i]) == marker[i]) ++i;
    if (i == marker.size()) return true;
  }
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_tool();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int section = 1 + data[0] % (section_count - 1);
  const std::size_t skipped = data[1] % 4;
  const std::string file = build_file(data + 4, size - 4, data[2] | (data[3] << 8));

  std::string marker = std::string("[") + g_sectionlist[section];
  for (char& c : marker) c = lower(c);
  const std::vector<std::string_view> pieces = pieces_of(file);

  std::FILE* in = stream_over({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
  static char line[scratch_size];
  for (std::size_t i = 0; i < skipped; ++i) {
    if (std::fgets(line, scratch_size, in) == nullptr) break;
  }
  static raw_scanner scanner;
  scanner.start(in, g_sectionlist[section]);
  std::size_t found = 0;
  for (std::size_t i = skipped; i < pieces.size(); ++i) {
    if (!holds_marker(pieces[i], marker)) continue;
    if (!scanner.next_line()) {
      fault("the scanner ended before line %zu (offset %zu) of a %zu-byte file, which holds %s", i,
            static_cast<std::size_t>(pieces[i].data() - file.data()), file.size(), marker.c_str());
    }
    if (std::memcmp(scratch, pieces[i].data(), pieces[i].size()) != 0 ||
        scratch[pieces[i].size()] != '\0') {
      fault("the scanner's line %zu is \"%s\", fgets gives \"%s\"", found,
            printable(scratch).c_str(), printable(pieces[i]).c_str());
    }
    ++found;
  }
  if (scanner.next_line()) {
    fault("the scanner found a line \"%s\" after the %zu lines that hold %s",
          printable(scratch).c_str(), found, marker.c_str());
  }
  std::fclose(in);
  return 0;
}

// Sync's raw file scanner against the plain reading it stands for: lines cut
// as fgets into the 32,767-byte scratch buffer cuts them, keeping those that
// hold "[" and the section's name in any case, wholly.
//
// The scanner reads in blocks, so the file is built to reach past them from
// a small input; the blocks are made small (the scanner's block size is a
// parameter), so that small files cross several of them:
//   byte 0      section (1..19, taken modulo 19)
//   byte 1      bits 0-1: lines read with fgets before the scan, as the
//               object line is; bits 2-7: the scanner's block, 32,767 bytes
//               (one more than the longest line) + 1 KiB times their value
//   bytes 2-3   repeat count R (u16)
//   the rest    prefix \x01 middle \x01 suffix
// and the file is prefix + R times middle + suffix, at most 256 KiB.
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
constexpr std::size_t longest_file = 256u << 10;
constexpr std::size_t longest_piece = 32766;  // what fgets puts in scratch

// Builds the file into `file`, whose memory is kept from one input to the
// next.
void build_file(const std::uint8_t* data, std::size_t size, std::size_t repeats, std::string& file) {
  const std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::size_t first = std::min(rest.find('\x01'), rest.size());
  const std::size_t second = std::min(rest.find('\x01', first + 1), rest.size());
  const std::string_view prefix = rest.substr(0, first);
  const std::string_view middle =
      first < rest.size() ? rest.substr(first + 1, second - first - 1) : std::string_view();
  const std::string_view suffix = second < rest.size() ? rest.substr(second + 1) : std::string_view();
  file.assign(prefix);
  if (!middle.empty() && repeats != 0) {
    repeats = std::min(repeats, (longest_file - std::min(longest_file, prefix.size())) / middle.size());
    // Whole copies of the middle, doubled, then cut at a copy's end.
    const std::size_t end = file.size() + repeats * middle.size();
    file.append(middle);
    while (file.size() < end) file.append(file, prefix.size(), file.size() - prefix.size());
    file.resize(end);
  }
  file.append(suffix);
}

// The length of the line that a fgets call at `at` gives.
std::size_t piece_at(const std::string& file, std::size_t at) {
  const std::size_t room = std::min(longest_piece, file.size() - at);
  const void* feed = std::memchr(file.data() + at, '\n', room);
  return feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - (file.data() + at)) + 1
                         : room;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// From "[" to "[", comparing the rest of the marker without regard to case.
bool holds_marker(std::string_view piece, const std::string& marker) {
  for (std::size_t at = piece.find('['); at != std::string_view::npos; at = piece.find('[', at + 1)) {
    if (piece.size() - at < marker.size()) return false;
    std::size_t i = 1;
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
  static std::string file;
  build_file(data + 4, size - 4, data[2] | (data[3] << 8), file);

  std::string marker = std::string("[") + g_sectionlist[section];
  for (char& c : marker) c = lower(c);

  std::FILE* in = stream_over({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
  static char line[scratch_size];
  for (std::size_t i = 0; i < skipped; ++i) {
    if (std::fgets(line, scratch_size, in) == nullptr) break;
  }
  raw_scanner scanner(longest_piece + 1 + std::size_t{1024} * (data[1] >> 2));
  scanner.start(in, g_sectionlist[section]);
  std::size_t found = 0;
  std::size_t i = 0;
  for (std::size_t at = 0; at < file.size(); ++i) {
    const std::string_view piece(file.data() + at, piece_at(file, at));
    at += piece.size();
    if (i < skipped || !holds_marker(piece, marker)) continue;
    if (!scanner.next_line()) {
      fault("the scanner ended before line %zu (offset %zu) of a %zu-byte file, which holds %s", i,
            at - piece.size(), file.size(), marker.c_str());
    }
    if (std::memcmp(scratch, piece.data(), piece.size()) != 0 || scratch[piece.size()] != '\0') {
      fault("the scanner's line %zu is \"%s\", fgets gives \"%s\"", found,
            printable(scratch).c_str(), printable(piece).c_str());
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

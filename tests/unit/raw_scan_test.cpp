// The block scanner must hand out exactly the lines that reading the file
// line by line with fgets into scratch would show to the tag parser.
#include "raw_scan.h"

#include <gtest/gtest.h>

#include "support/memory_file.hpp"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "settings.h"
#include "text_util.h"

namespace {
using testsupport::file_ptr;
using testsupport::stream_of;

// What the tag parser can see of a line: its text up to a zero byte, when
// that holds the marker.
bool shows_marker(const char* line, const char* name) {
  const char* found = find_nocase(line, name);
  for (; found != nullptr; found = find_nocase(found + 1, name)) {
    if (found != line && found[-1] == '[') return true;
  }
  return false;
}

std::vector<std::string> lines_by_fgets(const std::string& bytes, const char* name) {
  std::vector<std::string> seen;
  file_ptr in = stream_of(bytes);
  while (std::fgets(scratch, scratch_size, in.get()) != nullptr) {
    if (shows_marker(scratch, name)) seen.emplace_back(scratch);
  }
  return seen;
}

std::vector<std::string> lines_by_scanner(const std::string& bytes, const char* name) {
  std::vector<std::string> seen;
  file_ptr in = stream_of(bytes);
  raw_scanner scanner;
  scanner.start(in.get(), name);
  while (scanner.next_line()) {
    if (shows_marker(scratch, name)) seen.emplace_back(scratch);
  }
  return seen;
}

// Text made of tag fragments, zero bytes and runs long enough to be cut at
// 32,766 characters and to cross the scanner's 1 MiB blocks.
std::string random_raw_text(std::mt19937& rng) {
  static const char* const pieces[] = {"[CREATURE:", "[creature:", "[CreAture", "creature",
                                        "[", ":", "]", "\n", "x", "CREATURE_TILE", "[cre",
                                        "ature:"};
  std::string text;
  const std::size_t target = rng() % 4 == 0 ? (std::size_t{1} << 20) + rng() % 70000 : rng() % 100000;
  while (text.size() < target) {
    const unsigned pick = rng() % 16;
    if (pick < 13) {
      text += pick == 12 ? std::string(1, '\0') : std::string(pieces[pick]);
    } else if (pick == 13) {
      text.append(32766 - 8 + rng() % 16, 'y');  // lines around the cut
    } else {
      text.append(rng() % 200, 'z');
    }
  }
  return text;
}
}  // namespace

TEST(RawScanner, FindsTheLinesAnFgetsReadingWould) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    const std::string text = random_raw_text(rng);
    ASSERT_EQ(lines_by_scanner(text, "creature"), lines_by_fgets(text, "creature"))
        << "round " << round << ", " << text.size() << " bytes";
  }
}

TEST(RawScanner, CutsLongLinesWhereALineBufferWould) {
  // A marker across the cut at 32,766 characters is no marker; one that
  // starts the second piece is.
  const std::string cut = std::string(32766 - 4, 'a') + "[CREATURE:CUT]\n";
  const std::string second = std::string(32766, 'a') + "[CREATURE:SECOND]\n";
  EXPECT_EQ(lines_by_scanner(cut, "creature"), std::vector<std::string>{});
  EXPECT_EQ(lines_by_scanner(second, "creature"),
            std::vector<std::string>{"[CREATURE:SECOND]\n"});
  EXPECT_EQ(lines_by_scanner("[CREATURE:LAST]", "creature"),
            std::vector<std::string>{"[CREATURE:LAST]"});
}

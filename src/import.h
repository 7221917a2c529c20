// Reads a text dump and writes the object-name block it describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "world_rewrite.h"

// Section index named by a header line (text starting with "===="), or -1
// for the end line and for names not in the section table.
int parse_section_header(const char* line);

// What an import found beyond how it ended.
struct import_tally {
  int lists = 0;                  // groups and sections written
  std::uint64_t identifiers = 0;  // strings written
  std::string read_failure;       // why the dump could not be read
  std::string title;              // the first line, when it has the export form
};

// The dump is read in blocks of this size: they stay in the core's cache.
constexpr std::size_t dump_block_size = std::size_t{1} << 18;

// Block producer's first half: reads the dump from `in`, `block_size` bytes
// at a time (at least 3), and writes the new block to `out`. With `force`,
// sections out of order or missing are let through with a warning; without
// it they are consistency stops. Header lines naming no list, text before
// the first header, identifiers given twice in one list and identifiers
// with lower-case letters are reported with their line numbers as
// warnings. With `world_path`, a dump exported from another world is noted
// as soon as its first line is read.
block_result import_text(std::FILE* in, world_sink& out, bool force,
                         import_tally* tally = nullptr, std::size_t block_size = dump_block_size,
                         const char* world_path = nullptr);

// The world path that a dump's first line names, when the line has the
// export form and the path is not `world_path` (a backslash read as "/" on
// both sides); otherwise "".
std::string exported_elsewhere(const std::string& title, const char* world_path);

struct settings;
// Opens the dump (run.argfile; "-" is standard input) into run.importfile
// for import and compare; false after reporting.
bool open_dump(settings& run);

// Finds, in a raw object file, the lines that may define an identifier for a
// section: those holding "[" followed by the section's name in any case.
//
// Lines are cut exactly as reading them with fgets into scratch would cut
// them (32,766 characters at most, a longer line in several pieces), so the
// lines found are the ones a line-by-line reading would look at; but the file
// is read and searched in large blocks, as a fast text search would do it.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

class raw_scanner {
 public:
  raw_scanner();

  // Starts on `in` (already past its object line) for the section `name`.
  void start(std::FILE* in, const char* name);
  // Copies the next line that holds the marker wholly into scratch, with a
  // terminator; false at the end of the file.
  bool next_line();
  // The error number of a failed read of the file, or 0.
  int read_error() const { return read_error_; }

 private:
  std::size_t piece_start(std::size_t at) const;
  std::optional<std::size_t> piece_end(std::size_t start) const;
  void read_more(std::size_t keep_from);

  const char* find_marker(const char* from, const char* to) const;

  std::FILE* in_ = nullptr;
  std::string marker_;  // "[" and the section name, lower case
  std::vector<char> data_;  // the file's bytes from a line start on
  std::size_t next_ = 0;     // start of the first line not yet looked at
  std::size_t end_ = 0;      // bytes held
  bool at_end_ = false;
  int read_error_ = 0;
};

// Finds, in a raw object file, the lines that may define an identifier for a
// section: those holding "[" followed by the section's name in any case.
//
// Lines are cut exactly as reading them with fgets into scratch would cut
// them (32,766 characters at most, a longer line in several pieces), so the
// lines found are the ones a line-by-line reading would look at; but the file
// is read and searched in large blocks, as a fast text search would do it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class raw_scanner {
 public:
  static constexpr std::size_t default_block = std::size_t{1} << 20;
  // Reads `block` bytes at a time, but less until a file fills the first,
  // smaller buffer; anything up to the longest line is taken as one more
  // than it.
  explicit raw_scanner(std::size_t block = default_block);

  // Starts on `in` (already past its object line) for the section `name`.
  void start(std::FILE* in, const char* name);
  // Copies the next line that holds the marker wholly into scratch, with a
  // terminator; false at the end of the file.
  bool next_line();
  // The error number of a failed read of the file, or 0.
  int read_error() const { return read_error_; }
  // Where in that line its first marker begins.
  std::size_t marker_offset() const { return marker_offset_; }

 private:
  std::size_t find_marker(std::size_t from, std::size_t to, std::size_t& line) const;
  bool marker_at(const char* at) const;
  std::size_t piece_start(std::size_t line, std::size_t at) const;
  std::size_t piece_end(std::size_t start) const;  // 0 while not all held
  void read_more(std::size_t keep_from);

  std::FILE* in_ = nullptr;
  std::string marker_;  // "[" and the section name, lower case
  unsigned char second_fold_ = 0;  // what folds the byte after "[": 0x20 for a letter
  // The marker as words of `word_size_` bytes at these offsets, which cover
  // it (the last may overlap the one before), and the bits that fold each
  // letter to lower case.
  struct marker_word {
    std::size_t offset;
    std::uint64_t text;
    std::uint64_t fold;
  };
  std::vector<marker_word> marker_words_;
  std::size_t word_size_ = 8;
  std::size_t block_;
  std::size_t size_;  // of data_: block_, or less until a file fills it
  std::unique_ptr<char[]> data_;  // the file's bytes from a line start on
  std::size_t next_ = 0;     // start of the first line not yet looked at
  std::size_t end_ = 0;      // bytes held
  std::size_t marker_offset_ = 0;
  bool at_end_ = false;
  int read_error_ = 0;
};

#pragma once
// A temporary C stream that holds given bytes, for in-process tests of the
// stream readers.

#include <cstdio>
#include <memory>
#include <string>

#include "world_source.h"

namespace testsupport {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Positioned at the first byte.
inline file_ptr stream_of(const std::string& bytes) {
  file_ptr file(std::tmpfile());
  if (file) {
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::rewind(file.get());
  }
  return file;
}

// The same bytes as a plain world for the block readers.
inline std::unique_ptr<world_source> source_of(const std::string& bytes) {
  return plain_world_source(stream_of(bytes).release());
}

}  // namespace testsupport

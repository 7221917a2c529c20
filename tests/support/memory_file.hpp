#pragma once
// A temporary C stream that holds given bytes, for in-process tests of the
// stream readers.

#include <cstdio>
#include <memory>
#include <string>

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

}  // namespace testsupport

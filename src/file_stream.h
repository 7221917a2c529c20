// An owned C stream, and the building of the paths the tool opens.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

#include "platform.h"

// An owned C stream, closed when dropped. Standard streams can be adopted so
// that their final flush and close are checked like any file's. A failed
// open or close, and a failure its user records, keep the system's reason.
class file_stream {
 public:
  file_stream() = default;
  ~file_stream() { close(); }
  file_stream(const file_stream&) = delete;
  file_stream& operator=(const file_stream&) = delete;

  bool open(const char* path, const char* mode) {
    close();
    errno = 0;
    file_ = std::fopen(path, mode);
    if (file_ == nullptr) fail(errno);
    return file_ != nullptr;
  }
  void adopt(std::FILE* stream) {
    close();
    file_ = stream;
  }
  std::FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  // Closes the stream; false when its last data could not be written.
  bool close() {
    if (file_ == nullptr) return true;
    std::FILE* stream = file_;
    file_ = nullptr;
    errno = 0;
    if (std::fclose(stream) == 0) return true;
    fail(errno);
    return false;
  }
  // Records why a read or write of the stream failed.
  void fail(int error_number) {
    failure_ = platform::error_text(error_number);
    failure_number_ = error_number;
  }
  void fail_with(const std::string& reason) {
    failure_ = reason;
    failure_number_ = 0;
  }
  const std::string& failure() const { return failure_; }
  // The errno of the failure recorded by number, else 0.
  int failure_number() const { return failure_number_; }

 private:
  std::FILE* file_ = nullptr;
  std::string failure_;
  int failure_number_ = 0;
};

// The lock file beside a world, <world>.lock, built into `out` as
// build_path builds.
bool build_lock_path(char* out, std::size_t size, const char* worldpath);

// Builds a path with printf formatting into `out`, converted to the platform
// separator. False, with nothing usable in `out`, when it would not fit.
bool build_path(char* out, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

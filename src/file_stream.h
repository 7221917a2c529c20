// An owned C stream, and the building of the paths the tool opens.
#pragma once

#include <cstddef>
#include <cstdio>

// An owned C stream, closed when dropped. Standard streams can be adopted so
// that their final flush and close are checked like any file's.
class file_stream {
 public:
  file_stream() = default;
  ~file_stream() { close(); }
  file_stream(const file_stream&) = delete;
  file_stream& operator=(const file_stream&) = delete;

  bool open(const char* path, const char* mode) {
    close();
    file_ = std::fopen(path, mode);
    return file_ != nullptr;
  }
  void adopt(std::FILE* stream) {
    close();
    file_ = stream;
  }
  // Gives the stream up to a new owner.
  std::FILE* release() {
    std::FILE* stream = file_;
    file_ = nullptr;
    return stream;
  }
  std::FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  // Closes the stream; false when its last data could not be written.
  bool close() {
    if (file_ == nullptr) return true;
    std::FILE* stream = file_;
    file_ = nullptr;
    return std::fclose(stream) == 0;
  }

 private:
  std::FILE* file_ = nullptr;
};

// Builds a path with printf formatting into `out`, converted to the platform
// separator. False, with nothing usable in `out`, when it would not fit.
bool build_path(char* out, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

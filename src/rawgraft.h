// The driver's run state, shared by every command body.
#pragma once

#include <cstdio>

#include "platform.h"

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

struct settings {
  char region[128] = "";
  char worldpath[1024] = "";
  file_stream worldfile;
  const char* command = nullptr;  // "export", "import" or "sync" once resolved
  const char* argfile = nullptr;  // the file argument, or null
  file_stream importfile;
  file_stream exportfile;
  file_stream outworldfile;
  char rawpath[1024] = "";
  platform::folder_listing rawdir;
  bool force = false;
  bool interactive = false;
};

extern settings g_settings;
extern char timestamp[32];
// Shared line and path buffer: a line read into it holds at most 32,766
// characters, and a longer line is read as several lines.
constexpr int scratch_size = 32767;
extern char scratch[scratch_size];

// Builds a path with printf formatting into `out`, converted to the platform
// separator. False, with nothing usable in `out`, when it would not fit.
bool build_path(char* out, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// The orderly end of a run (all but an export's and a stop's): in
// interactive mode it waits for a key first. Returns `status`.
int end_of_run(int status);

void show_banner();
void show_usage();

// The whole run, from banner to exit status.
int rawgraft_main(int argc, char** argv);

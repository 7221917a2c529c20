// Every call into the operating system that is not plain standard C++ lives
// here, so the rest of the tool is portable. platform_posix.cpp and
// platform_win32.cpp each implement it for one system (CMake picks one);
// platform.cpp holds what both share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The separator of built paths ('/' or '\\').
extern const char path_separator;

// Local time formatted with strftime; false when it cannot be formed.
bool format_local_time(char* out, std::size_t size, const char* format);

// Renames without ever replacing an existing target: fails when `to` exists.
bool rename_noreplace(const char* from, const char* to);

// Removes a file's name; never removes a folder. Failure is not reported.
void remove_file(const char* path);
// Creates a new, empty file for binary reading and writing; fails when
// anything exists under that name, so it never writes through a link.
std::FILE* create_new_file(const char* path);

// Pushes a file's written data to stable storage (after fflush).
bool sync_file(std::FILE* file);
// Makes the renames inside the folder that holds `path` durable, where the
// platform allows it; a failure here is not reported.
void sync_parent_folder(const char* path);

// The size of an open file in bytes, or -1 when the system cannot tell.
std::int64_t file_size(std::FILE* file);

// The system's text for an error number (strerror's).
std::string error_text(int error_number);

// True when both paths name one existing file, however they are spelled.
bool same_file(const char* a, const char* b);

// Copies a file's bytes into another in pieces: inside the kernel where the
// system can, else through a 16 MiB buffer of its own (32 KiB when that much
// cannot be had). What it learns of the kernel copy on the first piece
// serves the later pieces of the same copy, so one copier serves one copy.
class file_copier {
 public:
  struct piece {
    enum outcome { copied, read_failed, write_failed } result;
    std::int64_t bytes;  // copied; 0 at the end of `from`
    int error;           // the system's error number on failure
  };
  file_copier();
  ~file_copier();
  file_copier(const file_copier&) = delete;
  file_copier& operator=(const file_copier&) = delete;

  // Copies up to `max` bytes from the current position of `from` to the
  // current position of `to`, leaving both streams after the copied bytes.
  piece copy(std::FILE* from, std::FILE* to, std::int64_t max);

 private:
  piece copy_through_memory(std::FILE* from, std::FILE* to, std::int64_t max);
  enum class kernel { untried, works, unsupported } kernel_ = kernel::untried;
  char* buffer_ = nullptr;
  std::size_t buffer_size_ = 0;
};

// One folder's listing with the kind of each entry.
enum class entry_kind { file, folder, device, other };
struct folder_entry {
  std::string name;
  entry_kind kind;
};
class folder_listing {
 public:
  folder_listing();
  ~folder_listing();
  folder_listing(const folder_listing&) = delete;
  folder_listing& operator=(const folder_listing&) = delete;

  bool open(const char* path);
  bool is_open() const { return state_ != nullptr; }
  // Rewinds and reads the whole listing, sorted by name in byte order so
  // that every platform sees one order; "." and ".." are left out. When the
  // listing cannot tell an entry's kind, the file system is asked.
  std::vector<folder_entry> entries();

 private:
  struct state;  // each system's own
  std::unique_ptr<state> state_;
};

// Makes a write to a closed pipe fail with an error the tool reports,
// instead of ending the process silently.
void report_broken_pipes();

// Waits for one key press on the console itself (not standard input), with no
// echo and no Enter. Returns at once when there is no console.
void wait_for_key();

}  // namespace platform

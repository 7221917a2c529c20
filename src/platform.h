// Every call into the operating system that is not plain standard C++ lives
// here, so the rest of the tool is portable and the Windows branch stays in
// one place.
#pragma once

#include <cstdint>
#include <cstdio>
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

// True when both paths name one existing file, however they are spelled.
bool same_file(const char* a, const char* b);

// Copies up to `max` bytes from the current position of `from` to the
// current position of `to` inside the kernel, leaving both streams after the
// copied bytes. `unsupported` means the platform or file system cannot do it
// here and the caller copies through memory instead.
struct kernel_copy {
  enum outcome { copied, unsupported, read_failed, write_failed } result;
  std::int64_t bytes;  // copied; 0 at the end of `from`
};
kernel_copy copy_in_kernel(std::FILE* from, std::FILE* to, std::int64_t max);

// One folder's listing with the kind of each entry.
enum class entry_kind { file, folder, device, other };
struct folder_entry {
  std::string name;
  entry_kind kind;
};
class folder_listing {
 public:
  folder_listing() = default;
  ~folder_listing();
  folder_listing(const folder_listing&) = delete;
  folder_listing& operator=(const folder_listing&) = delete;

  bool open(const char* path);
  bool is_open() const { return handle_ != nullptr; }
  // Rewinds and reads the whole listing, sorted by name in byte order so
  // that every platform sees one order; "." and ".." are left out. When the
  // listing cannot tell an entry's kind, the file system is asked.
  std::vector<folder_entry> entries();

 private:
  void* handle_ = nullptr;
  std::string path_;
};

// Makes a write to a closed pipe fail with an error the tool reports,
// instead of ending the process silently.
void report_broken_pipes();

// Waits for one key press on the console itself (not standard input), with no
// echo and no Enter. Returns at once when there is no console.
void wait_for_key();

}  // namespace platform

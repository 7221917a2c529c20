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

// The system's own word for asking a tool for its usage ("/?" on Windows),
// or null where it has none.
extern const char* const help_switch;

// Whether a write to standard output that just failed with `error_number`
// failed because the pipe's reader has gone (`rawgraft 1 export - | head`).
bool reader_gone(int error_number);

// Local time formatted with strftime; false when it cannot be formed.
bool format_local_time(char* out, std::size_t size, const char* format);

// The calls marked "reason kept" keep, when they fail, why: last_failure()
// then gives the system's text for it (strerror's, or on Windows the
// system's message for a failed Windows call) until the next such failure.

// Renames without ever replacing an existing target: fails when `to` exists
// (errno EEXIST then). Reason kept.
bool rename_noreplace(const char* from, const char* to);
// Renames, replacing `to` when it exists.
bool rename_replace(const char* from, const char* to);

// Gives `to` the permission bits of `from` (the read-only attribute on
// Windows). False when they could not be read or set.
bool copy_permissions(const char* from, const char* to);

// Removes a file's name; never removes a folder. Failure is not reported.
void remove_file(const char* path);
// The same for a removal the player asked for, whose failure is reported.
// Reason kept.
bool delete_file(const char* path);
// Opens a regular file for binary reading without keeping others from
// renaming or removing it meanwhile (on Windows an open file could not be
// renamed). Never waits: a FIFO, device, socket or folder at the name is
// refused with `*not_regular` set (when given). Reason kept.
std::FILE* open_for_reading(const char* path, bool* not_regular = nullptr);

// Pushes a file's written data to stable storage (after fflush). Reason kept.
bool sync_file(std::FILE* file);
// Starts writing a file's data out without waiting, where the platform
// allows it, so the disk works while the run goes on and a later sync_file
// waits less. What the stream still buffers is left for later; failures
// are left to sync_file.
void start_writeback(std::FILE* file);
// Makes the renames inside the folder that holds `path` durable, where the
// platform allows it; a failure here is not reported.
void sync_parent_folder(const char* path);

// The size of an open file in bytes, or -1 when the system cannot tell.
std::int64_t file_size(std::FILE* file);

// The size of the file at `path`, or -1 when it cannot be had.
std::int64_t size_of(const char* path);

// The system's text for an error number (strerror's); 0, which names no
// error, gives the text of EIO.
std::string error_text(int error_number);

// Why the last failed call marked "reason kept" failed.
std::string last_failure();

// What a path names, following links.
enum class path_kind { missing, file, folder, other };
path_kind kind_of(const char* path);

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

  // Reason kept.
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

// A lock on a file beside the world (created when missing, never renamed),
// held until the lock is dropped or the process ends: the system drops it
// then, so a killed run never leaves a stale lock. Shared locks admit one
// another; an exclusive lock admits none.
class file_lock {
 public:
  enum class result { taken, busy, failed };  // failed: errno holds why
  file_lock();
  ~file_lock();
  file_lock(const file_lock&) = delete;
  file_lock& operator=(const file_lock&) = delete;
  // Never waits: a lock held elsewhere gives `busy` at once.
  result take(const char* path, bool exclusive);

 private:
  struct state;  // each system's own
  std::unique_ptr<state> state_;
};

// One owner per temporary file. A temporary file is created afresh, is
// removed on every way out before it is committed (renamed into place) or
// deliberately kept: when its owner is dropped, on an interrupt, and at the
// process end (a consistency stop). So no stopped run leaves one behind.
//
//   1. create() (or link()) makes the file and registers it for removal.
//   2. The caller writes it, makes it durable and closes its stream.
//   3. commit() renames it into place, or keep() leaves it where it is;
//      either ends the registration. Otherwise it is removed.
class temp_file {
 public:
  temp_file() = default;
  ~temp_file() { remove(); }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;

  // Creates a new, empty file at `path` for reading and writing, binary or
  // (on systems that tell them apart) text. What a stopped run left under
  // that name is removed first, a link without following it, so the file
  // never writes through a name that links elsewhere. Null on failure;
  // reason kept. The stream is the caller's to close.
  std::FILE* create(const char* path, bool text = false);
  // The same, and the file stays locked while its stream is open, so that
  // runs writing the same file never take each other's: `busy` is set when
  // another run holds it. A file a killed run left there is replaced. Keep
  // the stream open until the commit.
  std::FILE* create_locked(const char* path, bool text, bool& busy);

  enum class link_result { made, exists, unsupported, failed };
  // Makes `path` a second name (a hard link) of the file `existing`, never
  // replacing a file: `exists` when the name is taken, `unsupported` where
  // the file system has no hard links. Reason kept for `failed`.
  link_result link(const char* existing, const char* path);

  // Renames the file to `target`, replacing what is there (or, with
  // `replace` false, never replacing: errno EEXIST then). Reason kept.
  bool commit(const char* target, bool replace = true);
  // Ends the registration and leaves the file where it is.
  void keep();
  // Removes the file now, unless committed or kept.
  void remove();

  const char* path() const { return slot_ < 0 ? "" : registered_path(slot_); }

 private:
  static const char* registered_path(int slot);
  int slot_ = -1;  // in the table of files to remove; -1 for none
};

// What an interrupt (SIGINT, SIGTERM, SIGHUP; the console's Ctrl-C, break
// and close events on Windows) does while temporary files are registered:
// removes them, writes `on_interrupt` to standard error and ends the
// process with 128 + the signal's number (130 for the Windows events).
// `on_stop` is written when the process ends with temporary files still
// registered (a consistency stop). Both texts are copied; empty says nothing.
void set_stop_messages(const char* on_interrupt, const char* on_stop);
// While held, an interrupt waits; releasing acts on it as if it came then.
// Holds nest: the last release lets interrupts through.
void hold_interrupts();
void release_interrupts();
// From now on an interrupt does nothing: the change it would stop is
// complete, and the run finishes saying so. Call it while holding them, so
// that one that came meanwhile is dropped too.
void ignore_interrupts();

// Makes a write to a closed pipe, or past the file-size limit, fail with an
// error the tool reports, instead of ending the process silently.
void report_broken_pipes();

// Waits for one key press on the console itself (not standard input), with no
// echo and no Enter. Returns at once when there is no console.
void wait_for_key();

}  // namespace platform

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform.h"
#include "platform_shared.h"

namespace platform {

const char path_separator = '\\';
const char* const help_switch = "/?";

bool reader_gone(int error_number) { return error_number == EPIPE; }

namespace {
// The reason of the last failure: a C library error number, or the code of
// a failed Windows call, whose text comes from FormatMessage.
unsigned long kept_error = 0;
bool kept_error_is_windows = false;

bool keep_errno(int error_number) {
  kept_error = static_cast<unsigned long>(error_number);
  kept_error_is_windows = false;
  return false;
}

bool keep_last_error() {
  kept_error = GetLastError();
  kept_error_is_windows = true;
  return false;
}

std::string windows_message(unsigned long code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  LocalFree(text);
  // The text ends with CR LF, and the report puts a line end of its own.
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) {
    message.pop_back();
  }
  return message.empty() ? "Windows error " + std::to_string(code) : message;
}
}  // namespace

bool keep_error(int error_number) { return keep_errno(error_number); }

std::string last_failure() {
  return kept_error_is_windows ? windows_message(kept_error)
                               : error_text(static_cast<int>(kept_error));
}

namespace {
bool is_device_name(const char* name);
}  // namespace

path_kind kind_of(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? path_kind::missing
                                                                          : path_kind::other;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return path_kind::folder;
  const char* name = std::strrchr(path, '\\');
  name = name == nullptr ? path : name + 1;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) || is_device_name(name)) return path_kind::other;
  return path_kind::file;
}

bool format_local_time(char* out, std::size_t size, const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_s(&local, &now) != 0) return false;
  return std::strftime(out, size, format, &local) != 0;
}

namespace {
bool move_file(const char* from, const char* to, DWORD flags) {
  // The narrow form reads paths in the code page fopen uses for them.
  if (MoveFileExA(from, to, flags | MOVEFILE_WRITE_THROUGH) != 0) return true;
  const DWORD error = GetLastError();
  keep_last_error();
  errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST
          : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                             : EACCES;
  return false;
}
}  // namespace

// Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
bool rename_noreplace(const char* from, const char* to) { return move_file(from, to, 0); }

bool rename_replace(const char* from, const char* to) {
  // A file open elsewhere cannot be replaced, even when opened shared for
  // deletion: another run looks at the world a moment before it finds the
  // lock held, so try again for a while before giving up.
  for (int tries = 0;; ++tries) {
    if (move_file(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD error = static_cast<DWORD>(kept_error);
    if (tries == 100 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      return false;
    }
    Sleep(20);
  }
}

temp_file::link_result make_hard_link(const char* existing, const char* path) {
  if (CreateHardLinkA(path, existing, nullptr) != 0) return temp_file::link_result::made;
  const DWORD error = GetLastError();
  keep_last_error();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
    return temp_file::link_result::exists;
  }
  // FAT and exFAT drives, some network shares.
  if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) {
    return temp_file::link_result::unsupported;
  }
  return temp_file::link_result::failed;
}

bool copy_permissions(const char* from, const char* to) {
  const DWORD source = GetFileAttributesA(from);
  const DWORD target = GetFileAttributesA(to);
  if (source == INVALID_FILE_ATTRIBUTES || target == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD wanted = (target & ~DWORD{FILE_ATTRIBUTE_READONLY}) | (source & FILE_ATTRIBUTE_READONLY);
  return wanted == target || SetFileAttributesA(to, wanted) != 0;
}

struct file_lock::state {
  HANDLE handle;
  ~state() { CloseHandle(handle); }
};

file_lock::file_lock() = default;
file_lock::~file_lock() = default;

file_lock::result file_lock::take(const char* path, bool exclusive) {
  // A reparse point (a link) at the lock's name is opened itself, not
  // followed, and refused: no run creates or locks a file elsewhere.
  const DWORD open_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, open_flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE && !exclusive) {
    handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, open_flags, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EACCES;
    return result::failed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) != 0 &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    CloseHandle(handle);
    errno = ELOOP;
    return result::failed;
  }
  OVERLAPPED at{};
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!LockFileEx(handle, flags, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    errno = EACCES;
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? result::busy
                                                                      : result::failed;
  }
  state_.reset(new state{handle});
  return result::taken;
}

namespace {
volatile LONG interrupts_held = 0;
volatile LONG interrupts_ignored = 0;
bool watching = false;

// Runs on a thread of its own that the console starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  while (interrupts_held != 0) Sleep(10);
  if (interrupts_ignored != 0) {
    // The system ends the process once this returns from a close event:
    // the main thread's own end comes first.
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
  }
  remove_registered_files();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), interrupt_message,
            static_cast<DWORD>(std::strlen(interrupt_message)), &written, nullptr);
  ExitProcess(130);
}

void at_process_end() {
  if (remove_registered_files() && stop_message[0] != '\0') {
    std::fputs(stop_message, stderr);
    std::fflush(stderr);
  }
}
}  // namespace

void watch_for_interrupts() {
  if (watching) return;
  watching = true;
  std::atexit(at_process_end);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interrupts() { InterlockedIncrement(&interrupts_held); }
void release_interrupts() {
  if (interrupts_held > 0) InterlockedDecrement(&interrupts_held);
}
void ignore_interrupts() { interrupts_ignored = 1; }

void remove_file(const char* path) { DeleteFileA(path); }

bool delete_file(const char* path) { return DeleteFileA(path) != 0 || keep_last_error(); }

namespace {
// Files are opened shared for deletion: another run's rename of the world,
// or an interrupt's removal of TEMP, must not fail because this run has the
// file open (it goes when the last handle closes).
std::FILE* open_shared(const char* path, DWORD access, DWORD disposition, int flags,
                       const char* mode) {
  HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_EXISTS ? EEXIST
            : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                               : EACCES;
    keep_last_error();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    keep_errno(errno);
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, mode);
  if (file == nullptr) {
    keep_errno(errno);
    _close(fd);
  }
  return file;
}
}  // namespace

std::FILE* open_for_reading(const char* path, bool* not_regular) {
  if (not_regular != nullptr) *not_regular = false;
  const DWORD attributes = GetFileAttributesA(path);
  const char* name = std::strrchr(path, '\\');
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ||
       is_device_name(name == nullptr ? path : name + 1))) {
    if (not_regular != nullptr) *not_regular = true;
    keep_errno(EINVAL);
    return nullptr;
  }
  std::FILE* file = open_shared(path, GENERIC_READ, OPEN_EXISTING, _O_BINARY | _O_RDONLY, "rb");
  if (file != nullptr && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) !=
                             FILE_TYPE_DISK) {
    std::fclose(file);
    if (not_regular != nullptr) *not_regular = true;
    keep_errno(EINVAL);
    return nullptr;
  }
  return file;
}

namespace {
// One byte far past any data, so that the lock never keeps a reader out.
bool lock_far_byte(HANDLE handle) {
  OVERLAPPED at{};
  at.OffsetHigh = 0x7FFFFFFF;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}
}  // namespace

// As on POSIX: each run locks the file it creates at once, and removes one
// under the name only while holding its lock.
std::FILE* create_new_locked(const char* path, bool text, bool& busy) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::FILE* file = create_new_file(path, text);
    if (file != nullptr) {
      if (!lock_far_byte(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))))) {
        std::fclose(file);
        busy = true;
        return nullptr;
      }
      return file;
    }
    if (errno != EEXIST) return nullptr;
    HANDLE old = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (old == INVALID_HANDLE_VALUE) {
      keep_last_error();
      return nullptr;
    }
    if (!lock_far_byte(old)) {
      CloseHandle(old);
      busy = true;
      return nullptr;
    }
    // Left by a killed run: removed while locked (it goes when closed).
    const bool removed = DeleteFileA(path) != 0;
    if (!removed) keep_last_error();
    CloseHandle(old);
    if (!removed) return nullptr;
  }
  busy = true;
  return nullptr;
}

std::FILE* create_new_file(const char* path, bool text) {
  return open_shared(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                     (text ? _O_TEXT : _O_BINARY) | _O_RDWR, text ? "w+" : "w+b");
}

bool sync_file(std::FILE* file) { return _commit(_fileno(file)) == 0 || keep_errno(errno); }

void start_writeback(std::FILE*) {}

void sync_parent_folder(const char*) {}

std::int64_t file_size(std::FILE* file) {
  struct _stat64 info;
  if (_fstat64(_fileno(file), &info) != 0 || !(info.st_mode & _S_IFREG)) return -1;
  return info.st_size;
}

std::int64_t size_of(const char* path) {
  struct _stat64 info;
  return _stat64(path, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

bool same_file(const char* a, const char* b) {
  auto identify = [](const char* path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  if (!identify(a, ia) || !identify(b, ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

// Windows copies through memory: its in-kernel copies work on whole files.
file_copier::piece file_copier::copy(std::FILE* from, std::FILE* to, std::int64_t max) {
  return copy_through_memory(from, to, max);
}

// Every pass searches the folder afresh, so the state is only its path.
struct folder_listing::state {
  std::string path;
};

folder_listing::folder_listing() = default;
folder_listing::~folder_listing() = default;

bool folder_listing::open(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return keep_last_error();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return keep_errno(ENOTDIR);
  state_.reset(new state{path});
  return true;
}

namespace {
// Opening "nul.txt" or "COM1" in any folder opens the device, not a file in
// that folder, so such names count as devices whatever the folder holds.
bool is_device_name(const char* name) {
  std::string stem(name, std::strcspn(name, ".:"));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}
}  // namespace

std::vector<folder_entry> folder_listing::entries() {
  std::vector<folder_entry> list;
  if (state_ == nullptr) return list;
  std::string pattern = state_->path;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return list;
  do {
    if (is_dot_entry(found.cFileName)) continue;
    entry_kind kind = entry_kind::file;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      kind = entry_kind::folder;
    } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) || is_device_name(found.cFileName)) {
      kind = entry_kind::device;
    }
    list.push_back({found.cFileName, kind});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  sort_by_name(list);
  return list;
}

// Windows has no SIGPIPE: a write to a closed pipe already fails as an error.
void report_broken_pipes() {}

void wait_for_key() {
  // Like _getch, the key comes from the console itself, so answers piped to
  // standard input never satisfy the wait. A process with no console (started
  // detached, or by a service) has nobody to press a key: return at once.
  HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  const bool is_console = GetConsoleMode(console, &mode) != 0;
  CloseHandle(console);
  if (is_console) _getch();
}

}  // namespace platform

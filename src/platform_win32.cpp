#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "platform_shared.h"

namespace platform {

const char path_separator = '\\';

bool format_local_time(char* out, std::size_t size, const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_s(&local, &now) != 0) return false;
  return std::strftime(out, size, format, &local) != 0;
}

bool rename_noreplace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists. The
  // narrow form reads paths in the code page fopen uses for them.
  return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_file(const char* path) { DeleteFileA(path); }

std::FILE* create_new_file(const char* path) {
  int fd = -1;
  if (_sopen_s(&fd, path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
               _S_IREAD | _S_IWRITE) != 0) {
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool sync_file(std::FILE* file) { return _commit(_fileno(file)) == 0; }

void sync_parent_folder(const char*) {}

std::int64_t file_size(std::FILE* file) {
  struct _stat64 info;
  if (_fstat64(_fileno(file), &info) != 0 || !(info.st_mode & _S_IFREG)) return -1;
  return info.st_size;
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

folder_listing::~folder_listing() = default;

bool folder_listing::open(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
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

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#if defined(_WIN32)
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cctype>
#include <cstring>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace platform {

namespace {
void sort_by_name(std::vector<folder_entry>& list) {
  std::sort(list.begin(), list.end(),
            [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });
}
bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
}  // namespace

#if defined(_WIN32)

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

kernel_copy copy_in_kernel(std::FILE*, std::FILE*, std::int64_t) {
  return {kernel_copy::unsupported, 0};
}

folder_listing::~folder_listing() {}

bool folder_listing::open(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  path_ = path;
  handle_ = this;  // marks the listing open; every pass searches afresh
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
  if (handle_ == nullptr) return list;
  std::string pattern = path_;
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

#else  // POSIX

const char path_separator = '/';

bool format_local_time(char* out, std::size_t size, const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return false;
  return std::strftime(out, size, format, &local) != 0;
}

bool rename_noreplace(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
#endif
  // A hard link fails when the target exists, so link + unlink never replaces.
  if (link(from, to) == 0) {
    if (unlink(from) == 0) return true;
    int saved = errno;
    unlink(to);
    errno = saved;
    return false;
  }
  if (errno == EEXIST) return false;
  // File systems without hard links: check first, then move. Not atomic
  // against another writer, but never replaces what was there at the check.
  struct stat existing;
  if (lstat(to, &existing) == 0 || errno != ENOENT) return false;
  return rename(from, to) == 0;
}

void remove_file(const char* path) { unlink(path); }

std::FILE* create_new_file(const char* path) {
  const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

bool sync_file(std::FILE* file) { return fsync(fileno(file)) == 0; }

void sync_parent_folder(const char* path) {
  std::string folder(path);
  std::string::size_type slash = folder.rfind('/');
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

kernel_copy copy_in_kernel(std::FILE* from, std::FILE* to, std::int64_t max) {
#if defined(__linux__)
  if (std::fflush(to) != 0) return {kernel_copy::write_failed, 0};
  off_t in_offset = ftello(from);
  off_t out_offset = ftello(to);
  if (in_offset < 0 || out_offset < 0) return {kernel_copy::unsupported, 0};
  std::int64_t total = 0;
  // Once the kernel is known to copy here, bring the source to a page
  // boundary first: unaligned in-kernel copies cost a fifth more.
  static bool kernel_copies = false;
  const std::int64_t head = std::min<std::int64_t>((4096 - in_offset % 4096) % 4096, max);
  if (kernel_copies && head > 0) {
    char bytes[4096];
    const ssize_t got = pread(fileno(from), bytes, static_cast<std::size_t>(head), in_offset);
    if (got < 0) return {kernel_copy::read_failed, 0};
    if (got > 0 && pwrite(fileno(to), bytes, static_cast<std::size_t>(got), out_offset) != got) {
      return {kernel_copy::write_failed, 0};
    }
    in_offset += got;
    out_offset += got;
    total = got;
    if (got < head) max = total;  // the source ended
  }
  while (total < max) {
    ssize_t n = copy_file_range(fileno(from), &in_offset, fileno(to), &out_offset,
                                static_cast<std::size_t>(max - total), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (total == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                         errno == EOPNOTSUPP || errno == EBADF)) {
        return {kernel_copy::unsupported, 0};
      }
      bool write_side = errno == ENOSPC || errno == EFBIG || errno == EDQUOT;
      return {write_side ? kernel_copy::write_failed : kernel_copy::read_failed, total};
    }
    if (n == 0) break;
    kernel_copies = true;
    total += n;
  }
  // Re-synchronise the streams with the descriptors' new offsets.
  if (fseeko(from, in_offset, SEEK_SET) != 0) return {kernel_copy::read_failed, total};
  if (fseeko(to, out_offset, SEEK_SET) != 0) return {kernel_copy::write_failed, total};
  return {kernel_copy::copied, total};
#else
  (void)from;
  (void)to;
  (void)max;
  return {kernel_copy::unsupported, 0};
#endif
}

folder_listing::~folder_listing() {
  if (handle_ != nullptr) closedir(static_cast<DIR*>(handle_));
}

bool folder_listing::open(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  handle_ = dir;
  path_ = path;
  return true;
}

std::vector<folder_entry> folder_listing::entries() {
  std::vector<folder_entry> list;
  DIR* dir = static_cast<DIR*>(handle_);
  if (dir == nullptr) return list;
  rewinddir(dir);
  while (dirent* entry = readdir(dir)) {
    if (is_dot_entry(entry->d_name)) continue;
    // A link says nothing of what it points to, so ask as for an unknown
    // kind; a dangling link stays a file and fails to open, as it should.
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat info;
      std::string full = path_ + "/" + entry->d_name;
      type = DT_REG;
      if (stat(full.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) type = DT_DIR;
        if (S_ISCHR(info.st_mode)) type = DT_CHR;
        if (S_ISBLK(info.st_mode)) type = DT_BLK;
        if (S_ISFIFO(info.st_mode)) type = DT_FIFO;
        if (S_ISSOCK(info.st_mode)) type = DT_SOCK;
      }
    }
    entry_kind kind = entry_kind::file;
    if (type == DT_DIR) kind = entry_kind::folder;
    // Opening a pipe would wait for a writer forever, so special files of
    // every sort count as devices.
    if (type == DT_CHR || type == DT_BLK || type == DT_FIFO || type == DT_SOCK) {
      kind = entry_kind::device;
    }
    list.push_back({entry->d_name, kind});
  }
  sort_by_name(list);
  return list;
}

void report_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }

namespace {
int tty_fd = -1;
termios tty_saved;

void restore_tty_and_reraise(int signal_number) {
  tcsetattr(tty_fd, TCSANOW, &tty_saved);
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);
}
}  // namespace

void wait_for_key() {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd < 0) return;  // no controlling terminal: nobody to wait for
  termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    close(fd);
    return;
  }
  tty_fd = fd;
  tty_saved = saved;
  // Settings must come back even when the wait is interrupted.
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction restore{}, previous[4];
  restore.sa_handler = restore_tty_and_reraise;
  sigemptyset(&restore.sa_mask);
  for (int i = 0; i < 4; ++i) sigaction(signals[i], &restore, &previous[i]);

  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) == 0) {
    char key;
    while (read(fd, &key, 1) < 0 && errno == EINTR) {
    }
  }
  tcsetattr(fd, TCSANOW, &saved);
  for (int i = 0; i < 4; ++i) sigaction(signals[i], &previous[i], nullptr);
  tty_fd = -1;
  close(fd);
}

#endif

}  // namespace platform

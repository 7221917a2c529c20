#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "platform_shared.h"

namespace platform {

const char path_separator = '/';
const char* const help_switch = nullptr;

bool reader_gone(int error_number) { return error_number == EPIPE; }

namespace {
int kept_error = 0;

// Keeps errno as the reason of a failure; returns false for the caller.
bool keep_errno() {
  kept_error = errno;
  return false;
}
}  // namespace

bool keep_error(int error_number) {
  kept_error = error_number;
  return false;
}

std::string last_failure() { return error_text(kept_error); }

path_kind kind_of(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return errno == ENOENT ? path_kind::missing : path_kind::other;
  if (S_ISREG(info.st_mode)) return path_kind::file;
  if (S_ISDIR(info.st_mode)) return path_kind::folder;
  return path_kind::other;
}

bool format_local_time(char* out, std::size_t size, const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return false;
  return std::strftime(out, size, format, &local) != 0;
}

namespace {
bool try_rename_noreplace(const char* from, const char* to) {
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
  if (lstat(to, &existing) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return rename(from, to) == 0;
}
}  // namespace

bool rename_noreplace(const char* from, const char* to) {
  return try_rename_noreplace(from, to) || keep_errno();
}

bool rename_replace(const char* from, const char* to) {
  return rename(from, to) == 0 || keep_errno();
}

temp_file::link_result make_hard_link(const char* existing, const char* path) {
  if (::link(existing, path) == 0) return temp_file::link_result::made;
  keep_errno();
  switch (errno) {
    case EEXIST: return temp_file::link_result::exists;
    // File systems without hard links (FAT, exFAT, some network shares).
    case EPERM:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EXDEV:
    case ENOSYS: return temp_file::link_result::unsupported;
    default: return temp_file::link_result::failed;
  }
}

bool copy_permissions(const char* from, const char* to) {
  struct stat info;
  return stat(from, &info) == 0 && chmod(to, info.st_mode & 07777) == 0;
}

struct file_lock::state {
  int fd;
  ~state() { close(fd); }
};

file_lock::file_lock() = default;
file_lock::~file_lock() = default;

file_lock::result file_lock::take(const char* path, bool exclusive) {
  // A link at the lock's name is refused (ELOOP), so that no run creates or
  // locks a file outside the save folder; a FIFO there must not make it wait.
  const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = ::open(path, O_RDWR | O_CREAT | flags, 0666);
  // A shared lock needs no writing: a lock file that exists read-only serves.
  if (fd < 0 && !exclusive && errno != ELOOP) fd = ::open(path, O_RDONLY | flags);
  if (fd < 0) return result::failed;
  while (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int saved = errno;
    close(fd);
    errno = saved;
    return saved == EWOULDBLOCK ? result::busy : result::failed;
  }
  state_.reset(new state{fd});
  return result::taken;
}

namespace {
const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
bool watching = false;
bool ignoring = false;

// Only async-signal-safe calls here.
void on_interrupt(int signal_number) {
  remove_registered_files();
  ssize_t ignored = write(STDERR_FILENO, interrupt_message, std::strlen(interrupt_message));
  (void)ignored;
  _exit(128 + signal_number);
}

void at_process_end() {
  if (remove_registered_files() && stop_message[0] != '\0') {
    std::fputs(stop_message, stderr);
    std::fflush(stderr);
  }
}

void interrupt_mask(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : interrupt_signals) sigaddset(&set, signal_number);
  sigprocmask(how, &set, nullptr);
}

void handle_interrupts(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int signal_number : interrupt_signals) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : interrupt_signals) sigaction(signal_number, &action, nullptr);
}
}  // namespace

void watch_for_interrupts() {
  if (watching || ignoring) return;
  watching = true;
  std::atexit(at_process_end);
  handle_interrupts(on_interrupt);
}

namespace {
int holds = 0;
}  // namespace

void hold_interrupts() {
  if (holds++ == 0) interrupt_mask(SIG_BLOCK);
}
void release_interrupts() {
  if (holds > 0 && --holds == 0) interrupt_mask(SIG_UNBLOCK);
}

// An interrupt pending while held is dropped when its action becomes "ignore".
void ignore_interrupts() {
  ignoring = true;
  handle_interrupts(SIG_IGN);
}

void remove_file(const char* path) { unlink(path); }

bool delete_file(const char* path) { return unlink(path) == 0 || keep_errno(); }

std::FILE* open_for_reading(const char* path, bool* not_regular) {
  if (not_regular != nullptr) *not_regular = false;
  // Without O_NONBLOCK, opening a FIFO waits for a writer forever.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    keep_errno();
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    keep_error(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    if (not_regular != nullptr) *not_regular = true;
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    keep_errno();
    close(fd);
  }
  return file;
}

std::FILE* create_new_file(const char* path, bool) {
  const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    keep_errno();
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    keep_errno();
    close(fd);
  }
  return file;
}

namespace {
bool names_this_file(int fd, const char* path) {
  struct stat open_file, named;
  return fstat(fd, &open_file) == 0 && lstat(path, &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}
}  // namespace

// Every run locks the file it creates at once and removes a file under the
// name only while holding its lock, so no run removes or takes a file
// another run is writing; one whose new file was locked or replaced in the
// moment before its own lock gives way as busy.
std::FILE* create_new_locked(const char* path, bool text, bool& busy) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !names_this_file(fd, path)) {
        close(fd);
        busy = true;
        return nullptr;
      }
      std::FILE* file = fdopen(fd, text ? "w+" : "w+b");
      if (file == nullptr) {
        keep_errno();
        close(fd);
      }
      return file;
    }
    if (errno != EEXIST) {
      keep_errno();
      return nullptr;
    }
    const int old = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (old < 0) {
      if (errno == ENOENT) continue;
      // A link is removed, never followed.
      if (errno == ELOOP && unlink(path) == 0) continue;
      keep_errno();
      return nullptr;
    }
    if (flock(old, LOCK_EX | LOCK_NB) != 0) {
      const bool held = errno == EWOULDBLOCK;
      keep_errno();
      close(old);
      busy = held;
      return nullptr;
    }
    // Left by a killed run: removed while locked.
    const bool removed = !names_this_file(old, path) || unlink(path) == 0;
    if (!removed) keep_errno();
    close(old);
    if (!removed) return nullptr;
  }
  busy = true;
  return nullptr;
}

bool sync_file(std::FILE* file) { return fsync(fileno(file)) == 0 || keep_errno(); }

void start_writeback(std::FILE* file) {
#if defined(__linux__)
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  static_cast<void>(file);
#endif
}

void sync_parent_folder(const char* path) {
  std::string folder(path);
  std::string::size_type slash = folder.rfind('/');
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

std::int64_t file_size(std::FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size;
}

std::int64_t size_of(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

file_copier::piece file_copier::copy(std::FILE* from, std::FILE* to, std::int64_t max) {
#if defined(__linux__)
  if (kernel_ != kernel::unsupported) {
    if (std::fflush(to) != 0) return {piece::write_failed, 0, errno};
    off_t in_offset = ftello(from);
    off_t out_offset = ftello(to);
    if (in_offset >= 0 && out_offset >= 0) {
      std::int64_t total = 0;
      // Once the kernel is known to copy here, bring the source to a page
      // boundary first: unaligned in-kernel copies cost a fifth more.
      const std::int64_t head = std::min<std::int64_t>((4096 - in_offset % 4096) % 4096, max);
      if (kernel_ == kernel::works && head > 0) {
        char bytes[4096];
        const ssize_t got = pread(fileno(from), bytes, static_cast<std::size_t>(head), in_offset);
        if (got < 0) return {piece::read_failed, 0, errno};
        if (got > 0 && pwrite(fileno(to), bytes, static_cast<std::size_t>(got), out_offset) != got) {
          return {piece::write_failed, 0, errno};
        }
        in_offset += got;
        out_offset += got;
        total = got;
        if (got < head) max = total;  // the source ended
      }
      bool fall_back = false;
      while (total < max) {
        ssize_t n = copy_file_range(fileno(from), &in_offset, fileno(to), &out_offset,
                                    static_cast<std::size_t>(max - total), 0);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (kernel_ == kernel::untried && total == 0 &&
              (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
               errno == EBADF)) {
            fall_back = true;
            break;
          }
          const bool write_side = errno == ENOSPC || errno == EFBIG || errno == EDQUOT;
          return {write_side ? piece::write_failed : piece::read_failed, total, errno};
        }
        if (n == 0) break;
        kernel_ = kernel::works;
        total += n;
      }
      if (!fall_back) {
        // Re-synchronise the streams with the descriptors' new offsets.
        if (fseeko(from, in_offset, SEEK_SET) != 0) return {piece::read_failed, total, errno};
        if (fseeko(to, out_offset, SEEK_SET) != 0) return {piece::write_failed, total, errno};
        return {piece::copied, total, 0};
      }
    }
    kernel_ = kernel::unsupported;
  }
#endif
  return copy_through_memory(from, to, max);
}

struct folder_listing::state {
  DIR* dir;
  std::string path;
  ~state() { closedir(dir); }
};

folder_listing::folder_listing() = default;
folder_listing::~folder_listing() = default;

bool folder_listing::open(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return keep_errno();
  state_.reset(new state{dir, path});
  return true;
}

std::vector<folder_entry> folder_listing::entries() {
  std::vector<folder_entry> list;
  if (state_ == nullptr) return list;
  DIR* dir = state_->dir;
  rewinddir(dir);
  while (dirent* entry = readdir(dir)) {
    if (is_dot_entry(entry->d_name)) continue;
    // A link says nothing of what it points to, so ask as for an unknown
    // kind; a dangling link stays a file and fails to open, as it should.
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat info;
      std::string full = state_->path + "/" + entry->d_name;
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

void report_broken_pipes() {
  ::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit (ulimit -f) then fails with EFBIG and
  // is reported like a full disk, and TEMP is removed.
  ::signal(SIGXFSZ, SIG_IGN);
}

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

}  // namespace platform

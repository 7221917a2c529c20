#include "support/run.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace testsupport {

namespace {

struct pipe_pair {
  int read = -1;
  int write = -1;
};

pipe_pair make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  return {fds[0], fds[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Writing into a pipe whose reader has gone must give EPIPE, not kill the test.
void ignore_sigpipe_once() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

std::vector<std::string> merged_environment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    const std::string key = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& [k, v] : extra) overridden = overridden || k == key;
    if (!overridden) env.push_back(std::move(entry));
  }
  for (const auto& [k, v] : extra) env.push_back(k + "=" + v);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> ptrs;
  for (auto& w : words) ptrs.push_back(w.data());
  ptrs.push_back(nullptr);
  return ptrs;
}

void write_all_raw(int fd, const char* text) {
  size_t len = std::strlen(text);
  while (len > 0) {
    const ssize_t n = ::write(fd, text, len);
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

[[noreturn]] void run_child(const game_folder& folder, pipe_pair in, pipe_pair out, pipe_pair err,
                            std::vector<char*>& argv, std::vector<char*>& envp,
                            const run_options& options) {
  ::setsid();
  ::signal(SIGPIPE, SIG_DFL);  // ignored dispositions would survive exec
  if (::dup2(in.read, 0) < 0 || ::dup2(out.write, 1) < 0 || ::dup2(err.write, 2) < 0) _exit(126);
  if (::chdir(folder.root().c_str()) != 0) {
    write_all_raw(2, "run_rawgraft: chdir failed\n");
    _exit(126);
  }
  if (options.in_child) options.in_child();
  ::execvpe(argv[0], argv.data(), envp.data());
  write_all_raw(2, "run_rawgraft: exec failed: ");
  write_all_raw(2, argv[0]);
  write_all_raw(2, "\n");
  _exit(127);
}

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

// Start of the next built path at or after `from`: "." "data" "save", each
// followed by a separator of either kind, so that wrong ones are found too.
std::size_t find_built_path(std::string_view line, std::size_t from) {
  for (std::size_t p = line.find('.', from); p != std::string_view::npos;
       p = line.find('.', p + 1)) {
    if (p + 12 > line.size()) break;
    if (is_separator(line[p + 1]) && line.substr(p + 2, 4) == "data" && is_separator(line[p + 6]) &&
        line.substr(p + 7, 4) == "save" && is_separator(line[p + 11])) {
      return p;
    }
  }
  return std::string_view::npos;
}

bool inside_user_text(std::string_view line, std::size_t pos,
                      const std::vector<std::string>& user_texts) {
  for (const auto& user : user_texts) {
    if (user.empty()) continue;
    for (std::size_t at = line.find(user); at != std::string_view::npos && at <= pos;
         at = line.find(user, at + 1)) {
      if (pos < at + user.size()) return true;
    }
  }
  return false;
}

// The built path in `line` runs to the line's end: every message names it
// last, and the dump's first line follows it only with the stamp.
void show_built_path_with_slashes(std::string& line, const std::vector<std::string>& user_texts,
                                  std::string& problems) {
  for (std::size_t p = find_built_path(line, 0); p != std::string_view::npos;
       p = find_built_path(line, p + 1)) {
    if (inside_user_text(line, p, user_texts)) continue;
    if (line.find('/', p) != std::string::npos) {
      problems += "built path holds \"/\": \"" + line + "\"\n";
    } else {
      std::replace(line.begin() + static_cast<std::ptrdiff_t>(p), line.end(), '\\', '/');
    }
    return;
  }
}

std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

// Every reason line ("  (text)") of a Windows run as reason() gives it.
std::string with_reasons_masked(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line(text.data() + start, end - start);
    if (line.size() > 4 && line.starts_with("  (") && line.ends_with(")")) {
      out += "  (system reason)";
    } else {
      out += line;
    }
    if (end < text.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string default_program() {
  const char* exe = std::getenv("RAWGRAFT_TEST_EXE");
  return exe != nullptr && *exe != '\0' ? exe : RAWGRAFT_BINARY;
}

std::vector<std::string> default_launcher() {
  if (const char* launcher = std::getenv("RAWGRAFT_TEST_LAUNCHER")) {
    if (*launcher == '\0') return {};
    return {launcher};
  }
  if (windows_build()) return {RAWGRAFT_WINE_LAUNCHER};
  return {};
}

bool is_windows_program(std::string_view program) {
  if (program.size() < 4) return false;
  std::string suffix(program.substr(program.size() - 4));
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".exe";
}

bool windows_build() {
  static const bool windows = is_windows_program(default_program());
  return windows;
}

std::string from_windows_text(std::string_view text, const std::vector<std::string>& user_texts,
                              bool paths_in_first_line_only, std::string& problems) {
  std::size_t bare = 0;
  std::string first_bare;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r') && bare++ == 0) {
      const std::size_t from = i < 60 ? 0 : i - 60;
      first_bare = shown(text.substr(from, i + 1 - from));
    }
    out += text[i];
  }
  if (bare > 0) {
    problems +=
        std::to_string(bare) + " line end(s) without CR, the first after \"" + first_bare + "\"\n";
  }

  std::string result;
  result.reserve(out.size());
  std::size_t start = 0;
  for (bool first = true; start < out.size(); first = false) {
    const std::size_t end = std::min(out.find('\n', start), out.size());
    std::string line = out.substr(start, end - start);
    if (first || !paths_in_first_line_only)
      show_built_path_with_slashes(line, user_texts, problems);
    result += line;
    if (end < out.size()) result += '\n';
    start = end + 1;
  }
  return result;
}

std::ostream& operator<<(std::ostream& os, const run_result& r) {
  os << "status " << r.status << (r.timed_out ? " (killed after timeout)" : "") << "\n--- stdout ("
     << r.out.size() << " bytes) ---\n"
     << r.out.substr(0, 4096) << (r.out.size() > 4096 ? "\n[...]" : "") << "\n--- stderr ("
     << r.err.size() << " bytes) ---\n"
     << r.err.substr(0, 4096) << (r.err.size() > 4096 ? "\n[...]" : "") << "\n";
  return os;
}

run_result run_rawgraft(const game_folder& folder, const std::vector<std::string>& args,
                        const std::string& stdin_text, const run_options& options) {
  ignore_sigpipe_once();

  if (options.in_child && is_windows_program(options.program) && !options.launcher.empty()) {
    // The hook may limit the child (a file size cap, say), and a Wine server
    // started by the child would inherit that limit and fail: start it now.
    run_options plain;
    plain.program = "cmd.exe";
    plain.launcher = options.launcher;
    plain.env = options.env;
    run_rawgraft(folder, {"/c", "exit"}, "", plain);
  }

  std::vector<std::string> words = options.launcher;
  words.push_back(options.program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<std::pair<std::string, std::string>> extra = options.env;
  // The leak checker traces the process itself, which a tracer forbids.
  if (!options.launcher.empty() && options.launcher[0] == "strace") {
    const char* asan = std::getenv("ASAN_OPTIONS");
    extra.emplace_back("ASAN_OPTIONS",
                       (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") + "detect_leaks=0");
  }
  std::vector<std::string> env = merged_environment(extra);
  std::vector<char*> argv = c_strings(words);
  std::vector<char*> envp = c_strings(env);

  pipe_pair in = make_pipe();
  pipe_pair out = make_pipe();
  pipe_pair err = make_pipe();

  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) run_child(folder, in, out, err, argv, envp, options);

  close_fd(in.read);
  close_fd(out.write);
  close_fd(err.write);
  ::fcntl(in.write, F_SETFL, O_NONBLOCK);
  if (stdin_text.empty()) close_fd(in.write);

  run_result result;
  std::size_t fed = 0;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  const auto interrupt_at = std::chrono::steady_clock::now() + options.interrupt_after;
  bool interrupted = options.interrupt_signal == 0;
  char buffer[65536];

  while (out.read >= 0 || err.read >= 0) {
    if (!interrupted && std::chrono::steady_clock::now() >= interrupt_at) {
      ::kill(pid, options.interrupt_signal);
      interrupted = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!interrupted) {
      left = std::min(left, std::chrono::duration_cast<std::chrono::milliseconds>(
                                interrupt_at - std::chrono::steady_clock::now()) +
                                std::chrono::milliseconds(1));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // The child leads its own process group, so this also takes any launcher children.
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    pollfd fds[3];
    int* owners[3];
    nfds_t n = 0;
    for (int* fd : {&out.read, &err.read}) {
      if (*fd >= 0) {
        fds[n] = {*fd, POLLIN, 0};
        owners[n++] = fd;
      }
    }
    if (in.write >= 0) {
      fds[n] = {in.write, POLLOUT, 0};
      owners[n++] = &in.write;
    }
    const int ready =
        ::poll(fds, n, static_cast<int>(std::clamp<long long>(left.count(), 0, 1000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      int& fd = *owners[i];
      if (&fd == &in.write) {
        const ssize_t w = ::write(fd, stdin_text.data() + fed, stdin_text.size() - fed);
        if (w > 0) fed += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || fed == stdin_text.size()) close_fd(fd);
        continue;
      }
      const ssize_t r = ::read(fd, buffer, sizeof buffer);
      if (r > 0) {
        (&fd == &out.read ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        close_fd(fd);
      }
    }
  }
  close_fd(in.write);
  close_fd(out.read);
  close_fd(err.read);

  // Closing both streams does not mean the child has ended; keep the deadline while waiting.
  int wstatus = 0;
  for (int nap_ms = 1;;) {
    const pid_t done = ::waitpid(pid, &wstatus, result.timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    if (done == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        result.timed_out = true;
        continue;
      }
      ::usleep(static_cast<useconds_t>(nap_ms) * 1000);
      nap_ms = std::min(nap_ms * 2, 50);
    }
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.status = 128 + WTERMSIG(wstatus);
  }
  if (is_windows_program(options.program)) {
    // A killed run may stop anywhere, even between CR and LF.
    std::string problems;
    result.out = from_windows_text(result.out, args, true, problems);
    result.err = with_reasons_masked(from_windows_text(result.err, args, false, problems));
    if (!problems.empty() && !result.timed_out) {
      ADD_FAILURE() << "the Windows build wrote wrong line ends or paths:\n"
                    << problems << "in the run " << testing::PrintToString(args);
    }
  }
  if (result.timed_out) {
    result.err += "\n[run_rawgraft: killed after " + std::to_string(options.timeout.count()) +
                  " ms timeout]\n";
  }
  return result;
}

}  // namespace testsupport

#include "support/run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

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

  std::vector<std::string> words = options.launcher;
  words.push_back(options.program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<std::string> env = merged_environment(options.env);
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
  char buffer[65536];

  while (out.read >= 0 || err.read >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
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
    const int ready = ::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000)));
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
  if (result.timed_out) {
    result.err += "\n[run_rawgraft: killed after " + std::to_string(options.timeout.count()) +
                  " ms timeout]\n";
  }
  return result;
}

}  // namespace testsupport

#pragma once
// Runs the built tool as a child process inside a game folder.

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/game_folder.hpp"

#ifndef RAWGRAFT_BINARY
#error "RAWGRAFT_BINARY must name the tool under test (set by tests/CMakeLists.txt)"
#endif

namespace testsupport {

// The tool under test: $RAWGRAFT_TEST_EXE when set, else the binary built
// alongside the tests.
std::string default_program();
// Words put before it: $RAWGRAFT_TEST_LAUNCHER when set (empty for none),
// else the Wine launcher for a Windows build, else nothing.
std::vector<std::string> default_launcher();
// True for a Windows build of the tool (a program named *.exe).
bool is_windows_program(std::string_view program);
// True when the tests run against a Windows build.
bool windows_build();

// Text written by the Windows build turned into the form the tests expect
// of the POSIX build: every CR LF becomes LF, and every built path (the ones
// starting ".\data\save\", which run to the end of their line) is shown
// with "/". A bare LF, or a built path holding "/", is added to `problems`.
// Paths inside one of `user_texts` (the arguments) are the user's own and
// are left as they are. Only the first line holds paths when
// `paths_in_first_line_only` (a dump).
std::string from_windows_text(std::string_view text, const std::vector<std::string>& user_texts,
                              bool paths_in_first_line_only, std::string& problems);

struct run_result {
  int status = -1;  // exit code, or 128 + signal number when killed by a signal
  std::string out{};  // everything written to standard output
  std::string err{};  // everything written to standard error
  bool timed_out = false;  // killed by the runner after run_options::timeout
};

// Shows status and both streams when a gtest assertion on a run_result fails.
std::ostream& operator<<(std::ostream& os, const run_result& r);

struct run_options {
  std::string program = default_program();
  // Words put before the program, e.g. an emulator: launcher... program args...
  std::vector<std::string> launcher = default_launcher();
  // Added to (or replacing in) the inherited environment.
  std::vector<std::pair<std::string, std::string>> env{};
  // Runs in the child after fork, before exec (e.g. setrlimit); keep it async-signal-safe.
  std::function<void()> in_child{};
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  // When not 0, this signal is sent to the child once, `interrupt_after`
  // from its start, and the run goes on until the child ends.
  int interrupt_signal = 0;
  std::chrono::milliseconds interrupt_after{};
};

// Starts the tool with the folder as working directory, in a new session (no
// controlling terminal), feeds `stdin_text` then closes standard input, and
// collects both output streams until the child exits or the timeout kills it.
// For a Windows program both streams pass through from_windows_text (the
// dump on standard output with paths in its first line only); a problem
// found there fails the current test.
run_result run_rawgraft(const game_folder& folder, const std::vector<std::string>& args,
                        const std::string& stdin_text = "", const run_options& options = {});

}  // namespace testsupport

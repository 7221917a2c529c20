#pragma once
// Runs the built tool as a child process inside a game folder.

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "support/game_folder.hpp"

#ifndef RAWGRAFT_BINARY
#error "RAWGRAFT_BINARY must name the tool under test (set by tests/CMakeLists.txt)"
#endif

namespace testsupport {

struct run_result {
  int status = -1;  // exit code, or 128 + signal number when killed by a signal
  std::string out{};  // everything written to standard output
  std::string err{};  // everything written to standard error
  bool timed_out = false;  // killed by the runner after run_options::timeout
};

// Shows status and both streams when a gtest assertion on a run_result fails.
std::ostream& operator<<(std::ostream& os, const run_result& r);

struct run_options {
  std::string program = RAWGRAFT_BINARY;
  // Words put before the program, e.g. an emulator: launcher... program args...
  std::vector<std::string> launcher{};
  // Added to (or replacing in) the inherited environment.
  std::vector<std::pair<std::string, std::string>> env{};
  // Runs in the child after fork, before exec (e.g. setrlimit); keep it async-signal-safe.
  std::function<void()> in_child{};
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

// Starts the tool with the folder as working directory, in a new session (no
// controlling terminal), feeds `stdin_text` then closes standard input, and
// collects both output streams until the child exits or the timeout kills it.
run_result run_rawgraft(const game_folder& folder, const std::vector<std::string>& args,
                        const std::string& stdin_text = "", const run_options& options = {});

}  // namespace testsupport

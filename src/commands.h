// The command bodies that the driver's table runs, each beside its module,
// and what they share with the driver. A body reports its own messages and
// returns the run's exit status; the driver ends the run.
#pragma once

#include <cstddef>
#include <cstdint>

struct settings;

// Exit statuses: what was asked was done (or declined, or needed no change);
// an error was reported; the tool was used wrongly.
constexpr int exit_done = 0;
constexpr int exit_error = 1;
constexpr int exit_usage = 2;

// What a body needs beyond the run's settings: where the world's
// object-name block starts, for the bodies that read the world, and the
// number prune was given.
struct run_context {
  std::int64_t block_offset;
  std::size_t keep;  // prune's number of backups to keep
};

int run_export(settings& run, const run_context& context);   // export.cpp
int run_import(settings& run, const run_context& context);   // import.cpp
int run_compare(settings& run, const run_context& context);  // compare.cpp
int run_sync(settings& run, const run_context& context);     // sync.cpp
int run_check(settings& run, const run_context& context);    // sync.cpp
int run_backups(settings& run, const run_context& context);  // backups.cpp
int run_restore(settings& run, const run_context& context);  // backups.cpp
int run_prune(settings& run, const run_context& context);    // backups.cpp

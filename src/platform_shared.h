// What both systems' platform files share; not for the rest of the tool.
#pragma once

#include <csignal>
#include <cstdio>
#include <vector>

#include "platform.h"

namespace platform {
// Sorted by name in byte order, so that every system sees one order.
void sort_by_name(std::vector<folder_entry>& list);
bool is_dot_entry(const char* name);

// Keeps an error number as the reason of a failure; returns false.
bool keep_error(int error_number);

// Creates a new, empty file for reading and writing; fails when anything
// exists under that name, so it never writes through a link. Reason kept.
std::FILE* create_new_file(const char* path, bool text);
// The same, locked, for temp_file::create_locked.
std::FILE* create_new_locked(const char* path, bool text, bool& busy);
// A hard link that never replaces; see temp_file::link.
temp_file::link_result make_hard_link(const char* existing, const char* path);

// The temporary files to remove on an interrupt or at the process end. A
// slot's path is written before it is marked used, so a signal handler
// reads only whole paths.
struct temp_slot {
  volatile std::sig_atomic_t used;
  char path[4096];
};
inline constexpr int most_temp_files = 4;
extern temp_slot temp_slots[most_temp_files];
extern char interrupt_message[4096 + 256];
extern char stop_message[4096 + 256];
// Removes every registered file (with calls safe in a signal handler);
// true when there was one.
bool remove_registered_files();
// Installs the interrupt handling once, unless interrupts are ignored.
void watch_for_interrupts();
}  // namespace platform

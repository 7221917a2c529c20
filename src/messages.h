// Message texts that more than one place reports, each written once so that
// a search finds every site that can print it.
#pragma once

namespace msg {
inline constexpr const char* region_too_long = "Error: region name too long.\n";
inline constexpr const char* world_unreadable = "Error: could not read world.dat or world.sav file.\n";
inline constexpr const char* world_name_unreadable = "Error: could not read world name.\n";
inline constexpr const char* another_run = "Error: another run is working on %s\n";
inline constexpr const char* world_read_failed = "Error: could not read world file: %s\n";
inline constexpr const char* new_world_write_failed = "Error: could not write new world file: %s\n";
inline constexpr const char* input_read_failed = "Error: could not read input file: %s\n";
inline constexpr const char* export_write_failed = "Error: could not write export to %s\n";
inline constexpr const char* not_regular = "Error: %s is not a regular file.\n";
inline constexpr const char* empty_list = "  list %s has no identifiers\n";
inline constexpr const char* exported_elsewhere = "Note: this dump was exported from %s.\n";
inline constexpr const char* system_reason = "  (%s)\n";
}  // namespace msg

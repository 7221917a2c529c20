// Finding a region's world file and reading the header fields the tool
// understands. Both functions report their failures; any result but
// `opened` or true means the run ends.
#pragma once

#include <cstdint>

#include "settings.h"
#include "world_source.h"

// The versions of the world format the tool knows.
constexpr unsigned world_version_a = 1329;  // shown as 5.49
constexpr unsigned world_version_b = 1349;  // shown as 5.69
// Bytes between the first eight and the first name, in each form.
constexpr int dat_filler = 138;  // world.dat: the world name at 146
constexpr int sav_filler = 86;   // world.sav: the fortress name at 94
// Longest world name taken without a warning.
constexpr unsigned longest_world_name = 100;

// busy: no world.dat while another run holds its lock, between the renames
// that place a new one.
enum class world_opening { opened, region_too_long, not_found, busy };

// Builds the region name and world path into `run` and opens the world into
// run.worldfile, falling back to the saved-game form (run.saved_game). With
// `open_it` false it only looks for the world (run.world_found) and fails
// only for a region name too long.
world_opening open_world(char* region_argument, settings& run, bool open_it = true);

// Reports a failed read of the world at `worldpath`: the damage found in a
// compressed world, or the system's reason.
void report_unreadable_world(const world_source& world, const char* worldpath);

// Checks and identifies the world at `worldpath` (the saved-game form when
// `saved_game`; `force` lets the checks that allow it go on) and leaves
// `world` at the object-name block, whose logical offset (the header's
// size) it returns.
bool read_world_header(world_source& world, const char* worldpath, bool saved_game, bool force,
                       std::int64_t& block_offset);

// Takes the lock on <world>.lock into `lock`: exclusive for a run that
// changes the world or its backups, shared for one that reads it. False
// after reporting.
bool take_lock(platform::file_lock& lock, const char* worldpath, bool exclusive);

// Takes the world's lock (<world>.lock: exclusive for a run that rewrites
// the world, shared for one that reads it) for the whole run and, unless
// `reopen` is false, opens the world again under it. False after reporting.
bool lock_world(settings& run, bool exclusive, bool reopen = true);

// Reports a failed read of the run's world; returns the exit status.
int world_read_failed(const settings& run);

// A world's backups: the files a rewrite left beside it, named
// <world file name>.<YYYYMMDD_HHMMSS> or <world file name>.<stamp>.<N>.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct backup_file {
  std::string name;  // without its folder
  std::string stamp;
  long counter;  // 0 for the stamp alone
  std::int64_t size;
};

// The backups of `world_names` (e.g. "world.dat") in `folder`, newest
// first: by stamp, then by counter.
std::vector<backup_file> find_backups(const char* folder, const std::vector<std::string>& world_names);

// The backup that `which` names: "latest", a stamp, a stamp and counter
// ("20260101_120000.2"), or its name as listed ("world.dat.20260101_120000.2").
// Null when there is none.
const backup_file* choose_backup(const std::vector<backup_file>& backups, const char* which);

// Writes the list to standard output, "%s  %lld bytes\n" a backup; false
// when it could not be written.
bool print_backups(const std::vector<backup_file>& backups);

// The bytes the backups take, those of unknown size left out.
std::int64_t total_size(const std::vector<backup_file>& backups);

// Removes from `folder` all but the first `keep` of `backups` (listed newest
// first), listing each removed one on standard output as print_backups
// does. The caller holds the exclusive lock of each world they belong to.
// Returns the exit status; reports the total or the first failure.
int prune_backups(const char* folder, const std::vector<backup_file>& backups, std::size_t keep);

struct settings;

// Puts `backup` (in `folder`) back as the world `worldpath`: copies it to
// <world>.TEMP, makes that durable, checks that it reads back as a world
// (the header checks, with `force` as given, and a whole object-name
// block) and only then moves the current world, if any, to a backup name
// of `stamp` and TEMP into place. The caller holds the world's exclusive
// lock. Returns the exit status; reports every step and failure.
int restore_backup(const char* folder, const backup_file& backup, const char* worldpath,
                   bool saved_game, bool force, const char* stamp);

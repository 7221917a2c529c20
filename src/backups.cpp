#include "backups.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <cerrno>
#include <memory>

#include "commands.h"
#include "file_stream.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"
#include "world_header.h"
#include "world_rewrite.h"
#include "world_source.h"

namespace {
bool digits(const std::string& text, std::size_t from, std::size_t count) {
  if (text.size() < from + count) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Whether `name` is "<world>.<stamp>" or "<world>.<stamp>.<N>".
bool parse_backup_name(const std::string& name, const std::string& world, backup_file& into) {
  if (name.size() < world.size() + 16 || name.compare(0, world.size(), world) != 0 ||
      name[world.size()] != '.') {
    return false;
  }
  const std::size_t stamp = world.size() + 1;
  if (!digits(name, stamp, 8) || name[stamp + 8] != '_' || !digits(name, stamp + 9, 6)) return false;
  into.stamp = name.substr(stamp, 15);
  into.counter = 0;
  const std::size_t after = stamp + 15;
  if (after == name.size()) return true;
  const std::size_t count = name.size() - after - 1;
  if (name[after] != '.' || count == 0 || count > 6 || !digits(name, after + 1, count) ||
      name[after + 1] == '0') {
    return false;
  }
  into.counter = std::strtol(name.c_str() + after + 1, nullptr, 10);
  return true;
}
}  // namespace

std::vector<backup_file> find_backups(const char* folder, const std::vector<std::string>& world_names) {
  std::vector<backup_file> found;
  platform::folder_listing listing;
  if (!listing.open(folder)) return found;
  char path[4096];
  for (const platform::folder_entry& entry : listing.entries()) {
    if (entry.kind != platform::entry_kind::file) continue;
    for (const std::string& world : world_names) {
      backup_file backup{entry.name, {}, 0, 0};
      if (!parse_backup_name(entry.name, world, backup)) continue;
      if (build_path(path, sizeof path, "%s/%s", folder, entry.name.c_str())) {
        backup.size = platform::size_of(path);
      }
      found.push_back(std::move(backup));
    }
  }
  std::sort(found.begin(), found.end(), [](const backup_file& a, const backup_file& b) {
    if (a.stamp != b.stamp) return a.stamp > b.stamp;
    if (a.counter != b.counter) return a.counter > b.counter;
    return a.name < b.name;
  });
  return found;
}

const backup_file* choose_backup(const std::vector<backup_file>& backups, const char* which) {
  if (std::strcmp(which, "latest") == 0) return backups.empty() ? nullptr : &backups.front();
  for (const backup_file& backup : backups) {
    const std::string named =
        backup.counter == 0 ? backup.stamp : backup.stamp + "." + std::to_string(backup.counter);
    if (named == which || backup.name == which) return &backup;
  }
  return nullptr;
}

namespace {
bool print_backup(const backup_file& backup) {
  return std::printf("%s  %lld bytes\n", backup.name.c_str(),
                     static_cast<long long>(backup.size)) >= 0;
}
}  // namespace

bool print_backups(const std::vector<backup_file>& backups) {
  for (const backup_file& backup : backups) {
    if (!print_backup(backup)) return false;
  }
  return std::fflush(stdout) == 0;
}

std::int64_t total_size(const std::vector<backup_file>& backups) {
  std::int64_t total = 0;
  for (const backup_file& backup : backups) total += std::max<std::int64_t>(backup.size, 0);
  return total;
}

int prune_backups(const char* folder, const std::vector<backup_file>& backups, std::size_t keep) {
  if (backups.size() <= keep) {
    report("Nothing to remove.\n");
    return 0;
  }
  const std::vector<backup_file> removed(backups.begin() + static_cast<std::ptrdiff_t>(keep),
                                         backups.end());
  bool listed = true;
  int count = 0;
  for (const backup_file& backup : removed) {
    char path[sizeof settings::worldpath + 64];
    if (!build_path(path, sizeof path, "%s/%s", folder, backup.name.c_str())) {
      report(msg::region_too_long);
      return 1;
    }
    if (!platform::delete_file(path)) {
      // What was removed is listed before the failure is told.
      std::fflush(stdout);
      report("Error: could not remove %s\n", path);
      report_reason(platform::last_failure().c_str());
      return 1;
    }
    ++count;
    listed = print_backup(backup) && listed;
  }
  if (!listed || std::fflush(stdout) != 0) {
    report("Error: could not write the report to standard output\n");
    return 1;
  }
  report("Removed %d backups, %lld bytes.\n", count, static_cast<long long>(total_size(removed)));
  return 0;
}

namespace {
// Copies the backup into TEMP and makes it durable; false after reporting.
bool copy_to_temp(const char* backup_path, file_stream& temp_file, const char* temp) {
  file_stream backup;
  bool not_regular = false;
  backup.adopt(platform::open_for_reading(backup_path, &not_regular));
  if (not_regular) {
    report(msg::not_regular, backup_path);
    return false;
  }
  if (!backup) {
    report("Error: can not open %s\n", backup_path);
    report_reason(platform::last_failure().c_str());
    return false;
  }
  platform::file_copier copier;
  for (;;) {
    const platform::file_copier::piece piece =
        copier.copy(backup.get(), temp_file.get(), std::int64_t{16} * 1024 * 1024);
    if (piece.result == platform::file_copier::piece::read_failed) {
      report("Error: could not read %s\n", backup_path);
      report_reason(platform::error_text(piece.error).c_str());
      return false;
    }
    if (piece.result == platform::file_copier::piece::write_failed) {
      report(msg::new_world_write_failed, temp);
      report_reason(platform::error_text(piece.error).c_str());
      return false;
    }
    if (piece.bytes == 0) break;
  }
  errno = 0;
  if (std::fflush(temp_file.get()) != 0 || !platform::sync_file(temp_file.get()) ||
      !temp_file.close()) {
    report(msg::new_world_write_failed, temp);
    report_reason(platform::error_text(errno).c_str());
    return false;
  }
  return true;
}

// Whether TEMP reads back as a world: its header passes the checks and its
// object-name block is whole.
bool reads_as_world(const char* temp, bool saved_game, bool force) {
  std::string reason;
  std::unique_ptr<world_source> world = open_world_source(temp, reason);
  if (!world) return false;
  std::int64_t block_offset = 0;
  return read_world_header(*world, temp, saved_game, force, block_offset) &&
         block_reads_back_whole(*world, -1);
}
}  // namespace

int restore_backup(const char* folder, const backup_file& backup, const char* worldpath,
                   bool saved_game, bool force, const char* stamp) {
  char backup_path[sizeof settings::worldpath + 64];
  char temp_path[sizeof settings::worldpath + 8];
  if (!build_path(backup_path, sizeof backup_path, "%s/%s", folder, backup.name.c_str()) ||
      !build_path(temp_path, sizeof temp_path, "%s.%s", worldpath, "TEMP")) {
    report(msg::region_too_long);
    return 1;
  }
  const platform::path_kind world_kind = platform::kind_of(worldpath);
  if (world_kind != platform::path_kind::file && world_kind != platform::path_kind::missing) {
    report(msg::not_regular, worldpath);
    return 1;
  }
  report("Restoring %s\n", backup_path);
  say_unchanged_on_stops(worldpath);
  platform::temp_file temp;
  file_stream temp_file;  // dropped before `temp`, which may remove the file
  temp_file.adopt(temp.create(temp_path));
  rewrite_result result = rewrite_result::not_started;
  if (!temp_file) {
    report("Error: can not create new world file: %s\n", temp_path);
    report_reason(platform::last_failure().c_str());
  } else {
    report("Writing to new world file: %s\n", temp_path);
    result = copy_to_temp(backup_path, temp_file, temp_path) ? rewrite_result::placed
                                                               : rewrite_result::stopped;
  }
  if (result == rewrite_result::placed && !reads_as_world(temp_path, saved_game, force)) {
    report("Error: %s is not a whole world; nothing changed.\n", backup_path);
    result = rewrite_result::refused;
  }
  if (result == rewrite_result::placed) {
    const bool world_exists = platform::kind_of(worldpath) != platform::path_kind::missing;
    result = place_world(worldpath, temp, stamp, world_exists);
  }
  report_unchanged_after(result, worldpath);
  return result == rewrite_result::placed ? 0 : 1;
}

namespace {
// The region's folder, "./data/save/<region>", converted to the platform's
// separator.
bool region_folder(const settings& run, char* folder, std::size_t size) {
  return build_path(folder, size, "%s%s", "./data/save/", run.region);
}

// The world names whose backups count: the world's own, or both forms when
// the region has no world.
std::vector<std::string> world_names(const settings& run) {
  const char* name = std::strrchr(run.worldpath, platform::path_separator);
  name = name == nullptr ? run.worldpath : name + 1;
  return run.world_found ? std::vector<std::string>{name}
                         : std::vector<std::string>{"world.dat", "world.sav"};
}

std::vector<backup_file> backups_of(const settings& run, const char* folder) {
  return find_backups(folder, world_names(run));
}
}  // namespace

int run_backups(settings& run, const run_context&) {
  char folder[sizeof settings::worldpath];
  region_folder(run, folder, sizeof folder);
  const std::vector<backup_file> backups = backups_of(run, folder);
  errno = 0;
  const bool written = backups.empty()
                           ? std::printf("No backups of %s.\n", run.worldpath) >= 0 &&
                                 std::fflush(stdout) == 0
                           : print_backups(backups);
  if (!written) {
    if (platform::reader_gone(errno)) return exit_error;
    report("Error: could not write the list of backups\n");
    return exit_error;
  }
  // On standard error, so that the list stays one backup a line.
  report("%d backups, %lld bytes in all.\n", shown_count(backups.size()),
         static_cast<long long>(total_size(backups)));
  return exit_done;
}

int run_restore(settings& run, const run_context&) {
  char folder[sizeof settings::worldpath];
  region_folder(run, folder, sizeof folder);
  const std::vector<backup_file> backups = backups_of(run, folder);
  const backup_file* chosen = choose_backup(backups, run.argfile);
  if (chosen == nullptr) {
    report("Error: no backup %s\n", run.argfile);
    if (backups.empty()) {
      std::printf("No backups of %s.\n", run.worldpath);
    } else {
      print_backups(backups);
    }
    std::fflush(stdout);
    return exit_error;
  }
  // The backup's name less its stamp names the world it restores.
  const std::size_t world_name = chosen->name.size() - chosen->stamp.size() - 1 -
                                 (chosen->counter == 0 ? 0 : std::to_string(chosen->counter).size() + 1);
  char worldpath[sizeof settings::worldpath];
  if (!build_path(worldpath, sizeof worldpath, "%s/%.*s", folder, static_cast<int>(world_name),
                  chosen->name.c_str())) {
    report(msg::region_too_long);
    return exit_error;
  }
  std::snprintf(run.worldpath, sizeof run.worldpath, "%s", worldpath);
  run.saved_game = chosen->name.starts_with("world.sav");
  if (!lock_world(run, true, false)) return exit_error;
  return restore_backup(folder, *chosen, run.worldpath, run.saved_game, run.force, timestamp);
}

// Removes all but the newest backups. Each world whose backups go is locked
// as a run that changes it locks it, so that no restore reads a backup
// while it goes and no placement makes one meanwhile.
int run_prune(settings& run, const run_context& context) {
  char folder[sizeof settings::worldpath];
  region_folder(run, folder, sizeof folder);
  std::vector<std::string> names = world_names(run);
  // A region without a world gets no lock file for a form with no backups.
  if (!run.world_found) {
    std::erase_if(names, [&folder](const std::string& name) {
      return find_backups(folder, {name}).empty();
    });
  }
  platform::file_lock locks[2];
  for (std::size_t i = 0; i < names.size(); ++i) {
    char worldpath[sizeof settings::worldpath];
    if (!build_path(worldpath, sizeof worldpath, "%s/%s", folder, names[i].c_str())) {
      report(msg::region_too_long);
      return exit_error;
    }
    if (!take_lock(locks[i], worldpath, true)) return exit_error;
  }
  return prune_backups(folder, find_backups(folder, names), context.keep);
}

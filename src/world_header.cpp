#include "world_header.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "compressed_world.h"
#include "file_stream.h"
#include "little_endian.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"

namespace {
// Whether the text reads as a non-zero number the way atoi reads it:
// optional sign, then leading digits. Overflow cannot turn digits into zero
// here, unlike atoi itself.
bool reads_as_nonzero_number(const char* text) {
  if (*text == '+' || *text == '-') ++text;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (*text != '0') return true;
  }
  return false;
}

bool may_go_on(bool force) {
  if (!force) return false;
  report("...but trying anyways.\n");
  return true;
}

// Whether the save folder's subfolder `region` holds a world file.
bool holds_world(const char* saves, const std::string& region) {
  char path[sizeof settings::worldpath];
  for (const char* name : {"world.dat", "world.sav"}) {
    if (build_path(path, sizeof path, "%s/%s/%s", saves, region.c_str(), name) &&
        platform::kind_of(path) == platform::path_kind::file) {
      return true;
    }
  }
  return false;
}

// Where a region that cannot be opened was looked for, and which regions
// are there instead.
void report_regions_here() {
  constexpr int most_shown = 20;
  char saves[16];
  build_path(saves, sizeof saves, "%s", "./data/save");
  if (platform::kind_of(saves) == platform::path_kind::missing) {
    report("rawgraft runs in the game's folder, the one that holds data/save.\n");
    return;
  }
  std::string regions;
  int shown = 0;
  platform::folder_listing listing;
  if (listing.open(saves)) {
    for (const platform::folder_entry& entry : listing.entries()) {
      if (entry.kind != platform::entry_kind::folder || !holds_world(saves, entry.name)) continue;
      if (shown == most_shown) {
        regions += ", ...";
        break;
      }
      if (shown++ > 0) regions += ", ";
      regions += entry.name;
    }
  }
  if (shown == 0) {
    report("No saved regions in ./data/save.\n");
  } else {
    report("Regions here: %s\n", regions.c_str());
  }
}

// A read error is not the short file the header checks look for: it is
// reported with the system's reason and ends the run.
bool read_failed(world_source& world, const char* worldpath) {
  report_unreadable_world(world, worldpath);
  return false;
}
}  // namespace

void report_unreadable_world(const world_source& world, const char* worldpath) {
  if (const chunk_damage* damage = damage_of(world)) {
    report("Error: compressed world file is damaged at byte %lld: %s\n",
           static_cast<long long>(damage->offset), damage->reason.c_str());
    return;
  }
  report(msg::world_read_failed, worldpath);
  report_reason(world.failure().c_str());
}

namespace {
// Where the file system has no hard links, a run placing a new world.dat
// renames the old one to its backup name a moment before the new one takes
// the name, holding the world's lock: a world.dat missing while its lock is
// held is being replaced, not gone. (The hard-link placement never leaves
// the name empty; the lock file is only looked for, never made, here.)
bool being_replaced(const char* worldpath) {
  char lock_path[sizeof settings::worldpath + 8];
  if (!build_lock_path(lock_path, sizeof lock_path, worldpath) ||
      platform::kind_of(lock_path) != platform::path_kind::file) {
    return false;
  }
  platform::file_lock probe;
  return probe.take(lock_path, false) == platform::file_lock::result::busy;
}
}  // namespace

world_opening open_world(char* region_argument, settings& run, bool open_it) {
  const char* prefix = reads_as_nonzero_number(region_argument) ? "region" : "";
  const int length =
      std::snprintf(run.region, sizeof run.region, "%s%s", prefix, region_argument);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof run.region ||
      !build_path(run.worldpath, sizeof run.worldpath, "%s%s/%s", "./data/save/", run.region,
                  "world.dat")) {
    run.region[0] = '\0';
    report(msg::region_too_long);
    return world_opening::region_too_long;
  }
  // Looks for (or opens) the world at run.worldpath.
  std::string reason;
  bool not_regular = false;  // a FIFO, device or folder is never a world
  const auto look = [&] {
    if (open_it) run.worldfile = open_world_source(run.worldpath, reason, &not_regular);
    run.world_found = open_it ? run.worldfile != nullptr
                              : platform::kind_of(run.worldpath) != platform::path_kind::missing;
    return run.world_found || not_regular;
  };
  run.saved_game = false;
  if (!look()) {
    if (being_replaced(run.worldpath)) {
      report(msg::another_run, run.worldpath);
      return world_opening::busy;
    }
    // The run that held the lock may have placed the new world since.
    if (!look()) {
      run.saved_game = true;
      std::memcpy(run.worldpath + std::strlen(run.worldpath) - 4, ".sav", 4);
      look();
    }
  }
  if (not_regular) {
    report(msg::not_regular, run.worldpath);
    return world_opening::not_found;
  }
  if (open_it && !run.world_found) {
    report("Error: can not open region file: %s\n", run.worldpath);
    report_reason(reason.c_str());
    report_regions_here();
    return world_opening::not_found;
  }
  return world_opening::opened;
}

bool read_world_header(world_source& world, const char* worldpath, bool saved_game, bool force,
                       std::int64_t& block_offset) {
  counted_string name;  // the header's names, read into one record
  std::uint8_t fields[8];
  const read_status first = world.read(fields, 8);
  if (first == read_status::failed) return read_failed(world, worldpath);
  if (first != read_status::ok) {
    report(msg::world_unreadable);
    return false;
  }
  const unsigned version = load_le16(fields);
  const unsigned funky = load_le16(fields + 2);
  const bool compressed = (fields[4] | fields[5] | fields[6] | fields[7]) != 0;

  if (version != world_version_a && version != world_version_b) {
    report("Error: world file version unsupported: %d.%d\n", fields[1], fields[0]);
    if (!may_go_on(force)) return false;
  }
  if (compressed && !world.compressed()) {
    report("Error: world file is compressed! Only uncompressed regions can be modified.\n");
    return false;
  }
  if (funky != 0) {
    report("Error: world file looks funky.\n");
    if (!may_go_on(force)) return false;
  }
  read_status status = world.skip(saved_game ? sav_filler : dat_filler);
  if (status == read_status::ok) status = read_counted_string(world, name);
  if (status == read_status::failed) return read_failed(world, worldpath);
  if (name.s == nullptr) {
    report(msg::world_name_unreadable);
    return false;
  }
  if (saved_game) {
    report("Fortress Identified: %s\n", name.s.get());
    // An unreadable world name is shown as (null), but a read error ends.
    if (read_counted_string(world, name) == read_status::failed) return read_failed(world, worldpath);
  }
  report("World Identified: %s\n", name.s ? name.s.get() : "(null)");
  if (world.compressed()) report("World is compressed; it will stay compressed.\n");
  if (name.len > longest_world_name) {
    report(
        "World name is unlikely long.  This is usually because the file is corrupt, compressed, "
        "or an unsupported version.\n");
    if (!may_go_on(force)) return false;
  }
  if (saved_game) {
    // Past the end the block's readers see the end; only an error stops here.
    std::uint8_t unused[4];
    if (world.read(unused, 4) == read_status::failed) return read_failed(world, worldpath);
  }
  block_offset = world.position();
  return true;
}

// One run at a time may rewrite a world, and none may read it meanwhile.
// The lock is on <world>.lock, which is never renamed.
bool take_lock(platform::file_lock& lock, const char* worldpath, bool exclusive) {
  char lock_path[sizeof settings::worldpath + 8];
  if (!build_lock_path(lock_path, sizeof lock_path, worldpath)) {
    report(msg::region_too_long);
    return false;
  }
  errno = 0;
  switch (lock.take(lock_path, exclusive)) {
    case platform::file_lock::result::busy:
      report(msg::another_run, worldpath);
      return false;
    case platform::file_lock::result::failed:
      // Reading from a folder that cannot be written needs no lock; a link
      // at the lock's name is refused all the same.
      if (!exclusive && errno != ELOOP) return true;
      report("Error: can not lock %s\n", lock_path);
      report_reason(platform::error_text(errno != 0 ? errno : EACCES).c_str());
      return false;
    case platform::file_lock::result::taken: break;
  }
  return true;
}

// The world is opened again under the lock, since another run may have
// placed a new one since the first look.
bool lock_world(settings& run, bool exclusive, bool reopen) {
  if (!take_lock(run.lock, run.worldpath, exclusive)) return false;
  if (!reopen) return true;
  std::string reason;
  bool not_regular = false;
  run.worldfile = open_world_source(run.worldpath, reason, &not_regular);
  if (not_regular) {
    report(msg::not_regular, run.worldpath);
    return false;
  }
  if (!run.worldfile) {
    report("Error: can not open region file: %s\n", run.worldpath);
    report_reason(reason.c_str());
    return false;
  }
  return true;
}

int world_read_failed(const settings& run) {
  report_unreadable_world(*run.worldfile, run.worldpath);
  return exit_error;
}

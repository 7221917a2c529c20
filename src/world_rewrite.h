// Writing a new world file beside the old one and putting it in place.
//
// Rewriting a world never changes the world file in place. The caller holds
// the world's exclusive lock (<world>.lock) throughout, so one run at a time
// works on a world.
//
//   1. Write aside: create <world>.TEMP afresh through its owner (removing
//      one that a stopped run left, and never writing through a name that
//      links elsewhere), copy the world header into it and let the command
//      produce the new object-name block. When the new block equals the old
//      one byte for byte, stop here: TEMP is removed and the world is left
//      as it is. Otherwise copy the rest of the old world after the block.
//   2. Make it durable: flush, sync to stable storage and close the TEMP
//      file, and give it the world's permission bits.
//   3. Check: the new block must read back whole from TEMP, ending where the
//      copied rest begins. (The check runs between step 2's flush and its
//      sync, while the disk writes TEMP out.)
//   Any failure up to here, and a failed check, stops the rewrite: TEMP is
//   removed, the world untouched, and the last line says "<world> is
//   unchanged.".
//   Then the placement, in one of two protocols:
//   4. Back up: make <world>.<timestamp>, or the first of
//      <world>.<timestamp>.1, .2, ... that is free, a second name (a hard
//      link) of the world. A link never replaces a file.
//   5. Sync the folder, so that the backup's name is durable before the
//      world's name changes.
//   6. Commit: rename TEMP over the world's name, replacing it in one step.
//   7. Sync the folder.
//   From step 4 to step 7 the world's name always names a whole world: the
//   old one until step 6, the new one after it. When step 6 fails, the
//   backup's name and TEMP are removed and the world stays as it was.
//
//   Where the file system has no hard links (FAT and exFAT drives, some
//   network shares), step 4 renames the world to its backup name instead,
//   never replacing, the folder is synced so that this rename is durable
//   first, and step 6 renames TEMP to the world's name, again never
//   replacing; both renames are done with interrupts held. Between
//   the two the world's name is empty for a moment, and a power cut there
//   leaves the old world under its backup name and the new one under TEMP.
//   This gap is why a world found missing while its lock is held counts as
//   being replaced (see open_world).
//
// An interrupt before step 6 removes TEMP and the backup's name, if made,
// and ends the run with the world unchanged. From step 6 on the change is
// complete: an interrupt is ignored and the run finishes its messages. The
// rewrite reports every step and failure itself; its result tells the
// driver how the run ended.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform.h"
#include "world_source.h"

// How a block producer ended.
enum class block_result { done, world_read_failed, write_failed, input_read_failed };

// Writes the new block to `out`, reading the old one from `world` (at the
// block offset) where it needs to, and leaves `world` at the first byte
// after the old block.
using block_producer = std::function<block_result(world_source& world, world_sink& out)>;

struct rewrite_job {
  const char* worldpath;
  const char* stamp;  // names the backup
  world_source& world;
  std::int64_t block_offset;
  block_producer produce;
  const char* input_name;  // the producer's input, named when it cannot be read
  // Why the producer's input could not be read, filled in by the producer.
  const std::string* input_failure = nullptr;
};

enum class rewrite_result {
  placed,          // the new world is in place and the old one backed up
  unchanged,       // the new block equals the old one: nothing was changed
  not_started,     // TEMP could not be created; nothing was written
  stopped,         // a read, write or check failed before the placement
  refused,         // the new block does not read back whole; said so
  backup_failed,   // step 4 failed: the world is untouched
  placing_failed,  // step 6 failed: the world is untouched
  left_under_backup,  // the fallback's second rename failed: the old world
                      // only under its backup name, the new one under TEMP
};

rewrite_result rewrite_world(const rewrite_job& job);

// Steps 4 to 7 for a TEMP file that is complete, durable and checked and
// whose stream is closed: the world (when there is one) backed up, TEMP
// committed to the world's name.
rewrite_result place_world(const char* worldpath, platform::temp_file& temp, const char* stamp,
                           bool world_exists);

// What an interrupt or a consistency stop says while a world's TEMP exists:
// "\nInterrupted: <world> is unchanged.\n" and "<world> is unchanged.\n".
void say_unchanged_on_stops(const char* worldpath);
// Says "<world> is unchanged." after a stop that left the world as it was
// and has not said so itself.
void report_unchanged_after(rewrite_result result, const char* worldpath);

// The exit status a rewrite ends the run with.
int rewrite_status(rewrite_result result);

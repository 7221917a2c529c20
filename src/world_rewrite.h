// Writing a new world file beside the old one and putting it in place.
//
// Rewriting a world never changes the world file in place. The caller holds
// the world's exclusive lock (<world>.lock) throughout, so one run at a time
// works on a world.
//
//   1. Write aside: create <world>.TEMP afresh (removing one that a stopped
//      run left, and never writing through a name that links elsewhere),
//      copy the world header into it and let the command produce the new
//      object-name block. When the new block equals the old one byte for
//      byte, stop here: TEMP is removed and the world is left as it is.
//      Otherwise copy the rest of the old world after the new block.
//   2. Make it durable: flush, sync to stable storage and close the TEMP
//      file, and give it the world's permission bits. Any read or write
//      failure up to here stops the rewrite with the world untouched; the
//      TEMP file stays for inspection.
//   3. Check: the new block must read back whole from TEMP, ending where the
//      copied rest begins; when it does not, TEMP is removed and the world
//      is left as it is. (The check runs between step 2's flush and its
//      sync, while the disk writes TEMP out.)
//   4. Back up: rename the world to <world>.<timestamp>, or to the first of
//      <world>.<timestamp>.1, .2, ... that is free. The rename never
//      replaces a file, so an existing backup is never lost.
//   5. Commit: rename the TEMP file to the world's name, again never
//      replacing, and sync the folder so the renames survive a power cut.
//
// An interrupt before step 4 removes TEMP and ends the run with the world
// unchanged; steps 4 and 5 run with interrupts held, so an interrupt never
// leaves the world's name empty. At every moment the old world's bytes are
// on disk under the world's name or under the backup name, and the world's
// name only ever holds a complete file. The rewrite reports every step and
// failure itself; its result tells the driver how the run ended.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
  stopped,         // a read, write or check failed before the renames
  backup_failed,   // step 4 failed: the world is untouched, the new one under TEMP
  placing_failed,  // step 5 failed: the old world only under its backup name
};

rewrite_result rewrite_world(const rewrite_job& job);

// Steps 4 and 5 for a TEMP file that is complete, durable and checked: the
// world (when there is one) to its backup name, TEMP to the world's name,
// with interrupts held. The caller armed the interrupt cleanup for `temp`.
rewrite_result place_world(const char* worldpath, const char* temp, const char* stamp,
                           bool world_exists);

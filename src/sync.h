// Brings the world's identifier lists up to date with the region's raw files.
#pragma once

#include "platform.h"
#include "world_rewrite.h"

// The region's raw object folder: its path and its open listing.
struct raw_folder {
  const char* path;
  platform::folder_listing& listing;
};

// Block producer: merges each section of the old block (read from `world`)
// with the identifiers the raw files define and writes it to `out`.
block_result sync_raws(world_source& world, world_sink& out, const raw_folder& raws);

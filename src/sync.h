// Brings the world's identifier lists up to date with the region's raw files.
#pragma once

#include <string>
#include <vector>

#include "platform.h"
#include "world_rewrite.h"

// The region's raw object folder: its path and its open listing.
struct raw_folder {
  const char* path;
  platform::folder_listing& listing;
};

// A dry run's additions for one section: how many, and their report lines
// ("  %s\n") in the order sync would append them.
struct section_additions {
  int count = 0;
  std::string lines;
};
// Per section 1..19.
using sync_additions = std::vector<section_additions>;

// Block producer: merges each section of the old block (read from `world`)
// with the identifiers the raw files define and writes it to `out`. Given
// `additions`, it collects the new identifiers there instead of reporting
// them, and reports no totals (a dry run).
block_result sync_raws(world_source& world, world_sink& out, const raw_folder& raws,
                       sync_additions* additions = nullptr);

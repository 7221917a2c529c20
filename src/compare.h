// The dry runs' reports: what a sync would add, and how a dump's lists
// differ from the world's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "world_source.h"

// A block's lists by position: the creature_layer groups, then the
// sections in the order they stand. The views point into `bytes`.
struct block_views {
  std::string bytes;
  std::int32_t group_count = 0;
  std::vector<std::vector<std::string_view>> groups;
  std::vector<std::vector<std::string_view>> sections;
};

// Reads the world's block as export does (a count of 0 or an unreadable
// string is a consistency stop) into `lists`. Only a read error returns
// anything but ok.
read_status read_world_lists(world_source& world, block_views& lists);

// Splits a block that import wrote: as many groups and sections as its
// bytes hold (at most 19 sections); what is cut short ends the lists.
void split_block(std::string bytes, block_views& lists);

// Writes to standard output how `dump` differs from `world`, list by list,
// or "No change.\n". `exported_from` (or null) starts it with a note, and
// `refused` ends it with one. False when standard output failed.
bool print_comparison(const block_views& world, const block_views& dump, const char* exported_from,
                      bool refused);

// Writes to standard output what a sync would add: per section with
// additions, "%s: %d to add\n" and the identifiers; then the totals.
bool print_additions(const std::vector<std::vector<std::string>>& additions);

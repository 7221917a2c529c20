// The dry runs' reports: what a sync would add, and how a dump's lists
// differ from the world's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "object_block.h"
#include "sync.h"
#include "world_source.h"

// A block's bytes and its lists by position: the creature_layer groups,
// then the sections in the order they stand. Each list is the range of
// `bytes` that holds it (its count and its strings), so two lists are
// compared as bytes first and taken apart only when they differ.
struct block_views {
  struct list_range {
    std::size_t begin;
    std::size_t end;
  };
  // The block, in whichever of the two holds it.
  std::string_view bytes;
  assembly_buffer read;    // as read from the world
  std::string written;     // as import wrote it
  std::int32_t group_count = 0;
  std::vector<list_range> groups;
  std::vector<list_range> sections;
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
bool print_additions(const sync_additions& additions);

// The dry runs' reports: what a sync would add, and how a dump's lists
// differ from the world's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "object_block.h"
#include "sync.h"
#include "world_source.h"

// Compares the lists of a new block, as import writes it into this sink,
// with the world's lists, read one by one from the start of the world's
// block (as export reads them: a count of 0 or an unreadable string is a
// consistency stop) as the new ones come; only the report is kept. Lists
// go by position: the creature_layer groups, then the sections.
class list_comparer final : public world_sink {
 public:
  explicit list_comparer(world_source& world);
  // False when the world could not be read.
  bool write(const void* data, std::size_t size) override;
  // Compares the world's lists that the new block did not have with none.
  bool finish() override;
  // Writes the report to standard output: `exported_from` (or null) starts
  // it with a note; "No change.\n" when nothing changes. False when
  // standard output failed.
  bool print(const char* exported_from) const;

 private:
  bool take_lists(std::string_view& bytes);
  bool start_world();
  bool compare_next(std::string_view new_list, bool new_whole);
  // Positions of groups: as many as the block with more has.
  std::int64_t groups() const { return std::max<std::int64_t>(new_groups_, world_groups_); }

  world_source& world_;
  std::string pending_;           // the start of a new list not whole yet
  std::int64_t new_groups_ = -1;  // -1 until the new block's count is read
  std::int32_t world_groups_ = 0;
  std::int64_t new_lists_ = 0;   // the new block's lists taken
  std::int64_t lists_done_ = 0;  // positions compared: groups, then sections
  bool whole_ = true;  // false: importing the block would be refused
  bool changed_ = false;
  assembly_buffer world_list_;
  std::string report_;
  std::vector<std::string> empty_lists_;  // named as the import's refusal names them
};

// Writes to standard output what a sync would add: per section with
// additions, "%s: %d to add\n" and the identifiers; then the totals.
bool print_additions(const sync_additions& additions);

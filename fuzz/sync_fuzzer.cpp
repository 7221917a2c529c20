// Sync's scanner of raw object files, merging into the world's block.
//
// Input: the world's object-name block, the marker line "@@raw@@", then the
// one raw file of the region's raw folder. Without the marker the whole input
// is the raw file and the block is a small made-up world's. The first sync
// reads the block through a window that the input's length picks (see
// harness.h).
//
// Beyond "no crash, no leak", a sync that completes is judged:
//  - it reads exactly the old block, so that the rest of the world is copied
//    from the right place;
//  - the creature_layer part is unchanged, every section keeps its strings in
//    order, and what it appends is trimmed, upper case, and found by the
//    plain byte search nowhere in what the section held before it;
//  - a second sync of its result with the same raw file changes nothing.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "duplicate_index.h"
#include "harness.h"
#include "little_endian.h"
#include "platform.h"
#include "sync.h"
#include "text_util.h"

namespace {
constexpr char marker[] = "@@raw@@\n";
std::string raw_path;
platform::folder_listing raw_listing;
std::string raw_file;
byte_vector made_up_block;

std::optional<byte_vector> sync_of(byte_view block, std::size_t window = plain_window_size) {
  const std::unique_ptr<world_source> world = world_over(block, window);
  byte_sink out;
  try {
    const block_result result = sync_raws(*world, out, raw_folder{raw_path.c_str(), raw_listing});
    if (result != block_result::done) fault("sync over memory reported a failed read or write");
    const std::int64_t read_up_to = world->position();
    const std::optional<block_lists> walked = walk_block(block, empty_strings::kept);
    if (!walked) fault("sync completed on a block that ends inside a list");
    if (read_up_to < 0 || static_cast<std::size_t>(read_up_to) != walked->end) {
      fault("sync left the world at %lld, the block ends at %zu",
            static_cast<long long>(read_up_to), walked->end);
    }
    return std::move(out.bytes);
  } catch (const consistency_stopped&) {
    // A stop inside sync leaves message batching on.
    report_batching(false);
  }
  return std::nullopt;
}

std::string record_of(const std::string& text) {
  std::string record(2, '\0');
  store_le16(record.data(), static_cast<std::uint16_t>(text.size()));
  return record + text;
}

bool is_identifier(const std::string& text) {
  if (text.empty()) return false;  // sync never adds an empty identifier
  if (is_blank(text.front()) || is_blank(text.back())) return false;
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return c == '\0' || c == ']' || (c >= 'a' && c <= 'z'); });
}

void check_merge(const block_lists& before, const block_lists& after) {
  if (after.groups != before.groups || after.lists.size() != before.lists.size()) {
    fault("sync changed the creature_layer part");
  }
  const std::size_t groups = before.lists.size() - 19;
  for (std::size_t i = 0; i < after.lists.size(); ++i) {
    const std::vector<std::string>& old_list = before.lists[i];
    const std::vector<std::string>& new_list = after.lists[i];
    if (i < groups ? new_list != old_list
                   : new_list.size() < old_list.size() ||
                         !std::equal(old_list.begin(), old_list.end(), new_list.begin())) {
      fault("sync did not keep list %zu as it was", i);
    }
    if (i < groups) continue;
    // What the section held while it was scanned: the world's count, then
    // its strings and each one appended so far.
    std::string held(4, '\0');
    store_le32(held.data(), static_cast<std::uint32_t>(old_list.size()));
    for (const std::string& text : old_list) held += record_of(text);
    for (std::size_t k = old_list.size(); k < new_list.size(); ++k) {
      const std::string& added = new_list[k];
      if (!is_identifier(added)) {
        fault("sync added \"%s\" to section %zu", printable(added).c_str(), i - groups + 1);
      }
      const std::string record = record_of(added);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(held.data());
      if (find_bytes(bytes, held.size(), reinterpret_cast<const std::uint8_t*>(record.data()),
                     record.size())) {
        fault("sync added \"%s\" to section %zu though the section held it",
              printable(added).c_str(), i - groups + 1);
      }
      held += record;
    }
  }
}

byte_vector make_up_block() {
  std::vector<std::vector<std::string>> lists = {
      {"LAYER_SKIN", "LAYER_FAT"}, {"SHELL"}, {"OBSIDITE", "copperish"}, {"GLOWMOSS"},
      {"BODY_BASIC"}, {"GLOSS_PLAIN"}, {"SNOWCAT", "MARSH_TOAD"}, {"ITEM_TOOL_LADLE"},
      {"BUILDING_KILNHOUSE"}, {"HILLFOLK"}, {"STONE"}, {"SYM_EARTH"}, {"TONGUE_HILL"},
      {"AMBER_RED"}, {"ROUNDEL"}, {"STRIPES"}, {"BAKE_CLAY"}, {"STONE_TEMPLATE"},
      {"SKIN_TEMPLATE"}, {"STANDARD_PLAN"}, {"ANIMAL_VARIANT"}};
  lists[6].push_back(std::string(300, 'Q'));  // a record longer than 255 bytes
  return encode_block(2, lists);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_tool();
  raw_path = private_folder();
  // A subfolder in the listing, which the scan must pass over.
  if (mkdir((raw_path + "/nested").c_str(), 0700) != 0) fault("cannot make a subfolder");
  raw_file = raw_path + "/creature_fuzz.txt";
  if (!raw_listing.open(raw_path.c_str())) fault("cannot list %s", raw_path.c_str());
  made_up_block = make_up_block();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const byte_view input(data, size);
  const auto split = std::search(input.begin(), input.end(), marker, marker + sizeof marker - 1);
  byte_view block = made_up_block;
  byte_view raw = input;
  if (split != input.end()) {
    block = input.first(static_cast<std::size_t>(split - input.begin()));
    raw = input.subspan(block.size() + sizeof marker - 1);
  }
  write_file(raw_file, raw);

  const std::optional<byte_vector> once = sync_of(block, window_for(static_cast<unsigned>(size)));
  if (!once) return 0;
  const std::optional<block_lists> before = walk_block(block, empty_strings::kept);
  const std::optional<block_lists> after = walk_block(*once, empty_strings::kept);
  if (!after || after->end != once->size()) fault("sync wrote a block its readers cannot read");
  check_merge(*before, *after);

  // A sync that added nothing read exactly the same block as it wrote, so
  // a second pass could only repeat it.
  if (std::equal(once->begin(), once->end(), block.begin(), block.begin() + before->end)) return 0;
  const std::optional<byte_vector> twice = sync_of(*once);
  if (!twice) fault("a second sync stopped on the first one's block");
  if (*twice != *once) fault("a second sync with the same raw file changed the block");
  return 0;
}

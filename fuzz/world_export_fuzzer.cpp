// Export's path through an untrusted world file: locating and identifying the
// world, the header checks, and the block readers.
//
// Input: one flags byte (bit 0: force prefix, bit 1: the world is a saved
// game, world.sav; bits 2-4: the window a plain world is read through, 0 for
// the tool's own: see harness.h), then the whole world file.
//
// Beyond "no crash, no leak", each input is judged:
//  - the block starts where the header's fields end;
//  - export completes exactly when the block is well formed, and its dump is
//    the one the block describes;
//  - skipping the block (as import does before copying the rest) ends where
//    export's reading ended, or the rest of the world would be copied wrong;
//  - a dump of identifiers that survive a round trip imports to the very
//    same block bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "export.h"
#include "harness.h"
#include "little_endian.h"
#include "object_block.h"
#include "settings.h"
#include "world_header.h"

namespace {
std::string game_folder;
int start_folder = -1;

// Whether export and import carry the text through unchanged.
bool survives_round_trip(const std::string& text) {
  return !text.empty() && text.size() <= 32766 && text.find('\0') == std::string::npos &&
         text.find('\n') == std::string::npos && !is_blank(text.front()) &&
         !is_blank(text.back()) && text.rfind("====", 0) != 0;
}

// Opens the world the way the tool does, from the game folder.
bool open_world_in_game_folder(bool saved_game, settings& run) {
  char region[] = "d";
  region[0] = saved_game ? 's' : 'd';
  if (chdir(game_folder.c_str()) != 0) fault("cannot enter %s", game_folder.c_str());
  const bool opened = open_world(region, run) == world_opening::opened;
  if (fchdir(start_folder) != 0) fault("cannot return to the start folder");
  return opened;
}

// Where the block starts, read from the header layout alone: 8 fields
// bytes, 138 (world.dat) or 86 (world.sav) bytes not looked at, the name or
// the fortress name, and for world.sav the world name, read as far as the
// file goes, and 4 more bytes, again as far as the file goes. Only for a
// header that was accepted.
std::size_t block_offset_of(byte_view world, bool saved_game) {
  auto length_at = [&](std::size_t at) -> std::size_t { return load_le16(world.data() + at); };
  std::size_t at = saved_game ? 94 : 146;
  at += 2 + length_at(at);
  if (!saved_game) return at;
  if (world.size() - at < 2) return world.size();
  const std::size_t name = length_at(at);
  at += 2;
  return std::min(world.size(), at + name + 4);
}

void check_export(byte_view world, world_source& source, std::int64_t block_offset) {
  // A saved game that ends inside its second name or the 4 bytes after it
  // has its block offset at the end of the file (the header check lets that
  // through); the block is then empty.
  const byte_view block =
      world.subspan(std::min(static_cast<std::size_t>(block_offset), world.size()));
  const std::optional<block_lists> walked = walk_block(block, empty_strings::refused);

  const std::optional<std::string> dump = export_from(source);
  if (dump.has_value() != walked.has_value()) {
    fault("export %s a block that is %s", dump ? "completed" : "stopped on",
          walked ? "well formed" : "malformed");
  }

  const std::int64_t export_end = source.position();
  if (source.rewind() != read_status::ok ||
      source.skip(static_cast<std::uint64_t>(block_offset)) == read_status::failed) {
    fault("cannot return to the block: %s", source.failure().c_str());
  }
  try {
    if (skip_world_block(source) == read_status::failed) fault("skipping the block failed to read");
    if (dump && source.position() != export_end) {
      fault("skipping the block ends at %lld, export read up to %lld",
            static_cast<long long>(source.position()), static_cast<long long>(export_end));
    }
  } catch (const consistency_stopped& stop) {
    if (dump) fault("skipping a block that export read stopped: %s", stop.condition);
  }
  if (!dump) return;

  if (static_cast<std::size_t>(export_end) != (world.size() - block.size()) + walked->end) {
    fault("export read up to %lld, the block ends at %lld", static_cast<long long>(export_end),
          static_cast<long long>(world.size() - block.size() + walked->end));
  }
  const std::string expected = expected_dump(*walked);
  if (*dump != expected) {
    fault("export wrote\n%s\nexpected\n%s", printable(*dump).c_str(), printable(expected).c_str());
  }

  if (walked->groups < 0) return;  // written back as 0 groups
  for (const std::vector<std::string>& list : walked->lists) {
    for (const std::string& text : list) {
      if (!survives_round_trip(text)) return;
    }
  }
  const std::optional<byte_vector> imported = import_of("exported for a round trip\n" + *dump);
  if (!imported) fault("import stopped on an unchanged export");
  const byte_view original = block.first(walked->end);
  if (!std::equal(original.begin(), original.end(), imported->begin(), imported->end())) {
    fault("round trip changed the block (%zu bytes in, %zu out)", original.size(),
          imported->size());
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_tool();
  start_folder = open(".", O_RDONLY | O_DIRECTORY);
  if (start_folder < 0) fault("cannot open the start folder");
  game_folder = private_folder();
  for (const char* folder : {"/data", "/data/save", "/data/save/d", "/data/save/s"}) {
    if (mkdir((game_folder + folder).c_str(), 0700) != 0) fault("cannot make %s", folder);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool force = (data[0] & 1) != 0;
  const bool saved_game = (data[0] & 2) != 0;
  const byte_view world(data + 1, size - 1);
  write_file(game_folder + (saved_game ? "/data/save/s/world.sav" : "/data/save/d/world.dat"),
             world);

  settings run;
  if (open_world_in_game_folder(saved_game, run)) {
    const std::size_t window = window_for(data[0] >> 2);
    if (!run.worldfile->compressed() && window != plain_window_size) {
      const std::string path = game_folder + "/" + (run.worldpath + 2);  // after "./"
      std::FILE* file = std::fopen(path.c_str(), "rb");
      if (file == nullptr) fault("cannot open %s", path.c_str());
      run.worldfile = plain_world_source(file, window);
    }
    try {
      std::int64_t block_offset = 0;
      if (read_world_header(*run.worldfile, run.worldpath, run.saved_game, force, block_offset)) {
        const std::size_t expected = block_offset_of(world, saved_game);
        if (static_cast<std::size_t>(block_offset) != expected) {
          fault("the block offset is %lld, the header ends at %zu",
                static_cast<long long>(block_offset), expected);
        }
        check_export(world, *run.worldfile, block_offset);
      }
    } catch (const consistency_stopped&) {
    }
  }
  return 0;
}

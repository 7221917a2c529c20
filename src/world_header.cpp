#include "world_header.h"

#include <cstdio>
#include <cstring>

#include "object_block.h"
#include "rawgraft.h"
#include "text_util.h"

namespace {
bool saved_game = false;
counted_string world_name;  // the header's names, read into one record

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

bool may_go_on() {
  if (!g_settings.force) return false;
  report("...but trying anyways.\n");
  return true;
}
}  // namespace

bool open_world(char* region_argument) {
  const char* prefix = reads_as_nonzero_number(region_argument) ? "region" : "";
  const int length = std::snprintf(g_settings.region, sizeof g_settings.region, "%s%s", prefix,
                                   region_argument);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof g_settings.region) {
    g_settings.region[0] = '\0';
    report("Error: region name too long.\n");
    return false;
  }
  if (!build_path(g_settings.worldpath, sizeof g_settings.worldpath, "%s%s/%s", "./data/save/",
                  g_settings.region, "world.dat")) {
    report("Error: region name too long.\n");
    return false;
  }
  saved_game = false;
  if (g_settings.worldfile.open(g_settings.worldpath, "rb")) return true;
  saved_game = true;
  std::memcpy(g_settings.worldpath + std::strlen(g_settings.worldpath) - 4, ".sav", 4);
  if (g_settings.worldfile.open(g_settings.worldpath, "rb")) return true;
  report("Error: can not open region file: %s\n", g_settings.worldpath);
  return false;
}

bool read_world_header(std::int64_t& block_offset) {
  std::FILE* world = g_settings.worldfile.get();
  std::uint8_t fields[8];
  if (std::fread(fields, 1, 8, world) != 8) {
    report("Error: could not read world.dat or world.sav file.\n");
    return false;
  }
  const unsigned version = fields[0] | (fields[1] << 8);
  const unsigned funky = fields[2] | (fields[3] << 8);
  const bool compressed = (fields[4] | fields[5] | fields[6] | fields[7]) != 0;

  if (version != 1329 && version != 1349) {
    report("Error: world file version unsupported: %d.%d\n", fields[1], fields[0]);
    if (!may_go_on()) return false;
  }
  if (compressed) {
    report("Error: world file is compressed! Only uncompressed regions can be modified.\n");
    return false;
  }
  if (funky != 0) {
    report("Error: world file looks funky.\n");
    if (!may_go_on()) return false;
  }
  if (std::fseek(world, saved_game ? 86 : 138, SEEK_CUR) != 0 ||
      read_counted_string(world, world_name) == nullptr) {
    report("Error: could not read world name.\n");
    return false;
  }
  if (saved_game) {
    report("Fortress Identified: %s\n", world_name.s.get());
    read_counted_string(world, world_name);  // an unreadable world name is shown as (null)
  }
  report("World Identified: %s\n", world_name.s ? world_name.s.get() : "(null)");
  if (world_name.len > 100) {
    report(
        "World name is unlikely long.  This is usually because the file is corrupt, compressed, "
        "or an unsupported version.\n");
    if (!may_go_on()) return false;
  }
  if (saved_game && std::fseek(world, 4, SEEK_CUR) != 0) {
    report("Error: could not read world name.\n");
    return false;
  }
  const long offset = std::ftell(world);
  if (offset < 0) {
    report("Error: could not read world.dat or world.sav file.\n");
    return false;
  }
  block_offset = offset;
  return true;
}

// Writes a small, entirely made-up game folder under the given directory:
//   data/save/region1/world.dat          a world with a plausible header
//   data/save/region1/raw/objects/*.txt   raw files of several object types
// The raw files define some identifiers the world does not list yet, so a
// sync of the sample has something to add.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "little_endian.h"

namespace fs = std::filesystem;

namespace {
void put_u16(std::string& out, unsigned value) {
  char bytes[2];
  store_le16(bytes, static_cast<std::uint16_t>(value));
  out.append(bytes, 2);
}
void put_u32(std::string& out, std::uint32_t value) {
  char bytes[4];
  store_le32(bytes, value);
  out.append(bytes, 4);
}
void put_counted(std::string& out, const std::string& text) {
  put_u16(out, static_cast<unsigned>(text.size()));
  out += text;
}
void put_list(std::string& out, const std::vector<std::string>& list) {
  put_u32(out, static_cast<std::uint32_t>(list.size()));
  for (const std::string& text : list) put_counted(out, text);
}

std::string sample_world() {
  std::string world;
  put_u16(world, 1329);  // version
  put_u16(world, 0);
  put_u32(world, 0);     // not compressed
  for (int i = 0; i < 138; ++i) world += static_cast<char>(i * 7 % 251);
  put_counted(world, "Mirelund the Hollow Coast");

  const std::vector<std::vector<std::string>> groups = {
      {"BOG_LURKER", "REED_SPRITE"}, {"SALT_CRAB"}, {"GLOAM_OWL", "MOSS_HOUND", "TIDE_SLUG"}};
  put_u32(world, static_cast<std::uint32_t>(groups.size()));
  for (const auto& group : groups) put_list(world, group);

  const std::vector<std::vector<std::string>> sections = {
      {"GRANITE_GREY", "SLATE_BLUE", "FERRITE"},         // inorganic
      {"BLUEROOT", "MARSH_TULIP"},                       // plant
      {"BASIC_1PARTBODY", "FOURLEGS"},                   // body
      {"CLAWGLOSS"},                                     // bodygloss
      {"BOG_LURKER", "REED_SPRITE", "SALT_CRAB"},        // creature
      {"ITEM_WEAPON_OARBLADE", "ITEM_TOOL_NET"},         // item
      {"BUILDING_SMOKEHOUSE"},                           // building
      {"MARSH_FOLK", "HILL_CLANS"},                      // entity
      {"ABBEY", "BRINE", "CANDLE"},                      // word
      {"SEA", "STONE"},                                  // symbol
      {"MARSH_TONGUE"},                                  // translation
      {"AMBER", "TEAL"},                                 // color
      {"ROUND", "JAGGED"},                               // shape
      {"SPECKLED"},                                      // color_pattern
      {"SMOKE_FISH"},                                    // reaction
      {"STONE_TEMPLATE", "WOOD_TEMPLATE"},               // material_template
      {"SKIN_TEMPLATE"},                                 // tissue_template
      {"STANDARD_MATERIALS"},                            // body_detail_plan
      {"GIANT_VARIANT"}};                                // creature_variation
  for (const auto& section : sections) put_list(world, section);

  // What follows the block is copied unchanged by the tool.
  for (int i = 0; i < 4096; ++i) world += static_cast<char>((i * 31 + 5) % 256);
  return world;
}

struct raw_file {
  const char* name;
  const char* text;
};

const raw_file raw_files[] = {
    {"creature_marsh.txt",
     "creature_marsh\n\n[OBJECT:CREATURE]\n\n"
     "[CREATURE:BOG_LURKER]\n\t[NAME:bog lurker:bog lurkers:bog lurking]\n\t[CREATURE_TILE:'b']\n\n"
     "[CREATURE:FEN_HERON]\n\t[NAME:fen heron:fen herons:fen heron]\n\n"
     "[CREATURE: peat_mole ]\n\t[NAME:peat mole:peat moles:peat mole]\n"},
    {"item_tools.txt",
     "item_tools\n\n[OBJECT:ITEM]\n\n[ITEM_TOOL:ITEM_TOOL_NET]\n[NAME:net:nets]\n\n"
     "[ITEM_TOOL:ITEM_TOOL_EEL_TRAP]\n[NAME:eel trap:eel traps]\n\n"
     "[ITEM_WEAPON:ITEM_WEAPON_GAFF]\n[NAME:gaff:gaffs]\n"},
    {"language_words.txt",
     "language_words\n\n[OBJECT:LANGUAGE]\n\n[WORD:BRINE]\n[WORD:DRIFTWOOD]\n"
     "[SYMBOL:SEA]\n[SYMBOL:FOG]\n[TRANSLATION:REED_SPEECH]\n"},
    {"descriptor_color.txt",
     "descriptor_color\n\n[OBJECT:DESCRIPTOR_COLOR]\n\n[COLOR:AMBER]\n[COLOR:PEAT_BROWN]\n"},
    {"plant_marsh.txt",
     "plant_marsh\n\n[OBJECT:PLANT]\n\n[PLANT:BLUEROOT]\n[PLANT:CATTAIL_GREY]\n"},
    {"notes.txt", "Modder's notes: no object line here, so nothing is read.\n[CREATURE:NOT_READ]\n"},
};
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <game folder>\n", argv[0]);
    return 2;
  }
  const fs::path region = fs::path(argv[1]) / "data" / "save" / "region1";
  const fs::path objects = region / "raw" / "objects";
  std::error_code error;
  fs::create_directories(objects, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", objects.string().c_str(),
                 error.message().c_str());
    return 1;
  }
  // Leftovers of earlier tries (backups, TEMP files) would make runs differ.
  for (const auto& entry : fs::directory_iterator(region)) {
    if (entry.is_regular_file()) fs::remove(entry.path());
  }
  const std::string world = sample_world();
  std::ofstream(region / "world.dat", std::ios::binary).write(world.data(),
                                                              static_cast<std::streamsize>(world.size()));
  for (const raw_file& raw : raw_files) {
    std::ofstream(objects / raw.name, std::ios::binary) << raw.text;
  }
  std::printf("%s\n", fs::path(argv[1]).string().c_str());
  return 0;
}

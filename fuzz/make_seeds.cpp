// Writes the fuzz targets' seed corpora and dictionaries:
//
//   make_seeds <fuzz folder>
//
// Every seed is a small made-up input that reaches one behaviour worth
// starting from. Inputs that once found a fault are kept apart, under
// corpus/<target>/regressions/, and are never written here.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "little_endian.h"

namespace {
namespace fs = std::filesystem;

const char* const section_names[19] = {
    "inorganic", "plant",  "body",   "bodygloss", "creature",    "item",  "building",
    "entity",    "word",   "symbol", "translation", "color",     "shape", "color_pattern",
    "reaction",  "material_template", "tissue_template", "body_detail_plan",
    "creature_variation"};

fs::path root;

void put_file(const fs::path& folder, const std::string& name, const std::string& bytes) {
  fs::create_directories(folder);
  std::FILE* file = std::fopen((folder / name).c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror((folder / name).c_str());
    std::exit(1);
  }
}

void put(const std::string& target, const std::string& name, const std::string& bytes) {
  put_file(root / "corpus" / target, name, bytes);
}

std::string u16(unsigned value) {
  std::string bytes(2, '\0');
  store_le16(bytes.data(), static_cast<std::uint16_t>(value));
  return bytes;
}
std::string u32(std::uint32_t value) {
  std::string bytes(4, '\0');
  store_le32(bytes.data(), value);
  return bytes;
}
std::string counted(const std::string& text) { return u16(static_cast<unsigned>(text.size())) + text; }

std::vector<int> table_order() {
  std::vector<int> order;
  for (int i = 0; i < 19; ++i) order.push_back(i);
  return order;
}

struct block {
  std::vector<std::vector<std::string>> groups = {{"SKIN_LAYER", "FUR_LAYER"}, {"SCALE_LAYER"}};
  std::vector<std::vector<std::string>> sections = {
      {"OBSIDITE", "PALE_SLATE"}, {"GLOWMOSS"},   {"BODY_PLAIN"},    {"GLOSS_SHEEN"},
      {"SNOWCAT", "MARSH_TOAD"},  {"ITEM_LADLE"}, {"BUILDING_KILN"}, {"HILLFOLK"},
      {"STONE", "RIVER"},         {"SYM_EARTH"},  {"TONGUE_HILL"},   {"AMBER"},
      {"ROUNDEL"},                {"STRIPES"},    {"BAKE_CLAY"},     {"STONE_TEMPLATE"},
      {"SKIN_TEMPLATE"},          {"PLAN_BASIC"}, {"VARIANT_TALL"}};
  std::optional<std::int32_t> group_count;  // stored instead of the real number

  std::string encode() const {
    std::string out = u32(static_cast<std::uint32_t>(
        group_count ? *group_count : static_cast<std::int32_t>(groups.size())));
    for (const auto* lists : {&groups, &sections}) {
      for (const std::vector<std::string>& list : *lists) {
        out += u32(static_cast<std::uint32_t>(list.size()));
        for (const std::string& text : list) out += counted(text);
      }
    }
    return out;
  }

  // The sections are written in `order` (indexes into section_names).
  std::string dump(const std::vector<int>& order = table_order()) const {
    std::string out = "**dump of a made-up world**\n";
    char header[64];
    for (std::size_t i = 0; i < groups.size(); ++i) {
      std::snprintf(header, sizeof header, "\n====creature_layer=%08zu====\n", i);
      out += header;
      for (const std::string& text : groups[i]) out += text + "\n";
    }
    for (int i : order) {
      out += std::string("\n====") + section_names[i] + "====\n";
      for (const std::string& text : sections[i]) out += text + "\n";
    }
    return out + "\n====END====\n";
  }
};

struct header {
  unsigned version = 1329;
  unsigned funky = 0;
  std::uint32_t compressed = 0;
  std::string fortress = "Cinderhold";
  std::string world = "Marrowfen";

  std::string fields() const { return u16(version) + u16(funky) + u32(compressed); }
  std::string dat() const { return fields() + std::string(138, '\x11') + counted(world); }
  std::string sav() const {
    return fields() + std::string(86, '\x22') + counted(fortress) + counted(world) + u32(0x5a5a5a5a);
  }
};

const std::string tail = "TAIL" + std::string(12, '\x7f');

void world_export_seeds() {
  const auto dat = [](const std::string& name, const header& h, const block& b, char flags = 0) {
    put("world_export", name, std::string(1, flags) + h.dat() + b.encode() + tail);
  };
  dat("plain_dat", {}, {});
  put("world_export", "plain_sav", "\x02" + header{.version = 1349}.sav() + block{}.encode() + tail);
  block no_groups;
  no_groups.groups.clear();
  dat("no_groups", {}, no_groups);
  block negative;
  negative.group_count = -2;
  negative.groups.clear();
  dat("negative_group_count", {}, negative);
  dat("version_forced", {.version = 1330}, {}, 1);
  dat("funky_forced", {.funky = 7}, {}, 1);
  dat("compressed", {.compressed = 1}, {});
  dat("long_name_forced", {.world = std::string(101, 'M')}, {}, 1);
  put("world_export", "sav_empty_world_name", "\x02" + header{.world = ""}.sav() + block{}.encode());
  put("world_export", "sav_ends_after_fortress",
      "\x02" + header{}.fields() + std::string(86, '\x22') + counted("Cinderhold"));

  std::string zero_count = header{}.dat() + block{}.encode();
  const std::string plant = u32(1) + counted("GLOWMOSS");
  zero_count.replace(zero_count.find(plant), plant.size(), u32(0));
  put("world_export", "zero_count", std::string(1, '\0') + zero_count);

  block empty;
  empty.sections[3] = {"GLOSS_SHEEN", ""};
  dat("empty_string", {}, empty);
  const std::string whole = header{}.dat() + block{}.encode();
  put("world_export", "truncated_block", std::string(1, '\0') + whole.substr(0, whole.size() - 7));

  block odd;
  odd.sections[4] = {" LEADING", "TRAILING ", "TWO\nLINES", std::string("NUL\0BYTE", 8), "====X",
                     std::string(300, 'W'), "tab\tinside"};
  dat("strings_that_do_not_round_trip", {}, odd);
}

void import_seeds() {
  const auto dump = [](const std::string& name, const std::string& text, char flags = 0) {
    put("import", name, std::string(1, flags) + text);
  };
  const std::string clean = block{}.dump();
  dump("clean", clean);

  std::string spaced;
  for (std::size_t start = 0; start < clean.size();) {
    const std::size_t end = clean.find('\n', start);
    const std::string line = clean.substr(start, end - start);
    spaced += (line.rfind("====", 0) == 0 || line.empty() ? line : "  " + line + " \t") + "\r\n\n";
    start = end + 1;
  }
  dump("spaced_crlf", spaced);
  dump("missing_end", clean.substr(0, clean.find("\n====END====")));

  std::vector<int> order = table_order();
  std::swap(order[1], order[2]);
  const std::string swapped = block{}.dump(order);
  dump("swapped", swapped);
  dump("swapped_forced", swapped, 1);

  std::string twice = clean;
  twice.insert(twice.find("\n====END===="), "\n====creature_variation====\nEXTRA\n====color====\n");
  dump("section_twice_forced", twice, 1);
  dump("no_header", "**just a title**\nSNOWCAT\n==not a header==\n");

  block no_groups;
  no_groups.groups.clear();
  dump("first_header_inorganic", no_groups.dump());

  std::string layer_late = clean;
  layer_late.insert(layer_late.find("====word===="), "====creature_layer=00000009====\nLATE\n");
  dump("creature_layer_after_sections_forced", layer_late, 1);

  std::string unknown = clean;
  unknown.insert(unknown.find("====shape===="), "  ====moss====\nMOSSY\n");
  dump("unknown_section", unknown);

  block empty_section;
  empty_section.sections[11].clear();
  dump("empty_section", empty_section.dump());

  std::string mixed_case = clean;
  mixed_case.replace(mixed_case.find("====color_pattern===="), 21, "====Color_Pattern====");
  dump("mixed_case_header", mixed_case);
}

void sync_seeds() {
  const auto raw = [](const std::string& name, const std::string& text) { put("sync", name, text); };
  raw("creature_tags",
      "creature_marsh\n\n[OBJECT:CREATURE]\n\n[CREATURE:dwarfkin ]\n[creature: DWARFKIN]\n"
      "\t[CREATURE_TILE:'D']\n[CREATURE:marsh_toad][CREATURE:TWO_ON_A_LINE]\n[CREATURE:]\n"
      "[CREATURE:no_close\nCREATURE:NO_BRACKET]\n[CREATURE:Snow Cat]\n");
  raw("item_tags",
      "item_tools\n[OBJECT:ITEM]\n[ITEM_TOOL:ladle]\n[ITEM:BARE]\n[ITEM_WEAPON:ROD_OF_ASH]\n"
      "[item_tool:LADLE]\n");
  raw("building_tags",
      "building_kilns\n[OBJECT:BUILDING]\n[BUILDING_WORKSHOP:kiln]\n[BUILDINGX:NOT_TAKEN]\n"
      "[BUILDING_FURNACE:SMELTERY]\n");
  raw("language_tags",
      "language_hill\n[OBJECT:LANGUAGE]\n[WORD:STONE]\n[WORD:MOSS]\n[SYMBOL:SYM_WATER]\n"
      "[TRANSLATION:TONGUE_VALE]\n");
  raw("descriptor_color", "[OBJECT:DESCRIPTOR_COLOR]\n[COLOR:AMBER]\n[COLOR:TEAL_DARK]\n");
  raw("descriptor_shape", "[OBJECT:DESCRIPTOR_SHAPE]\n[SHAPE:ROUNDEL]\n[SHAPE:STAR_FIVE]\n");
  raw("descriptor_pattern", "[OBJECT:DESCRIPTOR_PATTERN]\n[COLOR_PATTERN:SPOTS]\n");
  const char* const plain_types[] = {"inorganic",         "plant",           "body",
                                     "bodygloss",         "entity",          "reaction",
                                     "material_template", "tissue_template", "body_detail_plan",
                                     "creature_variation"};
  for (const char* type : plain_types) {
    std::string upper = type;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    raw(std::string("type_") + type,
        "[OBJECT:" + upper + "]\n[" + upper + ":FIRST_" + upper + "]\n[" + type + ":second]\n");
  }
  raw("no_object_line", "[CREATURE:ORPHAN]\n");
  raw("object_with_space", "[OBJECT: CREATURE]\n[CREATURE:SPACED]\n");
  raw("object_without_close", "[OBJECT:CREATURE\n[CREATURE:OPEN_OBJECT]\n");
  raw("second_object_line_ignored", "[OBJECT:ITEM]\n[OBJECT:CREATURE]\n[CREATURE:IGNORED]\n");
  raw("long_identifier", "[OBJECT:CREATURE]\n[CREATURE:" + std::string(300, 'Q') + "]\n[CREATURE:" +
                             std::string(256, 'R') + "]\n");

  block world;
  world.sections[0] = {"copperish", "OBSIDITE"};
  world.sections[4] = {"SNOWCAT", "", std::string("ZERO\0INSIDE", 11), std::string(300, 'Q')};
  raw("world_and_raw", world.encode() + "@@raw@@\n" +
                           "[OBJECT:INORGANIC]\n[INORGANIC:COPPERISH]\n[INORGANIC:obsidite]\n");
  raw("world_and_creature_raw",
      world.encode() + "@@raw@@\n" +
          "[OBJECT:CREATURE]\n[CREATURE:snowcat]\n[CREATURE:ZERO]\n[CREATURE:" +
          std::string(300, 'Q') + "]\n");
  block negative;
  negative.group_count = -3;
  negative.groups.clear();
  raw("negative_groups_and_raw", negative.encode() + "@@raw@@\n[OBJECT:PLANT]\n[PLANT:REED]\n");
}

void duplicate_index_seeds() {
  const auto program = [](const std::string& name, const std::string& steps) {
    put("duplicate_index", name, steps);
  };
  const auto world = [](const std::string& text) {
    return std::string(1, 0) + static_cast<char>(text.size()) + text;
  };
  const auto identifier = [](const std::string& text) {
    return std::string(1, 1) + static_cast<char>(text.size()) + text;
  };
  program("aligned", u32(2) + world("ABC") + world("DEF") + identifier("ABC") +
                         identifier("XYZ") + identifier("XYZ") + identifier(""));
  program("misaligned", u32(3) + world(std::string("\x03\0ABC", 5)) + world("GH\x02") +
                            identifier("ABC") + identifier("") + std::string(1, 2) + u16(6) +
                            std::string(1, 3) + u16(4) + std::string(1, 2));
  std::string long_world = u32(1) + std::string(1, 0) + "\x81\x2c" + std::string(300, 'L') +
                           std::string(1, 1) + "\x81\x2c" + std::string(300, 'L') +
                           identifier(std::string(100, 'L'));
  program("long_records", long_world);
  program("new_section", u32(70000) + world("ONE") + std::string(1, 4) + u32(1) +
                             identifier("ONE") + identifier(""));
}

void raw_scan_seeds() {
  // section index, fgets lines before the scan (the smallest scanner block, as
  // it is below 4), u16 repeats, prefix \x01 middle \x01 suffix
  const auto scan = [](const std::string& name, int section, int skipped, unsigned repeats,
                       const std::string& prefix, const std::string& middle,
                       const std::string& suffix) {
    put("raw_scan", name,
        std::string{static_cast<char>(section), static_cast<char>(skipped)} + u16(repeats) +
            prefix + "\x01" + middle + "\x01" + suffix);
  };
  const int creature = 5;
  scan("small_file", creature, 1, 2, "[OBJECT:CREATURE]\n",
       "[CREATURE:MOSSBACK]\n\t[CREATURE_TILE:'m']\n[Creature: tallfolk ]\n", "[creature:LAST]");
  scan("long_line_in_pieces", creature, 1, 3000, "[OBJECT:CREATURE]\n", "filler[creature:X]",
       "\n[CREATURE:AFTER]\n");
  scan("marker_across_a_piece_end", creature, 0, 32760, "", "a", "[creature:CUT]\n[CREATURE:WHOLE]\n");
  scan("past_a_block", creature, 1, 40000, "[OBJECT:CREATURE]\n",
       "[CREATURE:DWARFKIN]\nsome filler text\n", "[CREATURE:TAIL]");
  const char with_zeros[] = "[ITEM_TOOL:LADLE]\r\n[item_\0tool:X]\n\0[ITEM_WEAPON:ROD]\n";
  scan("crlf_and_zero_bytes", 6, 2, 3, "[OBJECT:ITEM]\r\n\r\n",
       std::string(with_zeros, sizeof with_zeros - 1), "");
  scan("language_sections", 11, 1, 1, "[OBJECT:LANGUAGE]\n",
       "[TRANSLATION:VALE]\n[translationx:NO]\n[[translation:TWO]\n", "");
}

std::string deflated(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string stream(size, '\0');
  compress2(reinterpret_cast<Bytef*>(stream.data()), &size,
            reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
            Z_DEFAULT_COMPRESSION);
  stream.resize(size);
  return stream;
}

void compressed_chunks_seeds() {
  // flags (bit 0 recipe, bit 1 real file), read seed, then the file or recipe
  const auto file = [](const std::string& name, char flags, const std::string& bytes) {
    put("compressed_chunks", name, std::string{flags, '\x2a'} + bytes);
  };
  const auto chunk = [](const std::string& bytes) {
    const std::string stream = deflated(bytes);
    return u32(static_cast<std::uint32_t>(stream.size())) + stream;
  };
  // What follows bytes 0-7 in the logical content: the rest of the header,
  // the block and a tail, cut into chunks inside the name and its count.
  const std::string start = header{.compressed = 1}.fields();
  const std::string logical = header{}.dat().substr(8) + block{}.encode() + tail;
  file("chunks", 0, start + chunk(logical.substr(0, 139)) + chunk(logical.substr(139, 4)) +
                        chunk(logical.substr(143)));
  file("chunks_in_a_real_file_twice", 6,
       start + chunk(logical.substr(0, 151)) + chunk(logical.substr(151)));
  file("one_byte_chunks", 0, start + chunk("A") + chunk("B") + chunk("") + chunk("C"));
  std::string bad_check = chunk(logical);
  bad_check.back() = static_cast<char>(bad_check.back() ^ 0x40);
  file("bad_check_then_more_twice", 6, start + chunk("first") + bad_check + chunk("after"));
  file("left_over_bytes", 0, start + u32(deflated("x").size() + 2) + deflated("x") + "zz");
  file("header_only", 0, start);
  // recipe pieces: kind, u16 length, bytes
  const auto piece = [](int kind, const std::string& bytes) {
    return std::string(1, static_cast<char>(kind)) + u16(static_cast<unsigned>(bytes.size())) + bytes;
  };
  file("recipe", 1, start + piece(0, logical.substr(0, 200)) + piece(4 * 9, logical.substr(200)) +
                        piece(2, "flipped") + piece(0, "after"));
  file("recipe_raw_pieces_twice", 7, start + piece(0, "whole") + piece(1, u32(0)) + piece(0, "x"));
  file("recipe_past_the_first_window", 1, start + piece(3 + 4 * 40, "abc") + piece(0, "after"));
  file("recipe_a_million_bytes", 1, start + piece(3, "ab") + piece(0, "after"));
  file("recipe_past_the_limit", 1, start + piece(3 + 4, "c") + piece(0, "after"));
}

// Inputs for faults found and fixed, replayed by run.sh before it fuzzes.
void regressions() {
  const auto length = [](std::size_t n) {
    return n < 0x80 ? std::string(1, static_cast<char>(n))
                    : std::string{static_cast<char>(0x80 | (n >> 8)), static_cast<char>(n & 0xFF)};
  };
  // A world string of 32,000 "A" and identifiers of 16,705 bytes whose
  // length field reads "AA": each byte search compares some 16,700 bytes at
  // each of 15,000 places.
  std::string slow = u32(1) + std::string(1, 5) + length(32000) + "A";
  for (int i = 0; i < 20; ++i) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", i);
    slow += std::string(1, 6) + length(16701) + "A" + length(4) + digits;
  }
  put_file(root / "corpus" / "duplicate_index" / "regressions", "slow_long_record_search", slow);

  // Damage that left stored bytes unread, then a rewind: the first chunk
  // was inflated from those bytes.
  const std::string first = deflated("first"), x = deflated("x");
  put_file(root / "corpus" / "compressed_chunks" / "regressions", "rewind_after_left_over_bytes",
           std::string{'\x04', '\x2a'} + header{.compressed = 1}.fields() +
               u32(static_cast<std::uint32_t>(first.size())) + first +
               u32(static_cast<std::uint32_t>(x.size() + 2)) + x + "zz");
}

void dictionaries() {
  fs::create_directories(root / "dict");
  const auto write = [](const std::string& target, const std::vector<std::string>& words) {
    std::FILE* file = std::fopen((root / "dict" / (target + ".dict")).c_str(), "w");
    for (const std::string& word : words) {
      std::fputc('"', file);
      for (unsigned char c : word) {
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7f) {
          std::fprintf(file, "\\x%02x", c);
        } else {
          std::fputc(c, file);
        }
      }
      std::fputs("\"\n", file);
    }
    std::fclose(file);
  };
  std::vector<std::string> import_words = {"====", "====END====", "====creature_layer=00000000====",
                                           "\n", "\r\n", " \t"};
  std::vector<std::string> sync_words = {"[OBJECT:", "]", ":", "@@raw@@\n", "ITEM_", "BUILDING_",
                                         "LANGUAGE", "DESCRIPTOR_COLOR", "DESCRIPTOR_SHAPE",
                                         "DESCRIPTOR_PATTERN"};
  for (const char* name : section_names) {
    import_words.push_back(std::string("====") + name + "====");
    sync_words.push_back(std::string("[") + name + ":");
    sync_words.push_back(name);
  }
  write("import", import_words);
  write("sync", sync_words);
  write("raw_scan", sync_words);
  write("world_export", {u16(1329), u16(1349), u32(0), u32(1), u32(0xFFFFFFFF), u16(0)});
  write("compressed_chunks", {"\x78\x9c", "\x78\x01", "\x78\xda", "\x78\x5e", "\x78\xbb",
                              u32(0), u32(1), u32(0xFFFFFFFF), std::string("\x00\x00\xff\xff", 4)});
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <fuzz folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  world_export_seeds();
  import_seeds();
  sync_seeds();
  duplicate_index_seeds();
  raw_scan_seeds();
  compressed_chunks_seeds();
  regressions();
  dictionaries();
  return 0;
}

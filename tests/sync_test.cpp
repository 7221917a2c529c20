// Sync: merging the identifiers defined in a region's raw object files into
// the world's object-name block, checked end to end on the rewritten world.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/testsupport.hpp"

namespace ts = testsupport;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string kRegion = "region1";
const fs::path kRegionDir = ts::game_folder::region_dir(kRegion);
const fs::path kWorld = ts::game_folder::world_file(kRegion);
const std::string kRawPath = "./data/save/region1/raw/objects";
const std::string kHeader = ts::world_dat_header();
const std::string kTail = ts::world_tail();

// Identifiers a sync must append, per section, in order.
using additions = std::map<std::string, std::vector<std::string>>;
// What a section's pass prints after its "Synchronizing" line.
using pass_lines = std::map<std::string, std::string>;

std::string listed(const std::vector<std::string>& ids) {
  std::string lines;
  for (const auto& id : ids) lines += "  " + id + "\n";
  return lines;
}

pass_lines lines_of(const additions& add) {
  pass_lines lines;
  for (const auto& [section, ids] : add) lines[section] = listed(ids);
  return lines;
}

ts::world_block plus(ts::world_block block, const additions& add) {
  for (const auto& [section, ids] : add) {
    for (const auto& id : ids) block.section(section).push_back(id);
  }
  return block;
}

std::string preamble() {
  return ts::banner_and_usage() +
         "Reading Region region1 at ./data/save/region1/world.dat\n"
         "World Identified: Testworld\n"
         "Writing to new world file: ./data/save/region1/world.dat.TEMP\n"
         "Beginning World Sychronization...\n";
}

// The section passes from inorganic through `last`.
std::string passes(const pass_lines& lines, std::string_view last = "creature_variation") {
  std::string text;
  for (std::string_view name : ts::section_names) {
    text += "Synchronizing " + std::string(name) + "...\n";
    if (auto it = lines.find(std::string(name)); it != lines.end()) text += it->second;
    if (name == last) break;
  }
  return text;
}

// Everything a successful sync prints, adding `added` identifiers to
// `lists` lists, with `skipped` telling the raw files no pass read; the
// rest of the world is one chunk.
// With `unchanged`, what a sync prints that finds nothing to add.
std::string sync_report(const pass_lines& lines, std::size_t added, int lists,
                        const std::string& skipped = "", bool unchanged = false) {
  const std::string head = preamble() + passes(lines) + "Added " + std::to_string(added) +
                           " identifiers to " + std::to_string(lists) + " lists.\n" + skipped;
  if (unchanged) return head + "No change: ./data/save/region1/world.dat already holds these lists.\n";
  return head + "Copying remainder of world data from original.." + "." +
         "\nFinished writing new world file.\n"
         "Backup successful: ./data/save/region1/world.dat." +
         std::string(ts::timestamp_placeholder) + "\nNew World Placed.\n\nDone.\n";
}

std::string cannot_open(const std::string& name) {
  return "Error: could not open " + kRawPath + "/" + name + ".  Skipping.\n" +
         ts::reason("No such file or directory");
}

std::string skipped(const std::string& name, const std::string& reason) {
  return "Skipped " + name + ": " + reason + "\n";
}

struct parsed_world {
  std::int32_t groups = 0;
  std::vector<std::vector<std::string>> layer;
  std::array<std::vector<std::string>, 19> sections;
  std::string rest;
};

// Splits header + block + rest; none when the header changed or the block
// is cut short.
std::optional<parsed_world> parse_world(std::string_view bytes) {
  if (bytes.substr(0, kHeader.size()) != kHeader) return std::nullopt;
  std::size_t pos = kHeader.size();
  auto count = [&](std::int32_t& n) {
    if (bytes.size() - pos < 4) return false;
    n = static_cast<std::int32_t>(ts::get_u32(bytes, pos));
    pos += 4;
    return true;
  };
  auto list = [&](std::vector<std::string>& into) {
    std::int32_t n = 0;
    if (!count(n) || n < 0) return false;
    for (std::int32_t i = 0; i < n; ++i) {
      if (bytes.size() - pos < 2) return false;
      const std::size_t length = ts::get_u16(bytes, pos);
      pos += 2;
      if (bytes.size() - pos < length) return false;
      into.emplace_back(bytes.substr(pos, length));
      pos += length;
    }
    return true;
  };
  parsed_world world;
  if (!count(world.groups)) return std::nullopt;
  for (std::int32_t g = 0; g < world.groups; ++g) {
    if (!list(world.layer.emplace_back())) return std::nullopt;
  }
  for (auto& section : world.sections) {
    if (!list(section)) return std::nullopt;
  }
  world.rest = bytes.substr(pos);
  return world;
}

void expect_same_list(const std::vector<std::string>& got, const std::vector<std::string>& want,
                      std::string_view name) {
  if (got.size() + want.size() <= 2000) {
    EXPECT_EQ(got, want) << name;
    return;
  }
  EXPECT_EQ(got.size(), want.size()) << name;
  EXPECT_TRUE(got == want) << name << " differs";
}

// The first block of sections, as in a world file that ends after them.
std::string block_cut_after(ts::world_block block, std::size_t kept_sections) {
  for (std::size_t k = kept_sections; k < block.sections.size(); ++k) {
    block.sections[k].clear();
    block.section_counts[k].reset();
  }
  std::string bytes = block.encode();
  bytes.resize(bytes.size() - 4 * (block.sections.size() - kept_sections));
  return bytes;
}

std::vector<std::string> many(std::size_t count, const std::string& name) {
  return std::vector<std::string>(count, name);
}

class Sync : public ::testing::Test {
 protected:
  void put_world(const ts::world_block& block) const {
    folder.write_world(kRegion, kHeader + block.encode() + kTail);
  }
  void raw(std::string_view name, std::string_view text) const {
    folder.write_raw(kRegion, name, text);
  }
  ts::run_result sync(std::chrono::seconds timeout = std::chrono::seconds(60)) const {
    ts::run_options options;
    options.timeout = timeout;
    return ts::run_rawgraft(folder, {"1", "sync"}, "", options);
  }

  // A sync that must succeed with exactly these reports and leave `want` as
  // the world's block, the old world kept as the backup; or, when `want` is
  // the world's block already, leave the world alone.
  void expect_sync(const pass_lines& lines, const ts::world_block& want,
                   const std::string& skipped = "") const {
    const std::string before = folder.read(kWorld);
    const auto old = parse_world(before);
    ASSERT_TRUE(old.has_value());
    std::size_t added = 0;
    int lists = 0;
    for (std::size_t k = 0; k < want.sections.size(); ++k) {
      added += want.sections[k].size() - old->sections[k].size();
      lists += want.sections[k].size() != old->sections[k].size() ? 1 : 0;
    }
    const auto r = sync();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    const bool unchanged = before == kHeader + want.encode() + kTail;
    EXPECT_EQ(ts::mask_timestamps(r.err), sync_report(lines, added, lists, skipped, unchanged));
    if (unchanged) {
      EXPECT_EQ(folder.list(kRegionDir), (std::vector<std::string>{"raw", "world.dat"}));
    } else {
      expect_placed(r.err, before);
    }
    expect_world(want);
  }

  void expect_placed(const std::string& err, const std::string& before) const {
    const auto stamps = ts::find_timestamps(err);
    ASSERT_EQ(stamps.size(), 1u);
    const std::string backup = "world.dat." + stamps[0];
    EXPECT_EQ(folder.list(kRegionDir), (std::vector<std::string>{"raw", "world.dat", backup}));
    EXPECT_TRUE(folder.read(kRegionDir / backup) == before) << "backup differs from the old world";
  }

  void expect_world(const ts::world_block& want) const {
    const std::string got = folder.read(kWorld);
    const std::string expected = kHeader + want.encode() + kTail;
    const auto g = parse_world(got);
    const auto e = parse_world(expected);
    ASSERT_TRUE(e.has_value());
    ASSERT_TRUE(g.has_value()) << "the new world's block does not parse";
    EXPECT_EQ(g->groups, e->groups);
    EXPECT_EQ(g->layer, e->layer);
    for (std::size_t k = 0; k < g->sections.size(); ++k) {
      expect_same_list(g->sections[k], e->sections[k], ts::section_names[k]);
    }
    EXPECT_TRUE(g->rest == e->rest) << "rest of the world changed";
    EXPECT_TRUE(got == expected) << "world bytes differ";
  }

  // A backup name holds the second, so a second sync in the same second
  // would find it taken.
  void drop_backups() const {
    for (const auto& name : folder.list(kRegionDir)) {
      if (name.starts_with("world.dat.")) fs::remove(folder.path(kRegionDir / name));
    }
  }

  ts::game_folder folder;
};

struct raw_file {
  std::string name;
  std::string text;
  additions adds;
};

TEST_F(Sync, EverySectionTakesItsOwnObjectTypeAndTags) {
  const std::vector<raw_file> files = {
      {"inorganic.txt",
       "[OBJECT:INORGANIC]\n[INORGANIC:SLATEMOSS_ORE]\n[Inorganic:pale_quartz]\n",
       {{"inorganic", {"SLATEMOSS_ORE", "PALE_QUARTZ"}}}},
      {"plant.txt", "[OBJECT:Plant]\n[PLANT:WHISPERREED]\n", {{"plant", {"WHISPERREED"}}}},
      {"body.txt",
       "[OBJECT:BODY]\n[BODY:HUMANOID_FRAME]\n[BODYGLOSS:NOT_A_BODY]\n"
       "[BODY_DETAIL_PLAN:NOT_EITHER]\n",
       {{"body", {"HUMANOID_FRAME"}}}},
      {"bodygloss.txt",
       "[OBJECT:bodygloss]\n[BODYGLOSS:CLAW_TIPS]\n",
       {{"bodygloss", {"CLAW_TIPS"}}}},
      {"creature.txt",
       "[OBJECT:CREATURE]\n[CREATURE:MARSH_STRIDER]\n[APPLY_CREATURE_VARIATION:NOT_A_CREATURE]\n"
       "[PLANT:NOT_A_PLANT]\n[CREATURE:creature_one]\n",
       {{"creature", {"MARSH_STRIDER"}}}},
      {"item.txt",
       "[OBJECT:ITEM]\n[ITEM_WEAPON:ITEM_WEAPON_HOOKBLADE]\n[item_tool:item_tool_ladle]\n"
       "[ITEM:NO_PREFIX]\n[ITEMS:NOT_A_PREFIX]\n[ITEM_:BARE_PREFIX]\n",
       {{"item", {"ITEM_WEAPON_HOOKBLADE", "ITEM_TOOL_LADLE", "BARE_PREFIX"}}}},
      {"building.txt",
       "[OBJECT:BUILDING]\n[BUILDING_WORKSHOP:ROPEWALK]\n[Building_Furnace:KILN_PIT]\n"
       "[BUILDINGX:NO_UNDERSCORE]\n[BUILDING:BARE_NAME]\n",
       {{"building", {"ROPEWALK", "KILN_PIT"}}}},
      {"entity.txt", "[OBJECT:ENTITY]\n[ENTITY:RIVER_FOLK]\n", {{"entity", {"RIVER_FOLK"}}}},
      {"language.txt",
       "[OBJECT:language]\n[WORD:ABBEY]\n[T_WORD:ABBEY:abbo]\n[SYMBOL:NATURE]\n[S_WORD:ABBEY]\n"
       "[TRANSLATION:RIVER_TONGUE]\n",
       {{"word", {"ABBEY"}}, {"symbol", {"NATURE"}}, {"translation", {"RIVER_TONGUE"}}}},
      {"color.txt",
       "[OBJECT:DESCRIPTOR_COLOR]\n[COLOR:AMBER_MIST]\n[COLOR_PATTERN:NOT_A_COLOR]\n",
       {{"color", {"AMBER_MIST"}}}},
      {"shape.txt", "[OBJECT:Descriptor_Shape]\n[SHAPE:CRESCENT]\n", {{"shape", {"CRESCENT"}}}},
      {"pattern.txt",
       "[OBJECT:DESCRIPTOR_PATTERN]\n[COLOR_PATTERN:TIGER_STRIPES]\n[CP_COLOR:AMBER_MIST]\n",
       {{"color_pattern", {"TIGER_STRIPES"}}}},
      {"reaction.txt",
       "[OBJECT:REACTION]\n[REACTION:TAN_A_HIDE]\n",
       {{"reaction", {"TAN_A_HIDE"}}}},
      {"material.txt",
       "[OBJECT:MATERIAL_TEMPLATE]\n[MATERIAL_TEMPLATE:SOFT_BARK_TEMPLATE]\n",
       {{"material_template", {"SOFT_BARK_TEMPLATE"}}}},
      {"tissue.txt",
       "[OBJECT:TISSUE_TEMPLATE]\n[TISSUE_TEMPLATE:SCALE_TISSUE]\n",
       {{"tissue_template", {"SCALE_TISSUE"}}}},
      {"detail.txt",
       "[OBJECT:BODY_DETAIL_PLAN]\n[BODY_DETAIL_PLAN:STANDARD_ORGANS]\n[BODY:NOT_HERE]\n",
       {{"body_detail_plan", {"STANDARD_ORGANS"}}}},
      {"variation.txt",
       "[OBJECT:CREATURE_VARIATION]\n[CREATURE_VARIATION:BEAST_KIN]\n[CREATURE:NOT_HERE]\n",
       {{"creature_variation", {"BEAST_KIN"}}}},
      // The section name is not the object type for the language and
      // descriptor sections.
      {"word_type.txt", "[OBJECT:WORD]\n[WORD:TYPE_IS_NOT_LANGUAGE]\n", {}},
      {"color_type.txt", "[OBJECT:COLOR]\n[COLOR:TYPE_IS_NOT_DESCRIPTOR]\n", {}},
  };
  additions all;
  for (const auto& file : files) {
    raw(file.name, file.text);
    for (const auto& [section, ids] : file.adds) {
      all[section].insert(all[section].end(), ids.begin(), ids.end());
    }
  }
  put_world(ts::sample_block());
  const ts::world_block want = plus(ts::sample_block(), all);
  const std::string unread =
      skipped("color_type.txt", "object type COLOR is not synchronized") +
      skipped("word_type.txt", "object type WORD is not synchronized");
  expect_sync(lines_of(all), want, unread);

  // Everything the raws define is listed now.
  const std::string first = folder.read(kWorld);
  drop_backups();
  expect_sync({}, want, unread);
  EXPECT_TRUE(folder.read(kWorld) == first);
}

TEST_F(Sync, LookAlikeTagsAndFilesAreSkipped) {
  raw("a_tags.txt",
      "[OBJECT:CREATURE][CREATURE:ON_THE_OBJECT_LINE]\n"
      "[CREATURE_TILE:'D']\n"
      "CREATURE:AT_LINE_START]\n"
      "  CREATURE:NO_BRACKET]\n"
      "[CREATURE NO_COLON]\n"
      "[CREATURE:NO_CLOSING_BRACKET\n"
      "[CREATURE X][CREATURE:COLON_OF_A_LATER_TAG]\n"
      "[CREATURE:FIRST_OF_TWO][CREATURE:SECOND_OF_TWO]\n"
      "[CREATURE_TILE:'E'][CREATURE:AFTER_A_TILE]\n"
      "[NAME:creature of the deep][CREATURE:AFTER_A_NAME]\n"
      "[CREATURE_VARIATION:A_VARIATION]\n"
      "[CREATURE:KEPT]\n");
  raw("b_late_object.txt",
      "[CREATURE:BEFORE_THE_OBJECT_LINE]\n[OBJECT:CREATURE]\n[CREATURE:AFTER_THE_OBJECT_LINE]\n");
  raw("c_plant_first.txt",
      "[OBJECT:PLANT]\n[OBJECT:CREATURE]\n[CREATURE:IN_A_PLANT_FILE]\n[PLANT:FIRST_TYPE_WINS]\n");
  raw("d_spaced_type.txt", "[OBJECT: CREATURE]\n[CREATURE:SPACED_TYPE]\n");
  raw("e_lower_object.txt", "[object:creature]\n[CREATURE:LOWER_CASE_OBJECT_WORD]\n");
  raw("f_no_object.txt", "[CREATURE:NO_OBJECT_LINE]\n");
  raw("g_unclosed_object.txt", "[OBJECT:CREATURE\n[CREATURE:UNCLOSED_OBJECT_LINE]\n");
  raw("h_object_mid_line.txt",
      "beasts of h [OBJECT:CREATURE] and more\n[CREATURE:OBJECT_MID_LINE]\n");
  raw("i_sub/creature.txt", "[OBJECT:CREATURE]\n[CREATURE:IN_A_SUBFOLDER]\n");
  folder.make_dir(ts::game_folder::raw_dir(kRegion) / "j_folder.txt");
  put_world(ts::sample_block());
  const additions add = {
      {"plant", {"FIRST_TYPE_WINS"}},
      {"creature", {"FIRST_OF_TWO", "KEPT", "AFTER_THE_OBJECT_LINE", "OBJECT_MID_LINE"}}};
  const std::string folder_read = "a folder (only the files directly in raw/objects are read)";
  // A type without its "]" runs to its line's end, which is not shown.
  expect_sync(lines_of(add), plus(ts::sample_block(), add),
              skipped("d_spaced_type.txt", "object type  CREATURE is not synchronized") +
                  skipped("e_lower_object.txt", "no [OBJECT: line") +
                  skipped("f_no_object.txt", "no [OBJECT: line") +
                  skipped("g_unclosed_object.txt", "object type CREATURE is not synchronized") +
                  skipped("i_sub", folder_read) + skipped("j_folder.txt", folder_read));
}

TEST_F(Sync, IdentifiersAreTrimmedUpperCasedAndAddedOnce) {
  ts::world_block block = ts::sample_block();
  block.section("creature") = {"dwarf", "ELF"};
  put_world(block);
  raw("one.txt",
      "[OBJECT:CREATURE]\n[CREATURE:dwarf ]\n[creature: DWARF]\n[CREATURE:elf]\n"
      "[CREATURE:\t\v Gnome\f\r]\n[CREATURE: giant  toad ]\n");
  // The last line has no line end.
  raw("two.txt", "[OBJECT:CREATURE]\n[CREATURE:GNOME]\n[CREATURE:Dwarf]\n[CREATURE:cave_newt]");
  const additions add = {{"creature", {"DWARF", "GNOME", "GIANT  TOAD", "CAVE_NEWT"}}};
  expect_sync(lines_of(add), plus(block, add));
}

TEST_F(Sync, NewIdentifiersFollowFileNamesInByteOrderThenLines) {
  // Created out of order; byte order puts "." before upper case before "_"
  // before lower case.
  raw("zeta.txt", "[OBJECT:CREATURE]\n[CREATURE:Z1]\n");
  raw("B.txt", "[OBJECT:CREATURE]\n[CREATURE:B1]\n[CREATURE:B2]\n");
  raw("a.txt", "[OBJECT:CREATURE]\n[CREATURE:A1]\n");
  raw("_under.txt", "[OBJECT:CREATURE]\n[CREATURE:U1]\n");
  raw("Mid.txt", "[OBJECT:CREATURE]\n[CREATURE:M1]\n[CREATURE:M2]\n");
  raw(".hidden.txt", "[OBJECT:CREATURE]\n[CREATURE:H1]\n");
  put_world(ts::sample_block());
  const additions add = {{"creature", {"H1", "B1", "B2", "M1", "M2", "U1", "A1", "Z1"}}};
  expect_sync(lines_of(add), plus(ts::sample_block(), add));
}

TEST_F(Sync, CreatureLayerIsCopiedUnchanged) {
  struct layer_case {
    const char* name;
    std::vector<std::vector<std::string>> groups;
    std::optional<std::int32_t> group_count;
  };
  const std::vector<layer_case> cases = {
      {"three groups",
       {{"LAYER_A1", "LAYER_A2"}, {"LAYER_B1", "LAYER_B2"}, {"CREATURE_ONE"}},
       std::nullopt},
      {"no groups", {}, 0},
      {"negative group count", {}, -3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::world_block block = ts::sample_block();
    block.creature_layer = c.groups;
    block.group_count = c.group_count;
    drop_backups();
    put_world(block);
    raw("creature.txt", "[OBJECT:CREATURE]\n[CREATURE:LAYER_A1]\n[CREATURE:CREATURE_ONE]\n");
    const additions add = {{"creature", {"LAYER_A1"}}};
    expect_sync(lines_of(add), plus(block, add));
  }
}

TEST_F(Sync, UnreadableEntriesAreReportedInEveryPassAndSkipped) {
  SKIP_ON_WINDOWS_BUILD("Wine leaves dangling Unix symbolic links out of folder listings");
  raw("a.txt", "[OBJECT:CREATURE]\n[CREATURE:A_BEFORE]\n");
  folder.make_symlink("no_such_file.txt", ts::game_folder::raw_dir(kRegion) / "broken.txt");
  raw("c.txt", "[OBJECT:CREATURE]\n[CREATURE:C_AFTER]\n");
  // A link to a regular file is read like the file.
  folder.write_file(kRegionDir / "raw" / "outside.txt",
                    "[OBJECT:CREATURE]\n[CREATURE:THROUGH_A_LINK]\n");
  folder.make_symlink("../outside.txt", ts::game_folder::raw_dir(kRegion) / "linked.txt");
  put_world(ts::sample_block());
  pass_lines lines;
  for (std::string_view section : ts::section_names)
    lines[std::string(section)] = cannot_open("broken.txt");
  lines["creature"] = "  A_BEFORE\n" + cannot_open("broken.txt") + "  C_AFTER\n  THROUGH_A_LINK\n";
  expect_sync(lines,
              plus(ts::sample_block(), {{"creature", {"A_BEFORE", "C_AFTER", "THROUGH_A_LINK"}}}));
}

TEST_F(Sync, DevicesAreNotOpened) {
  SKIP_ON_WINDOWS_BUILD("Windows folders hold no device nodes; Wine lists one as a plain file");
  // A character device with no driver behind it cannot be opened, so opening
  // it would show up as an error line.
  const fs::path device = folder.path(ts::game_folder::raw_dir(kRegion) / "b_device.txt");
  raw("a.txt", "[OBJECT:CREATURE]\n[CREATURE:NEXT_TO_A_DEVICE]\n");
  if (::mknod(device.c_str(), S_IFCHR | 0600, makedev(240, 0)) != 0) {
    GTEST_SKIP() << "cannot create a device node here";
  }
  put_world(ts::sample_block());
  const additions add = {{"creature", {"NEXT_TO_A_DEVICE"}}};
  expect_sync(lines_of(add), plus(ts::sample_block(), add));
}

TEST_F(Sync, PipesAndSocketsInTheRawFolderAreSkippedNotWaitedOn) {
  raw("creature_new.txt", "[OBJECT:CREATURE]\n[CREATURE:MARSH_NEWT]\n");
  const std::string objects = folder.path(ts::game_folder::raw_dir(kRegion)).string();
  ASSERT_EQ(mkfifo((objects + "/a_pipe.txt").c_str(), 0644), 0);
  folder.make_symlink("a_pipe.txt", ts::game_folder::raw_dir(kRegion) / "b_link_to_pipe.txt");
  put_world(ts::sample_block());
  const ts::run_result r = sync(std::chrono::seconds(20));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_NE(r.err.find("Synchronizing creature...\n  MARSH_NEWT\n"), std::string::npos) << r;
  EXPECT_EQ(r.err.find("could not open"), std::string::npos) << r;
}

TEST_F(Sync, EmptyRawFolderChangesNothing) {
  folder.make_dir(ts::game_folder::raw_dir(kRegion));
  put_world(ts::sample_block());
  expect_sync({}, ts::sample_block());
}

TEST_F(Sync, DuplicateTestSearchesTheAssembledBytesCountIncluded) {
  const std::string long_name(300, 'L');  // length 300 is stored as 2C 01
  struct search_case {
    const char* name;
    std::vector<std::string> world;  // the creature section
    std::string tags;
    std::vector<std::string> added;
  };
  auto with_first = [](std::string first, std::vector<std::string> rest) {
    rest.insert(rest.begin(), std::move(first));
    return rest;
  };
  const std::vector<search_case> cases = {
      {"a count below 65,536 holds 00 00", {"X"}, "[CREATURE:]\n[CREATURE:  ]\n", {}},
      // 01 00 01 00, then records 01 00 'X': no two zeros meet, and 01 00 01 is there.
      {"65,537 short names",
       many(65537, "X"),
       "[CREATURE:]\n[CREATURE: ]\n[CREATURE:Y]\n[CREATURE:\x01]\n[CREATURE:x]\n",
       {"Y"}},
      {"a count of 65,536", many(65536, "X"), "[CREATURE:]\n", {}},
      // FF FF 01 00 holds no zero pair; the running count 131,072 (00 00 02 00)
      // would, but it is stored only once the scan is over.
      {"the world's count stays in place during the scan",
       many(131071, "X"),
       "[CREATURE:NEW]\n[CREATURE:]\n",
       {"NEW"}},
      {"a 256-character first name meets the count's zero",
       with_first(std::string(256, 'L'), many(65536, "X")),
       "[CREATURE:]\n",
       {}},
      {"an empty name in the world", with_first("", many(65536, "X")), "[CREATURE:]\n", {}},
      {"a record inside a world name",
       {"A\x03\x00"s + "ORC"},
       "[CREATURE:ORC]\n[CREATURE:OR]\n",
       {"OR"}},
      // The world name ends in 04 00 'A' 'B' and the new long record starts 2C 01.
      {"a record across a world name and a new one",
       {"Z\x04\x00"s + "AB"},
       "[CREATURE:" + long_name + "]\n[CREATURE:AB,\x01]\n[CREATURE:" + long_name + "]\n",
       {long_name}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::world_block block = ts::sample_block();
    block.section("creature") = c.world;
    drop_backups();
    put_world(block);
    raw("creature.txt", "[OBJECT:CREATURE]\n" + c.tags);
    const additions add = {{"creature", c.added}};
    expect_sync(lines_of(add), plus(block, add));
  }
}

TEST_F(Sync, LongLinesAreReadInPiecesOf32766Characters) {
  constexpr std::size_t piece = 32766;
  auto ending_at = [](std::size_t column, const std::string& tag) {
    return std::string(column - tag.size(), 'x') + tag;
  };
  const std::string straddles = "[CREATURE:STRADDLES]";
  raw("long.txt", "[OBJECT:CREATURE]\n" +
                      // Cut just before its "]".
                      ending_at(piece + 1, straddles) + "\n" +
                      // The second piece starts with the tag.
                      std::string(piece, 'x') + "[CREATURE:AFTER_THE_SPLIT]\n" +
                      // The second piece starts with the tag name: no "[" before it.
                      std::string(piece - 1, 'x') + "[CREATURE:BRACKET_BEFORE_THE_SPLIT]\n" +
                      // The whole line fits one piece.
                      ending_at(piece, "[CREATURE:FITS_EXACTLY]") + "\n");
  put_world(ts::sample_block());
  const additions add = {{"creature", {"AFTER_THE_SPLIT", "FITS_EXACTLY"}}};
  expect_sync(lines_of(add), plus(ts::sample_block(), add));
}

TEST_F(Sync, BadCountsAndCutWorldsStopLeavingTheWorldAlone) {
  struct stop_case {
    const char* name;
    std::string world;
    std::string last_pass;  // empty: the stop comes while copying creature_layer
  };
  auto sample_with = [](auto change) {
    ts::world_block block = ts::sample_block();
    change(block);
    return block;
  };
  auto whole = [](const ts::world_block& block) { return kHeader + block.encode() + kTail; };
  auto cut = [](const ts::world_block& block, std::size_t kept_sections) {
    return kHeader + block_cut_after(block, kept_sections);
  };
  const std::size_t creature = ts::section_index("creature");
  const std::vector<stop_case> cases = {
      {"creature count 0", whole(sample_with([&](ts::world_block& b) {
         b.sections[creature].clear();
         b.section_counts[creature] = 0;
       })),
       "creature"},
      {"negative creature count",
       whole(sample_with([&](ts::world_block& b) { b.section_counts[creature] = -2; })),
       "creature"},
      {"group string count 0",
       whole(sample_with([](ts::world_block& b) { b.creature_layer[1].clear(); })), ""},
      {"negative group string count", whole(sample_with([](ts::world_block& b) {
         b.group_string_counts = {std::nullopt, -1};
       })),
       ""},
      {"world ends inside a group",
       cut(sample_with([](ts::world_block& b) {
             b.group_string_counts = {std::nullopt, 2};
           }),
           0),
       ""},
      {"world ends before the creature count", cut(ts::sample_block(), creature), "creature"},
      {"world ends inside the creature list",
       cut(sample_with([&](ts::world_block& b) { b.section_counts[creature] = 3; }), creature + 1),
       "creature"},
      {"world ends inside the last list",
       cut(sample_with([](ts::world_block& b) { b.section_counts[18] = 3; }), 19),
       "creature_variation"},
  };
  const pass_lines lines = {{"inorganic", "  FRESH_ORE\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder scene;
    scene.write_world(kRegion, c.world);
    scene.write_raw(kRegion, "ore.txt", "[OBJECT:INORGANIC]\n[INORGANIC:FRESH_ORE]\n");
    const auto r = ts::run_rawgraft(scene, {"1", "sync"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    const std::string head = preamble() + (c.last_pass.empty() ? "" : passes(lines, c.last_pass)) +
                             "consistency check failed: ";
    ASSERT_TRUE(r.err.starts_with(head)) << r;
    const std::string condition = r.err.substr(head.size());
    const std::string unchanged = "\n./data/save/region1/world.dat is unchanged.\n";
    EXPECT_GT(condition.size(), unchanged.size() + 1);
    EXPECT_EQ(condition.find('\n'), condition.size() - unchanged.size()) << condition;
    EXPECT_TRUE(condition.ends_with(unchanged)) << condition;
    EXPECT_EQ(scene.list(kRegionDir), (std::vector<std::string>{"raw", "world.dat"}));
    EXPECT_TRUE(scene.read(kWorld) == c.world) << "world changed";
  }
}

TEST_F(Sync, MissingRawFolderStopsBeforeWriting) {
  const fs::path raw_parent = kRegionDir / "raw";
  struct folder_case {
    const char* name;
    void (*arrange)(const ts::game_folder&, const fs::path&);
    const char* reason;
  };
  const std::vector<folder_case> cases = {
      {"no raw folder", [](const ts::game_folder&, const fs::path&) {},
       "No such file or directory"},
      {"raw without objects", [](const ts::game_folder& f, const fs::path& p) { f.make_dir(p); },
       "No such file or directory"},
      {"objects is a file",
       [](const ts::game_folder& f, const fs::path& p) {
         f.write_file(p / "objects", "[OBJECT:CREATURE]\n");
       },
       "Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder scene;
    scene.write_world(kRegion, ts::sample_world_dat());
    c.arrange(scene, raw_parent);
    const std::vector<std::string> before = scene.list(kRegionDir);
    const auto r = ts::run_rawgraft(scene, {"1", "sync"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, ts::banner_and_usage() +
                         "Reading Region region1 at ./data/save/region1/world.dat\n"
                         "World Identified: Testworld\n"
                         "Error: can not open raws: " +
                         kRawPath + "\n" + ts::reason(c.reason));
    EXPECT_EQ(scene.list(kRegionDir), before);
    EXPECT_EQ(scene.read(kWorld), ts::sample_world_dat());
  }
}

TEST_F(Sync, SectionPastEightMebibytesIsWrittenWhole) {
  constexpr std::size_t beasts = 300000;
  std::vector<std::string> names;
  names.reserve(beasts);
  std::string text = "[OBJECT:CREATURE]\n";
  for (std::size_t i = 0; i < beasts; ++i) {
    std::string number = std::to_string(i);
    names.push_back("GENERATED_BEAST_NUMBER_" + std::string(7 - number.size(), '0') + number);
    text += "[CREATURE:" + names.back() + "]\n";
  }
  raw("beasts.txt", text);
  put_world(ts::sample_block());
  const ts::world_block want = plus(ts::sample_block(), {{"creature", names}});
  ASSERT_GT(want.section("creature").size() * 32, 8u * 1024 * 1024);

  // Too long to show on failure: report the status and the start only.
  auto shown = [](const ts::run_result& r) {
    return "status " + std::to_string(r.status) + ", stderr starts: " + r.err.substr(0, 2000);
  };
  const std::string before = folder.read(kWorld);
  const auto first = sync(std::chrono::seconds(600));
  EXPECT_EQ(first.status, 0) << shown(first);
  EXPECT_TRUE(ts::mask_timestamps(first.err) ==
              sync_report({{"creature", listed(names)}}, names.size(), 1))
      << shown(first);
  expect_placed(first.err, before);
  expect_world(want);

  // Already past 8 MiB in the world: copied whole, nothing added.
  drop_backups();
  const std::string synced = folder.read(kWorld);
  const auto second = sync(std::chrono::seconds(600));
  EXPECT_EQ(second.status, 0) << shown(second);
  EXPECT_TRUE(ts::mask_timestamps(second.err) == sync_report({}, 0, 0, "", true))
      << shown(second);
  EXPECT_TRUE(folder.read(kWorld) == synced);
}

}  // namespace

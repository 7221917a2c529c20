// Import: reading an edited text dump back into a world's object-name block,
// from a file or standard input, and what a malformed dump does with and
// without force.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"
#include "support/transfer_checks.hpp"

namespace ts = testsupport;

namespace {

const std::string kDatPath = "./data/save/region1/world.dat";
const std::string kHeader = ts::world_dat_header();
const std::string kTail = ts::world_tail();
const std::string kTrying = "...trying to continue, but don't expect success.\n";
const std::string kStopUnchanged = kDatPath + " is unchanged.\n";

std::string dat_world(const ts::world_block& block) {
  return kHeader + block.encode() + kTail;
}

std::string clean_dump(const ts::world_block& block) {
  return ts::dump_title(kDatPath) + ts::dump_body(block);
}

// Everything up to and including "Beginning file import...\n".
std::string started(const std::string& source) {
  return ts::banner_and_usage() + "Reading Region region1 at " + kDatPath +
         "\nWorld Identified: Testworld\n" +
         (source == "-" ? "" : "Reading import from " + source + "\n") +
         "Writing to new world file: " + kDatPath + ".TEMP\nBeginning file import...\n";
}

// "Importing %s...\n" for creature_layer (when the dump has groups) and for
// the sections from inorganic up to `last`.
std::string importing(bool groups, std::string_view last = "creature_variation") {
  std::string out = groups ? "Importing creature_layer...\n" : "Importing inorganic...\n";
  for (const auto name : ts::section_names) {
    out += "Importing " + std::string(name) + "...\n";
    if (name == last) break;
  }
  return out;
}

const std::string kFinished =
    "Copying remainder of world data from original...\n"
    "Finished writing new world file.\n"
    "Backup successful: " +
    kDatPath +
    ".YYYYMMDD_HHMMSS\n"
    "New World Placed.\n"
    "\nDone.\n";

const std::string kSampleBlock = ts::sample_block().encode();

// The lists and the strings of an encoded block: after the group count,
// every list is a count and its strings.
std::pair<int, int> lists_and_strings(std::string_view block) {
  int lists = 0, strings = 0;
  for (std::size_t pos = 4; pos < block.size(); ++lists) {
    const std::uint32_t n = ts::get_u32(block, pos);
    pos += 4;
    for (std::uint32_t i = 0; i < n; ++i) pos += 2 + ts::get_u16(block, pos);
    strings += static_cast<int>(n);
  }
  return {lists, strings};
}

// Everything after the sections' reports, for an import that writes the
// block `written` over the world's block `held`.
// What ends a run that finds nothing to change, and one whose lists would
// not read back: in either the world stays as it is.
const std::string kUnchanged = "No change: " + kDatPath + " already holds these lists.\n";
const std::string kRefused =
    "Copying remainder of world data from original...\n"
    "Finished writing new world file.\n"
    "Error: the new lists do not read back whole; " +
    kDatPath + " is unchanged.\n";

// The refusal of a new block, naming each list it leaves empty or lacks.
std::string refused(std::string_view block) {
  std::string out = kRefused;
  const auto groups = static_cast<std::size_t>(std::max<std::int32_t>(
      static_cast<std::int32_t>(ts::get_u32(block, 0)), 0));
  std::size_t pos = 4;
  for (std::size_t list = 0; list < groups + ts::section_names.size(); ++list) {
    std::uint32_t n = 0;
    if (pos + 4 <= block.size()) {
      n = ts::get_u32(block, pos);
      pos += 4;
      for (std::uint32_t i = 0; i < n; ++i) pos += 2 + ts::get_u16(block, pos);
    }
    if (n != 0) continue;
    char group[48];
    std::snprintf(group, sizeof group, "creature_layer %08zu", list);
    out += "  list " + (list < groups ? std::string(group) : std::string(ts::section_names[list - groups])) +
           " has no identifiers\n";
  }
  return out;
}

std::string finished(std::string_view written, std::string_view held = kSampleBlock,
                     const std::string& end = kFinished) {
  const auto [lists, strings] = lists_and_strings(written);
  return "Imported 20 sections.\n"
         "Skipping to world data...\n"
         "Wrote " + std::to_string(strings) + " identifiers in " + std::to_string(lists) +
         " lists (the world held " + std::to_string(lists_and_strings(held).second) + ").\n" +
         end;
}

// Parts of an encoded block, for blocks the tool writes in pieces.
std::string groups_part(const std::vector<std::vector<std::string>>& groups) {
  std::string out;
  ts::put_u32(out, static_cast<std::uint32_t>(groups.size()));
  for (const auto& g : groups) {
    ts::put_u32(out, static_cast<std::uint32_t>(g.size()));
    for (const auto& s : g) ts::put_counted(out, s);
  }
  return out;
}
std::string section_part(const std::vector<std::string>& strings) {
  std::string out;
  ts::put_u32(out, static_cast<std::uint32_t>(strings.size()));
  for (const auto& s : strings) ts::put_counted(out, s);
  return out;
}
std::string sections_part(const ts::world_block& block, std::string_view last) {
  std::string out;
  for (const auto name : ts::section_names) {
    out += section_part(block.section(name));
    if (name == last) break;
  }
  return out;
}

// Dump body of `block` cut just before the header of section `name`.
std::string body_before(const ts::world_block& block, std::string_view name) {
  const std::string body = ts::dump_body(block);
  return body.substr(0, body.find("\n====" + std::string(name) + "====\n"));
}

ts::run_result import(const ts::game_folder& folder, const std::string& world,
                      const std::string& dump, const std::string& command = "import") {
  folder.write_world("region1", world);
  folder.write_file("edited.txt", dump);
  return ts::run_rawgraft(folder, {"1", command, "edited.txt"});
}

// The new world is in place and the old one is kept under the run's stamp.
void expect_placed(const ts::game_folder& folder, const ts::run_result& r,
                   const std::string& old_world, const std::string& new_world) {
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "");
  const auto stamps = ts::find_timestamps(r.err);
  ASSERT_EQ(stamps.size(), 1u) << r;
  const auto region = ts::game_folder::region_dir("region1");
  EXPECT_EQ(folder.list(region), (std::vector<std::string>{"world.dat", "world.dat." + stamps[0]}));
  EXPECT_TRUE(folder.read(region / "world.dat") == new_world) << "world differs";
  EXPECT_TRUE(folder.read(region / ("world.dat." + stamps[0])) == old_world) << "backup differs";
}

// A dump that gives the world's own lists leaves the world as it is.
void expect_unchanged(const ts::game_folder& folder, const ts::run_result& r,
                      const std::string& old_world) {
  EXPECT_EQ(r.status, 0) << r;
  const auto region = ts::game_folder::region_dir("region1");
  EXPECT_EQ(folder.list(region), (std::vector<std::string>{"world.dat"}));
  EXPECT_EQ(folder.read(region / "world.dat"), old_world);
}

// New lists that would not read back are never placed, force or not.
void expect_refused(const ts::game_folder& folder, const ts::run_result& r,
                    const std::string& old_world) {
  EXPECT_EQ(r.status, 1) << r;
  const auto region = ts::game_folder::region_dir("region1");
  EXPECT_EQ(folder.list(region), (std::vector<std::string>{"world.dat"}));
  EXPECT_EQ(folder.read(region / "world.dat"), old_world);
}

// A stopped import leaves the world as it was, and no TEMP file.
void expect_untouched(const ts::game_folder& folder, const std::string& old_world) {
  const auto region = ts::game_folder::region_dir("region1");
  EXPECT_EQ(folder.list(region), (std::vector<std::string>{"world.dat"}));
  EXPECT_EQ(folder.read(region / "world.dat"), old_world);
}

TEST(Import, WholeImportReportsEveryStepInOrder) {
  const std::string world = ts::sample_world_dat();
  ts::world_block edited = ts::sample_block();
  edited.section("plant").push_back("NEW_PLANT");
  const std::string dump = clean_dump(edited);
  {
    ts::game_folder folder;
    const auto r = import(folder, world, dump);
    EXPECT_EQ(ts::mask_timestamps(r.err),
              started("edited.txt") + importing(true) + finished(edited.encode()));
    expect_placed(folder, r, world, dat_world(edited));
  }
  {
    ts::game_folder folder;
    folder.write_world("region1", world);
    const auto r = ts::run_rawgraft(folder, {"1", "import", "-"}, dump);
    EXPECT_EQ(ts::mask_timestamps(r.err), started("-") + importing(true) + finished(edited.encode()));
    expect_placed(folder, r, world, dat_world(edited));
  }
}

struct round_trip_case {
  std::string name;
  ts::world_form form;
  ts::world_block block;
};

TEST(Import, ExportThenImportReproducesTheWorld) {
  ts::world_block no_groups = ts::sample_block();
  no_groups.creature_layer.clear();
  ts::world_block varied = ts::sample_block();
  for (int g = 0; g < 11; ++g)
    varied.creature_layer.push_back({"extra layer " + std::to_string(g)});
  varied.section("inorganic") = {"iron", "Iron Bar", "x", "100% %s %n", "a=b", "tab\tinside"};
  // The longest line that is still read whole.
  varied.section("word") = {std::string(32766, 'w'), "SHORT"};
  // Identifiers of every length around the short-string copies, more than
  // the tool's read blocks hold, so that some lie across their edges.
  ts::world_block lengths = ts::sample_block();
  auto& plants = lengths.section("plant");
  for (int i = 0; i < 40000; ++i) plants.push_back(std::string(1 + i % 40, static_cast<char>('a' + i % 26)));
  // More one-byte lines than export's line table holds for a piece.
  auto& words = lengths.section("word");
  for (int i = 0; i < 70000; ++i) words.push_back(std::string(1, static_cast<char>('a' + i % 26)));

  for (const auto& c :
       std::vector<round_trip_case>{{"dat", ts::world_form::dat, ts::sample_block()},
                                    {"dat without groups", ts::world_form::dat, no_groups},
                                    {"dat with varied identifiers", ts::world_form::dat, varied},
                                    {"dat with identifiers of 1 to 40 bytes", ts::world_form::dat, lengths},
                                    {"sav", ts::world_form::sav, ts::sample_block()},
                                    {"sav without groups", ts::world_form::sav, no_groups}}) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    const bool dat = c.form == ts::world_form::dat;
    const std::string world =
        (dat ? ts::world_dat_header() : ts::world_sav_header()) + c.block.encode() + kTail;
    const auto rel = folder.write_world("region1", world, c.form);
    const auto exported = ts::run_rawgraft(folder, {"1", "export", "dump.txt"});
    ASSERT_EQ(exported.status, 0) << exported;
    const auto r = ts::run_rawgraft(folder, {"1", "import", "dump.txt"});
    EXPECT_EQ(r.status, 0) << r;
    // The tool itself finds the new block equal to the old, byte for byte,
    // and so leaves the world as it is.
    EXPECT_TRUE(r.err.ends_with("No change: ./data/save/region1/" + rel.filename().string() +
                                " already holds these lists.\n"))
        << r;
    EXPECT_EQ(folder.list(rel.parent_path()), (std::vector<std::string>{rel.filename().string()}));
    EXPECT_TRUE(folder.read(rel) == world) << "world differs";
  }
}

TEST(Import, NegativeGroupCountComesBackAsZero) {
  for (const std::int32_t groups : {-1, INT32_MIN}) {
    SCOPED_TRACE(groups);
    ts::game_folder folder;
    ts::world_block block = ts::sample_block();
    block.creature_layer.clear();
    block.group_count = groups;
    const std::string world = dat_world(block);
    folder.write_world("region1", world);
    ASSERT_EQ(ts::run_rawgraft(folder, {"1", "export", "dump.txt"}).status, 0);
    const auto r = ts::run_rawgraft(folder, {"1", "import", "dump.txt"});
    EXPECT_EQ(ts::mask_timestamps(r.err),
              started("dump.txt") + importing(false) + finished(block.encode(), block.encode()));
    std::string expected = world;
    expected.replace(kHeader.size(), 4, std::string(4, '\0'));
    expect_placed(folder, r, world, expected);
  }
}

TEST(Import, FirstHeaderInorganicWritesNoGroups) {
  ts::game_folder folder;
  ts::world_block block = ts::sample_block();
  block.creature_layer.clear();
  const auto r = import(folder, ts::sample_world_dat(), clean_dump(block));
  // inorganic is reported twice: as the first header and as the first section.
  ASSERT_TRUE(importing(false).starts_with("Importing inorganic...\nImporting inorganic...\n"));
  EXPECT_EQ(ts::mask_timestamps(r.err),
            started("edited.txt") + importing(false) + finished(block.encode()));
  EXPECT_EQ(ts::get_u32(dat_world(block), kHeader.size()), 0u);
  expect_placed(folder, r, ts::sample_world_dat(), dat_world(block));
}

struct edit_case {
  std::string name;
  void (*edit)(ts::world_block&);
};

TEST(Import, EditedDumpGivesTheEditedBlock) {
  const std::vector<edit_case> cases = {
      {"identifiers added",
       [](ts::world_block& b) {
         b.section("creature").push_back("NEW_BEAST");
         b.section("item").insert(b.section("item").begin() + 1, "ITEM_MIDDLE");
       }},
      {"identifier removed", [](ts::world_block& b) { b.section("plant").pop_back(); }},
      {"identifier changed", [](ts::world_block& b) { b.section("color")[0] = "COLOR RENAMED"; }},
      {"order changed",
       [](ts::world_block& b) { std::swap(b.section("shape")[0], b.section("shape")[1]); }},
      {"group added",
       [](ts::world_block& b) {
         b.creature_layer.push_back({"LAYER_C1", "LAYER_C2"});
       }},
      {"group removed", [](ts::world_block& b) { b.creature_layer.pop_back(); }},
      {"many identifiers",
       [](ts::world_block& b) {
         for (int i = 0; i < 3000; ++i)
           b.section("entity").push_back("ENTITY_" + std::to_string(i));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    ts::world_block edited = ts::sample_block();
    c.edit(edited);
    const auto r = import(folder, ts::sample_world_dat(), clean_dump(edited));
    EXPECT_EQ(ts::mask_timestamps(r.err),
              started("edited.txt") + importing(true) + finished(edited.encode()));
    expect_placed(folder, r, ts::sample_world_dat(), dat_world(edited));
  }
}

TEST(Import, SpacingBlankLinesAndLineEndsDoNotChangeTheBlock) {
  ts::world_block expected = ts::sample_block();
  expected.section("inorganic") = {"IRON", "IRON BAR", "MIXED CASE\tNAME"};
  std::string messy =
      "title line, no header here\r\n"
      "\r\n"
      "====creature_layer=00000000====  \r\n"
      "   LAYER_A1\t\r\n"
      "\t\tLAYER_A2   \n"
      "   \t \r\n"
      "\n"
      "  ====creature_layer=00000007====\r\n"
      "LAYER_B1\n"
      "\f\v \n"
      "\t====INORGANIC====\t\r\n"
      "  IRON  \r\n"
      "\n"
      "IRON BAR\n"
      "\t MIXED CASE\tNAME \r\n";
  for (std::size_t k = 1; k < ts::section_names.size(); ++k) {
    messy += " \n   ====" + std::string(ts::section_names[k]) + "==== \r\n\r\n";
    for (const auto& s : expected.sections[k]) messy += "\t" + s + "  \r\n";
  }
  messy += "\r\n  ====END====  \r\n";

  std::string crlf;
  for (const char c : clean_dump(expected))
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  // The messy dump's first line is not a title.
  for (const auto& [dump, warning] : std::vector<std::pair<std::string, std::string>>{
           {messy, "lines 1-2 ignored before the first list header\n"}, {crlf, ""}}) {
    ts::game_folder folder;
    const auto r = import(folder, ts::sample_world_dat(), dump);
    EXPECT_EQ(ts::mask_timestamps(r.err),
              started("edited.txt") + warning + importing(true) + finished(expected.encode()));
    expect_placed(folder, r, ts::sample_world_dat(), dat_world(expected));
  }
}

struct dump_problem_case {
  std::string name;
  std::string dump;
  std::string warnings;  // between "Beginning file import...\n" and the first "Importing"
};

// Lines before the first header are ignored, with a warning when any of them
// is more than blank lines and the title; header lines naming no list are
// reported with their line numbers.
TEST(Import, DumpProblemsAreReportedWithTheirLines) {
  const std::string body = ts::dump_body(ts::sample_block());
  const std::vector<dump_problem_case> cases = {
      {"title and blank lines", clean_dump(ts::sample_block()), ""},
      // Only a header at the very start of a line that names a section counts.
      {"text before the first header",
       "NOT_AN_IDENTIFIER\n"
       "====END====\n"
       "====bogus====\n"
       "====creature_layer\r\n"
       "ALSO_IGNORED\n"
       " ====creature_layer=00000000====\n"
       "STILL_IGNORED\n" +
           body,
       "line 3: unknown list name: bogus\n"
       "line 4: unknown list name: creature_layer\n"
       "lines 1-8 ignored before the first list header\n"},
      {"title on the second line", "\n" + clean_dump(ts::sample_block()),
       "lines 1-3 ignored before the first list header\n"},
      // Editors may put a byte-order mark before UTF-8 text.
      {"byte-order mark before the first header", "\xEF\xBB\xBF" + body.substr(1), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    const auto r = import(folder, ts::sample_world_dat(), c.dump);
    EXPECT_EQ(ts::mask_timestamps(r.err), started("edited.txt") + c.warnings + importing(true) +
                                              finished(kSampleBlock, kSampleBlock, kUnchanged));
    expect_unchanged(folder, r, ts::sample_world_dat());
  }
}

// The dump's line holding the `nth` (from 1) whole-word occurrence of `id`.
int line_of(const std::string& dump, const std::string& id, int nth) {
  const auto bounds = [](char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; };
  for (std::size_t at = dump.find(id); at != std::string::npos; at = dump.find(id, at + 1)) {
    const std::size_t end = at + id.size();
    if ((at == 0 || bounds(dump[at - 1])) && end < dump.size() && bounds(dump[end]) && --nth == 0) {
      return static_cast<int>(std::count(dump.begin(), dump.begin() + static_cast<std::ptrdiff_t>(at), '\n')) + 1;
    }
  }
  return -1;
}

// The warnings and notes in a run's messages: the lines that say so.
std::string doubts_in(const std::string& err) {
  std::string out;
  for (std::size_t at = 0, end; at < err.size(); at = end + 1) {
    end = err.find('\n', at);
    const std::string line = err.substr(at, end - at + 1);
    if (line.starts_with("line ") || line.starts_with("... and ") || line.starts_with("Note: ")) {
      out += line;
    }
  }
  return out;
}

// Doubtful identifiers are imported as given, with a warning; compare
// warns the same.
TEST(Import, DoubtfulIdentifiersAndAnotherWorldsDumpAreWarnedAbout) {
  const ts::world_block sample = ts::sample_block();
  const std::string lower = "; the raw files define identifiers in upper case\n";
  struct doubt {
    std::string id;
    int nth;           // its occurrence in the dump
    std::string list;  // "" for a lower-case warning
  };
  const auto warnings = [&](const std::string& dump, const std::vector<doubt>& doubts) {
    std::string out;
    for (const doubt& d : doubts) {
      // A control byte is shown as report shows it.
      std::string shown = d.id == "bad\x1b" ? "bad\\x1B" : d.id;
      out += "line " + std::to_string(line_of(dump, d.id, d.nth)) + ": " + shown +
             (d.list.empty() ? " has lower-case letters" + lower : " is already in " + d.list + "\n");
    }
    return out;
  };
  ts::world_block twice = sample;
  twice.section("plant").push_back("PLANT_ONE");
  twice.section("item").push_back("PLANT_ONE");  // another list: not a doubt
  twice.creature_layer[1].push_back("LAYER_B1");
  ts::world_block cased = sample;
  cased.section("creature") = {"salt_crab", "Salt_Crab", "SALT_CRAB", "bad\x1b"};
  ts::world_block many = sample;
  for (int i = 0; i < 5000; ++i) many.section("entity").push_back("ENTITY_" + std::to_string(i));
  for (int i = 0; i < 22; ++i) many.section("entity").push_back("ENTITY_1");
  for (int i = 0; i < 21; ++i) many.section("entity").push_back("lower_" + std::to_string(i));
  std::vector<doubt> many_doubts;
  for (int i = 0; i < 20; ++i) many_doubts.push_back({"ENTITY_1", i + 2, "entity"});
  for (int i = 0; i < 20; ++i) many_doubts.push_back({"lower_" + std::to_string(i), 1, ""});
  const std::string cased_dump = ts::dump_title(kDatPath) + ts::dump_body(cased);
  // Indented lines are read one by one, not in the fast loop.
  std::string indented = cased_dump;
  indented.replace(indented.find("\nSalt_Crab\n"), 11, "\n\t Salt_Crab  \n");
  const std::string other = ts::windows_build() ? ".\\data\\save\\region7\\world.dat"
                                                : "./data/save/region7/world.dat";
  const struct {
    const char* name;
    ts::world_block block;
    std::string dump;
    std::vector<doubt> doubts;
    std::string more;  // after the warnings
  } cases[] = {
      {"twice in a list and a group", twice, ts::dump_title(kDatPath) + ts::dump_body(twice),
       {{"LAYER_B1", 2, "creature_layer 00000001"}, {"PLANT_ONE", 2, "plant"}}, ""},
      {"lower-case letters", cased, cased_dump,
       {{"salt_crab", 1, ""}, {"Salt_Crab", 1, ""}, {"bad\x1b", 1, ""}}, ""},
      {"lower-case letters, indented", cased, indented,
       {{"salt_crab", 1, ""}, {"Salt_Crab", 1, ""}, {"bad\x1b", 1, ""}}, ""},
      {"more than 20 of each", many, ts::dump_title(kDatPath) + ts::dump_body(many), many_doubts,
       "... and 2 more like it\n... and 1 more like it\n"},
      {"another world's dump", sample, ts::dump_title(other) + ts::dump_body(sample), {},
       // Shown with "/" here, as the tests show the system's paths.
       "Note: this dump was exported from ./data/save/region7/world.dat.\n"},
      {"this world's path with backslashes", sample,
       ts::dump_title(".\\data\\save\\region1\\world.dat") + ts::dump_body(sample), {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = warnings(c.dump, c.doubts) + c.more;
    ts::game_folder folder;
    const auto compared = import(folder, ts::sample_world_dat(), c.dump, "compare");
    EXPECT_EQ(doubts_in(compared.err), c.more.starts_with("Note") ? "" : expected) << compared;
    const auto r = ts::run_rawgraft(folder, {"1", "import", "edited.txt"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(doubts_in(r.err), expected) << r;
    EXPECT_NE(r.err.find("Beginning file import...\n" + (c.more.starts_with("Note") ? c.more : "")),
              std::string::npos);
    EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), dat_world(c.block));
  }
}

// A list left with no identifiers would be written with a count of 0, which
// no reader of the world accepts: such a world is never placed, force or not.
TEST(Import, EmptyGroupsAndSectionsAreRefusedByTheReadBack) {
  ts::world_block empty_group = ts::sample_block();
  empty_group.creature_layer[0].clear();
  ts::world_block empty_sections = ts::sample_block();
  empty_sections.section("shape").clear();
  empty_sections.section("creature_variation").clear();
  const struct {
    ts::world_block edited;
    const char* command;
    std::string named;
  } cases[] = {
      {empty_group, "import", "  list creature_layer 00000000 has no identifiers\n"},
      {empty_sections, "forceimport",
       "  list shape has no identifiers\n  list creature_variation has no identifiers\n"},
  };
  for (const auto& [edited, command, named] : cases) {
    SCOPED_TRACE(command);
    ts::game_folder folder;
    const auto r = import(folder, ts::sample_world_dat(), clean_dump(edited), command);
    EXPECT_EQ(ts::mask_timestamps(r.err), started("edited.txt") + importing(true) +
                                              finished(edited.encode(), kSampleBlock, kRefused + named));
    expect_refused(folder, r, ts::sample_world_dat());
  }
}

TEST(Import, OverlongLineIsReadAsSeveralLines) {
  ts::game_folder folder;
  std::string line;
  for (int i = 0; i < 40000; ++i) line += static_cast<char>('A' + i % 26);
  ts::world_block in_dump = ts::sample_block();
  in_dump.section("inorganic") = {line, "AFTER"};
  ts::world_block expected = ts::sample_block();
  expected.section("inorganic") = {line.substr(0, 32766), line.substr(32766), "AFTER"};
  const auto r = import(folder, ts::sample_world_dat(), clean_dump(in_dump));
  EXPECT_EQ(ts::mask_timestamps(r.err),
            started("edited.txt") + importing(true) + finished(expected.encode()));
  expect_placed(folder, r, ts::sample_world_dat(), dat_world(expected));
}

TEST(Import, SectionOverEightMegabytesImportsWhole) {
  ts::game_folder folder;
  ts::world_block block = ts::sample_block();
  auto& creatures = block.section("creature");
  creatures.clear();
  for (int i = 0; i < 300000; ++i) {
    std::string id = "CREATURE_" + std::to_string(i);
    creatures.push_back(id + std::string(30 - id.size(), 'X'));
  }
  const std::string world = dat_world(block);
  ASSERT_GT(world.size(), 9'000'000u);
  folder.write_world("region1", world);
  ASSERT_EQ(ts::run_rawgraft(folder, {"1", "export", "dump.txt"}).status, 0);
  const auto r = ts::run_rawgraft(folder, {"1", "import", "dump.txt"});
  EXPECT_EQ(ts::mask_timestamps(r.err), started("dump.txt") + importing(true) +
                                            finished(block.encode(), block.encode(), kUnchanged));
  expect_unchanged(folder, r, world);
}

TEST(Import, SwappedSectionsStopWithoutForce) {
  ts::world_block swapped = ts::sample_block();
  std::swap(swapped.section("plant"), swapped.section("body"));
  // Headers follow their content: body's header stands where plant's was.
  std::string dump = clean_dump(swapped);
  const std::size_t plant_at = dump.find("====plant====");
  const std::size_t body_at = dump.find("====body====");
  ASSERT_LT(plant_at, body_at);
  dump.replace(body_at, 12, "====plant====");
  dump.replace(plant_at, 13, "====body====");

  const std::string before_panic =
      "Importing creature_layer...\nImporting inorganic...\nImporting body...\n"
      "panic! section found out of order! expected plant\n";
  {
    ts::game_folder folder;
    const auto r = import(folder, ts::sample_world_dat(), dump);
    ts::expect_consistency_stop(r, started("edited.txt") + before_panic, kStopUnchanged);
    expect_untouched(folder, ts::sample_world_dat());
  }
  {
    ts::game_folder folder;
    const auto r = import(folder, ts::sample_world_dat(), dump, "forceimport");
    const std::string rest = importing(true).substr(importing(true, "body").size());
    EXPECT_EQ(ts::mask_timestamps(r.err), started("edited.txt") + before_panic + kTrying +
                                              "Importing plant...\n" +
                                              "panic! section found out of order! expected body\n" +
                                              kTrying + rest + finished(swapped.encode()));
    // Written in the dump's order, each under its own content.
    expect_placed(folder, r, ts::sample_world_dat(), dat_world(swapped));
  }
}

struct count_case {
  std::string name;
  std::string dump;
  // messages after "Beginning file import...\n" up to the stop, which starts
  // on a line of its own
  std::string plain;
  std::string forced;  // messages after "Beginning file import...\n" before "Imported ..."
  std::string block;   // what a forced import writes as the new block
  // With no header found, what comes before the first "panic!" is left open.
  bool headerless = false;
};

// `err` with anything between "Beginning file import...\n" and the first
// "panic!" removed, for dumps without any header.
std::string without_headerless_report(std::string err, bool headerless) {
  const std::string begin = "Beginning file import...\n";
  const std::size_t from = err.find(begin);
  const std::size_t panic = err.find("panic!");
  if (headerless && from != std::string::npos && panic != std::string::npos) {
    err.erase(from + begin.size(), panic - from - begin.size());
  }
  return err;
}

TEST(Import, SectionCountProblemsStopUnlessForced) {
  const ts::world_block sample = ts::sample_block();
  const std::string body = ts::dump_body(sample);
  const std::string all = importing(true);
  const std::string to_plant = importing(true, "plant");
  const std::string groups = groups_part(sample.creature_layer);
  const std::string through_plant = groups + sections_part(sample, "plant");
  const auto cut_after_plant = [&](const std::string& line) {
    return body_before(sample, "body") + "\n" + line + "\nLATE_LINE\n" +
           body.substr(body_before(sample, "body").size());
  };
  const std::string found3 = "panic! found 3 sections, expected 20";
  const std::string found1 = "panic! found 1 sections, expected 20";
  // The line put in by cut_after_plant, reported when it names no list.
  const std::string prefix = body_before(sample, "body");
  const auto unknown = [&](const std::string& name, std::ptrdiff_t lines_before = 0) {
    return "line " + std::to_string(std::count(prefix.begin(), prefix.end(), '\n') + 2 + lines_before) +
           ": unknown list name: " + name + "\n";
  };
  // A line cut in two pieces is still one line of the dump.
  ts::world_block overlong = sample;
  overlong.section("plant").push_back(std::string(32766, 'L'));
  overlong.section("plant").push_back("LLLL");

  const std::vector<count_case> cases = {
      {"missing end line", ts::dump_title(kDatPath) + body_before(sample, "END"),
       all + "panic! found 19 sections, expected 20\n",
       all + "panic! found 19 sections, expected 20" + kTrying, sample.encode()},
      {"last section given twice",
       body_before(sample, "END") +
           "\n====creature_variation====\nEXTRA_VARIATION\n\n====END====\n",
       all +
           "Importing creature_variation...\npanic! section found out of order! expected (null)\n",
       all +
           "Importing creature_variation...\npanic! section found out of order! expected (null)\n" +
           kTrying + "panic! found 21 sections, expected 20" + kTrying,
       sample.encode() + section_part({"EXTRA_VARIATION"})},
      {"creature_layer header after the sections began",
       cut_after_plant("====creature_layer=00000002===="), to_plant + found3 + "\n",
       to_plant + found3 + kTrying, through_plant},
      {"unknown section name", cut_after_plant("  ====Bogus===="),
       to_plant + unknown("Bogus") + found3 + "\n", to_plant + unknown("Bogus") + found3 + kTrying,
       through_plant},
      {"unknown section name after an overlong line",
       cut_after_plant(std::string(32770, 'L') + "\n====Bogus===="),
       to_plant + unknown("Bogus", 1) + found3 + "\n", to_plant + unknown("Bogus", 1) + found3 + kTrying,
       groups + sections_part(overlong, "plant")},
      {"header name holding its line end", cut_after_plant("====body"),
       to_plant + unknown("body") + found3 + "\n", to_plant + unknown("body") + found3 + kTrying,
       through_plant},
      {"end line too early", cut_after_plant("====END===="), to_plant + found3 + "\n",
       to_plant + found3 + kTrying, through_plant},
      {"groups only", ts::dump_title(kDatPath) + body_before(sample, "inorganic"),
       "Importing creature_layer...\n" + found1 + "\n",
       "Importing creature_layer...\n" + found1 + kTrying, groups},
      {"no header at all", "IRON\n  ====inorganic====\nPLANT\n", found1 + "\n", found1 + kTrying,
       std::string(4, '\0'), true},
      {"empty input", "", found1 + "\n", found1 + kTrying, std::string(4, '\0'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      ts::game_folder folder;
      auto r = import(folder, ts::sample_world_dat(), c.dump);
      r.err = without_headerless_report(r.err, c.headerless);
      ts::expect_consistency_stop(r, started("edited.txt") + c.plain, kStopUnchanged);
      expect_untouched(folder, ts::sample_world_dat());
    }
    {
      ts::game_folder folder;
      const auto r = import(folder, ts::sample_world_dat(), c.dump, "forceimport");
      // What force lets through is placed only when it reads back whole.
      const bool same = kHeader + c.block + kTail == ts::sample_world_dat();
      EXPECT_EQ(ts::mask_timestamps(without_headerless_report(r.err, c.headerless)),
                started("edited.txt") + c.forced +
                    finished(c.block, kSampleBlock, same ? kUnchanged : refused(c.block)));
      if (same) {
        expect_unchanged(folder, r, ts::sample_world_dat());
      } else {
        expect_refused(folder, r, ts::sample_world_dat());
      }
    }
  }
}

}  // namespace

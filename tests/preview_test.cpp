// The dry runs: check shows what a sync would add and compare how a dump's
// lists differ from the world's. Both write nothing, and what they report
// must be what the real run then does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {
const std::string kDatPath = "./data/save/region1/world.dat";
const auto kRegion = ts::game_folder::region_dir("region1");

std::string world_of(const ts::world_block& block) {
  return ts::world_dat_header() + block.encode() + ts::world_tail();
}

// The lines "  X" that a sync prints under each "Synchronizing s...".
std::string additions_in(const std::string& err) {
  std::string out, section;
  std::size_t count = 0;
  std::string listed;
  const auto flush = [&] {
    if (count > 0) out += section + ": " + std::to_string(count) + " to add\n" + listed;
    count = 0;
    listed.clear();
  };
  for (std::size_t at = 0, end; at < err.size(); at = end + 1) {
    end = err.find('\n', at);
    const std::string line = err.substr(at, end - at);
    if (line.starts_with("Synchronizing ")) {
      flush();
      section = line.substr(14, line.size() - 17);
    } else if (line.starts_with("  ") && !line.starts_with("  (")) {
      listed += line + "\n";
      ++count;
    }
  }
  flush();
  return out;
}
}  // namespace

TEST(Check, ReportsWhatTheFollowingSyncAdds) {
  ts::game_folder folder;
  folder.write_world("region1", world_of(ts::sample_block()));
  folder.write_raw("region1", "creature_new.txt",
                   "[OBJECT:CREATURE]\n[CREATURE:FEN_WADER]\n[CREATURE:CREATURE_ONE]\n[CREATURE:bog_imp]\n");
  folder.write_raw("region1", "item_new.txt", "[OBJECT:ITEM]\n[ITEM_TOOL:EEL_TRAP]\n");
  folder.write_raw("region1", "notes.txt", "just notes\n");
  const std::string world = folder.read(ts::game_folder::world_file("region1"));

  const auto check = ts::run_rawgraft(folder, {"1", "check"});
  EXPECT_EQ(check.status, 0) << check;
  EXPECT_EQ(check.out,
            "creature: 2 to add\n  FEN_WADER\n  BOG_IMP\nitem: 1 to add\n  EEL_TRAP\n"
            "Would add 3 identifiers to 2 lists.\n");
  EXPECT_NE(check.err.find("Synchronizing creature_variation...\nSkipped notes.txt: no [OBJECT: line\n"),
            std::string::npos)
      << check;
  EXPECT_EQ(check.err.find("  FEN_WADER"), std::string::npos) << check;
  EXPECT_EQ(check.err.find("Writing to new world file"), std::string::npos) << check;
  EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{"raw", "world.dat"}));
  EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), world);

  const auto sync = ts::run_rawgraft(folder, {"1", "sync"});
  EXPECT_EQ(sync.status, 0) << sync;
  EXPECT_EQ(additions_in(sync.err) + "Would add 3 identifiers to 2 lists.\n", check.out);
  // Both count the lists that gain identifiers, not all the world's lists.
  EXPECT_NE(sync.err.find("Added 3 identifiers to 2 lists.\n"), std::string::npos) << sync;

  const auto again = ts::run_rawgraft(folder, {"1", "check"});
  EXPECT_EQ(again.out, "Nothing to add.\n");
  const auto resync = ts::run_rawgraft(folder, {"1", "sync"});
  EXPECT_NE(resync.err.find("Added 0 identifiers to 0 lists.\n"), std::string::npos) << resync;
}

TEST(Compare, ReportsHowTheFollowingImportChangesTheLists) {
  const ts::world_block sample = ts::sample_block();
  const auto edit = [&](auto change) {
    ts::world_block block = sample;
    change(block);
    return block;
  };
  // Sections swapped, headers and all: force writes them where they stand.
  std::string swapped = ts::dump_title(kDatPath) + ts::dump_body(sample);
  const std::size_t plant_at = swapped.find("\n====plant====\n");
  const std::size_t body_at = swapped.find("\n====body====\n");
  const std::size_t after_body = swapped.find("\n====bodygloss====\n");
  swapped = swapped.substr(0, plant_at) + swapped.substr(body_at, after_body - body_at) +
            swapped.substr(plant_at, body_at - plant_at) + swapped.substr(after_body);
  const ts::world_block by_position = edit([](ts::world_block& b) {
    std::swap(b.section("plant"), b.section("body"));
  });
  const std::string refused_note =
      "Note: importing this dump would be refused: the new lists do not read back whole.\n";
  const struct {
    const char* name;
    ts::world_block dump;
    std::string title;  // the dump's first line's world path
    const char* command;  // and "force" + "import" follows it
    std::string text;     // the dump as written, when not `dump`'s
    std::string out;
    bool imported;  // after the following import the world holds the dump's lists
  } cases[] = {
      {"no change", sample, kDatPath, "compare", "", "No change.\n", true},
      {"added, removed and duplicated",
       edit([](ts::world_block& b) {
         b.section("plant") = {"PLANT_TWO", "NEW_PLANT", "PLANT_TWO"};
       }),
       kDatPath, "compare", "", "plant: 1 removed, 2 added\n  - PLANT_ONE\n  + NEW_PLANT\n  + PLANT_TWO\n",
       true},
      {"order only", edit([](ts::world_block& b) { std::swap(b.section("item")[0], b.section("item")[1]); }),
       kDatPath, "compare", "", "item: order changed\n", true},
      {"groups by position and their number",
       edit([](ts::world_block& b) { b.creature_layer = {{"LAYER_A1", "LAYER_A2"}}; }), kDatPath,
       "compare", "",
       "creature_layer: 1 groups, was 2\ncreature_layer 00000001: 1 removed, 0 added\n  - LAYER_B1\n",
       true},
      {"a group added",
       edit([](ts::world_block& b) { b.creature_layer.push_back({"LAYER_C1"}); }), kDatPath,
       "compare", "",
       "creature_layer: 3 groups, was 2\ncreature_layer 00000002: 0 removed, 1 added\n  + LAYER_C1\n",
       true},
      {"the last list cut off, forced",
       edit([](ts::world_block& b) { b.section("creature_variation").clear(); }), kDatPath,
       "forcecompare",
       ts::dump_title(kDatPath) +
           ts::dump_body(sample).substr(0, ts::dump_body(sample).find("\n====creature_variation====")),
       "creature_variation: 2 removed, 0 added\n  - CREATURE_VARIATION_ONE\n"
       "  - CREATURE_VARIATION_TWO\n" +
           refused_note + "  list creature_variation has no identifiers\n",
       false},
      // Written as the system writes its paths; shown with "/" here.
      {"another region's dump", sample,
       ts::windows_build() ? ".\\data\\save\\region7\\world.dat" : "./data/save/region7/world.dat",
       "compare", "",
       "Note: this dump was exported from ./data/save/region7/world.dat.\nNo change.\n", true},
      {"a list emptied", edit([](ts::world_block& b) { b.section("shape").clear(); }), kDatPath,
       "compare", "", "shape: 2 removed, 0 added\n  - SHAPE_ONE\n  - SHAPE_TWO\n" + refused_note +
           "  list shape has no identifiers\n",
       false},
      {"sections out of order, forced", by_position, kDatPath, "forcecompare", swapped,
       "plant: 2 removed, 2 added\n  - PLANT_ONE\n  - PLANT_TWO\n  + BODY_ONE\n  + BODY_TWO\n"
       "body: 2 removed, 2 added\n  - BODY_ONE\n  - BODY_TWO\n  + PLANT_ONE\n  + PLANT_TWO\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    folder.write_world("region1", world_of(sample));
    folder.write_file("edited.txt",
                      c.text.empty() ? ts::dump_title(c.title) + ts::dump_body(c.dump) : c.text);
    const auto r = ts::run_rawgraft(folder, {"1", c.command, "edited.txt"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
    const std::string import_command =
        std::string(c.command).starts_with("force") ? "forceimport" : "import";
    const auto import = ts::run_rawgraft(folder, {"1", import_command, "edited.txt"});
    EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")) == world_of(c.dump), c.imported)
        << import;
  }
}

// Listing a world's backups and putting one back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {
const auto kRegion = ts::game_folder::region_dir("region1");

// A world of the form its (backup) name says, with one more plant.
std::string world_with(const std::string& plant) {
  ts::world_block block = ts::sample_block();
  block.section("plant").push_back(plant);
  const bool sav = plant.starts_with("world.sav");
  return (sav ? ts::world_sav_header() : ts::world_dat_header()) + block.encode() + ts::world_tail();
}

// A region whose world and backups each hold a plant named after them.
void put_backups(const ts::game_folder& folder, const std::vector<std::string>& names) {
  for (const auto& name : names) folder.write_file(kRegion / name, world_with(name));
}
}  // namespace

TEST(Backups, AreListedNewestFirstByStampThenCounter) {
  ts::game_folder folder;
  folder.write_world("region1", world_with("CURRENT"));
  put_backups(folder, {"world.dat.20260101_120000", "world.dat.20260101_120000.2",
                       "world.dat.20260101_120000.10", "world.dat.20251231_235959",
                       "world.dat.20260102_000000.1"});
  // Not backups of this world: other forms, other names, broken stamps.
  put_backups(folder, {"world.sav.20270101_000000", "world.dat.TEMP", "world.dat.2026010_120000",
                       "world.dat.20260101_120000.x", "world.dat.20260101_120000.0"});
  const auto r = ts::run_rawgraft(folder, {"1", "backups"});
  EXPECT_EQ(r.status, 0) << r;
  const auto line = [&](const std::string& name) {
    return name + "  " + std::to_string(world_with(name).size()) + " bytes\n";
  };
  EXPECT_EQ(r.out, line("world.dat.20260102_000000.1") + line("world.dat.20260101_120000.10") +
                       line("world.dat.20260101_120000.2") + line("world.dat.20260101_120000") +
                       line("world.dat.20251231_235959"));
  std::size_t total = 0;
  for (const char* name : {"world.dat.20260102_000000.1", "world.dat.20260101_120000.10",
                           "world.dat.20260101_120000.2", "world.dat.20260101_120000",
                           "world.dat.20251231_235959"}) {
    total += world_with(name).size();
  }
  EXPECT_EQ(r.err, ts::banner_and_usage() + "5 backups, " + std::to_string(total) +
                       " bytes in all.\n");

  ts::game_folder empty;
  empty.write_world("region1", world_with("CURRENT"));
  const auto none = ts::run_rawgraft(empty, {"1", "backups"});
  EXPECT_EQ(none.status, 0) << none;
  EXPECT_EQ(none.out, "No backups of ./data/save/region1/world.dat.\n");
}

// Prune keeps the newest backups as the list orders them and removes the
// rest, touching no other file; it needs a count of at least 1.
TEST(Prune, KeepsTheNewestAndListsWhatGoes) {
  const std::vector<std::string> dat = {"world.dat.20260102_000000", "world.dat.20260101_120000.10",
                                        "world.dat.20260101_120000.2", "world.dat.20260101_120000"};
  const std::vector<std::string> sav = {"world.sav.20260301_000000.1", "world.sav.20260301_000000"};
  const std::string usage = "Error: prune needs the number of backups to keep (at least 1).\n";
  const struct {
    const char* name;
    bool saved_game;  // a world.sav world, beside world.dat backups of no world
    std::vector<std::string> args;
    int status;
    std::vector<std::string> removed;  // newest first
    std::string err_tail;
  } cases[] = {
      {"one", false, {"1", "prune", "1"}, 0, {dat[1], dat[2], dat[3]}, ""},
      {"two", false, {"1", "prune", "2"}, 0, {dat[2], dat[3]}, ""},
      {"as many as there are", false, {"1", "prune", "4"}, 0, {}, "Nothing to remove.\n"},
      {"more than there are", false, {"1", "prune", "99999999999999999999999"}, 0, {},
       "Nothing to remove.\n"},
      {"a world.sav world", true, {"1", "prune", "1"}, 0, {sav[1]}, ""},
      {"zero", false, {"1", "prune", "0"}, 2, {}, usage},
      {"no number", false, {"1", "prune"}, 2, {}, usage},
      {"not a number", false, {"1", "prune", "3x"}, 2, {}, usage},
      {"a negative number", false, {"1", "prune", "-1"}, 2, {}, usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    if (c.saved_game) {
      folder.write_world("region1", world_with("world.sav"), ts::world_form::sav);
      put_backups(folder, sav);
    } else {
      folder.write_world("region1", world_with("CURRENT"));
    }
    put_backups(folder, dat);
    folder.write_file(kRegion / (c.saved_game ? "world.sav.TEMP" : "world.dat.TEMP"), "partial");
    folder.write_file(kRegion / "world.dat.lock", "");
    const std::vector<std::string> before = folder.list(kRegion);
    const auto r = ts::run_rawgraft(folder, c.args);
    EXPECT_EQ(r.status, c.status) << r;
    std::string out, tail = c.err_tail;
    std::size_t bytes = 0;
    for (const auto& name : c.removed) {
      out += name + "  " + std::to_string(world_with(name).size()) + " bytes\n";
      bytes += world_with(name).size();
    }
    if (tail.empty()) {
      tail = "Removed " + std::to_string(c.removed.size()) + " backups, " + std::to_string(bytes) +
             " bytes.\n";
    }
    EXPECT_EQ(r.out, out);
    EXPECT_TRUE(r.err.ends_with(tail)) << r;
    std::vector<std::string> left = before;
    std::erase_if(left, [&](const std::string& name) {
      return std::find(c.removed.begin(), c.removed.end(), name) != c.removed.end();
    });
    EXPECT_EQ(folder.list(kRegion), left);
    EXPECT_TRUE(folder.exists(kRegion / "world.dat.lock"));
  }
}

TEST(Restore, PutsTheChosenBackupBackAndKeepsTheCurrentWorld) {
  const struct {
    const char* name;
    std::vector<std::string> backups;
    bool current;  // the region has a world
    const char* which;
    std::string restored;  // the backup put back, or "" when refused
    std::string error;
  } cases[] = {
      {"latest", {"world.dat.20260101_120000", "world.dat.20260101_120000.1"}, true, "latest",
       "world.dat.20260101_120000.1", ""},
      {"a named stamp", {"world.dat.20260101_120000", "world.dat.20260101_120000.1"}, true,
       "20260101_120000", "world.dat.20260101_120000", ""},
      {"a stamp and counter", {"world.dat.20260101_120000", "world.dat.20260101_120000.1"}, true,
       "20260101_120000.1", "world.dat.20260101_120000.1", ""},
      {"a listed name", {"world.dat.20260101_120000", "world.dat.20260101_120000.1"}, true,
       "world.dat.20260101_120000", "world.dat.20260101_120000", ""},
      {"a listed name with its counter",
       {"world.dat.20260101_120000", "world.dat.20260101_120000.1"}, true,
       "world.dat.20260101_120000.1", "world.dat.20260101_120000.1", ""},
      {"a listed world.sav name", {"world.sav.20260101_120000.2", "world.sav.20260301_000000"},
       false, "world.sav.20260101_120000.2", "world.sav.20260101_120000.2", ""},
      {"a listed name of the other form", {"world.dat.20260101_120000"}, true,
       "world.sav.20260101_120000", "", "Error: no backup world.sav.20260101_120000\n"},
      {"no current world: the newest of either form",
       {"world.dat.20260101_120000", "world.sav.20260301_000000"}, false, "latest",
       "world.sav.20260301_000000", ""},
      {"an unknown stamp", {"world.dat.20260101_120000"}, true, "20990101_000000", "",
       "Error: no backup 20990101_000000\n"},
      {"latest with no backup", {}, true, "latest", "", "Error: no backup latest\n"},
      {"a damaged backup", {"world.dat.20260101_120000"}, true, "latest", "",
       "Error: ./data/save/region1/world.dat.20260101_120000 is not a whole world; nothing "
       "changed.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    if (c.current) folder.write_world("region1", world_with("CURRENT"));
    put_backups(folder, c.backups);
    if (c.error.find("not a whole") != std::string::npos) {
      std::string damaged = world_with(c.backups[0]);
      damaged.resize(damaged.size() - ts::world_tail().size() - 30);
      folder.write_file(kRegion / c.backups[0], damaged);
    }
    const std::vector<std::string> before = folder.list(kRegion);
    const auto r = ts::run_rawgraft(folder, {"1", "restore", c.which});
    if (c.restored.empty()) {
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_TRUE(r.err.ends_with(c.error)) << r;
      EXPECT_EQ(folder.list(kRegion), before);
      if (c.current) {
        EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), world_with("CURRENT"));
      }
      continue;
    }
    EXPECT_EQ(r.status, 0) << r;
    const std::string world = c.restored.substr(0, 9);
    EXPECT_NE(r.err.find("Restoring ./data/save/region1/" + c.restored +
                         "\nWriting to new world file: ./data/save/region1/" + world + ".TEMP\n"),
              std::string::npos)
        << r;
    EXPECT_TRUE(r.err.ends_with("New World Placed.\n\nDone.\n")) << r;
    EXPECT_EQ(folder.read(kRegion / world), world_with(c.restored));
    EXPECT_EQ(folder.read(kRegion / c.restored), world_with(c.restored));  // the backup stays
    // The world it replaced is kept under a new backup name.
    const std::size_t backed_up = r.err.find("Backup successful: ./data/save/region1/" + world + ".");
    EXPECT_EQ(backed_up != std::string::npos, c.current) << r;
    if (c.current) {
      const auto stamp = ts::find_timestamps(r.err.substr(backed_up));
      ASSERT_FALSE(stamp.empty());
      const auto kept = folder.list(kRegion);
      const bool found = std::any_of(kept.begin(), kept.end(), [&](const std::string& name) {
        return name.starts_with(world + "." + stamp[0]) &&
               folder.read(kRegion / name) == world_with("CURRENT");
      });
      EXPECT_TRUE(found) << r;
    }
    EXPECT_FALSE(folder.exists(kRegion / (world + ".TEMP")));
  }

  ts::game_folder folder;
  folder.write_world("region1", world_with("CURRENT"));
  const auto r = ts::run_rawgraft(folder, {"1", "restore"});
  EXPECT_TRUE(r.err.ends_with("Error: no file given for restore.\n")) << r;
}

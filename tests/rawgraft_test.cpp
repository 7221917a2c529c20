// Command-line front end: banner, argument count, command word, force prefix,
// region name and the order in which these problems are reported; and the
// exit status of every way a run can end.
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

const std::string kUsage = ts::banner_and_usage();

std::string reading(const std::string& region, const std::string& file = "world.dat") {
  return "Reading Region " + region + " at ./data/save/" + region + "/" + file + "\n";
}

const std::string kNoSuchFile = ts::reason("No such file or directory");

std::string no_raws(const std::string& region) {
  return "Error: can not open raws: ./data/save/" + region + "/raw/objects\n" + kNoSuchFile;
}

// A good world for region1, with no raw folder: a sync stops right after the
// identification lines.
class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override { folder.write_world("region1", ts::sample_world_dat()); }

  // The run must end with `status`, print nothing on standard output and
  // leave the region folder as it was.
  void expect_clean_end(const ts::run_result& r, int status, const std::string& expected_err) {
    EXPECT_EQ(r.status, status) << r;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected_err);
    EXPECT_EQ(folder.list(ts::game_folder::region_dir("region1")), std::vector<std::string>{"world.dat"});
    EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), ts::sample_world_dat());
  }

  ts::game_folder folder;
};

TEST_F(FrontEnd, WrongArgumentCountsStopAfterTheUsage) {
  const std::string message = kUsage + "\nInvalid number of parameters. Exiting.\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"1"}, {"1", "export", "out.txt", "extra"}, {"1", "sync", "a", "b"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_clean_end(ts::run_rawgraft(folder, args), 2, message);
    EXPECT_EQ(folder.list(), std::vector<std::string>{"data"});
  }
}

TEST_F(FrontEnd, SyncReadsTheWorldAndStopsWithoutRaws) {
  const std::string expected =
      kUsage + reading("region1") + "World Identified: Testworld\n" + no_raws("region1");
  // Case and the force prefix both resolve to sync; a fourth argument is ignored.
  for (const auto& args : std::vector<std::vector<std::string>>{{"1", "sync"},
                                                                {"1", "SYNC"},
                                                                {"1", "forcesync"},
                                                                {"1", "forceSync"},
                                                                {"1", "sync", "ignored.txt"},
                                                                {" 1\t", " sync\n"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_clean_end(ts::run_rawgraft(folder, args), 1, expected);
    EXPECT_FALSE(folder.exists("ignored.txt"));
  }
}

struct invalid_command_case {
  std::string given;
  std::string reported;
  friend void PrintTo(const invalid_command_case& c, std::ostream* os) { *os << '"' << c.given << '"'; }
};

class InvalidCommand : public FrontEnd, public ::testing::WithParamInterface<invalid_command_case> {};

TEST_P(InvalidCommand, IsReportedAfterForcePrefixRemoval) {
  const auto& c = GetParam();
  expect_clean_end(ts::run_rawgraft(folder, {"1", c.given, "file.txt"}), 2,
                   kUsage + "Error: invalid command: " + c.reported + "\n");
  EXPECT_FALSE(folder.exists("file.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Words, InvalidCommand,
    ::testing::Values(invalid_command_case{"bogus", "bogus"},
                      invalid_command_case{"exports", "exports"},
                      invalid_command_case{"sync2", "sync2"},
                      invalid_command_case{"  import x ", "import x"},
                      invalid_command_case{"Forceimport", "Forceimport"},
                      invalid_command_case{"FORCEexport", "FORCEexport"},
                      invalid_command_case{"force-import", "-import"},
                      invalid_command_case{"force", ""},
                      invalid_command_case{"forceforceimport", "forceimport"},
                      invalid_command_case{"force sync", " sync"}));

TEST_F(FrontEnd, ImportOrExportWithoutFileStopsBeforeReadingTheWorld) {
  for (const auto& [command, word] : std::vector<std::pair<std::string, std::string>>{
           {"import", "import"},
           {"export", "export"},
           {"EXPORT", "export"},
           {"Import", "import"},
           {"forceimport", "import"},
           {"forceExport", "export"}}) {
    SCOPED_TRACE(command);
    expect_clean_end(ts::run_rawgraft(folder, {"1", command}), 2,
                     kUsage + "Error: no file given for " + word + ".\n");
    EXPECT_EQ(folder.list(), std::vector<std::string>{"data"});
  }
}

TEST(MissingWorld, ReportsTheSavPathBeforeAnyCommandProblem) {
  ts::game_folder folder;
  folder.make_dir(ts::game_folder::region_dir("region2"));
  folder.write_world("region1", ts::sample_world_dat());  // another region must not be picked
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"2", "sync"}, {"2", "bogus"}, {"2", "export"}, {"2", "import", "in.txt"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto r = ts::run_rawgraft(folder, args);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage + "Error: can not open region file: ./data/save/region2/world.sav\n" +
                         kNoSuchFile + "Regions here: region1\n");
  }
  EXPECT_TRUE(folder.list(ts::game_folder::region_dir("region2")).empty());

  const auto no_region = ts::run_rawgraft(folder, {"oldworld", "sync"});
  EXPECT_EQ(no_region.err, kUsage + "Error: can not open region file: ./data/save/oldworld/world.sav\n" +
                               kNoSuchFile + "Regions here: region1\n");
  EXPECT_FALSE(folder.exists(ts::game_folder::region_dir("oldworld")));
}

struct region_case {
  std::string argument;
  std::string region;
  friend void PrintTo(const region_case& c, std::ostream* os) { *os << '"' << c.argument << '"'; }
};

class RegionName : public ::testing::TestWithParam<region_case> {};

TEST_P(RegionName, SelectsTheSaveFolder) {
  const auto& c = GetParam();
  ts::game_folder folder;
  folder.write_world(c.region, ts::sample_world_dat());
  const auto r = ts::run_rawgraft(folder, {c.argument, "sync"});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.err, kUsage + reading(c.region) + "World Identified: Testworld\n" + no_raws(c.region));
}

// A non-zero leading number (as atoi reads it) gets "region" put in front;
// anything else is a folder name as it stands.
INSTANTIATE_TEST_SUITE_P(Arguments, RegionName,
                         ::testing::Values(region_case{"1", "region1"},
                                           region_case{"12", "region12"},
                                           region_case{"3b", "region3b"},
                                           region_case{"007", "region007"},
                                           region_case{"-2", "region-2"},
                                           region_case{"+5", "region+5"},
                                           region_case{" 4 ", "region4"},
                                           region_case{"region1", "region1"},
                                           region_case{"0", "0"},
                                           region_case{"00", "00"},
                                           region_case{"oldworld", "oldworld"},
                                           region_case{"b3", "b3"},
                                           region_case{"my world", "my world"}));

TEST(RegionNameLength, OneHundredTwentySevenCharactersIsTheLimit) {
  ts::game_folder folder;
  const std::string longest(127, 'w');
  folder.write_world(longest, ts::sample_world_dat());
  const auto ok = ts::run_rawgraft(folder, {longest, "sync"});
  EXPECT_EQ(ok.err, kUsage + reading(longest) + "World Identified: Testworld\n" + no_raws(longest));

  // "region" + "3" + 120 letters is 127 characters.
  const std::string numbered = "3" + std::string(120, 'b');
  folder.write_world("region" + numbered, ts::sample_world_dat());
  const auto ok2 = ts::run_rawgraft(folder, {numbered, "sync"});
  EXPECT_EQ(ok2.err, kUsage + reading("region" + numbered) + "World Identified: Testworld\n" +
                         no_raws("region" + numbered));

  const std::string too_long(128, 'w');
  folder.write_world(too_long, ts::sample_world_dat());
  for (const auto& args : std::vector<std::vector<std::string>>{{too_long, "sync"},
                                                                {numbered + "b", "sync"},
                                                                {too_long, "bogus"},
                                                                {std::string(5000, '7'), "sync"}}) {
    SCOPED_TRACE(args[0].size());
    const auto r = ts::run_rawgraft(folder, args);
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage + "Error: region name too long.\n");
  }
  EXPECT_EQ(folder.list(ts::game_folder::region_dir(too_long)), std::vector<std::string>{"world.dat"});
}

struct end_case {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string err_tail;  // how standard error ends
  std::function<void(const ts::game_folder&)> arrange = {};
  std::string out = {};  // standard output, for the runs that answer there alone
};

// Every end a run can reach from the command line, with its exit status:
// 0 what was asked was done, 1 an error (force's warnings aside), 2 misuse.
// Rewrite failures that need a full disk or a taken backup name are in the
// world rewrite tests.
TEST(Ends, EveryEndHasItsExitStatus) {
  namespace fs = std::filesystem;
  const std::string sav = "Error: can not open region file: ./data/save/region2/world.sav\n" +
                          kNoSuchFile;
  const auto world = [](ts::dat_header_fields fields) {
    return [fields](const ts::game_folder& f) { f.write_world("region1", ts::sample_world_dat(fields)); };
  };
  const std::vector<end_case> cases = {
      {"help", {"--help"}, 0, "", {}, "rawgraft 31.5.3: shows and changes"},
      {"short help", {"-h"}, 0, "", {}, "rawgraft 31.5.3: shows and changes"},
      {"help as a word", {"help"}, 0, "", {}, "rawgraft 31.5.3: shows and changes"},
      {"help as a word, in capitals", {"HELP"}, 0, "", {}, "rawgraft 31.5.3: shows and changes"},
      // Windows' own habit; elsewhere a lone argument like any other.
      ts::windows_build()
          ? end_case{"/?", {"/?"}, 0, "", {}, "rawgraft 31.5.3: shows and changes"}
          : end_case{"/?", {"/?"}, 2, "\nInvalid number of parameters. Exiting.\n"},
      {"help word among other arguments", {"1", "help"}, 2, "Error: invalid command: help\n"},
      {"version", {"--version"}, 0, "", {}, "rawgraft 31.5.3\n"},
      {"help among other arguments", {"1", "--help"}, 2, "Error: invalid command: --help\n"},
      {"too few arguments", {"1"}, 2, "\nInvalid number of parameters. Exiting.\n"},
      {"invalid command", {"1", "bogus", "f.txt"}, 2, "Error: invalid command: bogus\n"},
      {"no file", {"1", "import"}, 2, "Error: no file given for import.\n"},
      {"region name too long", {std::string(128, 'w'), "sync"}, 2, "Error: region name too long.\n"},
      {"not in a game folder", {"2", "sync"}, 1,
       sav + "rawgraft runs in the game's folder, the one that holds data/save.\n",
       [](const ts::game_folder& f) { fs::remove_all(f.path("data")); }},
      {"no saved regions", {"2", "sync"}, 1, sav + "No saved regions in ./data/save.\n",
       [](const ts::game_folder& f) {
         fs::remove(f.path(ts::game_folder::world_file("region1")));
         f.write_file("data/save/notes.txt", "");
       }},
      // Byte order, the saved-game form, twenty at most; folders without a
      // world are no regions.
      {"other regions", {"2", "sync"}, 1,
       sav + "Regions here: B_sav, r00, r01, r02, r03, r04, r05, r06, r07, r08, r09, r10, r11, "
             "r12, r13, r14, r15, r16, r17, r18, ...\n",
       [](const ts::game_folder& f) {
         f.write_world("B_sav", "", ts::world_form::sav);
         f.make_dir(ts::game_folder::region_dir("A_empty"));
         for (int i = 18; i >= 0; --i) f.write_world((i < 10 ? "r0" : "r") + std::to_string(i), "");
       }},
      {"unsupported version", {"1", "export", "out.txt"}, 1,
       "Error: world file version unsupported: 5.50\n", world({.version = 1330})},
      {"unsupported version, forced", {"1", "forceexport", "out.txt"}, 0, "Exported 20 sections.\n",
       world({.version = 1330})},
      {"long world name", {"1", "import", "out.txt"}, 1,
       "World name is unlikely long.  This is usually because the file is corrupt, compressed, or "
       "an unsupported version.\n",
       world({.world_name = std::string(101, 'W')})},
      {"compressed but damaged, forced", {"1", "forceexport", "out.txt"}, 1,
       "Error: compressed world file is damaged at byte 8: chunk runs past the end of the file\n",
       world({.compressed = 1})},
      {"short world", {"1", "sync"}, 1, "Error: could not read world.dat or world.sav file.\n",
       [](const ts::game_folder& f) { f.write_world("region1", "1234"); }},
      {"export into a missing folder", {"1", "export", "none/out.txt"}, 1,
       "Error: can not open output file: none/out.txt\n" + kNoSuchFile},
      {"export over the world", {"1", "export", "data/save/region1/world.dat"}, 1,
       "Error: export file is the world file: data/save/region1/world.dat\n"},
      {"export", {"1", "export", "out.txt"}, 0, "Exported 20 sections.\n"},
      {"import of a missing file", {"1", "import", "none.txt"}, 1,
       "Error: can not open input file: none.txt\n" + kNoSuchFile},
      {"import out of order", {"1", "import", "dump.txt"}, 1,
       "panic! section found out of order! expected inorganic\n"
       "consistency check failed: sections in table order\n"
       "./data/save/region1/world.dat is unchanged.\n",
       [](const ts::game_folder& f) { f.write_file("dump.txt", "====plant====\nOAK\n"); }},
      {"sync without raws", {"1", "sync"}, 1, no_raws("region1")},
      {"new world cannot be created", {"1", "sync"}, 1,
       "Error: can not create new world file: ./data/save/region1/world.dat.TEMP\n" +
           ts::reason("File exists") + "./data/save/region1/world.dat is unchanged.\n",
       [](const ts::game_folder& f) {
         f.make_dir(ts::game_folder::raw_dir("region1"));
         f.make_dir(ts::game_folder::region_dir("region1") / "world.dat.TEMP");
       }},
      {"sync", {"1", "sync"}, 0, "No change: ./data/save/region1/world.dat already holds these lists.\n",
       [](const ts::game_folder& f) { f.make_dir(ts::game_folder::raw_dir("region1")); }},
  };
  for (const end_case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    folder.write_world("region1", ts::sample_world_dat());
    if (c.arrange) c.arrange(folder);
    const auto world = ts::game_folder::world_file("region1");
    const std::string before = folder.exists(world) ? folder.read(world) : "";
    const auto r = ts::run_rawgraft(folder, c.args);
    EXPECT_EQ(r.status, c.status) << r;
    // No end changes the world.
    EXPECT_EQ(folder.exists(world) ? folder.read(world) : "", before);
    EXPECT_TRUE(r.err.ends_with(c.err_tail)) << r;
    // --help and --version answer on standard output alone, without the banner.
    EXPECT_EQ(r.err.empty(), !c.out.empty()) << r;
    EXPECT_TRUE(r.out.starts_with(c.out)) << r;
  }
}

}  // namespace

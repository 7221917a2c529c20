// Checks of the test harness itself: if these break, every end-to-end result is suspect.
#include <sys/resource.h>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

// Runs a shell script through the launcher slot; the program path becomes $0.
ts::run_result sh(const ts::game_folder& folder, const std::string& script,
                  const std::string& input = "", ts::run_options options = {}) {
  options.launcher = {"/bin/sh", "-c", script};
  return ts::run_rawgraft(folder, {}, input, options);
}

TEST(Runner, CollectsLargeInterleavedStreamsAndEchoesLargeInput) {
  ts::game_folder folder;
  const auto big = sh(folder,
                      "head -c 3000000 /dev/zero >&2; head -c 9000000 /dev/zero; "
                      "head -c 2000000 /dev/zero >&2; printf end >&2");
  EXPECT_EQ(big.status, 0);
  EXPECT_FALSE(big.timed_out);
  EXPECT_EQ(big.out.size(), 9000000u);
  EXPECT_EQ(big.err.size(), 5000003u);
  EXPECT_TRUE(big.err.ends_with("end"));

  const std::string input = ts::filler(6 * 1024 * 1024, 9);
  const auto echo = sh(folder, "cat", input);
  EXPECT_EQ(echo.status, 0);
  EXPECT_TRUE(echo.out == input) << "echoed " << echo.out.size() << " of " << input.size();
}

TEST(Runner, ReportsExitCodesSignalsAndUnreadInput) {
  ts::game_folder folder;
  EXPECT_EQ(sh(folder, "exit 3", std::string(4 << 20, 'x')).status, 3);
  EXPECT_EQ(sh(folder, "kill -SEGV $$").status, 128 + 11);
  const auto missing = ts::run_rawgraft(folder, {}, "", {.program = "/nonexistent/rawgraft"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.err.find("exec failed"), std::string::npos);
}

TEST(Runner, KillsTheWholeGroupAfterTheTimeout) {
  ts::game_folder folder;
  const auto start = std::chrono::steady_clock::now();
  const auto r = sh(folder, "sleep 30; echo late", "", {.timeout = std::chrono::milliseconds(300)});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.status, 128 + 9);
  EXPECT_NE(r.err.find("timeout"), std::string::npos);
  EXPECT_EQ(r.out, "");
}

TEST(Runner, ChildRunsInTheFolderInItsOwnSessionWithGivenEnvironment) {
  ts::game_folder folder;
  const auto r = sh(folder,
                    "pwd -P; printf '%s|%s|' \"$0\" \"$RAWGRAFT_PROBE\"; "
                    "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo leader",
                    "", {.env = {{"RAWGRAFT_PROBE", "probe value"}}});
  EXPECT_EQ(r.out, std::filesystem::canonical(folder.root()).string() + "\n" + RAWGRAFT_BINARY +
                       "|probe value|leader\n");
}

TEST(Runner, ChildHookCanLimitFileSize) {
  ts::game_folder folder;
  ts::run_options options;
  options.in_child = [] {
    const rlimit limit{1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  sh(folder, "head -c 5000 /dev/zero > big", "", options);
  EXPECT_LE(folder.read("big").size(), 1000u);
}

TEST(GameFolder, WritesListsAndCleansUp) {
  std::filesystem::path root;
  {
    ts::game_folder folder;
    root = folder.root();
    folder.write_world("region1", "abc");
    folder.write_world("region1", "sav", ts::world_form::sav);
    folder.write_raw("region1", "creature_x.txt", "[OBJECT:CREATURE]\n");
    folder.make_symlink("world.dat", ts::game_folder::region_dir("region1") / "link");
    folder.make_symlink("nowhere", "dangling");
    EXPECT_EQ(folder.read("data/save/region1/world.dat"), "abc");
    EXPECT_EQ(folder.list("data/save/region1"),
              (std::vector<std::string>{"link", "raw", "world.dat", "world.sav"}));
    EXPECT_EQ(folder.list(ts::game_folder::raw_dir("region1")),
              std::vector<std::string>{"creature_x.txt"});
    EXPECT_TRUE(folder.exists("dangling"));
    EXPECT_FALSE(folder.exists("data/save/region2"));
    EXPECT_TRUE(folder.list("data/save/region2").empty());
    EXPECT_THROW(folder.path("../escape"), std::invalid_argument);
    EXPECT_THROW(folder.path("/etc"), std::invalid_argument);
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(WorldImage, HeadersPutNamesAtTheirOffsets) {
  const std::string dat = ts::world_dat_header({.version = 1349, .funky = 2, .compressed = 7,
                                                .world_name = "Abc"});
  ASSERT_EQ(dat.size(), 146u + 2 + 3);
  EXPECT_EQ(ts::get_u16(dat, 0), 1349);
  EXPECT_EQ(ts::get_u16(dat, 2), 2);
  EXPECT_EQ(ts::get_u32(dat, 4), 7u);
  EXPECT_EQ(ts::get_u16(dat, 146), 3);
  EXPECT_EQ(dat.substr(148), "Abc");

  const std::string sav = ts::world_sav_header({.fortress_name = "Fo", .world_name = "Wor"});
  ASSERT_EQ(sav.size(), 94u + 2 + 2 + 2 + 3 + 4);
  EXPECT_EQ(ts::get_u16(sav, 0), 1329);
  EXPECT_EQ(sav.substr(94, 4), std::string("\x02\x00" "Fo", 4));
  EXPECT_EQ(sav.substr(98, 5), std::string("\x03\x00Wor", 5));
}

TEST(WorldImage, BlockEncodesCountsAndOverrides) {
  ts::world_block block;
  block.creature_layer = {{"A"}, {"BC", ""}};
  for (auto& s : block.sections) s = {"x"};
  block.section("creature_variation") = {"LAST"};
  std::string expected("\x02\x00\x00\x00"
                       "\x01\x00\x00\x00\x01\x00"
                       "A"
                       "\x02\x00\x00\x00\x02\x00"
                       "BC\x00\x00",
                       21);
  for (int k = 0; k < 18; ++k) expected += std::string("\x01\x00\x00\x00\x01\x00x", 7);
  expected += std::string("\x01\x00\x00\x00\x04\x00LAST", 10);
  EXPECT_EQ(block.encode(), expected);

  block.group_count = -1;
  block.group_string_counts = {std::nullopt, 0};
  block.section_counts[0] = 0x7FFFFFFF;
  const std::string bad = block.encode();
  EXPECT_EQ(ts::get_u32(bad, 0), 0xFFFFFFFFu);
  EXPECT_EQ(ts::get_u32(bad, 11), 0u);
  EXPECT_EQ(ts::get_u32(bad, 21), 0x7FFFFFFFu);
}

std::string from_windows(const std::string& text, const std::vector<std::string>& user_texts = {},
                         bool dump = false) {
  std::string problems;
  const std::string shown = ts::from_windows_text(text, user_texts, dump, problems);
  EXPECT_EQ(problems, "") << text;
  return shown;
}

TEST(WindowsText, LineEndsAndBuiltPathsTakeThePosixForm) {
  EXPECT_EQ(from_windows("Reading Region r at .\\data\\save\\r\\world.dat\r\n"
                         "World Identified: a\\b\r\n\r\nDone.\r\n"),
            "Reading Region r at ./data/save/r/world.dat\nWorld Identified: a\\b\n\nDone.\n");
  EXPECT_EQ(
      from_windows("Error: could not open .\\data\\save\\r\\raw\\objects\\x.txt.  Skipping.\r\n"),
      "Error: could not open ./data/save/r/raw/objects/x.txt.  Skipping.\n");
  // A CR of the text itself stays; no final line end is needed.
  EXPECT_EQ(from_windows("tab\r\r\nlone\rcr\r\nend"), "tab\r\nlone\rcr\nend");
  // In a dump only the first line holds a built path.
  EXPECT_EQ(from_windows("**data exported from .\\data\\save\\r\\world.dat on X by Rawgraft**\r\n"
                         ".\\data\\save\\id\r\n",
                         {}, true),
            "**data exported from ./data/save/r/world.dat on X by Rawgraft**\n.\\data\\save\\id\n");
  // The user's own file argument is shown as given.
  EXPECT_EQ(from_windows("Error: export file is the world file: ./data/save/r/world.dat\r\n",
                         {"./data/save/r/world.dat"}),
            "Error: export file is the world file: ./data/save/r/world.dat\n");
}

TEST(WindowsText, BareLineEndsAndSlashesInBuiltPathsAreProblems) {
  for (const std::string text :
       {"line\n", "a\r\nb\n", "\n", "at ./data/save/r/world.dat\r\n",
        "at .\\data\\save\\r/world.dat\r\n", "at .\\data/save\\r\\world.dat\r\n",
        "./data/save/r/world.dat in the title\r\n"}) {
    std::string problems;
    ts::from_windows_text(text, {"world.dat"}, true, problems);
    EXPECT_NE(problems, "") << text;
  }
}

TEST(Timestamps, MasksOnlyWholeStamps) {
  EXPECT_EQ(ts::mask_timestamps("world.dat.20261208_140502\non 20261208_140502 by"),
            "world.dat.YYYYMMDD_HHMMSS\non YYYYMMDD_HHMMSS by");
  EXPECT_EQ(ts::mask_timestamps("120261208_140502 20261208_1405021 2026120_1405020"),
            "120261208_140502 20261208_1405021 2026120_1405020");
  EXPECT_EQ(ts::find_timestamps("a20261208_140502b19991231_235959"),
            (std::vector<std::string>{"20261208_140502", "19991231_235959"}));
}

}  // namespace

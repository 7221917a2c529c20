// Files and races around a run: exports racing for one file, a lock file
// that is a link, a file-size limit. None may lose a dump or a world, hang,
// or touch a file outside the game folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

const auto kRegion = ts::game_folder::region_dir("region1");
const std::string kPath = "./data/save/region1/world.dat";

// Whole dumps end with the end line; a cut one does not.
bool whole_dump(const std::string& text) {
  return text.starts_with("**data exported from ") && text.ends_with("\n====END====\n");
}

TEST(HostileFiles, ConcurrentExportsToOneFileEachWriteAWholeDumpOrAreRefused) {
  SKIP_ON_WINDOWS_BUILD("eight Wine processes at once take minutes");
  ts::game_folder folder;
  // A large block makes the exports overlap.
  ts::world_block block = ts::sample_block();
  for (int i = 0; i < 60000; ++i) block.section("word").push_back("WORD_" + std::to_string(i));
  folder.write_world("region1", ts::world_dat_header() + block.encode() + ts::world_tail());
  folder.write_file("out.txt", ts::dump_title(kPath) + ts::dump_body(ts::sample_block()));
  // A TEMP that a killed export left is not a running one: it is replaced.
  folder.write_file("out.txt.TEMP", "cut dump");
  const std::string refused = "Error: another run is writing out.txt\n";
  int written = 0, refusals = 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<ts::run_result> runs(8);
    std::vector<std::thread> threads;
    for (auto& r : runs) threads.emplace_back([&] { r = ts::run_rawgraft(folder, {"1", "export", "out.txt"}); });
    for (auto& thread : threads) thread.join();
    for (const auto& r : runs) {
      const bool was_refused = r.err.ends_with(refused);
      EXPECT_EQ(r.status, was_refused ? 1 : 0) << r;
      EXPECT_TRUE(was_refused || r.err.ends_with("Exported 20 sections.\n")) << r;
      (was_refused ? refusals : written)++;
    }
    EXPECT_TRUE(whole_dump(folder.read("out.txt"))) << "round " << round;
    EXPECT_FALSE(folder.exists("out.txt.TEMP")) << "round " << round;
    if (HasFailure()) return;
  }
  RecordProperty("written", written);
  RecordProperty("refused", refusals);
}

TEST(HostileFiles, ALockFileThatIsALinkIsRefusedAndItsTargetLeftAlone) {
  SKIP_ON_WINDOWS_BUILD("Wine follows a Unix symbolic link as a file");
  for (const bool dangling : {true, false}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1", "export", "-"}, {"1", "sync"}}) {
      SCOPED_TRACE(std::string(dangling ? "dangling link, " : "link to a file, ") + args[1]);
      ts::game_folder folder;
      folder.write_world("region1", ts::sample_world_dat());
      folder.make_dir(ts::game_folder::raw_dir("region1"));
      if (!dangling) folder.write_file("elsewhere.txt", "not a lock");
      folder.make_symlink("../../../elsewhere.txt", kRegion / "world.dat.lock");
      const auto r = ts::run_rawgraft(folder, args);
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_TRUE(r.err.ends_with("Error: can not lock ./data/save/region1/world.dat.lock\n" +
                                  ts::reason("Too many levels of symbolic links")))
          << r;
      EXPECT_EQ(folder.exists("elsewhere.txt"), !dangling);
      if (!dangling) {
        EXPECT_EQ(folder.read("elsewhere.txt"), "not a lock");
      }
      EXPECT_EQ(folder.read(kRegion / "world.dat"), ts::sample_world_dat());
    }
  }
}

// A write past `ulimit -f` is a write error like a full disk, not a death
// by SIGXFSZ; the signal's action is left as a shell leaves it.
TEST(HostileFiles, AFileSizeLimitIsReportedAsAWriteError) {
  SKIP_ON_WINDOWS_BUILD("Windows has no file-size limit");
  const std::string world = ts::world_dat_header() + ts::sample_block().encode() +
                            ts::world_tail(2 << 20);
  ts::world_block edited = ts::sample_block();
  edited.section("creature").push_back("NEW_BEAST");
  const struct {
    std::vector<std::string> args;
    std::string tail;
  } cases[] = {
      {{"1", "import", "edited.txt"},
       "Error: could not write new world file: " + kPath + ".TEMP\n" + ts::reason("File too large") +
           kPath + " is unchanged.\n"},
      {{"1", "export", "big.txt"}, "Error: could not write export to big.txt\n" +
                                       ts::reason("File too large")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    ts::game_folder folder;
    ts::world_block big = edited;
    for (int i = 0; i < 20000; ++i) big.section("word").push_back("WORD_" + std::to_string(i));
    folder.write_world("region1", c.args[1] == "export"
                                      ? ts::world_dat_header() + big.encode() + ts::world_tail()
                                      : world);
    folder.write_file("edited.txt", ts::dump_title(kPath) + ts::dump_body(edited));
    ts::run_options options;
    options.in_child = [] {
      ::signal(SIGXFSZ, SIG_DFL);
      const rlimit fsize{1 << 17, 1 << 17};
      ::setrlimit(RLIMIT_FSIZE, &fsize);
    };
    const auto r = ts::run_rawgraft(folder, c.args, "", options);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(r.err.ends_with(c.tail)) << r;
    for (const std::string& name : folder.list(kRegion)) EXPECT_EQ(name, "world.dat");
    EXPECT_FALSE(folder.exists("big.txt.TEMP"));
    EXPECT_FALSE(folder.exists("big.txt"));
  }
}

}  // namespace

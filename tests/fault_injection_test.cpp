// Failures of the machine rather than of the input: full disks, files that
// cannot be read, closed output. Each must end with a clear message and the
// world untouched; nothing may be half placed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {
const std::string kTempPath = "./data/save/region1/world.dat.TEMP";
const std::string kWriteFailed =
    "Error: could not write new world file: " + kTempPath + "\n" + ts::reason("File too large");

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    world = ts::world_dat_header() + ts::sample_block().encode() + ts::world_tail(3 << 20);
    folder.write_world("region1", world);
    folder.write_file("dump.txt", ts::run_rawgraft(folder, {"1", "export", "-"}).out);
    folder.write_raw("region1", "creature_new.txt", "[OBJECT:CREATURE]\n[CREATURE:MARSH_NEWT]\n");
  }

  std::vector<std::string> region_files() {
    return folder.list(ts::game_folder::region_dir("region1"));
  }
  void expect_world_untouched() {
    EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), world);
    for (const std::string& name : region_files()) {
      EXPECT_TRUE(name == "world.dat" || name == "world.dat.TEMP" || name == "raw") << name;
    }
  }

  ts::game_folder folder;
  std::string world;
};

// The child writes at most `limit` bytes to any file and gets an error, not a
// signal, past it.
ts::run_options file_size_limit(rlim_t limit) {
  ts::run_options options;
  options.in_child = [limit] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit cap{limit, limit};
    setrlimit(RLIMIT_FSIZE, &cap);
  };
  return options;
}
}  // namespace

TEST_F(Faults, AFullDiskStopsImportAndSyncBeforeAnyRename) {
  // The header fits, the block may, the 3 MiB rest cannot.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"1", "import", "dump.txt"}, std::vector<std::string>{"1", "sync"}}) {
    const ts::run_result r = ts::run_rawgraft(folder, args, "", file_size_limit(1 << 20));
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(r.err.ends_with(kWriteFailed)) << r;
    EXPECT_EQ(r.err.find("Backup successful"), std::string::npos);
    expect_world_untouched();
    EXPECT_TRUE(folder.exists(ts::game_folder::region_dir("region1") / "world.dat.TEMP"));
  }
}

TEST_F(Faults, ATempNameLinkedElsewhereIsReplacedNotWrittenThrough) {
  SKIP_ON_WINDOWS_BUILD("Wine deletes and renames the target of a Unix symbolic link, not the link");
  // A full device and a precious file behind the TEMP name stay as they are.
  folder.write_file("precious.txt", "keep me");
  for (const std::string target : {"/dev/full", "../../../precious.txt"}) {
    folder.make_symlink(target, ts::game_folder::region_dir("region1") / "world.dat.TEMP");
    const ts::run_result r = ts::run_rawgraft(folder, {"1", "import", "dump.txt"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(r.err.ends_with("New World Placed.\n\nDone.\n")) << r;
    EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), world);
    EXPECT_EQ(folder.read("precious.txt"), "keep me");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a fresh backup name
  }
}

TEST_F(Faults, AWorldThatCannotBeReadIsReported) {
  ts::game_folder unreadable;
  unreadable.make_dir(ts::game_folder::world_file("region1"));
  const ts::run_result r = ts::run_rawgraft(unreadable, {"1", "export", "-"});
  EXPECT_EQ(r.status, 1) << r;
  // Windows cannot open a folder as a file at all, so there the world is
  // missing and the saved-game form is tried in vain.
  EXPECT_TRUE(r.err.ends_with(
      ts::windows_build() ? "Error: can not open region file: ./data/save/region1/world.sav\n" +
                                ts::reason("not found") + "No saved regions in ./data/save.\n"
                          : "Error: could not read world file: ./data/save/region1/world.dat\n" +
                                ts::reason("Is a directory")))
      << r;
  EXPECT_EQ(r.out, "");
}

TEST_F(Faults, ExportToAClosedOrFullStandardOutputFails) {
  const auto redirect = [](auto make_stdout) {
    ts::run_options options;
    options.in_child = make_stdout;
    return options;
  };
  const std::vector<std::pair<ts::run_options, std::string>> broken_outputs = {
      {redirect([] { close(1); }), "Bad file descriptor"},
      {redirect([] { dup2(open("/dev/full", O_WRONLY), 1); }), "No space left on device"},
      {redirect([] {
         int ends[2];
         if (pipe(ends) == 0) {
           close(ends[0]);  // nobody will ever read
           dup2(ends[1], 1);
         }
       }),
       "Broken pipe"},
  };
  for (const auto& [options, reason] : broken_outputs) {
    const ts::run_result r = ts::run_rawgraft(folder, {"1", "export", "-"}, "", options);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(r.err.ends_with("Beginning file export...\nError: could not write export to -\n" +
                                ts::reason(reason)))
        << r;
    EXPECT_EQ(r.err.find("Exported"), std::string::npos);
  }
  expect_world_untouched();
}

TEST_F(Faults, PipesAndSocketsInTheRawFolderAreSkippedNotWaitedOn) {
  const std::string objects = folder.path(ts::game_folder::raw_dir("region1")).string();
  ASSERT_EQ(mkfifo((objects + "/a_pipe.txt").c_str(), 0644), 0);
  folder.make_symlink("a_pipe.txt", ts::game_folder::raw_dir("region1") / "b_link_to_pipe.txt");
  ts::run_options options;
  options.timeout = std::chrono::seconds(20);
  const ts::run_result r = ts::run_rawgraft(folder, {"1", "sync"}, "", options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_NE(r.err.find("Synchronizing creature...\n  MARSH_NEWT\n"), std::string::npos) << r;
  EXPECT_EQ(r.err.find("could not open"), std::string::npos) << r;
}

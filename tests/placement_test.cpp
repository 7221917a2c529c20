// Putting a new world in place: faults and interrupts injected into the
// placement's system calls. Before TEMP replaces the world's name the run
// must leave the world as it was, with no TEMP and no backup; from then on
// the change is complete and the run says so.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

const auto kRegion = ts::game_folder::region_dir("region1");
const std::string kPath = "./data/save/region1/world.dat";
const std::string kUnchanged = kPath + " is unchanged.\n";
const std::string kPlaced = "New World Placed.\n\nDone.\n";

enum class left { old_world, new_world_and_backup, backup_and_temp };

struct injection {
  std::string name;
  std::vector<std::string> inject;  // strace -e inject=... specs
  int status;
  std::string err_tail;
  left files;
};

bool strace_usable() {
  return std::system("strace -f -qq -o /dev/null true >/dev/null 2>&1") == 0;
}

TEST(Placement, FaultsAndInterruptsAtEachStep) {
  SKIP_ON_WINDOWS_BUILD("strace traces Linux processes only");
  if (!strace_usable()) GTEST_SKIP() << "strace is not installed or tracing is not allowed here";
  const std::string interrupted = "\nInterrupted: " + kUnchanged;
  const std::string rename_failed = "Error: could not rename TEMP file to " + kPath + "\n";
  // Import's fsyncs: TEMP, the folder after the link, the folder after the rename.
  const std::vector<injection> cases = {
      {"the rename fails: no space", {"rename:error=ENOSPC"}, 1,
       rename_failed + ts::reason("No space left on device") + kUnchanged, left::old_world},
      {"the rename fails: I/O error", {"rename:error=EIO"}, 1,
       rename_failed + ts::reason("Input/output error") + kUnchanged, left::old_world},
      {"the link fails otherwise", {"link:error=EACCES"}, 1,
       ts::reason("Permission denied") + kUnchanged, left::old_world},
      {"interrupt at the link", {"link:signal=SIGINT"}, 130, interrupted, left::old_world},
      {"interrupt at the folder's sync before the rename", {"fsync:signal=SIGINT:when=2"}, 130,
       interrupted, left::old_world},
      {"interrupt at the rename", {"rename:signal=SIGINT"}, 0, kPlaced, left::new_world_and_backup},
      {"interrupt at the folder's sync after it", {"fsync:signal=SIGTERM:when=3"}, 0, kPlaced,
       left::new_world_and_backup},
      // No hard links: the two renames, held together.
      {"no hard links", {"link:error=EPERM"}, 0, kPlaced, left::new_world_and_backup},
      {"no hard links, interrupt at the first rename",
       {"link:error=EPERM", "renameat2:signal=SIGINT:when=1"}, 0, kPlaced,
       left::new_world_and_backup},
      {"no hard links, interrupt at the second rename",
       {"link:error=EXDEV", "renameat2:signal=SIGHUP:when=2"}, 0, kPlaced,
       left::new_world_and_backup},
      {"no hard links, the second rename fails",
       {"link:error=EOPNOTSUPP", "renameat2:error=EIO:when=2"}, 1,
       rename_failed + ts::reason("Input/output error"), left::backup_and_temp},
  };
  const std::string old_world = ts::sample_world_dat();
  ts::world_block edited = ts::sample_block();
  edited.section("creature").push_back("NEW_BEAST");
  const std::string new_world = ts::world_dat_header() + edited.encode() + ts::world_tail();
  for (const injection& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    folder.write_world("region1", old_world);
    folder.write_file("edited.txt", ts::dump_title(kPath) + ts::dump_body(edited));
    ts::run_options options;
    options.launcher = {"strace", "-f", "-qq", "-o", "/dev/null"};
    for (const std::string& fault : c.inject) {
      options.launcher.insert(options.launcher.end(), {"-e", "inject=" + fault});
    }
    const auto r = ts::run_rawgraft(folder, {"1", "import", "edited.txt"}, "", options);
    EXPECT_EQ(r.status, c.status) << r;
    EXPECT_TRUE(r.err.ends_with(c.err_tail)) << r;
    const std::vector<std::string> stamps = ts::find_timestamps(r.err);
    const std::string backup = stamps.empty() ? "" : "world.dat." + stamps[0];
    switch (c.files) {
      case left::old_world:
        EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
        EXPECT_EQ(folder.read(kRegion / "world.dat"), old_world);
        break;
      case left::new_world_and_backup:
        ASSERT_FALSE(backup.empty()) << r;
        EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{"world.dat", backup}));
        EXPECT_EQ(folder.read(kRegion / "world.dat"), new_world);
        EXPECT_EQ(folder.read(kRegion / backup), old_world);
        break;
      case left::backup_and_temp:
        ASSERT_FALSE(backup.empty()) << r;
        EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{backup, "world.dat.TEMP"}));
        EXPECT_EQ(folder.read(kRegion / backup), old_world);
        EXPECT_EQ(folder.read(kRegion / "world.dat.TEMP"), new_world);
        break;
    }
  }
}

}  // namespace

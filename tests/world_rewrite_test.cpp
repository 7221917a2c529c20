// Rewriting a world: the new file is written beside the old one under a TEMP
// name, the old one is moved to a time-stamped backup and the new one put in
// its place. Every way a run can end must leave the old world's bytes intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"
#include "support/transfer_checks.hpp"

namespace ts = testsupport;

namespace {

constexpr std::size_t kChunk = 16 * 1024 * 1024;

std::string all_sections_imported() {
  std::string out = "Importing creature_layer...\n";
  for (const auto name : ts::section_names) out += "Importing " + std::string(name) + "...\n";
  return out + "Imported 20 sections.\n";
}

const std::string kUnchanged = "./data/save/region1/world.dat is unchanged.\n";

// The totals of an import of edited_block() over the sample block.
const std::string kWrote = "Wrote 42 identifiers in 21 lists (the world held 41).\n";

// One world form with the names and messages that go with it.
struct world_kind {
  ts::world_form form;
  std::string name;  // world.dat or world.sav
  std::string header;
  std::string identified;  // the identification lines

  std::string path() const { return "./data/save/region1/" + name; }
  std::string world(const ts::world_block& block, std::size_t tail = 64) const {
    return header + block.encode() + ts::world_tail(tail);
  }
  // Messages from the banner up to and including "Beginning file import...\n".
  std::string started() const {
    return ts::banner_and_usage() + "Reading Region region1 at " + path() + "\n" + identified +
           "Reading import from edited.txt\nWriting to new world file: " + path() +
           ".TEMP\nBeginning file import...\n";
  }
  // All messages of a successful import of edited_block(), its backup
  // named by `backup` (its stamp masked) after the world's path. The
  // backup message names world.dat whatever the world's form.
  std::string succeeded(const std::string& backup) const {
    return started() + all_sections_imported() + "Skipping to world data...\n" + kWrote +
           "Copying remainder of world data from original...\n"
           "Finished writing new world file.\n"
           "Backup successful: " + path() + backup + "\nNew World Placed.\n\nDone.\n";
  }
};

const world_kind kDat{ts::world_form::dat, "world.dat", ts::world_dat_header(),
                      "World Identified: Testworld\n"};
const world_kind kSav{ts::world_form::sav, "world.sav", ts::world_sav_header(),
                      "Fortress Identified: Stonehold\nWorld Identified: Testworld\n"};

// The sample block with one identifier added, so that the new world differs
// from the old one.
ts::world_block edited_block() {
  ts::world_block block = ts::sample_block();
  block.section("creature").push_back("NEW_BEAST");
  return block;
}

const auto kRegion = ts::game_folder::region_dir("region1");

// Writes the world and the dump, then imports the dump.
ts::run_result import(const ts::game_folder& folder, const world_kind& kind,
                      const std::string& world, const ts::world_block& edited,
                      const ts::run_options& options = {}, const std::string& command = "import") {
  folder.write_world("region1", world, kind.form);
  folder.write_file("edited.txt", ts::dump_title(kind.path()) + ts::dump_body(edited));
  return ts::run_rawgraft(folder, {"1", command, "edited.txt"}, "", options);
}

TEST(WorldRewrite, MessagesAndNamesOfASuccessfulRewrite) {
  for (const world_kind& kind : {kDat, kSav}) {
    SCOPED_TRACE(kind.name);
    ts::game_folder folder;
    const std::string old_world = kind.world(ts::sample_block());
    const auto r = import(folder, kind, old_world, edited_block());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ts::mask_timestamps(r.err), kind.succeeded(".YYYYMMDD_HHMMSS"));
    const auto stamps = ts::find_timestamps(r.err);
    ASSERT_EQ(stamps.size(), 1u);
    const std::string backup = kind.name + "." + stamps[0];
    EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{kind.name, backup}));
    EXPECT_EQ(folder.read(kRegion / kind.name), kind.world(edited_block()));
    EXPECT_EQ(folder.read(kRegion / backup), old_world);
  }
}

TEST(WorldRewrite, RemainderIsCopiedWithOneDotPerChunk) {
  for (const auto& [rest, dots] : std::vector<std::pair<std::size_t, std::string>>{
           {0, ""}, {kChunk, "."}, {kChunk + 1, ".."}, {2 * kChunk + 5, "..."}}) {
    SCOPED_TRACE(rest);
    ts::game_folder folder;
    const std::string old_world = kDat.world(ts::sample_block(), rest);
    const auto r = import(folder, kDat, old_world, edited_block());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_NE(
        r.err.find("\nSkipping to world data...\n" + kWrote +
                   "Copying remainder of world data from original.." + dots +
                   "\nFinished writing new world file.\nBackup successful: "),
        std::string::npos)
        << r;
    EXPECT_TRUE(folder.read(kRegion / "world.dat") == kDat.world(edited_block(), rest));
  }
}

TEST(WorldRewrite, HeaderLargerThanTheLineBufferIsCopiedWhole) {
  // The fortress name has no length check; a long world name needs force.
  const std::string sav_header = ts::world_sav_header({.fortress_name = std::string(40000, 'F')});
  const std::string dat_header = ts::world_dat_header({.world_name = std::string(40000, 'W')});
  for (const auto& [kind, command] :
       {std::pair{world_kind{kSav.form, kSav.name, sav_header, ""}, std::string("import")},
        std::pair{world_kind{kDat.form, kDat.name, dat_header, ""}, std::string("forceimport")}}) {
    SCOPED_TRACE(kind.name);
    ts::game_folder folder;
    const std::string world = kind.world(ts::sample_block());
    const auto r = import(folder, kind, world, edited_block(), {}, command);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(r.err.ends_with("New World Placed.\n\nDone.\n")) << r;
    EXPECT_TRUE(folder.read(kRegion / kind.name) == kind.world(edited_block())) << "world differs";
  }
}

TEST(WorldRewrite, TempFileOfAnEarlierRunIsEmptiedAndReused) {
  ts::game_folder folder;
  folder.write_file(kRegion / "world.dat.TEMP", ts::filler(1 << 20, 7));
  const auto r = import(folder, kDat, kDat.world(ts::sample_block()), edited_block());
  EXPECT_EQ(r.status, 0) << r;
  const auto stamps = ts::find_timestamps(r.err);
  ASSERT_EQ(stamps.size(), 1u) << r;
  EXPECT_EQ(folder.list(kRegion),
            (std::vector<std::string>{"world.dat", "world.dat." + stamps[0]}));
  EXPECT_TRUE(folder.read(kRegion / "world.dat") == kDat.world(edited_block()));
}

// Two rewrites within one second would want the same backup name: the
// later takes the first free counter after the stamp, never replacing.
TEST(WorldRewrite, TakenBackupNameGetsACounter) {
  for (const world_kind& kind : {kDat, kSav}) {
    SCOPED_TRACE(kind.name);
    ts::game_folder folder;
    // Every stamp the run can take is already a file, and so is its ".1".
    std::vector<std::string> taken;
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 8; ++t) {
      for (const char* counter : {"", ".1"}) {
        taken.push_back(kind.name + "." + ts::timestamp_at(t, ts::stamp_zone::local) + counter);
        folder.write_file(kRegion / taken.back(), "earlier backup " + taken.back());
      }
    }
    const std::string old_world = kind.world(ts::sample_block());
    const auto r = import(folder, kind, old_world, edited_block());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(ts::mask_timestamps(r.err), kind.succeeded(".YYYYMMDD_HHMMSS.2"));
    const auto stamps = ts::find_timestamps(r.err);
    ASSERT_EQ(stamps.size(), 1u);
    const std::string backup = kind.name + "." + stamps[0] + ".2";
    std::vector<std::string> expected = taken;
    expected.push_back(kind.name);
    expected.push_back(backup);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder.list(kRegion), expected);
    EXPECT_EQ(folder.read(kRegion / backup), old_world);
    EXPECT_EQ(folder.read(kRegion / kind.name), kind.world(edited_block()));
    for (const auto& name : taken) EXPECT_EQ(folder.read(kRegion / name), "earlier backup " + name);
  }
}

// The child writes at most `limit` bytes to any file and gets an error, not a
// signal, past it.
ts::run_options file_size_limit(rlim_t limit) {
  ts::run_options options;
  options.in_child = [limit] {
    // Ignored, the signal lets the write fail with an error instead.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit fsize{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &fsize);
  };
  return options;
}

struct write_limit_case {
  std::string name;
  rlim_t limit;
};

TEST(WorldRewrite, FailedWritesStopBeforeTheRenames) {
  const std::string old_world = kDat.world(ts::sample_block(), 3 << 20);
  const std::string new_world = kDat.world(edited_block(), 3 << 20);
  const std::string failed =
      "Error: could not write new world file: ./data/save/region1/world.dat.TEMP\n" +
      ts::reason("File too large") + kUnchanged;
  for (const auto& c : std::vector<write_limit_case>{{"inside the header", 100},
                                                     {"inside the block", kDat.header.size() + 20},
                                                     {"inside the rest", 1 << 20}}) {
    SCOPED_TRACE(c.name);
    ts::game_folder folder;
    const auto r = import(folder, kDat, old_world, edited_block(), file_size_limit(c.limit));
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(r.err.starts_with(kDat.started().substr(0, kDat.started().find("Beginning")))) << r;
    EXPECT_TRUE(r.err.ends_with(failed)) << r;
    EXPECT_EQ(r.err.find("Finished writing"), std::string::npos) << r;
    EXPECT_EQ(r.err.find("Backup"), std::string::npos) << r;
    EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
    EXPECT_TRUE(folder.read(kRegion / "world.dat") == old_world);
  }
}

TEST(WorldRewrite, AFullDiskStopsSyncBeforeAnyRename) {
  // The header fits, the block may, the 3 MiB rest cannot.
  ts::game_folder folder;
  const std::string world = kDat.world(ts::sample_block(), 3 << 20);
  folder.write_world("region1", world);
  folder.write_raw("region1", "creature_new.txt", "[OBJECT:CREATURE]\n[CREATURE:MARSH_NEWT]\n");
  const auto r = ts::run_rawgraft(folder, {"1", "sync"}, "", file_size_limit(1 << 20));
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_TRUE(r.err.ends_with(
      "Error: could not write new world file: ./data/save/region1/world.dat.TEMP\n" +
      ts::reason("File too large") + kUnchanged))
      << r;
  EXPECT_EQ(r.err.find("Backup successful"), std::string::npos);
  EXPECT_EQ(folder.read(kRegion / "world.dat"), world);
  EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{"raw", "world.dat"}));
}

void stdin_from(const char* path, int flags) {
  const int fd = ::open(path, flags);
  if (fd >= 0) {
    ::dup2(fd, 0);
    ::close(fd);
  }
}

struct unreadable_dump {
  std::string name;
  std::string file;
  std::function<void()> in_child;
  std::string reason;
};

// A dump that cannot be read is not an empty dump: with force it would
// replace every identifier list by nothing.
TEST(WorldRewrite, ReadErrorOnTheDumpStopsBeforeTheRenames) {
  const std::string old_world = kDat.world(ts::sample_block());
  const std::vector<unreadable_dump> cases = {
      {"standard input is a folder", "-", [] { stdin_from(".", O_RDONLY | O_DIRECTORY); },
       "Is a directory"},
      {"standard input is write-only", "-", [] { stdin_from("/dev/null", O_WRONLY); },
       "Bad file descriptor"},
      {"file argument is a folder", "data", {}, "Is a directory"},
  };
  for (const auto& c : cases) {
    for (const std::string command : {"import", "forceimport"}) {
      SCOPED_TRACE(c.name + ", " + command);
      ts::game_folder folder;
      folder.write_world("region1", old_world);
      const auto r = ts::run_rawgraft(folder, {"1", command, c.file}, "", {.in_child = c.in_child});
      if (c.file == "data" && ts::windows_build()) {
        // Windows cannot open a folder as a file: the run ends before writing.
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_TRUE(r.err.ends_with("Error: can not open input file: data\n" + ts::reason(c.reason)))
            << r;
        EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
        EXPECT_TRUE(folder.read(kRegion / "world.dat") == old_world);
        continue;
      }
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_TRUE(r.err.ends_with("Error: could not read input file: " + c.file + "\n" +
                                  ts::reason(c.reason) + kUnchanged))
          << r;
      EXPECT_EQ(r.err.find("Backup"), std::string::npos) << r;
      EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
      EXPECT_TRUE(folder.read(kRegion / "world.dat") == old_world);
    }
  }
}

// Whatever the run makes of a TEMP name that is another name of the world,
// the world's bytes must survive under its own name or a backup name.
void expect_world_kept_with_temp_linked(bool hard) {
  const std::string old_world = kDat.world(ts::sample_block());
  ts::game_folder folder;
  const auto world = folder.write_world("region1", old_world);
  const auto temp = kRegion / "world.dat.TEMP";
  if (hard) {
    std::filesystem::create_hard_link(folder.path(world), folder.path(temp));
  } else {
    folder.make_symlink("world.dat", temp);
  }
  folder.write_file("edited.txt", ts::dump_title(kDat.path()) + ts::dump_body(edited_block()));
  const auto r = ts::run_rawgraft(folder, {"1", "import", "edited.txt"});
  bool kept = false;
  for (const auto& name : folder.list(kRegion)) {
    const bool world_or_backup = name == "world.dat" || (name.starts_with("world.dat.") &&
                                                         ts::find_timestamps(name).size() == 1);
    if (world_or_backup && folder.read(kRegion / name) == old_world) kept = true;
  }
  EXPECT_TRUE(kept) << r;
}

TEST(WorldRewrite, TempNameSymlinkedToTheWorldNeverEmptiesIt) {
  SKIP_ON_WINDOWS_BUILD("Wine deletes and renames the target of a Unix symbolic link, not the link");
  expect_world_kept_with_temp_linked(false);
}

TEST(WorldRewrite, TempNameHardLinkedToTheWorldNeverEmptiesIt) {
  expect_world_kept_with_temp_linked(true);
}

TEST(WorldRewrite, ATempNameLinkedElsewhereIsReplacedNotWrittenThrough) {
  SKIP_ON_WINDOWS_BUILD("Wine deletes and renames the target of a Unix symbolic link, not the link");
  // A full device and a precious file behind the TEMP name stay as they are.
  ts::game_folder folder;
  const std::string world = kDat.world(ts::sample_block());
  folder.write_file("precious.txt", "keep me");
  for (const std::string target : {"/dev/full", "../../../precious.txt"}) {
    folder.make_symlink(target, kRegion / "world.dat.TEMP");
    const auto r = import(folder, kDat, world, edited_block());
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(r.err.ends_with("New World Placed.\n\nDone.\n")) << r;
    EXPECT_EQ(folder.read(kRegion / "world.dat"), kDat.world(edited_block()));
    EXPECT_EQ(folder.read("precious.txt"), "keep me");
  }
}

TEST(WorldRewrite, StopsBeforeThePlacementLeaveTheWorldAndNoTempFile) {
  const std::string old_world = kDat.world(ts::sample_block());

  // A TEMP name that cannot be opened for writing ends the run at once.
  {
    ts::game_folder folder;
    folder.make_dir(kRegion / "world.dat.TEMP");
    const auto r = import(folder, kDat, old_world, edited_block());
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err,
              kDat.started().substr(0, kDat.started().find("Writing to")) +
                  "Error: can not create new world file: ./data/save/region1/world.dat.TEMP\n" +
                  ts::reason("File exists") + kUnchanged);
    EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{"world.dat", "world.dat.TEMP"}));
    EXPECT_TRUE(folder.list(kRegion / "world.dat.TEMP").empty());
    EXPECT_EQ(folder.read(kRegion / "world.dat"), old_world);
  }

  // An old block that cannot be read past stops after the new block is written.
  for (const std::int32_t bad_count : {0, -5}) {
    SCOPED_TRACE(bad_count);
    ts::game_folder folder;
    ts::world_block unreadable = ts::sample_block();
    unreadable.section_counts[ts::section_index("shape")] = bad_count;
    const std::string bad_world = kDat.world(unreadable);
    const auto r = import(folder, kDat, bad_world, edited_block());
    ts::expect_consistency_stop(
        r, kDat.started() + all_sections_imported() + "Skipping to world data...\n", kUnchanged);
    EXPECT_EQ(folder.list(kRegion), std::vector<std::string>{"world.dat"});
    EXPECT_EQ(folder.read(kRegion / "world.dat"), bad_world);
  }
}

// One run at a time works on a world: a lock held elsewhere refuses a run
// at once, touching nothing; readers share it.
TEST(WorldRewrite, HeldLockRefusesTheRunTouchingNothing) {
  SKIP_ON_WINDOWS_BUILD("Wine's file locks do not see a Linux process's flock");
  const std::string world = kDat.world(ts::sample_block());
  const std::string refused = "Error: another run is working on ./data/save/region1/world.dat\n";
  const struct {
    int held;
    std::vector<std::string> args;
    bool runs;
  } cases[] = {{LOCK_EX, {"1", "export", "-"}, false},
               {LOCK_SH, {"1", "export", "-"}, true},
               {LOCK_SH, {"1", "sync"}, false},
               {LOCK_SH, {"1", "import", "edited.txt"}, false},
               {LOCK_SH, {"1", "prune", "1"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.held == LOCK_EX ? " while a rewrite runs" : " while a reader runs"));
    ts::game_folder folder;
    folder.write_world("region1", world);
    folder.write_file("edited.txt", ts::dump_title(kDat.path()) + ts::dump_body(edited_block()));
    folder.write_raw("region1", "new.txt", "[OBJECT:CREATURE]\n[CREATURE:NEW_BEAST]\n");
    const int fd = ::open(folder.path(kRegion / "world.dat.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, c.held), 0);
    const auto r = ts::run_rawgraft(folder, c.args);
    ::close(fd);
    EXPECT_EQ(r.status, c.runs ? 0 : 1) << r;
    EXPECT_EQ(r.err.ends_with(refused), !c.runs) << r;
    EXPECT_EQ(folder.list(kRegion), (std::vector<std::string>{"raw", "world.dat"}));
    EXPECT_EQ(folder.read(kRegion / "world.dat"), world);
  }
  // Between a rewrite's two renames world.dat is missing: a run is refused
  // the same way, not told that there is no world.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"1", "export", "-"},
                                               std::vector<std::string>{"1", "backups"}}) {
    ts::game_folder folder;
    folder.write_file(kRegion / "world.dat.20260101_000000", world);
    const int fd = ::open(folder.path(kRegion / "world.dat.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto r = ts::run_rawgraft(folder, args);
    ::close(fd);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_TRUE(r.err.ends_with(refused)) << r;
  }
}

// Eight rewrites started together: each finishes or is refused, and the
// world is whole and one of the results a sequence of them gives.
TEST(WorldRewrite, ConcurrentRunsLeaveOneWholeWorld) {
  const std::string old_world = kDat.world(ts::sample_block(), 4 << 20);
  const auto prepare = [&](const ts::game_folder& folder) {
    folder.write_world("region1", old_world);
    folder.write_file("edited.txt", ts::dump_title(kDat.path()) + ts::dump_body(edited_block()));
    folder.write_raw("region1", "new.txt", "[OBJECT:CREATURE]\n[CREATURE:FEN_WADER]\n");
  };
  const std::vector<std::string> sync = {"1", "sync"}, import = {"1", "import", "edited.txt"};
  // Import writes the dump's lists whatever came before; sync adds to them.
  std::set<std::string> results;
  using sequence = std::vector<std::vector<std::string>>;
  for (const sequence& order : {sequence{sync}, sequence{import}, sequence{import, sync}}) {
    ts::game_folder reference;
    prepare(reference);
    for (const auto& args : order) ASSERT_EQ(ts::run_rawgraft(reference, args).status, 0);
    results.insert(reference.read(kRegion / "world.dat"));
  }

  ts::game_folder folder;
  prepare(folder);
  std::vector<ts::run_result> runs(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    threads.emplace_back([&, i] { runs[i] = ts::run_rawgraft(folder, i % 2 ? sync : import); });
  }
  for (auto& thread : threads) thread.join();
  int refused = 0;
  for (const auto& r : runs) {
    const bool was_refused =
        r.err.ends_with("Error: another run is working on ./data/save/region1/world.dat\n");
    EXPECT_EQ(r.status, was_refused ? 1 : 0) << r;
    refused += was_refused;
  }
  RecordProperty("refused", refused);
  for (const auto& name : folder.list(kRegion)) {
    EXPECT_TRUE(name == "raw" || name == "world.dat" || ts::find_timestamps(name).size() == 1)
        << name;
  }
  EXPECT_EQ(results.count(folder.read(kRegion / "world.dat")), 1u) << "the world is no whole result";
}

// A read-only world stays read-only.
TEST(WorldRewrite, NewWorldKeepsTheOldOnesPermissions) {
  ts::game_folder folder;
  const auto world = folder.write_world("region1", kDat.world(ts::sample_block()));
  std::filesystem::permissions(folder.path(world), std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::group_read);
  const auto r = import(folder, kDat, kDat.world(ts::sample_block()), edited_block());
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(std::filesystem::status(folder.path(world)).permissions() &
                std::filesystem::perms::owner_write,
            std::filesystem::perms::none);
}

}  // namespace

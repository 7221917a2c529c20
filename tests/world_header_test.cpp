// Finding the world file and checking its header. Every run uses sync with no
// raw folder, so a world that passes the header checks ends on the raws error:
// every run ends with status 1.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

const std::string kReadingDat =
    ts::banner_and_usage() + "Reading Region region1 at ./data/save/region1/world.dat\n";
const std::string kReadingSav =
    ts::banner_and_usage() + "Reading Region region1 at ./data/save/region1/world.sav\n";
const std::string kNoRaws = "Error: can not open raws: ./data/save/region1/raw/objects\n" +
                            ts::reason("No such file or directory");
const std::string kTrying = "...but trying anyways.\n";
const std::string kLongName =
    "World name is unlikely long.  This is usually because the file is corrupt, compressed, or "
    "an unsupported version.\n";
const std::string kNoName = "Error: could not read world name.\n";
const std::string kUnreadable = "Error: could not read world.dat or world.sav file.\n";
// A world flagged compressed whose bytes are no chunks: the first length
// field (the header's filler) runs past the end.
const std::string kDamaged =
    "Error: compressed world file is damaged at byte 8: chunk runs past the end of the file\n";
const std::string kFunky = "Error: world file looks funky.\n";

class WorldHeader : public ::testing::Test {
 protected:
  // Makes `bytes` region1's only world file, runs plain and forced sync on it,
  // and checks that nothing but that file is left in the region folder.
  void check(const std::string& bytes, ts::world_form form, const std::string& plain_err,
             const std::string& forced_err) {
    const auto other = form == ts::world_form::dat ? ts::world_form::sav : ts::world_form::dat;
    std::filesystem::remove(folder.path(ts::game_folder::world_file("region1", other)));
    const auto world = folder.write_world("region1", bytes, form);
    for (const auto& [command, expected] :
         std::vector<std::pair<std::string, std::string>>{{"sync", plain_err}, {"forcesync", forced_err}}) {
      SCOPED_TRACE(command);
      const auto r = ts::run_rawgraft(folder, {"1", command});
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_FALSE(r.timed_out);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, expected);
      EXPECT_EQ(folder.list(ts::game_folder::region_dir("region1")),
                std::vector<std::string>{world.filename().string()});
      EXPECT_EQ(folder.read(world), bytes);
    }
  }
  void check_dat(const std::string& bytes, const std::string& plain, const std::string& forced) {
    check(bytes, ts::world_form::dat, kReadingDat + plain, kReadingDat + forced);
  }
  void check_sav(const std::string& bytes, const std::string& plain, const std::string& forced) {
    check(bytes, ts::world_form::sav, kReadingSav + plain, kReadingSav + forced);
  }

  ts::game_folder folder;
};

TEST_F(WorldHeader, GoodWorldIsIdentifiedByTheNameAtOffset146) {
  const std::string ok = "World Identified: Testworld\n" + kNoRaws;
  check_dat(ts::sample_world_dat(), ok, ok);
  const std::string ok69 = "World Identified: Old Vale\n" + kNoRaws;
  check_dat(ts::sample_world_dat({.version = 1349, .world_name = "Old Vale"}), ok69, ok69);
}

TEST_F(WorldHeader, NamesArePrintedVerbatimUpToAZeroByte) {
  const std::string pct = "World Identified: 100% %s %d\\n done\n" + kNoRaws;
  check_dat(ts::sample_world_dat({.world_name = "100% %s %d\\n done"}), pct, pct);
  const std::string cut = "World Identified: Zero\n" + kNoRaws;
  check_dat(ts::sample_world_dat({.world_name = std::string("Zero\0Hidden", 11)}), cut, cut);
}

TEST_F(WorldHeader, SavIsUsedOnlyWhenDatIsMissing) {
  const std::string ok = "Fortress Identified: Stonehold\nWorld Identified: Testworld\n" + kNoRaws;
  check_sav(ts::sample_world_sav(), ok, ok);

  folder.write_world("region1", ts::sample_world_dat({.world_name = "Datworld"}));
  const auto both = ts::run_rawgraft(folder, {"1", "sync"});
  EXPECT_EQ(both.err, kReadingDat + "World Identified: Datworld\n" + kNoRaws);
}

TEST_F(WorldHeader, SavNamesAndTheirFailures) {
  const std::string named = "Fortress Identified: Deep Hall\nWorld Identified: Wide Land\n" + kNoRaws;
  check_sav(ts::sample_world_sav({.fortress_name = "Deep Hall", .world_name = "Wide Land"}), named,
            named);

  // An empty second name does not stop the run.
  const std::string null_world = "Fortress Identified: Stonehold\nWorld Identified: (null)\n" + kNoRaws;
  check_sav(ts::sample_world_sav({.world_name = ""}), null_world, null_world);
  // Nor does a file that ends right after the fortress name.
  std::string cut = ts::world_sav_header();
  cut.resize(94 + 2 + 9);
  check_sav(cut, null_world, null_world);

  // An empty or missing first name does.
  check_sav(ts::sample_world_sav({.fortress_name = ""}), kNoName, kNoName);
  check_sav(ts::world_sav_header().substr(0, 94), kNoName, kNoName);

  // Only the world name has a length limit.
  const std::string long_fortress = "Fortress Identified: " + std::string(300, 'F') +
                                    "\nWorld Identified: Testworld\n" + kNoRaws;
  check_sav(ts::sample_world_sav({.fortress_name = std::string(300, 'F')}), long_fortress,
            long_fortress);
  const std::string long_world = "Fortress Identified: Stonehold\nWorld Identified: " +
                                 std::string(101, 'W') + "\n" + kLongName;
  check_sav(ts::sample_world_sav({.world_name = std::string(101, 'W')}), long_world,
            long_world + kTrying + kNoRaws);
}

TEST_F(WorldHeader, VersionMustBe1329Or1349) {
  for (const auto& [version, shown] : std::vector<std::pair<std::uint16_t, std::string>>{
           {1330, "5.50"}, {1328, "5.48"}, {0, "0.0"}, {65535, "255.255"}, {0x0100, "1.0"}}) {
    SCOPED_TRACE(version);
    const std::string message = "Error: world file version unsupported: " + shown + "\n";
    check_dat(ts::sample_world_dat({.version = version}), message,
              message + kTrying + "World Identified: Testworld\n" + kNoRaws);
  }
  const std::string sav_message = "Error: world file version unsupported: 5.50\n";
  check_sav(ts::sample_world_sav({.version = 1330}), sav_message,
            sav_message + kTrying + "Fortress Identified: Stonehold\nWorld Identified: Testworld\n" +
                kNoRaws);
}

TEST_F(WorldHeader, FlaggedWorldWithoutChunksIsDamagedEvenWithForce) {
  for (const std::uint32_t flag : {1u, 0x100u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(flag);
    check_dat(ts::sample_world_dat({.compressed = flag}), kDamaged, kDamaged);
  }
  check_sav(ts::sample_world_sav({.compressed = 1}), kDamaged, kDamaged);
}

TEST_F(WorldHeader, FunkyFieldMustBeZero) {
  for (const std::uint16_t funky : {1, 0x100, 0xFFFF}) {
    SCOPED_TRACE(funky);
    check_dat(ts::sample_world_dat({.funky = funky}), kFunky,
              kFunky + kTrying + "World Identified: Testworld\n" + kNoRaws);
  }
}

TEST_F(WorldHeader, ChecksRunInOrderVersionFunky) {
  const std::string version = "Error: world file version unsupported: 5.50\n";
  check_dat(ts::sample_world_dat({.version = 1330, .funky = 1, .compressed = 1}), version,
            version + kTrying + kFunky + kTrying + kDamaged);
  check_dat(ts::sample_world_dat({.version = 1330, .funky = 1}), version,
            version + kTrying + kFunky + kTrying + "World Identified: Testworld\n" + kNoRaws);
  check_dat(ts::sample_world_dat({.funky = 1, .compressed = 1}), kFunky, kFunky + kTrying + kDamaged);
  // Bad header fields are reported before the name is even looked at.
  check_dat(ts::world_dat_header({.funky = 1, .world_name = ""}), kFunky, kFunky + kTrying + kNoName);
}

TEST_F(WorldHeader, WorldNameLengthLimitIs100) {
  const std::string hundred(100, 'n');
  const std::string ok = "World Identified: " + hundred + "\n" + kNoRaws;
  check_dat(ts::sample_world_dat({.world_name = hundred}), ok, ok);

  for (const std::size_t size : {101u, 4000u, 65535u}) {
    SCOPED_TRACE(size);
    const std::string name(size, 'L');
    const std::string warned = "World Identified: " + name + "\n" + kLongName;
    check_dat(ts::sample_world_dat({.world_name = name}), warned, warned + kTrying + kNoRaws);
  }
}

TEST_F(WorldHeader, EmptyOrUnreadableWorldNameStopsEvenWithForce) {
  check_dat(ts::sample_world_dat({.world_name = ""}), kNoName, kNoName);
  const std::string header = ts::world_dat_header({.world_name = "Truncated"});
  for (const std::size_t size : {8u, 100u, 146u, 147u, 148u, 152u}) {
    SCOPED_TRACE(size);
    check_dat(header.substr(0, size), kNoName, kNoName);
  }
}

TEST_F(WorldHeader, FilesShorterThanEightBytesCannotBeRead) {
  const std::string header = ts::world_dat_header();
  for (const std::size_t size : {0u, 1u, 7u}) {
    SCOPED_TRACE(size);
    check_dat(header.substr(0, size), kUnreadable, kUnreadable);
  }
  check_sav(header.substr(0, 5), kUnreadable, kUnreadable);
}

TEST_F(WorldHeader, HeaderOnlyWorldStillGetsPastIdentification) {
  // Nothing after the name: the block is not read before the command's own input is opened.
  const std::string ok = "World Identified: Testworld\n" + kNoRaws;
  check_dat(ts::world_dat_header(), ok, ok);
}

// Only a regular file is a world: anything else at its name is refused at
// once, never waited on (a FIFO would wait for a writer forever).
TEST_F(WorldHeader, AWorldThatIsNotARegularFileIsRefusedAtOnce) {
  const auto world = ts::game_folder::world_file("region1");
  const struct {
    const char* name;
    std::function<void()> make;
  } kinds[] = {
      {"a folder", [&] { folder.make_dir(world); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(folder.path(world).c_str(), 0666), 0); }},
      {"a device", [&] { folder.make_symlink("/dev/zero", world); }},
  };
  folder.write_file("dump.txt", ts::dump_title("./data/save/region1/world.dat") +
                                    ts::dump_body(ts::sample_block()));
  for (const auto& kind : kinds) {
    // Wine sees a FIFO or a link to a device as no Windows file would be.
    if (ts::windows_build() && std::string(kind.name) != "a folder") continue;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1", "export", "-"}, {"1", "import", "dump.txt"}, {"1", "check"}}) {
      SCOPED_TRACE(std::string(kind.name) + ", " + args[1]);
      std::filesystem::remove(folder.path(world));
      kind.make();
      const ts::run_result r =
          ts::run_rawgraft(folder, args, "", {.timeout = std::chrono::seconds(10)});
      EXPECT_FALSE(r.timed_out) << r;
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_TRUE(r.err.ends_with("Error: ./data/save/region1/world.dat is not a regular file.\n"))
          << r;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(folder.list(ts::game_folder::region_dir("region1")),
                (std::vector<std::string>{"world.dat"}));
    }
  }
}

}  // namespace

// Export: the exact text dump of a world's object-name block, where it goes,
// and the runs that must stop rather than write a wrong or partial dump.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"
#include "support/transfer_checks.hpp"

namespace ts = testsupport;

namespace {

const std::string kDatPath = "./data/save/region1/world.dat";
const std::string kIdentified = ts::banner_and_usage() + "Reading Region region1 at " + kDatPath +
                                "\nWorld Identified: Testworld\n";
const std::string kBegin = "Beginning file export...\n";
const std::string kDone = "Exported 20 sections.\n";

std::string dat_world(const ts::world_block& block) {
  return ts::world_dat_header() + block.encode() + ts::world_tail();
}

// Runs an export of region1 and checks the parts every successful export
// shares: status, messages and an untouched region folder.
class Export : public ::testing::Test {
 protected:
  ts::run_result export_to(const std::string& file, const ts::run_options& options = {}) {
    return ts::run_rawgraft(folder, {"1", "export", file}, "", options);
  }

  void expect_world_untouched(const std::string& world, const std::string& name = "world.dat") {
    EXPECT_EQ(folder.list(ts::game_folder::region_dir("region1")), std::vector<std::string>{name});
    EXPECT_EQ(folder.read(ts::game_folder::region_dir("region1") / name), world);
  }

  // Exports `world` to standard output and returns the dump with its stamp masked.
  std::string dump_of(const std::string& world) {
    folder.write_world("region1", world);
    const auto r = export_to("-");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, kIdentified + kBegin + kDone);
    expect_world_untouched(world);
    EXPECT_EQ(ts::find_timestamps(r.out).size(), 1u) << r;
    return ts::mask_timestamps(r.out);
  }

  ts::game_folder folder;
};

TEST_F(Export, DumpListsGroupsThenSectionsThenEnd) {
  ts::world_block block;
  // A name holding printf directives must be written as text.
  block.creature_layer = {{"LAYER_A1", "LAYER_A2"}, {"layer b one"}, {"100% %s%n"}};
  for (std::size_t k = 0; k < block.sections.size(); ++k) {
    std::string upper(ts::section_names[k]);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    block.sections[k] = {upper + "_ONE"};
  }
  block.section("inorganic") = {"IRON", "iron bar", "  spaced  "};

  const std::string dump = dump_of(dat_world(block));
  EXPECT_EQ(dump,
            R"(**data exported from ./data/save/region1/world.dat on YYYYMMDD_HHMMSS by Rawgraft**

====creature_layer=00000000====
LAYER_A1
LAYER_A2

====creature_layer=00000001====
layer b one

====creature_layer=00000002====
100% %s%n

====inorganic====
IRON
iron bar
  spaced  

====plant====
PLANT_ONE

====body====
BODY_ONE

====bodygloss====
BODYGLOSS_ONE

====creature====
CREATURE_ONE

====item====
ITEM_ONE

====building====
BUILDING_ONE

====entity====
ENTITY_ONE

====word====
WORD_ONE

====symbol====
SYMBOL_ONE

====translation====
TRANSLATION_ONE

====color====
COLOR_ONE

====shape====
SHAPE_ONE

====color_pattern====
COLOR_PATTERN_ONE

====reaction====
REACTION_ONE

====material_template====
MATERIAL_TEMPLATE_ONE

====tissue_template====
TISSUE_TEMPLATE_ONE

====body_detail_plan====
BODY_DETAIL_PLAN_ONE

====creature_variation====
CREATURE_VARIATION_ONE

====END====
)");
  // The helper that other tests build dumps with must agree.
  EXPECT_EQ(dump, ts::dump_title(kDatPath) + ts::dump_body(block));
}

TEST_F(Export, GroupHeadersAreNumberedInDecimalFromZero) {
  ts::world_block block = ts::sample_block();
  block.creature_layer.clear();
  for (int g = 0; g < 12; ++g) block.creature_layer.push_back({"G" + std::to_string(g)});
  const std::string dump = dump_of(dat_world(block));
  EXPECT_EQ(dump, ts::dump_title(kDatPath) + ts::dump_body(block));
  EXPECT_NE(dump.find("\n====creature_layer=00000011====\nG11\n"), std::string::npos);
}

TEST_F(Export, NoGroupCountGivesNoCreatureLayerHeader) {
  for (const std::int32_t groups : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(groups);
    ts::world_block block = ts::sample_block();
    block.creature_layer.clear();
    block.group_count = groups;
    const std::string dump = dump_of(dat_world(block));
    EXPECT_EQ(dump, ts::dump_title(kDatPath) + ts::dump_body(block));
    EXPECT_EQ(dump.find("creature_layer"), std::string::npos);
    EXPECT_EQ(dump.substr(ts::dump_title(kDatPath).size(), 19), "\n====inorganic====\n");
  }
}

TEST_F(Export, StringsAreWrittenUnescapedUpToTheirFirstZeroByte) {
  ts::world_block block = ts::sample_block();
  block.section("word") = {"two\nlines", std::string("cut\0hidden", 10), "tab\there\r",
                           std::string("\0starts with zero", 17), "====plant===="};
  const std::string dump = dump_of(dat_world(block));
  EXPECT_NE(
      dump.find(
          "\n====word====\ntwo\nlines\ncut\ntab\there\r\n\n====plant====\n\n====symbol====\n"),
      std::string::npos)
      << dump;
  EXPECT_EQ(dump.find("hidden"), std::string::npos);
  EXPECT_EQ(dump.find("starts with zero"), std::string::npos);
}

TEST_F(Export, ToAFileOrToStandardOutput) {
  const std::string world = ts::sample_world_dat();
  folder.write_world("region1", world);
  const std::string expected = ts::dump_title(kDatPath) + ts::dump_body(ts::sample_block());

  // An older dump is replaced whole.
  folder.write_file("out.txt", "**data exported from elsewhere**\n" + std::string(100000, 'x'));
  const auto to_file = export_to("out.txt");
  EXPECT_EQ(to_file.status, 0) << to_file;
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(to_file.err, kIdentified + "Writing export to out.txt\n" + kBegin + kDone);
  EXPECT_EQ(ts::mask_timestamps(folder.read("out.txt")), ts::dump_as_written(expected));

  const auto to_stdout = export_to("-");
  EXPECT_EQ(to_stdout.status, 0) << to_stdout;
  EXPECT_EQ(to_stdout.err, kIdentified + kBegin + kDone);
  EXPECT_EQ(ts::mask_timestamps(to_stdout.out), expected);
  expect_world_untouched(world);
}

TEST_F(Export, SavWorldIsNamedBySavPath) {
  const std::string world = ts::sample_world_sav();
  folder.write_world("region1", world, ts::world_form::sav);
  const auto r = export_to("-");
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, ts::banner_and_usage() +
                       "Reading Region region1 at ./data/save/region1/world.sav\n"
                       "Fortress Identified: Stonehold\nWorld Identified: Testworld\n" +
                       kBegin + kDone);
  EXPECT_EQ(ts::mask_timestamps(r.out),
            ts::dump_title("./data/save/region1/world.sav") + ts::dump_body(ts::sample_block()));
  expect_world_untouched(world, "world.sav");
}

TEST_F(Export, TitleCarriesTheLocalTimeOfTheRun) {
  folder.write_world("region1", ts::sample_world_dat());
  // A made-up zone five hours east of UTC: a stamp in UTC would be caught.
  const std::time_t before = std::time(nullptr);
  const auto r = export_to("-", {.env = {{"TZ", "RGT-5"}}});
  const std::time_t after = std::time(nullptr);
  const auto stamps = ts::find_timestamps(r.out);
  ASSERT_EQ(stamps.size(), 1u) << r;
  EXPECT_GE(stamps[0], ts::timestamp_at(before + 5 * 3600, ts::stamp_zone::utc));
  EXPECT_LE(stamps[0], ts::timestamp_at(after + 5 * 3600, ts::stamp_zone::utc));
  EXPECT_TRUE(r.out.starts_with(ts::dump_title(kDatPath, stamps[0]))) << r;
}

struct broken_block {
  std::string name;
  std::function<std::string()> world;
};

TEST_F(Export, UnreadableBlockStopsTheExport) {
  const std::string header = ts::world_dat_header();
  auto with = [header](std::function<void(ts::world_block&)> edit) {
    return [header, edit] {
      ts::world_block block = ts::sample_block();
      edit(block);
      return header + block.encode() + ts::world_tail();
    };
  };
  // The sample block starts: G, group 0 count, "LAYER_A1" (2 + 8 bytes), ...
  const std::string sample = ts::sample_block().encode();
  const std::vector<broken_block> cases = {
      {"zero count in a group", with([](auto& b) { b.creature_layer[1].clear(); })},
      {"zero count in a section", with([](auto& b) { b.section("shape").clear(); })},
      {"negative count in a group", with([](auto& b) { b.group_string_counts = {-1}; })},
      {"negative count in a section",
       with([](auto& b) { b.section_counts[ts::section_index("item")] = INT32_MIN; })},
      {"count of -1 in the last section",
       with([](auto& b) { b.section_counts[ts::section_index("creature_variation")] = -1; })},
      {"string of length 0", with([](auto& b) { b.section("word").push_back(""); })},
      {"file ends inside a string's text",
       [=] { return header + sample.substr(0, 4 + 4 + 2 + 5); }},
      {"file ends inside a string's length", [=] { return header + sample.substr(0, 4 + 4 + 1); }},
      {"file ends before a section's count",
       [=] { return header + sample.substr(0, sample.size() - 4 - 2 * (2 + 22)); }},
      {"file ends right after the group count", [=] { return header + sample.substr(0, 4); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string world = c.world();
    folder.write_world("region1", world);
    ts::expect_consistency_stop(export_to("-"), kIdentified + kBegin);
    expect_world_untouched(world);
  }
}

TEST_F(Export, OutputFileThatCannotBeOpenedEndsTheRun) {
  const std::string world = ts::sample_world_dat();
  folder.write_world("region1", world);
  for (const auto& [file, reason] : std::vector<std::pair<std::string, std::string>>{
           {"missing/out.txt", "No such file or directory"},
           {"data", "Is a directory"},
           {"data/save/region1/", "Is a directory"}}) {
    SCOPED_TRACE(file);
    const auto r = export_to(file);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              kIdentified + "Error: can not open output file: " + file + "\n" + ts::reason(reason));
  }
  EXPECT_FALSE(folder.exists("missing"));
  expect_world_untouched(world);
}

TEST_F(Export, WorldFileIsNeverTheExportFile) {
  for (const auto form : {ts::world_form::dat, ts::world_form::sav}) {
    ts::game_folder fresh;
    const bool dat = form == ts::world_form::dat;
    const std::string world = dat ? ts::sample_world_dat() : ts::sample_world_sav();
    const auto rel = fresh.write_world("region1", world, form);
    const std::string name = rel.filename().string();
    fresh.make_symlink(rel, "link.txt");
    std::filesystem::create_hard_link(fresh.path(rel), fresh.path("hard.txt"));
    const std::string identified =
        ts::banner_and_usage() + "Reading Region region1 at ./" + rel.string() + "\n" +
        (dat ? "" : "Fortress Identified: Stonehold\n") + "World Identified: Testworld\n";
    for (const std::string& file :
         {"./" + rel.string(), rel.string(), "data/save/region1//" + name,
          "data/save/../save/region1/" + name, (fresh.root() / rel).string(),
          std::string("link.txt"), std::string("hard.txt")}) {
      SCOPED_TRACE(file);
      const auto r = ts::run_rawgraft(fresh, {"1", "export", file});
      EXPECT_EQ(r.status, 1) << r;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, identified + "Error: export file is the world file: " + file + "\n");
      EXPECT_EQ(fresh.read(rel), world);
    }
    EXPECT_EQ(fresh.list(ts::game_folder::region_dir("region1")), std::vector<std::string>{name});
  }

  // A copy holding the same bytes is another file, and not a dump: kept.
  const std::string world = ts::sample_world_dat();
  folder.write_world("region1", world);
  folder.write_file("copy.dat", world);
  const auto r = export_to("copy.dat");
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.err, kIdentified + "Error: copy.dat exists and is not a dump; it was not replaced.\n");
  EXPECT_EQ(folder.read("copy.dat"), world);
}

// An export to a file is written beside it and put in place only whole: an
// empty file or an older dump is replaced; anything else is kept.
TEST_F(Export, ReplacesOnlyEmptyFilesAndOlderDumps) {
  folder.write_world("region1", ts::sample_world_dat());
  const std::string dump = ts::dump_as_written(ts::dump_title(kDatPath) + ts::dump_body(ts::sample_block()));
  const std::string refused = "Error: notes.txt exists and is not a dump; it was not replaced.\n";
  const struct {
    std::string before;
    bool replaced;
  } cases[] = {{"", true},
               {"**data exported from ./data/save/old/world.dat on 1 by Rawgraft**\nX\n", true},
               {"\xEF\xBB\xBF**data exported from an editor\n", true},
               {"my notes\n**data exported from\n", false},
               {"**data exported", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    folder.write_file("notes.txt", c.before);
    const auto r = export_to("notes.txt");
    EXPECT_EQ(r.status, c.replaced ? 0 : 1) << r;
    EXPECT_EQ(r.err.ends_with(c.replaced ? kDone : refused), true) << r;
    EXPECT_EQ(c.replaced ? ts::mask_timestamps(folder.read("notes.txt")) : folder.read("notes.txt"),
              c.replaced ? dump : c.before);
    EXPECT_FALSE(folder.exists("notes.txt.TEMP"));
  }
}

void stdout_to_dev_full() {
  const int fd = ::open("/dev/full", O_WRONLY);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::close(fd);
  }
}

TEST_F(Export, FailedWritesAreReportedWithoutTheClosingCount) {
  // Both a dump that fits the stream's buffer and one that fails mid-way.
  ts::world_block big = ts::sample_block();
  for (int i = 0; i < 5000; ++i) big.section("creature").push_back("CREATURE_" + std::to_string(i));
  for (const std::string& world : {ts::sample_world_dat(), dat_world(big)}) {
    SCOPED_TRACE(world.size());
    folder.write_world("region1", world);

    const auto file = export_to("/dev/full");
    EXPECT_EQ(file.status, 1) << file;
    const std::string full = ts::reason("No space left on device");
    EXPECT_EQ(file.err, kIdentified + "Writing export to /dev/full\n" + kBegin +
                            "Error: could not write export to /dev/full\n" + full);

    const auto out = export_to("-", {.in_child = stdout_to_dev_full});
    EXPECT_EQ(out.status, 1) << out;
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, kIdentified + kBegin + "Error: could not write export to -\n" + full);
    expect_world_untouched(world);
  }
}

// A downloaded save may name its world or folder with terminal escape
// sequences: messages show such bytes as \xNN, the dump keeps them.
TEST_F(Export, ControlBytesInNamesAreShownEscapedInMessagesOnly) {
  SKIP_ON_WINDOWS_BUILD("Windows file names hold no control bytes");
  const std::string region = "evil\x1b[2J";
  const std::string path = "./data/save/" + region + "/world.dat";
  folder.write_world(region, ts::world_dat_header({.world_name = "Name\x07\x7f\tTab"}) +
                                 ts::sample_block().encode() + ts::world_tail());
  const auto r = ts::run_rawgraft(folder, {region, "export", "-"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, ts::banner_and_usage() +
                       "Reading Region evil\\x1B[2J at ./data/save/evil\\x1B[2J/world.dat\n"
                       "World Identified: Name\\x07\\x7F\tTab\n" + kBegin + kDone);
  EXPECT_EQ(ts::mask_timestamps(r.out), ts::dump_title(path) + ts::dump_body(ts::sample_block()));

  const auto file = ts::run_rawgraft(folder, {region, "export", "dump\n.txt"});
  EXPECT_NE(file.err.find("Writing export to dump\\x0A.txt\n"), std::string::npos) << file;
}

TEST_F(Export, ToAClosedStandardOutputFails) {
  const std::string world = dat_world(ts::sample_block());
  folder.write_world("region1", world);
  const ts::run_result r = export_to("-", {.in_child = [] { close(1); }});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_TRUE(ts::ends_with_reason(r.err, kBegin + "Error: could not write export to -\n")) << r;
  expect_world_untouched(world);
}

// A pipe whose reader has gone (`rawgraft 1 export - | head -1`): the player
// has read what was wanted, so the export and every report end quietly.
TEST_F(Export, IntoAPipeClosedEarlyItAndTheReportsEndQuietly) {
  SKIP_ON_WINDOWS_BUILD("under Wine a write into a pipe without a reader fails with EIO, "
                        "or not at all, never with EPIPE");
  const std::string world = dat_world(ts::sample_block());
  folder.write_world("region1", world);
  folder.write_raw("region1", "new.txt", "[OBJECT:ITEM]\n[ITEM_TOOL:EEL_TRAP]\n");
  folder.write_file("dump.txt", ts::dump_title(kDatPath) + ts::dump_body(ts::sample_block()));
  ts::run_options options;
  options.in_child = [] {
    int ends[2];
    if (pipe(ends) == 0) {
      close(ends[0]);  // nobody will ever read
      dup2(ends[1], 1);
    }
  };
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"1", "export", "-"}, {"1", "check"}, {"1", "compare", "dump.txt"}, {"1", "backups"}}) {
    SCOPED_TRACE(args[1]);
    const ts::run_result r = ts::run_rawgraft(folder, args, "", options);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r;
    EXPECT_EQ(r.err.find("Exported"), std::string::npos) << r;
  }
  EXPECT_EQ(folder.read(ts::game_folder::world_file("region1")), world);
}

}  // namespace

// Every command on a compressed world against the same command on the same
// world stored plain: once inflated, the results are the same bytes; the
// chunks after the one that holds the old block's last byte are the old
// world's own; every chunk written inflates to at most 20,000 bytes; and a
// damaged chunk stops the run with its offset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/compressed_world.hpp"
#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

const auto kRegion = ts::game_folder::region_dir("region1");
const std::string kCompressedLine = "World is compressed; it will stay compressed.\n";

struct form {
  ts::world_form kind;
  std::string name;
  std::string plain_header, compressed_header;
};
const form kForms[] = {
    {ts::world_form::dat, "world.dat", ts::world_dat_header(),
     ts::world_dat_header({.compressed = 1})},
    {ts::world_form::sav, "world.sav", ts::world_sav_header(),
     ts::world_sav_header({.compressed = 1})},
};

// A rest long enough for chunks after the block's.
const std::string kRest = ts::world_tail(70000);

// Chunk sizes that cut the logical content at telling places.
std::vector<std::vector<std::size_t>> cuts(const form& f) {
  const std::size_t block = f.plain_header.size() - 8;  // the block's logical offset - 8
  const std::size_t block_size = ts::sample_block().encode().size();
  // One-byte chunks through the header and the block, then large ones: a
  // rest of one-byte chunks would only slow the test down.
  std::vector<std::size_t> ones(block + block_size + 16, 1);
  ones.push_back(20000);
  return {{20000},
          ones,
          {block + 2, 20000},                   // inside the group count
          {block + 4 + 4 + 3, 20000},           // inside the first string
          {block + block_size, 20000},          // at the block's end
          {block + block_size - 1, 1, 20000}};  // the block's last byte alone
}

struct outcome {
  ts::run_result run;
  std::string world;  // the region's world file afterwards
};

outcome run_on(const std::string& world, const form& f, const std::vector<std::string>& args,
               const std::string& raw) {
  ts::game_folder folder;
  folder.write_world("region1", world, f.kind);
  folder.write_file("edited.txt",
                    ts::dump_title("./data/save/region1/" + f.name) + ts::dump_body([] {
                      ts::world_block b = ts::sample_block();
                      b.section("creature").push_back("NEW_BEAST");
                      return b;
                    }()));
  if (!raw.empty()) folder.write_raw("region1", "creature_new.txt", raw);
  return {ts::run_rawgraft(folder, args), folder.read(kRegion / f.name)};
}

// The chunks of `file` after the one holding logical byte `last`.
std::string chunks_after(const std::string& file, std::size_t last) {
  const ts::inflated_world w = ts::inflate_world(file);
  std::size_t end = 8;
  for (const ts::stored_chunk& c : w.chunks) {
    if (end > last) return file.substr(c.offset);
    end += c.inflated;
  }
  return "";
}

}  // namespace

TEST(CompressedWorld, EveryCommandGivesThePlainResultInCompressedForm) {
  const struct {
    std::vector<std::string> args;
    std::string raw;
  } commands[] = {
      {{"1", "export", "-"}, ""},
      {{"1", "import", "edited.txt"}, ""},
      {{"1", "sync"}, "[OBJECT:CREATURE]\n[CREATURE:RAW_BEAST]\n"},
      {{"1", "compare", "edited.txt"}, ""},
  };
  for (const form& f : kForms) {
    const std::string rest = ts::sample_block().encode() + kRest;
    const std::string plain = f.plain_header + rest;
    const std::string logical = f.compressed_header + rest;
    const std::size_t block_end = f.plain_header.size() + ts::sample_block().encode().size();
    for (const auto& command : commands) {
      const outcome want = run_on(plain, f, command.args, command.raw);
      for (const auto& sizes : cuts(f)) {
        SCOPED_TRACE(f.name + " " + command.args[1] + " cut at " + std::to_string(sizes[0]));
        const std::string old_file = ts::compress_world(logical, sizes);
        const outcome got = run_on(old_file, f, command.args, command.raw);
        EXPECT_EQ(got.run.status, want.run.status) << got.run;
        EXPECT_EQ(ts::mask_timestamps(got.run.out), ts::mask_timestamps(want.run.out));
        std::string err = ts::mask_timestamps(want.run.err);
        const std::string identified = "World Identified: Testworld\n";
        err.insert(err.find(identified) + identified.size(), kCompressedLine);
        EXPECT_EQ(ts::mask_timestamps(got.run.err), err);

        const ts::inflated_world result = ts::inflate_world(got.world);
        EXPECT_EQ(got.world.substr(0, 8), old_file.substr(0, 8));
        EXPECT_TRUE(result.logical.substr(8) == want.world.substr(8));
        const std::string kept = chunks_after(old_file, block_end - 1);
        EXPECT_TRUE(got.world.ends_with(kept));
        // The chunks kept keep their place within a page: the kernel copies
        // them fastest so.
        if ((command.args[1] == "import" || command.args[1] == "sync") && !kept.empty()) {
          EXPECT_EQ((got.world.size() - kept.size()) % 4096, (old_file.size() - kept.size()) % 4096);
        }
        for (const ts::stored_chunk& c : result.chunks) {
          if (c.offset >= got.world.size() - kept.size()) break;
          EXPECT_LE(c.inflated, 20000u);
        }
      }
    }
  }
}

TEST(CompressedWorld, ADamagedChunkStopsTheRunAndLeavesTheWorld) {
  const form& f = kForms[0];
  const std::string logical = f.compressed_header + ts::sample_block().encode() + kRest;
  const std::string head = ts::compress_world(logical.substr(0, 100));
  const std::string stream = ts::zlib_stream(logical.substr(100));
  std::string bad_check = stream;
  bad_check.back() = static_cast<char>(bad_check.back() ^ 1);
  const struct {
    std::string chunk;
    std::string reason;
  } damage[] = {
      {std::string("\x07\x00", 2), "the file ends inside a chunk's length"},
      {ts::framed(stream).substr(0, 40), "chunk runs past the end of the file"},
      {ts::framed(bad_check), "incorrect data check"},
      {ts::framed(stream + "left"), "bytes left over after the chunk's zlib stream"},
  };
  for (const auto& d : damage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1", "export", "-"}, {"1", "import", "edited.txt"}}) {
      SCOPED_TRACE(d.reason + " " + args[1]);
      const std::string world = head + d.chunk;
      const outcome got = run_on(world, f, args, "");
      EXPECT_EQ(got.run.status, 1) << got.run;
      EXPECT_NE(got.run.err.find("Error: compressed world file is damaged at byte " +
                                 std::to_string(head.size()) + ": " + d.reason + "\n"),
                std::string::npos)
          << got.run;
      EXPECT_EQ(got.world, world);
    }
  }
}

TEST(CompressedWorld, ChunksAfterTheBlocksAreCopiedDamagedOrNot) {
  const form& f = kForms[0];
  const std::string logical = f.compressed_header + ts::sample_block().encode() + kRest;
  const std::string damaged = ts::framed("not a zlib stream at all");
  const std::string old_file = ts::compress_world(logical) + damaged;
  const outcome got = run_on(old_file, f, {"1", "import", "edited.txt"}, "");
  EXPECT_EQ(got.run.status, 0) << got.run;
  EXPECT_TRUE(got.world.ends_with(damaged));
}

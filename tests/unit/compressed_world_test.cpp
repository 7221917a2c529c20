// The compressed world source and sink against files made with zlib alone:
// the logical bytes across any chunk boundaries, each kind of damage, the
// sink's chunks, and the rest of a world copied as it is stored.
#include "compressed_world.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/bytes.hpp"
#include "support/compressed_world.hpp"
#include "support/game_folder.hpp"
#include "support/memory_file.hpp"
#include "support/world_image.hpp"
#include "world_source.h"

namespace ts = testsupport;

namespace {

std::unique_ptr<world_source> source_of(const std::string& file) {
  return compressed_world_source(ts::stream_of(file).release());
}

struct reading {
  std::string bytes;
  read_status last;
};

// Reads to the end in reads of varied sizes: the bytes read before the end
// or the failure, and how the last read ended.
reading read_all(world_source& source) {
  static const std::size_t sizes[] = {1, 2, 5, 4096, 3, 300000, 17};
  reading r{"", read_status::ok};
  for (std::size_t i = 0; r.last == read_status::ok; ++i) {
    std::string piece(sizes[i % std::size(sizes)], '\0');
    const std::int64_t before = source.position();
    r.last = source.read(piece.data(), piece.size());
    r.bytes.append(piece, 0, static_cast<std::size_t>(source.position() - before));
  }
  return r;
}

std::string compressed_dat(std::size_t tail) {
  return ts::world_dat_header({.compressed = 1}) + ts::sample_block().encode() +
         ts::world_tail(tail);
}
}  // namespace

TEST(CompressedSource, GivesTheLogicalBytesAcrossAnyChunkBoundaries) {
  // world.dat: the name's counted string at 146..157, the block from 157.
  const std::size_t block_end = 157 + ts::sample_block().encode().size();
  const std::string world = compressed_dat(300);
  const std::string big = compressed_dat(1000000);
  struct row {
    const char* name;
    std::string logical;
    std::string file;
  } rows[] = {
      {"inside the name's length", world, ts::compress_world(world, {139, 20000})},
      {"inside the name", world, ts::compress_world(world, {143})},
      {"inside the group count", world, ts::compress_world(world, {151})},
      {"at the block's end", world, ts::compress_world(world, {block_end - 8})},
      {"one-byte chunks", world, ts::compress_world(world, {1})},
      {"mixed sizes", world, ts::compress_world(world, {2, 1, 700, 3})},
      {"a chunk of nothing", world,
       ts::compress_world(world.substr(0, 200)) + ts::framed(ts::zlib_stream("")) +
           ts::framed(ts::zlib_stream(world.substr(200)))},
      {"a chunk of a million bytes", big, ts::compress_world(big, {big.size() - 1000008, 1000000})},
      {"no chunks", world.substr(0, 8), world.substr(0, 8)},
      {"a short header", "\x01\x02\x03", "\x01\x02\x03"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const auto source = source_of(r.file);
    ASSERT_TRUE(source->compressed());
    for (int pass = 0; pass < 2; ++pass) {  // the second after a rewind
      const reading got = read_all(*source);
      EXPECT_EQ(got.last, read_status::end);
      EXPECT_TRUE(got.bytes == r.logical) << got.bytes.size() << " of " << r.logical.size();
      ASSERT_EQ(source->rewind(), read_status::ok);
    }
  }
}

TEST(CompressedSource, DamageFailsAtTheChunksLengthWithTheReason) {
  const std::string logical = compressed_dat(100);
  const std::string good = ts::compress_world(logical, {150, 1000});
  const std::string stream = ts::zlib_stream("the damaged chunk's bytes");
  std::string bad_check = stream;
  bad_check.back() = static_cast<char>(bad_check.back() ^ 1);
  std::string zero_length;
  ts::put_u32(zero_length, 0);
  // A good chunk follows the damaged one, unless the damage is the file's
  // end (the first two).
  const struct {
    std::string chunk;
    const char* reason;
  } rows[] = {
      {"\x05\x00\x00", "the file ends inside a chunk's length"},
      {ts::framed(stream).substr(0, 4 + stream.size() - 1), "chunk runs past the end of the file"},
      {zero_length + ts::framed(stream), "chunk length is 0"},
      {ts::framed("\x78\x9c\xff\xff\x00\x00"), "invalid block type"},
      {ts::framed("not zlib"), "incorrect header check"},
      {ts::framed(stream.substr(0, stream.size() - 2)), "chunk's zlib stream is cut short"},
      {ts::framed(stream + "x"), "bytes left over after the chunk's zlib stream"},
      {ts::framed(ts::zlib_stream(std::string(1000001, 'a'))),
       "chunk inflates to more than 1000000 bytes"},
      {ts::framed(bad_check), "incorrect data check"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reason);
    const bool cut = &r - rows < 2;
    const auto source = source_of(good + r.chunk + (cut ? "" : ts::framed(stream)));
    const reading got = read_all(*source);
    EXPECT_EQ(got.last, read_status::failed);
    EXPECT_TRUE(got.bytes == logical);
    const chunk_damage* damage = damage_of(*source);
    ASSERT_NE(damage, nullptr);
    EXPECT_EQ(damage->offset, static_cast<std::int64_t>(good.size()));
    EXPECT_EQ(damage->reason, r.reason);
    EXPECT_EQ(source->failure(), r.reason);
    char byte;
    EXPECT_EQ(source->read(&byte, 1), read_status::failed);  // it stays failed
    ASSERT_EQ(source->rewind(), read_status::ok);            // and fails alike after a rewind
    EXPECT_TRUE(read_all(*source).bytes == logical);
    EXPECT_EQ(damage_of(*source)->offset, damage->offset);
  }
}

TEST(CompressedSource, AReadErrorIsNotDamage) {
  ts::game_folder folder;
  std::FILE* directory = std::fopen(folder.root().c_str(), "rb");
  ASSERT_NE(directory, nullptr);
  const auto source = compressed_world_source(directory);
  char byte;
  EXPECT_EQ(source->read(&byte, 1), read_status::failed);
  EXPECT_EQ(damage_of(*source), nullptr);
  EXPECT_EQ(source->failure(), std::string(std::strerror(EISDIR)));
}

TEST(CompressedSource, OpeningTellsTheFormByTheCompressionFlag) {
  ts::game_folder folder;
  const struct {
    std::string start;
    bool compressed;
  } rows[] = {{std::string("\x31\x05\x00\x00\x00\x00\x00\x00rest", 12), false},
              {std::string("\x31\x05\x00\x00\x00\x00\x00\x01rest", 12), true},
              {std::string("\x31\x05\x00\x00\x01\x00\x00", 7), false}};
  for (const auto& r : rows) {
    folder.write_file("world.dat", r.start);
    std::string reason;
    const auto source = open_world_source(folder.path("world.dat").c_str(), reason);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->compressed(), r.compressed);
    char first;
    EXPECT_EQ(source->read(&first, 1), read_status::ok);
    EXPECT_EQ(first, '\x31');
  }
}

TEST(CompressedSink, WritesTheHeaderAsItIsAndChunksOfAtMost20000Bytes) {
  for (const std::size_t size : {0, 5, 8, 9, 20008, 20009, 65000}) {
    SCOPED_TRACE(size);
    const std::string logical = ts::filler(size, 3);
    ts::file_ptr file(std::tmpfile());
    const auto sink = compressed_world_sink(file.get());
    for (std::size_t at = 0, i = 0; at < size; ++i) {
      const std::size_t piece = std::min<std::size_t>(size - at, i % 2 == 0 ? 7 : 33333);
      ASSERT_TRUE(sink->write(logical.data() + at, piece));
      at += piece;
    }
    ASSERT_TRUE(sink->finish());
    std::rewind(file.get());
    std::string written(size + 1000, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), file.get()));
    EXPECT_EQ(written.substr(0, 8), logical.substr(0, 8));
    const ts::inflated_world inflated = ts::inflate_world(written);
    EXPECT_TRUE(inflated.logical == logical);
    for (std::size_t i = 0; i < inflated.chunks.size(); ++i) {
      EXPECT_EQ(inflated.chunks[i].inflated, i + 1 < inflated.chunks.size()
                                                 ? chunk_write_limit
                                                 : (size - 8 - 1) % chunk_write_limit + 1);
    }
    const auto source = source_of(written);
    EXPECT_TRUE(read_all(*source).bytes == logical);
  }
}

TEST(CompressedSource, CopiesTheChunksAfterTheOneInHandAsTheyAreStored) {
  const std::string logical = compressed_dat(500);
  // Chunks of 100, 50 and the rest, then one that would not inflate: a
  // rewrite copies it all the same.
  const std::string file = ts::compress_world(logical, {100, 50, 100000}) + ts::framed("junk");
  const std::vector<ts::stored_chunk> chunks =
      ts::inflate_world(file.substr(0, file.size() - 8)).chunks;
  const struct {
    const char* name;
    std::size_t stop;     // logical bytes read before the copy
    std::size_t held_to;  // logical end of the bytes in hand then
    std::size_t chunk;    // the first chunk copied as it is stored
  } rows[] = {
      {"within the header", 4, 8, 0},
      {"at the first chunk's end", 108, 108, 1},
      {"within the second chunk", 120, 158, 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto source = source_of(file);
    std::string bytes(r.stop, '\0');
    ASSERT_EQ(source->read(bytes.data(), r.stop), read_status::ok);
    ts::file_ptr out(std::tmpfile());
    const auto sink = source->make_sink(out.get());
    const std::string fresh = "NEW HEADER AND BLOCK";
    ASSERT_TRUE(sink->write(fresh.data(), fresh.size()));
    platform::file_copier copier;
    static int pieces;
    pieces = 0;
    ASSERT_EQ(source->copy_rest(*sink, copier, [] { ++pieces; }), world_source::copy_result::done);
    EXPECT_EQ(pieces, 1);

    std::rewind(out.get());
    // Room for the last chunk's padding too (up to two pages).
    std::string written(file.size() + 16384, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), out.get()));
    const std::string copied = file.substr(chunks[r.chunk].offset);
    ASSERT_GE(written.size(), copied.size());
    EXPECT_TRUE(written.ends_with(copied));
    EXPECT_EQ(ts::inflate_world(written.substr(0, written.size() - copied.size())).logical,
              fresh + logical.substr(r.stop, r.held_to - r.stop));
  }
}

// The chunk that aligns the copied chunks: every length the alignment may
// ask for (one page's worth of extra bytes, or the next page's) is made,
// and the stream inflates to the data with zlib's own inflate.
TEST(PaddedStream, HasEveryLengthAPageAsksForAndInflatesToItsData) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{4000}}) {
    const std::string data = ts::world_tail(size);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    for (std::size_t extra = 0; extra < 4096; ++extra) {
      std::size_t wanted = size + 11 + extra;
      std::string stream = padded_stream(bytes, size, wanted);
      if (stream.empty()) stream = padded_stream(bytes, size, wanted += 4096);
      ASSERT_EQ(stream.size(), wanted) << "size " << size << " extra " << extra;
      std::string inflated(size + 1, '\0');
      uLongf got = inflated.size();
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &got,
                           reinterpret_cast<const Bytef*>(stream.data()), stream.size()),
                Z_OK);
      ASSERT_EQ(inflated.substr(0, got), data) << "size " << size << " extra " << extra;
    }
  }
}

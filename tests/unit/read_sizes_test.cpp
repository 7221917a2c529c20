// The dump's read blocks and the plain world's window are sizes the readers
// choose; any size must cut the same lines and read the same strings, also
// where lines, strings and 64-byte pieces straddle a block's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "export.h"
#include "import.h"
#include "object_block.h"
#include "support/dump_text.hpp"
#include "support/memory_file.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {
class kept_bytes final : public world_sink {
 public:
  kept_bytes() : world_sink(nullptr) {}
  bool write(const void* data, std::size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  bool finish() override { return true; }
  std::string bytes;
};

// The block and the messages of an import of `dump` read `block_size`
// bytes at a time.
std::string imported(const std::string& dump, std::size_t block_size) {
  const ts::file_ptr in = ts::stream_of(dump);
  kept_bytes out;
  testing::internal::CaptureStderr();
  const block_result result = import_text(in.get(), out, false, nullptr, block_size);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, block_result::done) << err;
  return out.bytes + "\n--\n" + err;
}

// Strings of every kind of length the readers tell apart: within the
// 32-byte copies and past them, and longer than the windows tried.
ts::world_block block_of_all_lengths() {
  ts::world_block block = ts::sample_block();
  for (const std::size_t length : {1, 31, 32, 33, 34, 35, 300, 5000}) {
    block.section("creature").push_back(std::string(length, 'C'));
    block.creature_layer[0].push_back(std::string(length, 'L'));
  }
  return block;
}
}  // namespace

TEST(ReadSizes, SmallDumpBlocksCutTheSameLines) {
  // A byte-order mark, text before the first header (a warning with line
  // numbers), blank, indented and CRLF lines, a zero byte, a line longer
  // than the line buffer, and many short identifiers.
  std::string dump = "\xEF\xBB\xBF" + ts::dump_title("./data/save/region1/world.dat") +
                     "stray text\n\n====creature_layer====\n  INDENTED  \r\n" +
                     std::string("ZERO\0AFTER\n", 11) + std::string(40000, 'X') + "\n";
  for (int i = 0; i < 300; ++i) dump += "SHORT_" + std::to_string(i) + (i % 7 ? "\n" : "\r\n");
  // A header naming no list, whose warning gives its line number, ends the
  // last section.
  std::string body = ts::dump_body(block_of_all_lengths());
  body.insert(body.rfind("====END===="), "====nonsense====\n");
  dump += body;
  const std::string expected = imported(dump, dump_block_size);
  for (const std::size_t block_size : {3, 4, 63, 64, 65, 127, 1000, 32767}) {
    SCOPED_TRACE(block_size);
    EXPECT_EQ(imported(dump, block_size), expected);
  }
}

TEST(ReadSizes, SmallPlainWindowsReadTheSameBlock) {
  const std::string block = block_of_all_lengths().encode();
  const std::string world = block + ts::world_tail(100);
  ts::game_folder folder;
  const std::string path = (folder.root() / "dump.txt").string();
  const auto exported = [&](std::size_t window) {
    const auto source = plain_world_source(ts::stream_of(world).release(), window);
    file_stream out;
    EXPECT_TRUE(out.open(path.c_str(), "wb"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(export_block(*source, out), export_result::done);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(source->position(), static_cast<std::int64_t>(block.size()));
    return folder.read("dump.txt");
  };
  const std::string expected = exported(plain_window_size);
  for (const std::size_t window : {1, 2, 33, 34, 35, 100, 4096}) {
    SCOPED_TRACE(window);
    EXPECT_EQ(exported(window), expected);
    const auto source = plain_world_source(ts::stream_of(world).release(), window);
    testing::internal::CaptureStderr();
    EXPECT_EQ(skip_world_block(*source), read_status::ok);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(source->position(), static_cast<std::int64_t>(block.size()));
  }
}

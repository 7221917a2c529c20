// A read error anywhere in the world (header, block or rest) must stop a
// rewrite before its renames: taking it for the world's end, or for data,
// would place a corrupt world.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "object_block.h"
#include "support/testsupport.hpp"
#include "world_rewrite.h"
#include "world_source.h"

namespace ts = testsupport;

namespace {
// A world held in memory, served in small windows so that reads straddle
// them, that fails for good once its position reaches `fail_at`.
class failing_source final : public world_source {
 public:
  failing_source(std::string bytes, std::int64_t fail_at)
      : bytes_(std::move(bytes)), fail_at_(fail_at) {}
  read_status rewind() override {
    restart_at(0);
    return read_status::ok;
  }
  void close() override {}
  std::unique_ptr<world_sink> make_sink(std::FILE* file) const override {
    return plain_world_sink(file);
  }
  copy_result copy_rest(world_sink& sink, platform::file_copier&, void (*)()) override {
    const std::int64_t at = position();
    if (fail_at_ < static_cast<std::int64_t>(bytes_.size())) {  // the copy would reach it
      failure_ = "Input/output error";
      return copy_result::read_failed;
    }
    const std::string rest = bytes_.substr(static_cast<std::size_t>(at));
    return sink.write(rest.data(), rest.size()) && sink.finish() ? copy_result::done
                                                                 : copy_result::write_failed;
  }

 protected:
  read_status refill() override {
    const std::int64_t at = end_offset_;
    if (at >= fail_at_) {
      failure_ = "Input/output error";
      return read_status::failed;
    }
    const std::int64_t size = static_cast<std::int64_t>(bytes_.size());
    if (at >= size) return read_status::end;
    const std::int64_t n = std::min<std::int64_t>({7, fail_at_ - at, size - at});
    next_ = reinterpret_cast<const std::uint8_t*>(bytes_.data()) + at;
    end_ = next_ + n;
    end_offset_ += n;
    return read_status::ok;
  }

 private:
  std::string bytes_;
  std::int64_t fail_at_;
};
// Rewrites the world at `path`, read through `source`, with `new_block` after
// skipping the old one; what went to standard error is kept in `err`.
rewrite_result rewrite_with(world_source& source, const std::string& path, std::size_t block_offset,
                            const std::string& new_block, std::string& err) {
  const rewrite_job job{path.c_str(), "20260101_000000", source,
                        static_cast<std::int64_t>(block_offset),
                        [&](world_source& old_world, world_sink& out) {
                          if (skip_world_block(old_world) != read_status::ok) {
                            return block_result::world_read_failed;
                          }
                          return out.write(new_block.data(), new_block.size())
                                     ? block_result::done
                                     : block_result::write_failed;
                        },
                        nullptr, nullptr};
  testing::internal::CaptureStderr();
  const rewrite_result result = rewrite_world(job);
  err = testing::internal::GetCapturedStderr();
  return result;
}
}  // namespace

TEST(WorldSource, ReadErrorAnywhereStopsTheRewriteBeforeTheRenames) {
  const std::string header = ts::world_dat_header();
  const std::string block = ts::sample_block().encode();
  const std::string world = header + block + ts::world_tail(4096);
  ts::world_block edited = ts::sample_block();
  edited.section("plant").push_back("NEW_PLANT");
  const std::string new_block = edited.encode();
  const struct {
    const char* where;
    std::size_t fail_at;
  } cases[] = {{"in the header", 20},
               {"in the block", header.size() + 30},
               {"in the rest", header.size() + block.size() + 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    ts::game_folder folder;
    const std::string path = (folder.root() / "world.dat").string();
    folder.write_file("world.dat", world);
    failing_source source(world, static_cast<std::int64_t>(c.fail_at));
    std::string err;
    const rewrite_result result = rewrite_with(source, path, header.size(), new_block, err);
    EXPECT_EQ(result, rewrite_result::stopped) << err;
    EXPECT_TRUE(err.ends_with("Error: could not read world file: " + path +
                              "\n  (Input/output error)\n" + path + " is unchanged.\n"))
        << err;
    EXPECT_EQ(folder.read("world.dat"), world);
    EXPECT_EQ(folder.list(), std::vector<std::string>{"world.dat"});
  }
}

// Whether a block that keeps its size changed is told by reading the old one
// again; when that read fails the rewrite must stop, not guess.
TEST(WorldSource, OldBlockThatCannotBeReadAgainStopsTheRewrite) {
  const std::string header = ts::world_dat_header();
  const std::string block = ts::sample_block().encode();
  ts::game_folder folder;
  const std::string path = (folder.root() / "world.dat").string();  // never written
  failing_source source(header + block + ts::world_tail(64), INT64_MAX);
  std::string err;
  const rewrite_result result = rewrite_with(source, path, header.size(), block, err);
  EXPECT_EQ(result, rewrite_result::stopped) << err;
  EXPECT_TRUE(err.find("Error: could not read world file: " + path + "\n  (") != std::string::npos)
      << err;
  EXPECT_TRUE(folder.list().empty());
}

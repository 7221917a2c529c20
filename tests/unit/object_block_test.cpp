#include "object_block.h"

#include <gtest/gtest.h>

#include "support/memory_file.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "support/bytes.hpp"

namespace {
using source_ptr = std::unique_ptr<world_source>;
using testsupport::source_of;

// The text read, or null when the string came back absent.
const char* read_text(world_source& in, counted_string& record) {
  read_counted_string(in, record);
  return record.s.get();
}
std::int32_t count_of(world_source& in) {
  std::int32_t value = -2;
  read_count(in, value);
  return value;
}
std::int32_t string_count_of(world_source& in) {
  std::int32_t value = -2;
  read_string_count(in, value);
  return value;
}

std::string assembled(const assembly_buffer& out) {
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}
}  // namespace

TEST(SectionTable, FindSectionIgnoresCaseButNeedsTheWholeName) {
  EXPECT_EQ(find_section("CREATURE_LAYER"), 0);
  EXPECT_EQ(find_section("Color_Pattern"), 14);
  EXPECT_EQ(find_section("creature_variation"), 19);
  EXPECT_EQ(find_section("END"), -1);
  EXPECT_EQ(find_section(""), -1);
  EXPECT_EQ(find_section("inorganic\n"), -1);
  EXPECT_EQ(find_section("color_"), -1);
}

TEST(CountedString, ReadsTextAndReusesTheRecord) {
  std::string bytes;
  testsupport::put_counted(bytes, "GRANITE");
  testsupport::put_counted(bytes, std::string("a\0b", 3));
  source_ptr in = source_of(bytes);
  counted_string record;
  ASSERT_STREQ(read_text(*in, record), "GRANITE");
  EXPECT_EQ(record.len, 7);
  ASSERT_NE(read_text(*in, record), nullptr);
  EXPECT_EQ(record.len, 3);
  EXPECT_EQ(std::string(record.s.get(), 4), std::string("a\0b\0", 4));
}

TEST(CountedString, EmptyAndTruncatedStringsComeBackAbsent) {
  counted_string record;
  // Length 0: the two length bytes are its whole extent.
  source_ptr empty = source_of(std::string("\0\0\x01\0Z", 5));
  EXPECT_EQ(read_text(*empty, record), nullptr);
  EXPECT_EQ(record.len, 0);
  EXPECT_EQ(record.s, nullptr);
  EXPECT_STREQ(read_text(*empty, record), "Z");

  source_ptr cut_text = source_of(std::string("\x05\0abc", 5));
  EXPECT_EQ(read_text(*cut_text, record), nullptr);
  EXPECT_EQ(record.len, 0);
  EXPECT_EQ(record.s, nullptr);

  source_ptr cut_length = source_of(std::string("\x05", 1));
  EXPECT_EQ(read_text(*cut_length, record), nullptr);
}

TEST(Counts, AreLittleEndianAndReadAsZeroWhenCut) {
  source_ptr in = source_of(std::string("\x01\x02\x03\x04\xff\xff\xff\xff\x07\x00", 10));
  EXPECT_EQ(count_of(*in), 0x04030201);
  EXPECT_EQ(count_of(*in), -1);
  EXPECT_EQ(count_of(*in), 0);
}

TEST(CountsDeathTest, ZeroAndNegativeStringCountsStop) {
  source_ptr zero = source_of(std::string(4, '\0'));
  EXPECT_EXIT(string_count_of(*zero), testing::ExitedWithCode(1),
              "consistency check failed: ");
  source_ptr negative = source_of(std::string("\0\0\0\x80", 4));
  EXPECT_EXIT(string_count_of(*negative), testing::ExitedWithCode(1),
              "consistency check failed: ");
}

TEST(AssemblyBuffer, AppendsRecordsAndCountsLittleEndian) {
  assembly_buffer out;
  append_u32(out, 0);
  append_counted_cstr(out, "OAK");
  append_record(out, nullptr, 0);
  store_u32(out, 0, 0x80000001u);
  EXPECT_EQ(assembled(out), std::string("\x01\0\0\x80\x03\0OAK\0\0", 11));
  out.reset();
  EXPECT_EQ(out.size(), 0u);
}

TEST(AssemblyBuffer, GrowsPastItsFirstSizeKeepingWhatItHolds) {
  assembly_buffer out;
  const std::string name(1000, 'Q');
  const std::size_t records = assembly_buffer::initial_size / 1002 + 10;
  for (std::size_t i = 0; i < records; ++i) append_counted_cstr(out, name.c_str());
  ASSERT_EQ(out.size(), records * 1002);
  const std::string all = assembled(out);
  for (std::size_t i = 0; i < records; ++i) {
    ASSERT_EQ(all.compare(i * 1002 + 2, 1000, name), 0) << "record " << i;
  }
}

TEST(SkipWorldBlock, StopsAtTheFirstByteAfterTheBlock) {
  std::string block;
  testsupport::put_i32(block, 2);
  for (int g = 0; g < 2; ++g) {
    testsupport::put_u32(block, 1);
    testsupport::put_counted(block, "GROUP_ENTRY");
  }
  for (int s = 1; s < section_count; ++s) {
    testsupport::put_u32(block, 2);
    testsupport::put_counted(block, "");
    testsupport::put_counted(block, "ENTRY");
  }
  source_ptr in = source_of(block + "REST");
  testing::internal::CaptureStderr();
  skip_world_block(*in);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Skipping to world data...\n");
  EXPECT_EQ(in->position(), static_cast<std::int64_t>(block.size()));
}

TEST(SkipWorldBlockDeathTest, MissingCountStops) {
  std::string block;
  testsupport::put_i32(block, 0);
  testsupport::put_u32(block, 1);
  testsupport::put_counted(block, "ONLY_ONE_SECTION");
  source_ptr in = source_of(block);
  EXPECT_EXIT(skip_world_block(*in), testing::ExitedWithCode(1), "consistency check failed: ");
}

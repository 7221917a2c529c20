#pragma once
// Little-endian byte appenders for building world images in tests.

#include <cstdint>
#include <string>
#include <string_view>

namespace testsupport {

void put_u16(std::string& out, std::uint16_t value);
void put_u32(std::string& out, std::uint32_t value);
void put_i32(std::string& out, std::int32_t value);
// 2-byte little-endian length, then the bytes. Throws std::length_error past 65535 bytes.
void put_counted(std::string& out, std::string_view text);

// `count` bytes of a repeating, non-zero pattern; `seed` varies it so that a
// misplaced read of one filler region shows up as garbage, not as zeros.
std::string filler(std::size_t count, unsigned seed = 0);

// Decoders for checking files the tool wrote.
std::uint16_t get_u16(std::string_view bytes, std::size_t offset);
std::uint32_t get_u32(std::string_view bytes, std::size_t offset);

}  // namespace testsupport

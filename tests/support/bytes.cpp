#include "support/bytes.hpp"

#include <stdexcept>

namespace testsupport {

void put_u16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFFu));
  out.push_back(static_cast<char>((value >> 8) & 0xFFu));
}

void put_u32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xFFu));
  }
}

void put_i32(std::string& out, std::int32_t value) { put_u32(out, static_cast<std::uint32_t>(value)); }

void put_counted(std::string& out, std::string_view text) {
  if (text.size() > 0xFFFFu) throw std::length_error("counted string longer than 65535 bytes");
  put_u16(out, static_cast<std::uint16_t>(text.size()));
  out.append(text);
}

std::string filler(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    // 0x80..0xFE: never zero, never a printable name character.
    bytes[i] = static_cast<char>(0x80u + (i * 7u + seed * 13u) % 0x7Fu);
  }
  return bytes;
}

std::uint16_t get_u16(std::string_view bytes, std::size_t offset) {
  if (offset + 2 > bytes.size()) throw std::out_of_range("get_u16 past end");
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                    static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

std::uint32_t get_u32(std::string_view bytes, std::size_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("get_u32 past end");
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  }
  return value;
}

}  // namespace testsupport

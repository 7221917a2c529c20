// Little-endian integers in memory: how the world stores its counts, string
// lengths and chunk lengths. The byte order is written here alone; the
// compilers make each of these one load or store where the processor allows.
#pragma once

#include <cstdint>

inline std::uint16_t load_le16(const void* at) {
  const auto* b = static_cast<const std::uint8_t*>(at);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

inline std::uint32_t load_le32(const void* at) {
  const auto* b = static_cast<const std::uint8_t*>(at);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

inline void store_le16(void* at, std::uint16_t value) {
  auto* b = static_cast<std::uint8_t*>(at);
  b[0] = static_cast<std::uint8_t>(value);
  b[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void store_le32(void* at, std::uint32_t value) {
  auto* b = static_cast<std::uint8_t*>(at);
  b[0] = static_cast<std::uint8_t>(value);
  b[1] = static_cast<std::uint8_t>(value >> 8);
  b[2] = static_cast<std::uint8_t>(value >> 16);
  b[3] = static_cast<std::uint8_t>(value >> 24);
}

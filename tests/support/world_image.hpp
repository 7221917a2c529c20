#pragma once
// Builders for world file images: the header of either form and the
// object-name block, with hooks for writing deliberately bad values.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The nineteen sections after creature_layer, in block order.
inline constexpr std::array<std::string_view, 19> section_names = {
    "inorganic", "plant",    "body",           "bodygloss",        "creature",
    "item",      "building", "entity",         "word",             "symbol",
    "translation", "color",  "shape",          "color_pattern",    "reaction",
    "material_template",     "tissue_template", "body_detail_plan", "creature_variation"};

// Index into world_block::sections for a name from section_names; throws if unknown.
std::size_t section_index(std::string_view name);

struct world_block {
  // Each group is written as u32 count + counted strings.
  std::vector<std::vector<std::string>> creature_layer{};
  // Raw group count G written instead of creature_layer.size() (may be 0 or negative).
  std::optional<std::int32_t> group_count{};
  // Per-group raw string counts; a missing or empty entry means the real size.
  std::vector<std::optional<std::int32_t>> group_string_counts{};

  // sections[0] is inorganic ... sections[18] is creature_variation.
  std::array<std::vector<std::string>, 19> sections{};
  // Raw string count written instead of the section's size.
  std::array<std::optional<std::int32_t>, 19> section_counts{};

  std::vector<std::string>& section(std::string_view name) { return sections[section_index(name)]; }
  const std::vector<std::string>& section(std::string_view name) const {
    return sections[section_index(name)];
  }

  std::string encode() const;
};

// A small valid block: two creature_layer groups and at least one string in
// every section, each string distinct.
world_block sample_block();

struct dat_header_fields {
  std::uint16_t version = 1329;
  std::uint16_t funky = 0;
  std::uint32_t compressed = 0;
  std::string world_name = "Testworld";
};

struct sav_header_fields {
  std::uint16_t version = 1329;
  std::uint16_t funky = 0;
  std::uint32_t compressed = 0;
  std::string fortress_name = "Stonehold";
  std::string world_name = "Testworld";
};

// version, funky, compression flag, 138 filler bytes, counted world name (at 146).
std::string world_dat_header(const dat_header_fields& fields = {});
// Same first 8 bytes, 86 filler bytes, counted fortress name (at 94), counted
// world name, 4 filler bytes.
std::string world_sav_header(const sav_header_fields& fields = {});

// Bytes after the block that the tool must carry over unchanged.
std::string world_tail(std::size_t size = 64);

// Convenience: header + sample block + tail.
std::string sample_world_dat(const dat_header_fields& fields = {});
std::string sample_world_sav(const sav_header_fields& fields = {});

}  // namespace testsupport

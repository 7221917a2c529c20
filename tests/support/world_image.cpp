#include "support/world_image.hpp"

#include <stdexcept>

#include "support/bytes.hpp"

namespace testsupport {

std::size_t section_index(std::string_view name) {
  for (std::size_t i = 0; i < section_names.size(); ++i) {
    if (section_names[i] == name) return i;
  }
  throw std::invalid_argument("unknown section: " + std::string(name));
}

std::string world_block::encode() const {
  std::string out;
  put_i32(out, group_count.value_or(static_cast<std::int32_t>(creature_layer.size())));
  for (std::size_t g = 0; g < creature_layer.size(); ++g) {
    const auto& strings = creature_layer[g];
    std::optional<std::int32_t> raw;
    if (g < group_string_counts.size()) raw = group_string_counts[g];
    put_i32(out, raw.value_or(static_cast<std::int32_t>(strings.size())));
    for (const auto& s : strings) put_counted(out, s);
  }
  for (std::size_t k = 0; k < sections.size(); ++k) {
    put_i32(out, section_counts[k].value_or(static_cast<std::int32_t>(sections[k].size())));
    for (const auto& s : sections[k]) put_counted(out, s);
  }
  return out;
}

world_block sample_block() {
  world_block block;
  block.creature_layer = {{"LAYER_A1", "LAYER_A2"}, {"LAYER_B1"}};
  for (std::size_t k = 0; k < section_names.size(); ++k) {
    std::string upper;
    for (char c : section_names[k]) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
    block.sections[k] = {upper + "_ONE", upper + "_TWO"};
  }
  return block;
}

namespace {

std::string common_start(std::uint16_t version, std::uint16_t funky, std::uint32_t compressed) {
  std::string out;
  put_u16(out, version);
  put_u16(out, funky);
  put_u32(out, compressed);
  return out;
}

}  // namespace

std::string world_dat_header(const dat_header_fields& f) {
  std::string out = common_start(f.version, f.funky, f.compressed);
  out += filler(138, 1);
  put_counted(out, f.world_name);
  return out;
}

std::string world_sav_header(const sav_header_fields& f) {
  std::string out = common_start(f.version, f.funky, f.compressed);
  out += filler(86, 2);
  put_counted(out, f.fortress_name);
  put_counted(out, f.world_name);
  out += filler(4, 3);
  return out;
}

std::string world_tail(std::size_t size) { return filler(size, 4); }

std::string sample_world_dat(const dat_header_fields& fields) {
  return world_dat_header(fields) + sample_block().encode() + world_tail();
}

std::string sample_world_sav(const sav_header_fields& fields) {
  return world_sav_header(fields) + sample_block().encode() + world_tail();
}

}  // namespace testsupport

#include "support/game_folder.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testsupport {

game_folder::game_folder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/rawgraft-test-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + templ);
  }
  root_ = fs::path(templ);
}

game_folder::~game_folder() {
  if (std::getenv("RAWGRAFT_KEEP_TEST_DIRS") != nullptr) return;
  std::error_code ec;
  // A test may have locked folders down; open them up so that removal can proceed.
  for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(root_, ec);
}

fs::path game_folder::path(const fs::path& rel) const {
  if (rel.is_absolute()) throw std::invalid_argument("absolute path in game folder: " + rel.string());
  for (const auto& part : rel) {
    if (part == "..") throw std::invalid_argument("path leaves the game folder: " + rel.string());
  }
  return root_ / rel;
}

fs::path game_folder::region_dir(std::string_view region) {
  return fs::path("data") / "save" / std::string(region);
}

fs::path game_folder::world_file(std::string_view region, world_form form) {
  return region_dir(region) / (form == world_form::dat ? "world.dat" : "world.sav");
}

fs::path game_folder::raw_dir(std::string_view region) { return region_dir(region) / "raw" / "objects"; }

fs::path game_folder::write_world(std::string_view region, std::string_view bytes, world_form form) const {
  return write_file(world_file(region, form), bytes);
}

fs::path game_folder::write_file(const fs::path& rel, std::string_view bytes) const {
  const fs::path full = path(rel);
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("could not write " + full.string());
  return rel;
}

fs::path game_folder::write_raw(std::string_view region, std::string_view file_name,
                                std::string_view text) const {
  return write_file(raw_dir(region) / std::string(file_name), text);
}

fs::path game_folder::make_dir(const fs::path& rel) const {
  fs::create_directories(path(rel));
  return rel;
}

fs::path game_folder::make_symlink(const fs::path& target, const fs::path& link) const {
  const fs::path full = path(link);
  fs::create_directories(full.parent_path());
  fs::create_symlink(target, full);
  return link;
}

std::string game_folder::read(const fs::path& rel) const {
  const fs::path full = path(rel);
  std::ifstream in(full, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("could not read " + full.string());
  // One read of the whole file: worlds in tests run to tens of MiB.
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in) throw std::runtime_error("could not read " + full.string());
  return bytes;
}

bool game_folder::exists(const fs::path& rel) const {
  std::error_code ec;
  return fs::symlink_status(path(rel), ec).type() != fs::file_type::not_found && !ec;
}

std::vector<std::string> game_folder::list(const fs::path& rel) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path(rel), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!name.ends_with(".lock")) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testsupport

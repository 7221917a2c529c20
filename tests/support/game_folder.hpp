#pragma once
// A throwaway game folder that serves as the tool's working directory.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

enum class world_form { dat, sav };

class game_folder {
 public:
  game_folder();  // creates a fresh directory under $TMPDIR (or /tmp)
  ~game_folder();  // removes it, unless RAWGRAFT_KEEP_TEST_DIRS is set
  game_folder(const game_folder&) = delete;
  game_folder& operator=(const game_folder&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // Paths below are relative to root(); absolute or escaping paths throw.
  std::filesystem::path path(const std::filesystem::path& rel) const;
  // "data/save/<region>"
  static std::filesystem::path region_dir(std::string_view region);
  // "data/save/<region>/world.dat" or ".sav"
  static std::filesystem::path world_file(std::string_view region, world_form form = world_form::dat);
  // "data/save/<region>/raw/objects"
  static std::filesystem::path raw_dir(std::string_view region);

  // Each writer creates missing parent folders and returns the relative path.
  std::filesystem::path write_world(std::string_view region, std::string_view bytes,
                                    world_form form = world_form::dat) const;
  std::filesystem::path write_file(const std::filesystem::path& rel, std::string_view bytes) const;
  std::filesystem::path write_raw(std::string_view region, std::string_view file_name,
                                  std::string_view text) const;
  std::filesystem::path make_dir(const std::filesystem::path& rel) const;
  // Creates `link` pointing at `target` (stored verbatim, so it may be relative or dangling).
  std::filesystem::path make_symlink(const std::filesystem::path& target,
                                     const std::filesystem::path& link) const;

  // Throws if the file cannot be read.
  std::string read(const std::filesystem::path& rel) const;
  // True for anything present at that name, dangling symlinks included.
  bool exists(const std::filesystem::path& rel) const;
  // Sorted entry names of a folder (files, folders and links alike); empty if it is missing.
  // The tool's lock files (*.lock), which stay after a run by design, are left out.
  std::vector<std::string> list(const std::filesystem::path& rel = ".") const;

 private:
  std::filesystem::path root_;
};

}  // namespace testsupport

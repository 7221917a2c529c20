#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform_shared.h"

namespace platform {

void sort_by_name(std::vector<folder_entry>& list) {
  std::sort(list.begin(), list.end(),
            [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });
}

bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

folder_listing::folder_listing() = default;

std::string error_text(int error_number) { return std::strerror(error_number); }

file_copier::file_copier() = default;
file_copier::~file_copier() { delete[] buffer_; }

file_copier::piece file_copier::copy_through_memory(std::FILE* from, std::FILE* to,
                                                    std::int64_t max) {
  if (buffer_ == nullptr) {
    constexpr std::size_t large = 16 * 1024 * 1024, small = 32 * 1024;
    buffer_ = new (std::nothrow) char[large];
    buffer_size_ = large;
    if (buffer_ == nullptr) {
      buffer_ = new char[small];
      buffer_size_ = small;
    }
  }
  const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(max, static_cast<std::int64_t>(buffer_size_)));
  errno = 0;
  const std::size_t got = std::fread(buffer_, 1, want, from);
  if (got < want && std::ferror(from)) return {piece::read_failed, 0, errno};
  if (got > 0 && std::fwrite(buffer_, 1, got, to) != got) return {piece::write_failed, 0, errno};
  return {piece::copied, static_cast<std::int64_t>(got), 0};
}

}  // namespace platform

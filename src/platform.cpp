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

std::string error_text(int error_number) {
  return std::strerror(error_number != 0 ? error_number : EIO);
}

temp_slot temp_slots[most_temp_files];
char interrupt_message[4096 + 256];
char stop_message[4096 + 256];

namespace {
void copy_text(char* into, std::size_t size, const char* text) {
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < size; ++i) into[i] = text[i];
  into[i] = '\0';
}

// A free slot with `path` written into it, not yet marked used; -1 when
// none is free or the path does not fit (errno set).
int prepare_slot(const char* path) {
  if (std::strlen(path) >= sizeof temp_slots[0].path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (int slot = 0; slot < most_temp_files; ++slot) {
    if (temp_slots[slot].used == 0) {
      copy_text(temp_slots[slot].path, sizeof temp_slots[slot].path, path);
      return slot;
    }
  }
  errno = EMFILE;
  return -1;
}
}  // namespace

bool remove_registered_files() {
  bool removed = false;
  for (temp_slot& slot : temp_slots) {
    if (slot.used == 0) continue;
    remove_file(slot.path);
    slot.used = 0;
    removed = true;
  }
  return removed;
}

void set_stop_messages(const char* on_interrupt, const char* on_stop) {
  copy_text(interrupt_message, sizeof interrupt_message, on_interrupt);
  copy_text(stop_message, sizeof stop_message, on_stop);
}

const char* temp_file::registered_path(int slot) { return temp_slots[slot].path; }

std::FILE* temp_file::create(const char* path, bool text) {
  remove();
  const int slot = prepare_slot(path);
  if (slot < 0) {
    keep_error(errno);
    return nullptr;
  }
  watch_for_interrupts();
  // Registered first: what is under the name now is removed anyway.
  temp_slots[slot].used = 1;
  remove_file(path);
  std::FILE* file = create_new_file(path, text);
  if (file == nullptr) {
    // What is still there (a folder, say) is not this run's to remove.
    temp_slots[slot].used = 0;
    return nullptr;
  }
  slot_ = slot;
  return file;
}

std::FILE* temp_file::create_locked(const char* path, bool text, bool& busy) {
  remove();
  busy = false;
  const int slot = prepare_slot(path);
  if (slot < 0) {
    keep_error(errno);
    return nullptr;
  }
  watch_for_interrupts();
  // Held: another run's file under the name must never be registered.
  hold_interrupts();
  std::FILE* file = create_new_locked(path, text, busy);
  if (file != nullptr) {
    temp_slots[slot].used = 1;
    slot_ = slot;
  }
  release_interrupts();
  return file;
}

temp_file::link_result temp_file::link(const char* existing, const char* path) {
  remove();
  const int slot = prepare_slot(path);
  if (slot < 0) {
    keep_error(errno);
    return link_result::failed;
  }
  watch_for_interrupts();
  // Marked only once made, so that a name another file holds is never
  // removed; held meanwhile, so that an interrupt never leaves the link.
  hold_interrupts();
  const link_result made = make_hard_link(existing, path);
  if (made == link_result::made) {
    temp_slots[slot].used = 1;
    slot_ = slot;
  }
  release_interrupts();
  return made;
}

bool temp_file::commit(const char* target, bool replace) {
  if (slot_ < 0) return keep_error(ENOENT);
  const bool moved = replace ? rename_replace(temp_slots[slot_].path, target)
                             : rename_noreplace(temp_slots[slot_].path, target);
  if (moved) keep();
  return moved;
}

void temp_file::keep() {
  if (slot_ < 0) return;
  temp_slots[slot_].used = 0;
  slot_ = -1;
}

void temp_file::remove() {
  if (slot_ < 0) return;
  // Removed before the slot is freed: an interrupt in between only tries again.
  remove_file(temp_slots[slot_].path);
  keep();
}

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

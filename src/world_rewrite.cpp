#include "world_rewrite.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "file_stream.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"
#include "world_header.h"

namespace {
void dot() { report("."); }

constexpr int most_backup_counters = 9999;

// The paths a rewrite works with, built from the world's.
struct rewrite_paths {
  char temp[sizeof settings::worldpath + 8];
};

rewrite_result stop(const char* format, const char* path, const std::string& reason) {
  report(format, path);
  report_reason(reason.c_str());
  return rewrite_result::stopped;
}

rewrite_result unreadable(const rewrite_job& job) {
  report_unreadable_world(job.world, job.worldpath);
  return rewrite_result::stopped;
}

// Passes the new world's bytes on and compares those of the new block,
// as they come, with the old block read from a second reader of the world:
// an import or sync that changes nothing must leave the world alone. The
// second reader stops at the first difference, so a changed block costs
// little more than writing it, and nothing of the block is kept in memory.
class block_comparer final : public world_sink {
 public:
  block_comparer(world_sink& out, const char* worldpath)
      : world_sink(out.file()), out_(out), old_(open_world_source(worldpath, open_failure_)) {}
  bool write(const void* data, std::size_t size) override {
    if (comparing) compare(data, size);
    if (!passed(out_.write(data, size))) return false;
    // A large block goes to the disk while the rest is made, so making the
    // new world durable waits less.
    unflushed_ += size;
    if (unflushed_ >= writeback_piece && file() != nullptr) {
      platform::start_writeback(file());
      unflushed_ = 0;
    }
    return true;
  }
  bool finish() override { return passed(out_.finish()); }
  bool finish_aligned(std::int64_t offset) override { return passed(out_.finish_aligned(offset)); }
  // Starts comparing at the old block's offset.
  void start(std::int64_t block_offset) {
    comparing = true;
    status_ = old_ ? old_->skip(static_cast<std::uint64_t>(block_offset)) : read_status::failed;
    differs_ = status_ != read_status::ok;
  }
  void stop() {
    comparing = false;
    if (old_) old_->close();
  }
  std::int64_t block_size() const { return block_size_; }
  // Whether the new block equals the old one, `old_size` bytes long;
  // `status` is not ok when that could not be told for a read failure.
  bool same_as_old(std::int64_t old_size, read_status& status) const {
    status = read_status::ok;
    if (old_size != block_size_) return false;
    if (status_ == read_status::failed) status = status_;
    return !differs_;
  }
  // Reports why the old block could not be read for the comparison.
  void report_unreadable(const char* worldpath) const {
    if (old_) {
      report_unreadable_world(*old_, worldpath);
    } else {
      report(msg::world_read_failed, worldpath);
      report_reason(open_failure_.c_str());
    }
  }

 private:
  // What the sink passed to said, keeping its reason for a failure.
  bool passed(bool ok) {
    if (!ok) failure_ = out_.failure();
    return ok;
  }
  void compare(const void* data, std::size_t size) {
    block_size_ += static_cast<std::int64_t>(size);
    if (differs_) return;
    bool same = true;
    status_ = old_->read_comparing(data, size, same);
    differs_ = status_ != read_status::ok || !same;
  }

  static constexpr std::size_t writeback_piece = 4 << 20;
  bool comparing = false;
  std::size_t unflushed_ = 0;
  world_sink& out_;
  std::string open_failure_;
  std::unique_ptr<world_source> old_;
  std::int64_t block_size_ = 0;
  bool differs_ = false;
  read_status status_ = read_status::ok;
};

// The header is copied through scratch in pieces, so a header of any size
// fits.
rewrite_result copy_header(const rewrite_job& job, world_sink& out, const char* temp) {
  world_source& world = job.world;
  std::int64_t size = job.block_offset;
  read_status status = world.rewind();
  while (status == read_status::ok && size > 0) {
    const std::size_t piece = size < scratch_size ? static_cast<std::size_t>(size) : scratch_size;
    status = world.read(scratch, piece);
    if (status == read_status::ok && !out.write(scratch, piece)) {
      return stop(msg::new_world_write_failed, temp, out.failure());
    }
    size -= static_cast<std::int64_t>(piece);
  }
  if (status == read_status::end) {
    return stop(msg::world_read_failed, job.worldpath, "the world file got shorter");
  }
  if (status != read_status::ok) return unreadable(job);
  return rewrite_result::placed;
}

// Step 1 after TEMP exists: header, new block, and the rest unless nothing
// changes.
rewrite_result write_aside(const rewrite_job& job, world_sink& sink, const char* temp,
                           std::int64_t& new_block_end) {
  block_comparer out(sink, job.worldpath);
  const rewrite_result header = copy_header(job, out, temp);
  if (header != rewrite_result::placed) return header;
  out.start(job.block_offset);
  const block_result produced = job.produce(job.world, out);
  out.stop();
  switch (produced) {
    case block_result::world_read_failed:
      return unreadable(job);
    case block_result::write_failed: return stop(msg::new_world_write_failed, temp, out.failure());
    case block_result::input_read_failed:
      return stop(msg::input_read_failed, job.input_name,
                  job.input_failure != nullptr ? *job.input_failure : std::string());
    case block_result::done: break;
  }
  new_block_end = job.block_offset + out.block_size();
  read_status compared = read_status::ok;
  if (out.same_as_old(job.world.position() - job.block_offset, compared)) {
    report("No change: %s already holds these lists.\n", job.worldpath);
    return rewrite_result::unchanged;
  }
  if (compared != read_status::ok) {
    out.report_unreadable(job.worldpath);
    return rewrite_result::stopped;
  }
  report("Copying remainder of world data from original..");
  platform::file_copier copier;
  const world_source::copy_result copied = job.world.copy_rest(out, copier, dot);
  if (copied == world_source::copy_result::done) return rewrite_result::placed;
  report("\n");
  if (copied == world_source::copy_result::read_failed) {
    return unreadable(job);
  }
  return stop(msg::new_world_write_failed, temp, out.failure());
}

// Step 3: TEMP is read in its own form, as the next run will read it.
bool reads_back_whole(const rewrite_job& job, const char* temp, std::int64_t block_end,
                      std::vector<std::string>& empty_lists) {
  std::string reason;
  const std::unique_ptr<world_source> written = open_world_source(temp, reason);
  return written && written->skip(static_cast<std::uint64_t>(job.block_offset)) == read_status::ok &&
         block_reads_back_whole(*written, block_end, &empty_lists);
}

// Steps 2 and 3. The check reads TEMP while the disk writes it out, so the
// sync then waits less; what the check found is told after the sync, so
// the messages keep their order.
rewrite_result make_durable(const rewrite_job& job, world_sink& out, file_stream& temp_file,
                            const char* temp, std::int64_t block_end, bool& whole,
                            std::vector<std::string>& empty_lists) {
  std::string reason;
  errno = 0;
  if (!out.finish()) {
    reason = out.failure();
  } else if (std::fflush(temp_file.get()) != 0) {
    reason = platform::error_text(errno);
  } else {
    platform::start_writeback(temp_file.get());
    whole = reads_back_whole(job, temp, block_end, empty_lists);
    if (!platform::sync_file(temp_file.get())) {
      reason = platform::last_failure();
    } else if (!temp_file.close()) {
      reason = temp_file.failure();
    }
  }
  if (!reason.empty()) {
    report("\n");
    return stop(msg::new_world_write_failed, temp, reason);
  }
  report("\nFinished writing new world file.\n");
  // A read-only world stays read-only.
  platform::copy_permissions(job.worldpath, temp);
  return rewrite_result::placed;
}

// The backup names: <world>.<stamp>, then <world>.<stamp>.1, .2, ...
bool backup_name(char* backup, std::size_t size, const char* worldpath, const char* stamp,
                 int counter) {
  return counter == 0 ? build_path(backup, size, "%s.%s", worldpath, stamp)
                      : build_path(backup, size, "%s.%s.%d", worldpath, stamp, counter);
}

void report_backup_failed(const char* backup, const std::string& reason) {
  report("Error: could not backup original world.dat to %s\n", backup);
  report_reason(reason.c_str());
}

enum class backup_made { linked, renamed, failed };

// Step 1 (or the fallback's first rename): the first free backup name made
// a second name of the world; where the file system has no hard links, the
// world renamed to it, with interrupts held, which the caller releases.
backup_made back_up(const char* worldpath, const char* stamp, platform::temp_file& link,
                    char* backup, std::size_t size) {
  bool linking = true;
  for (int counter = 0; counter <= most_backup_counters; ++counter) {
    if (!backup_name(backup, size, worldpath, stamp, counter)) break;
    if (linking) {
      switch (link.link(worldpath, backup)) {
        case platform::temp_file::link_result::made:
          report("Backup successful: %s\n", backup);
          return backup_made::linked;
        case platform::temp_file::link_result::exists: continue;
        case platform::temp_file::link_result::failed:
          report_backup_failed(backup, platform::last_failure());
          return backup_made::failed;
        case platform::temp_file::link_result::unsupported:
          linking = false;
          platform::hold_interrupts();
          break;
      }
    }
    if (platform::rename_noreplace(worldpath, backup)) {
      report("Backup successful: %s\n", backup);
      return backup_made::renamed;
    }
    if (errno != EEXIST) break;
  }
  report_backup_failed(backup, backup[0] == '\0' ? platform::error_text(ENAMETOOLONG)
                                                 : platform::last_failure());
  if (!linking) platform::release_interrupts();
  return backup_made::failed;
}

void report_placed() {
  report("New World Placed.\n");
  report("\nDone.\n");
}

rewrite_result report_placing_failed(const char* worldpath) {
  report("Error: could not rename TEMP file to %s\n", worldpath);
  report_reason(platform::last_failure().c_str());
  return rewrite_result::placing_failed;
}

// The fallback's second rename, with interrupts held since the first: the
// world's name is empty between the two.
rewrite_result place_after_rename(const char* worldpath, platform::temp_file& temp) {
  // The first rename is made durable before the second, so that a power cut
  // can leave no state but the gap itself.
  platform::sync_parent_folder(worldpath);
  const bool placed = temp.commit(worldpath, false);
  // Either the new world is in place, or TEMP holds its only copy beside
  // the old one under its backup name: an interrupt must not remove it.
  temp.keep();
  platform::ignore_interrupts();
  platform::sync_parent_folder(worldpath);
  platform::release_interrupts();
  if (!placed) {
    report_placing_failed(worldpath);
    return rewrite_result::left_under_backup;
  }
  report_placed();
  return rewrite_result::placed;
}
}  // namespace

void say_unchanged_on_stops(const char* worldpath) {
  // Written by the interrupt handler as it is, so shown as report shows it.
  const std::string unchanged = shown_text(worldpath) + " is unchanged.\n";
  platform::set_stop_messages(("\nInterrupted: " + unchanged).c_str(), unchanged.c_str());
}

void report_unchanged_after(rewrite_result result, const char* worldpath) {
  switch (result) {
    case rewrite_result::not_started:
    case rewrite_result::stopped:
    case rewrite_result::backup_failed:
    case rewrite_result::placing_failed: report("%s is unchanged.\n", worldpath); break;
    case rewrite_result::placed:
    case rewrite_result::unchanged:
    case rewrite_result::refused:
    case rewrite_result::left_under_backup: break;
  }
}

rewrite_result place_world(const char* worldpath, platform::temp_file& temp, const char* stamp,
                           bool world_exists) {
  if (!world_exists) {
    // Nothing to back up; a world that appeared meanwhile is not replaced.
    platform::hold_interrupts();
    const bool placed = temp.commit(worldpath, false);
    if (placed) platform::ignore_interrupts();
    platform::release_interrupts();
    if (!placed) return report_placing_failed(worldpath);
    platform::sync_parent_folder(worldpath);
    report_placed();
    return rewrite_result::placed;
  }
  char backup[sizeof settings::worldpath + sizeof timestamp + 8] = "";
  platform::temp_file link;  // the backup's name, removed unless the world is placed
  switch (back_up(worldpath, stamp, link, backup, sizeof backup)) {
    case backup_made::failed: return rewrite_result::backup_failed;
    case backup_made::renamed: return place_after_rename(worldpath, temp);
    case backup_made::linked: break;
  }
  // Step 2: the backup's name is durable before the world's name changes.
  platform::sync_parent_folder(worldpath);
  // Step 3: the world's name goes from the old world to the new in one step.
  platform::hold_interrupts();
  const bool placed = temp.commit(worldpath);
  if (placed) {
    link.keep();
    platform::ignore_interrupts();
  }
  platform::release_interrupts();
  if (!placed) return report_placing_failed(worldpath);  // link and TEMP go with their owners
  // Step 4.
  platform::sync_parent_folder(worldpath);
  report_placed();
  return rewrite_result::placed;
}

namespace {
rewrite_result write_and_place(const rewrite_job& job) {
  rewrite_paths paths{};
  if (!build_path(paths.temp, sizeof paths.temp, "%s.%s", job.worldpath, "TEMP")) {
    report("Error: can not create new world file: %s\n", paths.temp);
    return rewrite_result::not_started;
  }
  say_unchanged_on_stops(job.worldpath);

  platform::temp_file temp;
  file_stream temp_file;  // dropped before `temp`, which may remove the file
  temp_file.adopt(temp.create(paths.temp));
  if (!temp_file) {
    report("Error: can not create new world file: %s\n", paths.temp);
    report_reason(platform::last_failure().c_str());
    return rewrite_result::not_started;
  }
  report("Writing to new world file: %s\n", paths.temp);
  const std::unique_ptr<world_sink> out = job.world.make_sink(temp_file.get());

  std::int64_t block_end = -1;  // in the new world, where the rest begins
  rewrite_result result = write_aside(job, *out, paths.temp, block_end);
  bool whole = false;
  std::vector<std::string> empty_lists;
  if (result == rewrite_result::placed) {
    result = make_durable(job, *out, temp_file, paths.temp, block_end, whole, empty_lists);
  }
  if (result != rewrite_result::placed) return result;
  // The world is read no more; closing it lets the system rename it.
  job.world.close();
  if (!whole) {
    report("Error: the new lists do not read back whole; %s is unchanged.\n", job.worldpath);
    for (const std::string& name : empty_lists) report(msg::empty_list, name.c_str());
    return rewrite_result::refused;
  }
  return place_world(job.worldpath, temp, job.stamp, true);
}
}  // namespace

rewrite_result rewrite_world(const rewrite_job& job) {
  const rewrite_result result = write_and_place(job);
  report_unchanged_after(result, job.worldpath);
  return result;
}

int rewrite_status(rewrite_result result) {
  switch (result) {
    case rewrite_result::placed:
    case rewrite_result::unchanged: return exit_done;
    case rewrite_result::not_started:
    case rewrite_result::stopped:
    case rewrite_result::refused:
    case rewrite_result::backup_failed:
    case rewrite_result::placing_failed:
    case rewrite_result::left_under_backup: return exit_error;
  }
  return exit_error;
}

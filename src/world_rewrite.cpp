#include "world_rewrite.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "file_stream.h"
#include "messages.h"
#include "object_block.h"
#include "platform.h"
#include "world_header.h"
#include "settings.h"
#include "text_util.h"

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

// Passes the new world's bytes on, keeping those of the block: the rewrite
// compares them with the old block.
class block_capture final : public world_sink {
 public:
  explicit block_capture(world_sink& out) : world_sink(out.file()), out_(out) {}
  bool write(const void* data, std::size_t size) override {
    if (capturing && size != 0) {
      pieces.emplace_back(static_cast<const char*>(data), size);
      block_size += size;
    }
    if (out_.write(data, size)) return true;
    failure_ = out_.failure();
    return false;
  }
  bool finish() override {
    if (out_.finish()) return true;
    failure_ = out_.failure();
    return false;
  }
  bool capturing = false;
  // As written, a piece a write: one growing copy would cost more than
  // the block itself.
  std::vector<std::string> pieces;
  std::size_t block_size = 0;

 private:
  world_sink& out_;
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

// Whether the old block, from the block offset up to where the producer
// left the world, holds exactly `block`. Leaves the world where it was.
bool same_block(const rewrite_job& job, const block_capture& block, read_status& status) {
  world_source& world = job.world;
  const std::int64_t block_end = world.position();
  status = read_status::ok;
  if (block_end - job.block_offset != static_cast<std::int64_t>(block.block_size)) return false;
  status = world.rewind();
  if (status == read_status::ok) status = world.skip(static_cast<std::uint64_t>(job.block_offset));
  bool same = true;
  for (const std::string& written : block.pieces) {
    for (std::size_t at = 0; status == read_status::ok && at < written.size();) {
      const std::size_t piece = std::min<std::size_t>(written.size() - at, scratch_size);
      status = world.read(scratch, piece);
      if (status == read_status::ok && same) same = std::memcmp(scratch, written.data() + at, piece) == 0;
      at += piece;
    }
  }
  return status == read_status::ok && same;
}

// Step 1 after TEMP exists: header, new block, and the rest unless nothing
// changes.
rewrite_result write_aside(const rewrite_job& job, world_sink& sink, const char* temp,
                           std::int64_t& new_block_end) {
  block_capture out(sink);
  const rewrite_result header = copy_header(job, out, temp);
  if (header != rewrite_result::placed) return header;
  out.capturing = true;
  switch (job.produce(job.world, out)) {
    case block_result::world_read_failed:
      return unreadable(job);
    case block_result::write_failed: return stop(msg::new_world_write_failed, temp, out.failure());
    case block_result::input_read_failed:
      return stop(msg::input_read_failed, job.input_name,
                  job.input_failure != nullptr ? *job.input_failure : std::string());
    case block_result::done: break;
  }
  out.capturing = false;
  new_block_end = job.block_offset + static_cast<std::int64_t>(out.block_size);
  read_status compared = read_status::ok;
  if (same_block(job, out, compared)) {
    report("No change: %s already holds these lists.\n", job.worldpath);
    return rewrite_result::unchanged;
  }
  if (compared != read_status::ok) {
    return unreadable(job);
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

// Step 2.
rewrite_result make_durable(const rewrite_job& job, world_sink& out, file_stream& temp_file,
                            const char* temp) {
  std::string reason;
  errno = 0;
  if (!out.finish()) {
    reason = out.failure();
  } else if (std::fflush(temp_file.get()) != 0) {
    reason = platform::error_text(errno);
  } else if (!platform::sync_file(temp_file.get())) {
    reason = platform::last_failure();
  } else if (!temp_file.close()) {
    reason = temp_file.failure();
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

// Step 3: TEMP is read in its own form, as the next run will read it.
bool reads_back_whole(const rewrite_job& job, const char* temp, std::int64_t block_end) {
  std::string reason;
  const std::unique_ptr<world_source> written = open_world_source(temp, reason);
  return written && written->skip(static_cast<std::uint64_t>(job.block_offset)) == read_status::ok &&
         block_reads_back_whole(*written, block_end);
}


// Step 4: the first free backup name.
bool back_up(const char* worldpath, const char* stamp, char* backup, std::size_t size) {
  for (int counter = 0; counter <= most_backup_counters; ++counter) {
    const bool named = counter == 0
                           ? build_path(backup, size, "%s.%s", worldpath, stamp)
                           : build_path(backup, size, "%s.%s.%d", worldpath, stamp, counter);
    if (named && platform::rename_noreplace(worldpath, backup)) {
      report("Backup successful: %s\n", backup);
      return true;
    }
    if (!named || errno != EEXIST) break;
  }
  const std::string reason =
      backup[0] == '\0' ? platform::error_text(ENAMETOOLONG) : platform::last_failure();
  report("Error: could not backup original world.dat to %s\n", backup);
  report_reason(reason.c_str());
  return false;
}
}  // namespace

rewrite_result place_world(const char* worldpath, const char* temp, const char* stamp,
                           bool world_exists) {
  char backup[sizeof settings::worldpath + sizeof timestamp + 8] = "";
  platform::hold_interrupts();
  if (world_exists && !back_up(worldpath, stamp, backup, sizeof backup)) {
    platform::release_interrupts();
    return rewrite_result::backup_failed;
  }
  // Once the world has its backup name TEMP holds the only copy of the new
  // world, so an interrupt must no longer remove it.
  platform::disarm_interrupt_cleanup();
  const bool placed = platform::rename_noreplace(temp, worldpath);
  const std::string reason = placed ? std::string() : platform::last_failure();
  platform::sync_parent_folder(worldpath);
  platform::release_interrupts();
  if (!placed) {
    report("Error: could not rename TEMP file to %s\n", worldpath);
    report_reason(reason.c_str());
    return rewrite_result::placing_failed;
  }
  report("New World Placed.\n");
  report("\nDone.\n");
  return rewrite_result::placed;
}

rewrite_result rewrite_world(const rewrite_job& job) {
  rewrite_paths paths{};
  if (!build_path(paths.temp, sizeof paths.temp, "%s.%s", job.worldpath, "TEMP")) {
    report("Error: can not create new world file: %s\n", paths.temp);
    return rewrite_result::not_started;
  }
  const std::string interrupted = std::string("\nInterrupted: ") + job.worldpath + " is unchanged.\n";
  platform::arm_interrupt_cleanup(paths.temp, interrupted.c_str());

  // A TEMP left by a stopped run is replaced by a new file rather than
  // emptied in place: if that name were a link to the world, emptying it
  // would empty the world. What cannot be removed is not written through.
  file_stream temp_file;
  platform::remove_file(paths.temp);
  temp_file.adopt(platform::create_new_file(paths.temp));
  if (!temp_file) {
    platform::disarm_interrupt_cleanup();
    report("Error: can not create new world file: %s\n", paths.temp);
    report_reason(platform::last_failure().c_str());
    return rewrite_result::not_started;
  }
  report("Writing to new world file: %s\n", paths.temp);
  const std::unique_ptr<world_sink> out = job.world.make_sink(temp_file.get());

  std::int64_t block_end = -1;  // in the new world, where the rest begins
  rewrite_result result = write_aside(job, *out, paths.temp, block_end);
  if (result == rewrite_result::unchanged) {
    temp_file.close();
    platform::remove_file(paths.temp);
  }
  if (result == rewrite_result::placed) result = make_durable(job, *out, temp_file, paths.temp);
  if (result != rewrite_result::placed) {
    platform::disarm_interrupt_cleanup();
    return result;
  }
  // The world is read no more; closing it lets the system rename it.
  job.world.close();
  if (!reads_back_whole(job, paths.temp, block_end)) {
    platform::remove_file(paths.temp);
    platform::disarm_interrupt_cleanup();
    report("Error: the new lists do not read back whole; %s is unchanged.\n", job.worldpath);
    return rewrite_result::stopped;
  }
  return place_world(job.worldpath, paths.temp, job.stamp, true);
}

#include "world_rewrite.h"

#include <cerrno>
#include <string>

#include "file_stream.h"
#include "messages.h"
#include "platform.h"
#include "settings.h"
#include "text_util.h"

namespace {
void dot() { report("."); }

// The paths a rewrite works with, built from the world's.
struct rewrite_paths {
  char temp[sizeof g_settings.worldpath + 8];
  char backup[sizeof g_settings.worldpath + sizeof timestamp + 1];
};

rewrite_result stop(const char* format, const char* path, const std::string& reason) {
  report(format, path);
  report_reason(reason.c_str());
  return rewrite_result::stopped;
}

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
  if (status != read_status::ok) {
    return stop(msg::world_read_failed, job.worldpath, world.failure());
  }
  return rewrite_result::placed;
}

// Step 1 after TEMP exists: header, new block, rest.
rewrite_result write_aside(const rewrite_job& job, world_sink& out, const char* temp) {
  const rewrite_result header = copy_header(job, out, temp);
  if (header != rewrite_result::placed) return header;
  switch (job.produce(job.world, out)) {
    case block_result::world_read_failed:
      return stop(msg::world_read_failed, job.worldpath, job.world.failure());
    case block_result::write_failed: return stop(msg::new_world_write_failed, temp, out.failure());
    case block_result::input_read_failed:
      return stop(msg::input_read_failed, job.input_name,
                  job.input_failure != nullptr ? *job.input_failure : std::string());
    case block_result::done: break;
  }
  report("Copying remainder of world data from original..");
  platform::file_copier copier;
  const world_source::copy_result copied = job.world.copy_rest(out, copier, dot);
  if (copied == world_source::copy_result::done) return rewrite_result::placed;
  report("\n");
  if (copied == world_source::copy_result::read_failed) {
    return stop(msg::world_read_failed, job.worldpath, job.world.failure());
  }
  return stop(msg::new_world_write_failed, temp, out.failure());
}

// Step 2.
rewrite_result make_durable(world_sink& out, file_stream& temp_file, const char* temp) {
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
  return rewrite_result::placed;
}

// Steps 3 and 4.
rewrite_result back_up_and_commit(const rewrite_job& job, const rewrite_paths& paths) {
  if (paths.backup[0] == '\0' || !platform::rename_noreplace(job.worldpath, paths.backup)) {
    report("Error: could not backup original world.dat to %s\n", paths.backup);
    report_reason(paths.backup[0] == '\0' ? platform::error_text(ENAMETOOLONG).c_str()
                                           : platform::last_failure().c_str());
    return rewrite_result::backup_failed;
  }
  report("Backup successful: %s\n", paths.backup);
  const bool placed = platform::rename_noreplace(paths.temp, job.worldpath);
  const std::string reason = placed ? std::string() : platform::last_failure();
  platform::sync_parent_folder(job.worldpath);
  if (!placed) {
    report("Error: could not rename TEMP file to %s\n", job.worldpath);
    report_reason(reason.c_str());
    return rewrite_result::placing_failed;
  }
  report("New World Placed.\n");
  report("\nDone.\n");
  return rewrite_result::placed;
}
}  // namespace

rewrite_result rewrite_world(const rewrite_job& job) {
  rewrite_paths paths;
  file_stream temp_file;
  // A TEMP left by a stopped run is replaced by a new file rather than
  // emptied in place: if that name were a link to the world, emptying it
  // would empty the world. What cannot be removed is not written through.
  std::string reason = platform::error_text(ENAMETOOLONG);
  if (build_path(paths.temp, sizeof paths.temp, "%s.%s", job.worldpath, "TEMP")) {
    platform::remove_file(paths.temp);
    temp_file.adopt(platform::create_new_file(paths.temp));
    if (!temp_file) reason = platform::last_failure();
  }
  if (!temp_file) {
    report("Error: can not create new world file: %s\n", paths.temp);
    report_reason(reason.c_str());
    return rewrite_result::not_started;
  }
  report("Writing to new world file: %s\n", paths.temp);
  const std::unique_ptr<world_sink> out = job.world.make_sink(temp_file.get());

  rewrite_result result = write_aside(job, *out, paths.temp);
  if (result == rewrite_result::placed) result = make_durable(*out, temp_file, paths.temp);
  if (result != rewrite_result::placed) return result;
  // The world is read no more; closing it lets the system rename it.
  job.world.close();
  build_path(paths.backup, sizeof paths.backup, "%s.%s", job.worldpath, job.stamp);
  return back_up_and_commit(job, paths);
}

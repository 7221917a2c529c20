// Rewriting a world never changes the world file in place:
//
//   1. Write aside: create <world>.TEMP (afresh, in place of one that a
//      stopped run left),
//      copy the world header into it, let the command produce the new
//      object-name block, and copy the rest of the old world after it.
//   2. Make it durable: flush, sync to stable storage and close the TEMP file.
//      Any read or write failure up to here ends the run with status 1 and
//      the world untouched; the TEMP file stays for inspection.
//   3. Back up: rename the world to <world>.<timestamp>. The rename never
//      replaces a file, so an existing backup is never lost.
//   4. Commit: rename the TEMP file to the world's name, again never
//      replacing, and sync the folder so the renames survive a power cut.
//
// At every moment the old world's bytes are on disk under the world's name
// or under the backup name, and the world's name only ever holds a complete
// file.
#include "world_rewrite.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "rawgraft.h"
#include "text_util.h"

namespace {
char temp_path[sizeof g_settings.worldpath + 8];
}

void stop_rewrite(const char* format, const char* path) {
  report(format, path);
  std::exit(end_of_run(1));
}

void new_world_write_failed() { stop_rewrite("Error: could not write new world file: %s\n", temp_path); }

namespace {
constexpr std::size_t chunk_size = 16 * 1024 * 1024;
[[noreturn]] void fail_reading() {
  stop_rewrite("Error: could not read world file: %s\n", g_settings.worldpath);
}

// The header is copied through scratch in pieces, so a header of any size
// fits.
void copy_header(std::FILE* world, std::FILE* out, std::int64_t size) {
  if (std::fseek(world, 0, SEEK_SET) != 0) fail_reading();
  while (size > 0) {
    const std::size_t piece = size < scratch_size ? static_cast<std::size_t>(size) : scratch_size;
    if (std::fread(scratch, 1, piece, world) != piece) fail_reading();
    if (std::fwrite(scratch, 1, piece, out) != piece) new_world_write_failed();
    size -= static_cast<std::int64_t>(piece);
  }
  if (std::fflush(out) != 0) new_world_write_failed();
}

// Copies one chunk through memory; returns the bytes moved (0 at the end).
std::size_t copy_chunk_through(std::FILE* from, std::FILE* to, char* buffer, std::size_t size,
                               copy_outcome& outcome) {
  const std::size_t got = std::fread(buffer, 1, size, from);
  if (got < size && std::ferror(from)) outcome = copy_outcome::read_failed;
  if (got > 0 && std::fwrite(buffer, 1, got, to) != got) outcome = copy_outcome::write_failed;
  return got;
}
}  // namespace

copy_outcome copy_remainder(std::FILE* from, std::FILE* to) {
  // Chunks move inside the kernel where it can; otherwise through memory,
  // in 16 MiB pieces, or through scratch when that much cannot be had.
  std::unique_ptr<char[]> chunk;
  bool in_kernel = true;
  for (;;) {
    copy_outcome outcome = copy_outcome::done;
    std::int64_t moved = 0;
    if (in_kernel) {
      const platform::kernel_copy copy =
          platform::copy_in_kernel(from, to, static_cast<std::int64_t>(chunk_size));
      if (copy.result == platform::kernel_copy::unsupported) {
        in_kernel = false;
        continue;
      }
      if (copy.result == platform::kernel_copy::read_failed) outcome = copy_outcome::read_failed;
      if (copy.result == platform::kernel_copy::write_failed) outcome = copy_outcome::write_failed;
      moved = copy.bytes;
    } else {
      if (!chunk) chunk.reset(new (std::nothrow) char[chunk_size]);
      char* buffer = chunk ? chunk.get() : scratch;
      const std::size_t size = chunk ? chunk_size : scratch_size;
      moved = static_cast<std::int64_t>(copy_chunk_through(from, to, buffer, size, outcome));
    }
    if (outcome != copy_outcome::done) return outcome;
    if (moved == 0) return copy_outcome::done;
    report(".");
  }
}

void write_block_part(const void* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, g_settings.outworldfile.get()) != size) {
    new_world_write_failed();
  }
}

int rewrite_world(std::int64_t block_offset, block_producer produce) {
  // A TEMP left by a stopped run is replaced by a new file rather than
  // emptied in place: if that name were a link to the world, emptying it
  // would empty the world. What cannot be removed is not written through.
  const bool named = build_path(temp_path, sizeof temp_path, "%s.%s", g_settings.worldpath, "TEMP");
  if (named) {
    platform::remove_file(temp_path);
    g_settings.outworldfile.adopt(platform::create_new_file(temp_path));
  }
  if (!g_settings.outworldfile) {
    report("Error: can not create new world file: %s\n", temp_path);
    return 0;
  }
  report("Writing to new world file: %s\n", temp_path);
  std::FILE* world = g_settings.worldfile.get();
  std::FILE* out = g_settings.outworldfile.get();
  copy_header(world, out, block_offset);

  produce();

  report("Copying remainder of world data from original..");
  switch (copy_remainder(world, out)) {
    case copy_outcome::read_failed:
      report("\n");
      fail_reading();
    case copy_outcome::write_failed:
      report("\n");
      new_world_write_failed();
    case copy_outcome::done:
      break;
  }
  if (std::fflush(out) != 0 || !platform::sync_file(out) || !g_settings.outworldfile.close()) {
    report("\n");
    new_world_write_failed();
  }
  g_settings.worldfile.close();
  report("\nFinished writing new world file.\n");

  char backup_path[sizeof g_settings.worldpath + sizeof timestamp + 1];
  if (!build_path(backup_path, sizeof backup_path, "%s.%s", g_settings.worldpath, timestamp) ||
      !platform::rename_noreplace(g_settings.worldpath, backup_path)) {
    report("Error: could not backup original world.dat to %s\n", backup_path);
    return 0;
  }
  report("Backup successful: %s\n", backup_path);
  if (!platform::rename_noreplace(temp_path, g_settings.worldpath)) {
    report("Error: could not rename TEMP file to %s\n", g_settings.worldpath);
    platform::sync_parent_folder(g_settings.worldpath);
    return 0;
  }
  platform::sync_parent_folder(g_settings.worldpath);
  report("New World Placed.\n");
  report("\nDone.\n");
  return 0;
}

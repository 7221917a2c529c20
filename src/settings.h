// The run's settings, filled by the driver and the world lookup before any
// command body runs, and the two buffers every part shares.
#pragma once

#include <memory>

#include "file_stream.h"
#include "platform.h"
#include "world_source.h"

struct settings {
  char region[128] = "";
  char worldpath[1024] = "";
  std::unique_ptr<world_source> worldfile;
  bool saved_game = false;        // the world is the world.sav form
  bool world_found = false;       // for commands that do not open the world
  const char* argfile = nullptr;  // the file argument, or null
  file_stream importfile;
  file_stream exportfile;
  char rawpath[1024] = "";
  platform::folder_listing rawdir;
  platform::file_lock lock;  // on <world>.lock, for the whole run
  bool force = false;
  bool interactive = false;
};

extern settings g_settings;
extern char timestamp[32];
// Shared line and path buffer: a line read into it holds at most 32,766
// characters, and a longer line is read as several lines.
constexpr int scratch_size = 32767;
extern char scratch[scratch_size];

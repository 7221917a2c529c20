// Finding a region's world file and reading the header fields the tool
// understands. Both functions report their failures; false means the run ends.
#pragma once

#include <cstdint>

// Builds the region name and world path into g_settings and opens the world,
// falling back to the saved-game form (world.sav).
bool open_world(char* region_argument);

// Checks and identifies the world and leaves g_settings.worldfile at the
// object-name block, whose file offset (the header's size) it returns.
bool read_world_header(std::int64_t& block_offset);

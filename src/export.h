// Writes the world's object-name block as an editable text dump.
#pragma once

#include <functional>

#include "file_stream.h"
#include "world_source.h"

enum class export_result { done, world_read_failed, write_failed };

// Reads the block from `world` (at the block offset) and writes the dump's
// lines after its first line to `out`, then closes `out` through `finish`
// (which may first make the dump durable and put it in place; null closes
// it) before it says "Exported ...". `finish` records why it failed in `out`.
// The caller reports a failure; a consistency stop ends the process.
export_result export_block(world_source& world, file_stream& out,
                           const std::function<bool(file_stream&)>& finish = nullptr);

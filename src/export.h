// Writes the world's object-name block as an editable text dump.
#pragma once

// Reads the block from g_settings.worldfile (at the block offset) and writes
// the dump to g_settings.exportfile, then closes it. False when a write
// failed; the caller reports it.
bool export_block();

// Brings the world's identifier lists up to date with the region's raw files.
#pragma once

// Block producer: merges each section of the old block (read from
// g_settings.worldfile) with the identifiers the raw files define and writes
// it to g_settings.outworldfile.
int sync_raws();

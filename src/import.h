// Reads a text dump and writes the object-name block it describes.
#pragma once

// Section index named by a header line (text starting with "===="), or -1
// for the end line and for names not in the section table.
int parse_section_header(const char* line);

// Block producer: reads g_settings.importfile, writes the new block to
// g_settings.outworldfile.
int import_text();

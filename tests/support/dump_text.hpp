#pragma once
// The text dump of a world block as the tool writes it, for building import
// input and checking export output.

#include <string>
#include <string_view>

#include "support/messages.hpp"
#include "support/world_image.hpp"

namespace testsupport {

// The dump's first line for the world at `world_path`.
std::string dump_title(std::string_view world_path, std::string_view stamp = timestamp_placeholder);

// Everything after the first line: one header per creature_layer group (in
// creature_layer order, whatever group_count says), the nineteen sections and
// the end line. Strings are written as they are.
std::string dump_body(const world_block& block);

// `dump` (written with "/" paths and LF line ends) as the build under test
// writes it into a file: the Windows build ends lines with CR LF and shows
// the path in the first line with "\\".
std::string dump_as_written(std::string_view dump);

}  // namespace testsupport

// Import's parser of a hand-edited dump, followed by the reader that skips the
// block it wrote.
//
// Input: one flags byte (bit 0: force prefix; bits 1-3: the size of the
// blocks the dump is read in, bits 4-6: the window through which the block
// written is skipped, 0 for the tool's own: see harness.h), then the dump.
//
// Beyond "no crash, no leak": a dump that import takes without force must
// give a well-formed block (up to empty sections, which the readers refuse
// with a stop) whose strings are the dump's identifier lines as a plain
// line-by-line reading finds them, and exporting that block and importing
// the export again must give the same bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"
#include "import.h"
#include "object_block.h"

namespace {
bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The dump's identifiers, read one line at a time: lines cut at a line feed
// or after 32,766 bytes, a byte-order mark at the start dropped, a line's
// text ended at a zero byte and trimmed of blanks, blank lines skipped; the
// identifiers are those after the first header (at a line's very start)
// naming a list, up to the first header (after blanks) naming none, or
// naming creature_layer once a section has begun.
std::vector<std::string> identifiers_in(std::string_view dump) {
  if (dump.starts_with("\xEF\xBB\xBF")) dump.remove_prefix(3);
  std::vector<std::string> identifiers;
  bool in_lists = false;
  bool in_sections = false;
  while (!dump.empty()) {
    std::size_t take = std::min<std::size_t>(dump.size(), 32766);
    if (const std::size_t feed = dump.substr(0, take).find('\n'); feed != std::string_view::npos) {
      take = feed + 1;
    }
    std::string line(dump.substr(0, take));
    dump.remove_prefix(take);
    line.resize(std::min(line.size(), line.find('\0')));
    const std::size_t begin = std::min(line.size(), line.find_first_not_of(" \t\n\v\f\r"));
    if (begin == line.size()) continue;
    if (line.compare(begin, 4, "====") == 0) {
      if (!in_lists && begin != 0) continue;
      const int list = parse_section_header(line.c_str() + begin);
      if (in_lists && (list < 0 || (list == 0 && in_sections))) break;
      in_lists = in_lists || list >= 0;
      in_sections = in_sections || list > 0;
      continue;
    }
    if (!in_lists) continue;
    std::size_t end = line.size();
    while (blank(line[end - 1])) --end;
    identifiers.push_back(line.substr(begin, end - begin));
  }
  return identifiers;
}

void check_identifiers(const byte_vector& block, std::string_view dump) {
  const std::optional<block_lists> shape =
      walk_block(block, empty_strings::refused, zero_counts::allowed);
  if (!shape) return;  // check_block reports it
  std::vector<std::string> written;
  for (const auto& list : shape->lists) written.insert(written.end(), list.begin(), list.end());
  if (written != identifiers_in(dump)) fault("import wrote other identifiers than the dump's lines");
}

void check_block(const byte_vector& block) {
  // Whatever the dump held, the block is G >= 0 groups and 19 sections of
  // non-empty strings with true tallies, and nothing after it.
  const std::optional<block_lists> shape =
      walk_block(block, empty_strings::refused, zero_counts::allowed);
  if (!shape || shape->groups < 0 || shape->end != block.size()) {
    fault("import wrote a block of %zu bytes that is not made of true lists", block.size());
  }
  const std::optional<block_lists> walked = walk_block(block, empty_strings::refused);
  const std::optional<std::string> dump = export_of(block);
  if (dump.has_value() != walked.has_value()) {
    fault("export %s the block import wrote", dump ? "completed on" : "stopped on");
  }
  if (!walked) return;
  if (*dump != expected_dump(*walked)) fault("export of the imported block differs from its lists");
  const std::optional<byte_vector> again = import_of(*dump);
  if (!again) fault("import stopped on the export of its own block");
  if (*again != block) {
    fault("import, export, import changed the block (%zu bytes, then %zu)", block.size(),
          again->size());
  }
}

// Import's own block producer goes on to skip the old world's block; here
// the readers get the new block, which must never take them past its end.
void skip_written_block(const byte_vector& block, std::size_t window) {
  const std::unique_ptr<world_source> world = world_over(block, window);
  try {
    if (skip_world_block(*world) == read_status::failed) fault("skipping failed to read memory");
    const std::int64_t end = world->position();
    if (end < 0 || static_cast<std::size_t>(end) > block.size()) {
      fault("skipping ended at %lld in a block of %zu bytes", static_cast<long long>(end),
            block.size());
    }
  } catch (const consistency_stopped&) {
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepare_tool();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool force = (data[0] & 1) != 0;
  const std::optional<byte_vector> block =
      import_of({reinterpret_cast<const char*>(data + 1), size - 1}, force,
                dump_block_for(data[0] >> 1));
  if (block) {
    skip_written_block(*block, window_for(data[0] >> 4));
    if (!force) {
      check_block(*block);
      check_identifiers(*block, {reinterpret_cast<const char*>(data + 1), size - 1});
    }
  }
  return 0;
}

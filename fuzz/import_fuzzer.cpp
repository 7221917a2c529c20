// Import's parser of a hand-edited dump, followed by the reader that skips the
// block it wrote.
//
// Input: one flags byte (bit 0: force prefix), then the dump.
//
// Beyond "no crash, no leak": a dump that import takes without force must
// give a well-formed block (up to empty sections, which the readers refuse
// with a stop), and exporting that block and importing the export again must
// give the same bytes.
#include <cstdint>
#include <memory>
#include <string>

#include "harness.h"
#include "import.h"
#include "object_block.h"

namespace {
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
void skip_written_block(const byte_vector& block) {
  const std::unique_ptr<world_source> world = world_over(block);
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
      import_of({reinterpret_cast<const char*>(data + 1), size - 1}, force);
  if (block) {
    skip_written_block(*block);
    if (!force) check_block(*block);
  }
  return 0;
}

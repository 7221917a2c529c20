#include "rawgraft.h"

#include <cstdarg>
#include <cstring>

#include "export.h"
#include "import.h"
#include "object_block.h"
#include "sync.h"
#include "text_util.h"
#include "world_header.h"
#include "world_rewrite.h"

settings g_settings;
char timestamp[32] = "TIMESTAMPERROR";
char scratch[scratch_size];

namespace {
const char* const program_name = "rawgraft";

// Step-by-step answers from the console; they stand in for the arguments.
struct interactive_answers {
  char region[73] = "";
  char command[23] = "";
  char file[24] = "";
  char confirmation[87] = "";
  char* argv[4] = {};
  int argc = 0;
};
interactive_answers answers;

// Reads one answer of at most size - 1 characters; the rest of a longer line
// stays in the input for the next read. End of input gives an empty answer.
void read_answer(char* into, int size) {
  report_flush();
  if (std::fgets(into, size, stdin) == nullptr) into[0] = '\0';
}

// False when the user did not confirm: the run then ends.
bool interactive_arguments(char* program_path) {
  g_settings.interactive = true;
  answers.argv[0] = program_path;
  report("\nNo command line given.  Entering Interactive Mode.\nPlease enter region: ");
  read_answer(answers.region, sizeof answers.region);
  answers.argv[1] = answers.region;
  report("\nPlease enter command: ");
  read_answer(answers.command, sizeof answers.command);
  answers.argv[2] = answers.command;
  answers.argc = 3;
  if (find_nocase(answers.command, "sync") == nullptr) {
    report("\nPlease enter tag file: ");
    read_answer(answers.file, sizeof answers.file);
    answers.argv[3] = answers.file;
    answers.argc = 4;
  }
  report("\nPlease verify your entry.\nType 'go' when ready to begin, or any other entry to quit\n: ");
  read_answer(answers.confirmation, sizeof answers.confirmation);
  if (find_nocase(answers.confirmation, "go") == nullptr) {
    report("\nExiting.  Nothing changed.\n");
    return false;
  }
  return true;
}

const char* resolve_command(const char* word) {
  for (const char* known : {"export", "import", "sync"}) {
    if (equal_nocase(word, known)) return known;
  }
  return nullptr;
}

void import_then_skip() {
  import_text();
  skip_world_block(g_settings.worldfile.get());
}

void sync_producer() { sync_raws(); }

int run_export() {
  const char* target = g_settings.argfile;
  if (std::strcmp(target, "-") == 0) {
    g_settings.exportfile.adopt(stdout);
  } else {
    // Opening with "w+" would empty the world before it is read.
    if (platform::same_file(target, g_settings.worldpath)) {
      report("Error: export file is the world file: %s\n", target);
      return end_of_run(0);
    }
    if (!g_settings.exportfile.open(target, "w+")) {
      report("Error: can not open output file: %s\n", target);
      return end_of_run(0);
    }
    report("Writing export to %s\n", target);
  }
  const bool written = std::fprintf(g_settings.exportfile.get(),
                                    "**data exported from %s on %s by Rawgraft**\n",
                                    g_settings.worldpath, timestamp) >= 0;
  if (!written || !export_block()) {
    g_settings.exportfile.close();
    report("Error: could not write export to %s\n", target);
    return 1;
  }
  // No key wait after an export, even in interactive mode.
  return 0;
}

int run_rewrite(std::int64_t block_offset) {
  if (std::strcmp(g_settings.command, "import") == 0) {
    const char* source = g_settings.argfile;
    if (std::strcmp(source, "-") == 0) {
      g_settings.importfile.adopt(stdin);
    } else {
      if (!g_settings.importfile.open(source, "r")) {
        report("Error: can not open input file: %s\n", source);
        return end_of_run(0);
      }
      report("Reading import from %s\n", source);
    }
    return end_of_run(rewrite_world(block_offset, import_then_skip));
  }
  if (!build_path(g_settings.rawpath, sizeof g_settings.rawpath, "%s%s/%s", "./data/save/",
                  g_settings.region, "raw/objects") ||
      !g_settings.rawdir.open(g_settings.rawpath)) {
    report("Error: can not open raws: %s\n", g_settings.rawpath);
    return end_of_run(0);
  }
  return end_of_run(rewrite_world(block_offset, sync_producer));
}
}  // namespace

int end_of_run(int status) {
  if (g_settings.interactive) {
    report("(press a key to exit)\n");
    platform::wait_for_key();
  }
  return status;
}

bool build_path(char* out, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(out, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= size) {
    out[0] = '\0';
    return false;
  }
  if (platform::path_separator != '/') replace_char(out, '/', platform::path_separator);
  return true;
}

void show_banner() { report("%s\nVersion %d.%d.%d\n", program_name, 31, 5, 3); }

void show_usage() {
  report("Usage:\n\t%s <region> <export|import> <file>\nExamples:\n", program_name);
  report("\t%s region1 export -\n", program_name);
  report("\t%s 1 export exportfile.txt\n", program_name);
  report("\t%s 1 import modifiedfile.txt\n", program_name);
  report("\t%s 1 sync\n", program_name);
}

int rawgraft_main(int argc, char** argv) {
  platform::report_broken_pipes();
  report_setup();
  show_banner();
  show_usage();
  check_section_list();
  char now[sizeof timestamp];
  if (platform::format_local_time(now, sizeof now, "%Y%m%d_%H%M%S")) {
    std::memcpy(timestamp, now, sizeof timestamp);
  }

  if (argc == 1) {
    if (!interactive_arguments(argv[0])) return end_of_run(0);
    argc = answers.argc;
    argv = answers.argv;
  }
  if (argc != 3 && argc != 4) {
    report("\nInvalid number of parameters. Exiting.\n");
    return end_of_run(0);
  }
  char* region = trim(argv[1]);
  char* command = trim(argv[2]);
  g_settings.argfile = argc == 4 ? trim(argv[3]) : nullptr;

  if (!open_world(region)) return end_of_run(0);

  g_settings.force = std::strncmp(command, "force", 5) == 0;
  if (g_settings.force) command += 5;
  g_settings.command = resolve_command(command);
  if (g_settings.command == nullptr) {
    report("Error: invalid command: %s\n", command);
    return end_of_run(0);
  }
  const bool needs_file = std::strcmp(g_settings.command, "sync") != 0;
  if (needs_file && g_settings.argfile == nullptr) {
    report("Error: no file given for %s.\n", g_settings.command);
    return end_of_run(0);
  }

  report("Reading Region %s at %s\n", g_settings.region, g_settings.worldpath);
  std::int64_t block_offset = 0;
  if (!read_world_header(block_offset)) return end_of_run(0);

  if (std::strcmp(g_settings.command, "export") == 0) return run_export();
  return run_rewrite(block_offset);
}

#include "rawgraft.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "object_block.h"
#include "settings.h"
#include "text_util.h"
#include "version.h"
#include "world_header.h"

namespace {
const char* const program_name = "rawgraft";

// The longest answers, in characters without the line end: the region and
// file answers as long as the fields they fill.
constexpr int region_answer_limit = 127;
constexpr int command_answer_limit = 21;
constexpr int file_answer_limit = 1023;
constexpr int confirmation_answer_limit = 85;

// Whether the command word (after the force prefix) takes no file.
bool takes_no_file(const char* command);

// Step-by-step answers from the console; they stand in for the arguments.
// Each holds its longest answer, a carriage return and a terminator.
struct interactive_answers {
  char region[region_answer_limit + 2] = "";
  char command[command_answer_limit + 2] = "";
  char file[file_answer_limit + 2] = "";
  char confirmation[confirmation_answer_limit + 2] = "";
  char* argv[4] = {};
  int argc = 0;
};
interactive_answers answers;

// The orderly end of a run (all but an export's and a stop's): in
// interactive mode it waits for a key first. Returns `status`.
int end_of_run(int status) {
  // What the run said must be on screen before the wait, not after it.
  report_batching(false);
  if (g_settings.interactive) {
    report("(press a key to exit)\n");
    platform::wait_for_key();
  }
  return status;
}

// Reads one whole line as an answer, without its line end ("\n" or "\r\n"),
// so that nothing of it is left for the next answer. False, with the reading
// stopped, when it holds more than `limit` characters; `into` holds
// limit + 2. End of input gives an empty answer.
bool read_answer(char* into, int limit) {
  report_flush();
  int length = 0;
  int c = EOF;
  while ((c = std::getc(stdin)) != EOF && c != '\n') {
    if (length > limit) return false;
    into[length++] = static_cast<char>(c);
  }
  if (c == '\n' && length > 0 && into[length - 1] == '\r') --length;
  into[length] = '\0';
  return length <= limit;
}

enum class interaction { confirmed, declined, answer_too_long };

// Only "go" confirms: the trimmed answer is "go" in any case, or starts with
// it and a character that continues no word ("go!", "go now"). An answer
// that merely holds "go" ("forgot", "ago") quits.
bool confirms(char* answer) {
  const char* word = trim(answer);
  if (lower_ascii(word[0]) != 'g' || lower_ascii(word[1]) != 'o') return false;
  const char next = lower_ascii(word[2]);
  return !((next >= 'a' && next <= 'z') || (next >= '0' && next <= '9'));
}

interaction answer_too_long(int limit) {
  report("Error: answer too long: at most %d characters.\n", limit);
  return interaction::answer_too_long;
}

interaction interactive_arguments(char* program_path) {
  g_settings.interactive = true;
  answers.argv[0] = program_path;
  report("\nNo command line given.  Entering Interactive Mode.\nPlease enter region: ");
  if (!read_answer(answers.region, region_answer_limit)) {
    return answer_too_long(region_answer_limit);
  }
  answers.argv[1] = trim(answers.region);
  report("\nPlease enter command: ");
  if (!read_answer(answers.command, command_answer_limit)) {
    return answer_too_long(command_answer_limit);
  }
  answers.argv[2] = trim(answers.command);
  answers.argc = 3;
  if (find_nocase(answers.command, "sync") == nullptr && !takes_no_file(answers.argv[2])) {
    report("\nPlease enter tag file: ");
    if (!read_answer(answers.file, file_answer_limit)) return answer_too_long(file_answer_limit);
    answers.argv[3] = trim(answers.file);
    answers.argc = 4;
    report("Will run: rawgraft %s %s %s\n", answers.argv[1], answers.argv[2], answers.argv[3]);
  } else {
    // A command that takes no file is asked for none, so none is shown.
    report("Will run: rawgraft %s %s\n", answers.argv[1], answers.argv[2]);
  }
  report("\nPlease verify your entry.\nType 'go' when ready to begin, or any other entry to quit\n: ");
  if (!read_answer(answers.confirmation, confirmation_answer_limit)) {
    return answer_too_long(confirmation_answer_limit);
  }
  if (!confirms(answers.confirmation)) {
    report("\nExiting.  Nothing changed.\n");
    return interaction::declined;
  }
  return interaction::confirmed;
}

// What follows the command word: nothing, a file (or a backup's name), or
// a number.
enum class argument { none, file, count };

// One row per command: its word, what it takes after it, whether it writes
// a new world, whether it opens and checks the world first (the others only
// look for it), and its body.
struct command_row {
  const char* name;
  argument takes;
  bool rewrites;
  bool reads_world;
  int (*run)(settings& run, const run_context& context);
};
const command_row commands[] = {
    {.name = "export", .takes = argument::file, .rewrites = false, .reads_world = true, .run = run_export},
    {.name = "import", .takes = argument::file, .rewrites = true, .reads_world = true, .run = run_import},
    {.name = "sync", .takes = argument::none, .rewrites = true, .reads_world = true, .run = run_sync},
    {.name = "check", .takes = argument::none, .rewrites = false, .reads_world = true, .run = run_check},
    {.name = "compare", .takes = argument::file, .rewrites = false, .reads_world = true, .run = run_compare},
    {.name = "backups", .takes = argument::none, .rewrites = false, .reads_world = false, .run = run_backups},
    {.name = "restore", .takes = argument::file, .rewrites = true, .reads_world = false, .run = run_restore},
    {.name = "prune", .takes = argument::count, .rewrites = false, .reads_world = false, .run = run_prune},
};

const command_row* find_command(const char* word) {
  for (const command_row& row : commands) {
    if (equal_nocase(word, row.name)) return &row;
  }
  return nullptr;
}

bool takes_no_file(const char* command) {
  if (std::strncmp(command, "force", 5) == 0) command += 5;
  const command_row* row = find_command(command);
  return row != nullptr && row->takes == argument::none;
}

// A whole number of at least 1, or 0 for anything else; one too large for
// a size keeps everything.
std::size_t backups_to_keep(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  std::size_t count = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return 0;
    const auto value = static_cast<std::size_t>(*digit - '0');
    count = count > (SIZE_MAX - value) / 10 ? SIZE_MAX : count * 10 + value;
  }
  return count;
}

// The words that ask for the usage: the options, the plain word, and the
// system's own (Windows' "/?").
bool asks_for_help(const char* word) {
  return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 ||
         equal_nocase(word, "help") ||
         (platform::help_switch != nullptr && std::strcmp(word, platform::help_switch) == 0);
}

// The help words and --version, alone, answer on standard output and end.
bool is_help_or_version(int argc, char** argv) {
  if (argc != 2) return false;
  return asks_for_help(argv[1]) || std::strcmp(argv[1], "--version") == 0;
}

int show_help_or_version(const char* word) {
  if (std::strcmp(word, "--version") == 0) {
    std::fputs("rawgraft " RAWGRAFT_VERSION "\n", stdout);
  } else {
    std::fputs(
        "rawgraft " RAWGRAFT_VERSION
        ": shows and changes the object identifier lists of a saved world.\n"
        "\n"
        "Usage:\n"
        "\trawgraft <region> export <file>\n"
        "\trawgraft <region> import <file>\n"
        "\trawgraft <region> sync\n"
        "\trawgraft <region> check\n"
        "\trawgraft <region> compare <file>\n"
        "\trawgraft <region> backups\n"
        "\trawgraft <region> restore <backup|stamp|stamp.N|latest>\n"
        "\trawgraft <region> prune <N>\n"
        "\trawgraft <region> force<command> [<file>]\n"
        "\trawgraft\n"
        "\trawgraft help | --help | -h | --version\n"
        "\n"
        "Run it in the game's folder, the one that holds data/save, with the game closed.\n"
        "<region> is a folder of data/save; a number n stands for region<n>.\n"
        "<file> is the text dump; - is standard output for export, standard input for\n"
        "import and compare. sync adds the identifiers that the files directly in\n"
        "data/save/<region>/raw/objects define and the world does not list yet.\n"
        "check and compare show what sync and import would change, changing nothing.\n"
        "backups lists the world's backups, newest first; restore puts one back, named\n"
        "as backups lists it or by its stamp, keeping the current world as a new\n"
        "backup. Each backup is a whole world: prune keeps the N newest (N at least 1)\n"
        "and removes the others.\n"
        "The prefix force (forceexport, forceimport, forcesync, ...) goes on past an\n"
        "unsupported version, an odd header field or an overlong world name, and lets\n"
        "an import go on past lists out of order or missing.\n"
        "With no arguments, rawgraft asks for each of them, then for confirmation.\n"
        "\n"
        "Exit status: 0 done (or declined), 1 an error was reported, 2 wrong usage.\n"
        "\n"
        "Examples:\n"
        "\trawgraft 1 export dump.txt\n"
        "\trawgraft 1 import dump.txt\n"
        "\trawgraft 1 sync\n"
        "\trawgraft region1 export - > dump.txt\n"
        "\trawgraft 1 prune 3\n",
        stdout);
  }
  // Nothing else reports a failed write here: the status says it.
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? exit_done : exit_error;
}
}  // namespace

void show_banner() {
  report("%s\nVersion %d.%d.%d\n", program_name, RAWGRAFT_VERSION_MAJOR, RAWGRAFT_VERSION_MINOR,
         RAWGRAFT_VERSION_PATCH);
}

void show_usage() {
  report("Usage:\n\t%s <region> <export|import> <file>\nExamples:\n", program_name);
  report("\t%s region1 export -\n", program_name);
  report("\t%s 1 export exportfile.txt\n", program_name);
  report("\t%s 1 import modifiedfile.txt\n", program_name);
  report("\t%s 1 sync\n", program_name);
  // The commands added since keep the lines above as they were.
  report("\t%s 1 check\n", program_name);
  report("\t%s 1 compare modifiedfile.txt\n", program_name);
  report("\t%s 1 backups\n", program_name);
  report("\t%s 1 restore latest\n", program_name);
  report("\t%s 1 prune 3\n", program_name);
}

namespace {
// Runs the command that the arguments (region, command, file) name.
int run_command(settings& run, int argc, char** argv) {
  char* region = trim(argv[1]);
  char* command = trim(argv[2]);
  run.argfile = argc == 4 ? trim(argv[3]) : nullptr;

  run.force = std::strncmp(command, "force", 5) == 0;
  if (run.force) command += 5;
  const command_row* row = find_command(command);
  // A missing world is reported before an invalid command.
  switch (open_world(region, run, row == nullptr || row->reads_world)) {
    case world_opening::region_too_long: return end_of_run(exit_usage);
    case world_opening::not_found:
    case world_opening::busy: return end_of_run(exit_error);
    case world_opening::opened: break;
  }
  if (row == nullptr) {
    report("Error: invalid command: %s\n", command);
    return end_of_run(exit_usage);
  }
  if (row->takes == argument::file && run.argfile == nullptr) {
    report("Error: no file given for %s.\n", row->name);
    return end_of_run(exit_usage);
  }
  run_context context{};
  if (row->takes == argument::count) {
    context.keep = backups_to_keep(run.argfile);
    if (context.keep == 0) {
      report("Error: prune needs the number of backups to keep (at least 1).\n");
      return end_of_run(exit_usage);
    }
  }
  if (row->reads_world) {
    report("Reading Region %s at %s\n", run.region, run.worldpath);
    if (!lock_world(run, row->rewrites)) return end_of_run(exit_error);
    if (!read_world_header(*run.worldfile, run.worldpath, run.saved_game, run.force,
                           context.block_offset)) {
      return end_of_run(exit_error);
    }
  }
  const int status = row->run(run, context);
  // An export to the console ends at once; every other run waits for a key
  // in interactive mode, so that a console opened by a double click stays
  // until its result is read.
  const bool to_console = row->run == run_export && std::strcmp(run.argfile, "-") == 0;
  return to_console ? status : end_of_run(status);
}
}  // namespace

int rawgraft_main(int argc, char** argv) {
  settings& run = g_settings;
  platform::report_broken_pipes();
  if (is_help_or_version(argc, argv)) return show_help_or_version(argv[1]);
  report_setup();
  show_banner();
  show_usage();
  check_section_list();
  char now[sizeof timestamp];
  if (platform::format_local_time(now, sizeof now, "%Y%m%d_%H%M%S")) {
    std::memcpy(timestamp, now, sizeof timestamp);
  }

  if (argc == 1) {
    switch (interactive_arguments(argv[0])) {
      case interaction::declined: return end_of_run(exit_done);
      case interaction::answer_too_long: return end_of_run(exit_usage);
      case interaction::confirmed: break;
    }
    argc = answers.argc;
    argv = answers.argv;
  }
  if (argc != 3 && argc != 4) {
    report("\nInvalid number of parameters. Exiting.\n");
    return end_of_run(exit_usage);
  }
  return run_command(run, argc, argv);
}

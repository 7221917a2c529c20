#include "rawgraft.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backups.h"
#include "compare.h"
#include "export.h"
#include "import.h"
#include "messages.h"
#include "object_block.h"
#include "settings.h"
#include "sync.h"
#include "text_util.h"
#include "version.h"
#include "world_header.h"
#include "world_rewrite.h"

namespace {
const char* const program_name = "rawgraft";

// Exit statuses: what was asked was done (or declined, or needed no change);
// an error was reported; the tool was used wrongly.
constexpr int exit_done = 0;
constexpr int exit_error = 1;
constexpr int exit_usage = 2;

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
  if (find_nocase(answers.confirmation, "go") == nullptr) {
    report("\nExiting.  Nothing changed.\n");
    return interaction::declined;
  }
  return interaction::confirmed;
}

// Output into a pipe whose reader has gone (`rawgraft 1 export - | head`)
// ends the run as the player meant it to: with no message, status 1.
bool reader_gone(int error_number) { return error_number == EPIPE; }

// What a command body needs beyond g_settings' streams.
struct run_context {
  std::int64_t block_offset;
};

int run_export(settings& run, const run_context& context);
int run_import(settings& run, const run_context& context);
int run_sync(settings& run, const run_context& context);
int run_check(settings& run, const run_context& context);
int run_compare(settings& run, const run_context& context);
int run_backups(settings& run, const run_context& context);
int run_restore(settings& run, const run_context& context);

// One run at a time may rewrite a world, and none may read it meanwhile.
// The lock is on <world>.lock, which is never renamed; the world is opened
// again under it, since another run may have placed a new one since the
// first look.
bool lock_world(settings& run, bool exclusive, bool reopen = true) {
  char lock_path[sizeof settings::worldpath + 8];
  if (!build_lock_path(lock_path, sizeof lock_path, run.worldpath)) {
    report(msg::region_too_long);
    return false;
  }
  errno = 0;
  switch (run.lock.take(lock_path, exclusive)) {
    case platform::file_lock::result::busy:
      report(msg::another_run, run.worldpath);
      return false;
    case platform::file_lock::result::failed:
      // Reading from a folder that cannot be written needs no lock; a link
      // at the lock's name is refused all the same.
      if (!exclusive && errno != ELOOP) return true;
      report("Error: can not lock %s\n", lock_path);
      report_reason(platform::error_text(errno != 0 ? errno : EACCES).c_str());
      return false;
    case platform::file_lock::result::taken: break;
  }
  if (!reopen) return true;
  std::string reason;
  bool not_regular = false;
  run.worldfile = open_world_source(run.worldpath, reason, &not_regular);
  if (not_regular) {
    report(msg::not_regular, run.worldpath);
    return false;
  }
  if (!run.worldfile) {
    report("Error: can not open region file: %s\n", run.worldpath);
    report_reason(reason.c_str());
    return false;
  }
  return true;
}

// One row per command: its word, whether it takes a file argument, whether
// it writes a new world, whether it opens and checks the world first (the
// others only look for it), and its body.
struct command_row {
  const char* name;
  bool needs_file;
  bool rewrites;
  bool reads_world;
  int (*run)(settings& run, const run_context& context);
};
const command_row commands[] = {
    {"export", true, false, true, run_export},
    {"import", true, true, true, run_import},
    {"sync", false, true, true, run_sync},
    {"check", false, false, true, run_check},
    {"compare", true, false, true, run_compare},
    {"backups", false, false, false, run_backups},
    {"restore", true, true, false, run_restore},
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
  return row != nullptr && !row->needs_file;
}

// Whether an existing file may be replaced by a dump: it is empty, or it is
// a dump itself (its first line says so, after a byte-order mark).
bool replaceable_by_dump(const char* path) {
  file_stream existing;
  if (!existing.open(path, "rb")) return false;
  char start[3 + 20] = {};
  const std::size_t got = std::fread(start, 1, sizeof start, existing.get());
  if (got == 0) return !std::ferror(existing.get());
  const char* text = std::strncmp(start, "\xEF\xBB\xBF", 3) == 0 ? start + 3 : start;
  return std::strncmp(text, "**data exported from", 20) == 0;
}

// Makes a whole dump durable under its name: TEMP synced, renamed over the
// old dump while its stream (and so its lock) is still open, the folder
// synced. False with the reason in `dump`.
bool commit_dump(platform::temp_file& temp, file_stream& dump, const char* target) {
  if (!platform::sync_file(dump.get())) {
    dump.fail_with(platform::last_failure());
    return false;
  }
  if (platform::kind_of(target) == platform::path_kind::file) {
    platform::copy_permissions(target, temp.path());
  }
  if (!temp.commit(target)) {
    dump.fail_with(platform::last_failure());
    return false;
  }
  platform::sync_parent_folder(target);
  return dump.close();
}

int run_export(settings& run, const run_context&) {
  const char* target = run.argfile;
  // A dump to a regular file is written beside it and renamed into place
  // once whole and durable, so a failed export or a power cut never leaves
  // a cut file or loses the old one. Pipes and devices are written directly.
  platform::temp_file temp;
  const bool to_file = std::strcmp(target, "-") != 0;
  if (!to_file) {
    run.exportfile.adopt(stdout);
  } else {
    // Opening with "w+" would empty the world before it is read.
    if (platform::same_file(target, run.worldpath)) {
      report("Error: export file is the world file: %s\n", target);
      return end_of_run(exit_error);
    }
    const platform::path_kind kind = platform::kind_of(target);
    if (kind == platform::path_kind::file && !replaceable_by_dump(target)) {
      report("Error: %s exists and is not a dump; it was not replaced.\n", target);
      return end_of_run(exit_error);
    }
    char beside[sizeof settings::worldpath + 8];
    std::string reason = platform::error_text(ENAMETOOLONG);
    if (kind == platform::path_kind::folder || kind == platform::path_kind::other) {
      run.exportfile.open(target, "w+");
      reason = run.exportfile.failure();
    } else if (std::snprintf(beside, sizeof beside, "%s.TEMP", target) <
               static_cast<int>(sizeof beside)) {
      bool busy = false;
      run.exportfile.adopt(temp.create_locked(beside, true, busy));
      if (busy) {
        report("Error: another run is writing %s\n", target);
        return end_of_run(exit_error);
      }
      if (!run.exportfile) reason = platform::last_failure();
    }
    if (!run.exportfile) {
      report("Error: can not open output file: %s\n", target);
      report_reason(reason.c_str());
      return end_of_run(exit_error);
    }
    report("Writing export to %s\n", target);
  }
  // An export to the console ends at once; one to a file waits for a key
  // like every other interactive run, so that a console opened by a double
  // click stays until its result is read.
  const auto end = [to_file](int status) { return to_file ? end_of_run(status) : status; };
  errno = 0;
  const bool written = std::fprintf(run.exportfile.get(),
                                    "**data exported from %s on %s by Rawgraft**\n",
                                    run.worldpath, timestamp) >= 0;
  if (!written) run.exportfile.fail(errno);
  const auto finish = [&temp, target](file_stream& dump) {
    return temp.path()[0] == '\0' ? dump.close() : commit_dump(temp, dump, target);
  };
  const export_result result = written ? export_block(*run.worldfile, run.exportfile, finish)
                                       : export_result::write_failed;
  if (result != export_result::done) run.exportfile.close();
  if (result == export_result::world_read_failed) {
    report_unreadable_world(*run.worldfile, run.worldpath);
    return end(exit_error);
  }
  if (result == export_result::write_failed) {
    if (!to_file && reader_gone(run.exportfile.failure_number())) return end(exit_error);
    report(msg::export_write_failed, target);
    report_reason(run.exportfile.failure().c_str());
    return end(exit_error);
  }
  return end(exit_done);
}

int rewrite_status(rewrite_result result) {
  switch (result) {
    case rewrite_result::placed:
    case rewrite_result::unchanged: return exit_done;
    case rewrite_result::not_started:
    case rewrite_result::stopped:
    case rewrite_result::refused:
    case rewrite_result::backup_failed:
    case rewrite_result::placing_failed:
    case rewrite_result::left_under_backup: return exit_error;
  }
  return exit_error;
}

// Opens the dump that import and compare read; false after reporting.
bool open_dump(settings& run) {
  const char* source = run.argfile;
  if (std::strcmp(source, "-") == 0) {
    run.importfile.adopt(stdin);
    return true;
  }
  if (!run.importfile.open(source, "r")) {
    report("Error: can not open input file: %s\n", source);
    report_reason(run.importfile.failure().c_str());
    return false;
  }
  report("Reading import from %s\n", source);
  return true;
}

// Opens the region's raw folder that sync and check read; false after
// reporting.
bool open_raws(settings& run) {
  if (!build_path(run.rawpath, sizeof run.rawpath, "%s%s/%s", "./data/save/", run.region,
                  "raw/objects") ||
      !run.rawdir.open(run.rawpath)) {
    report("Error: can not open raws: %s\n", run.rawpath);
    report_reason(run.rawpath[0] == '\0' ? platform::error_text(ENAMETOOLONG).c_str()
                                          : platform::last_failure().c_str());
    return false;
  }
  return true;
}

int world_read_failed(const settings& run) {
  report_unreadable_world(*run.worldfile, run.worldpath);
  return end_of_run(exit_error);
}

int run_import(settings& run, const run_context& context) {
  const char* source = run.argfile;
  if (!open_dump(run)) return end_of_run(exit_error);
  const bool force = run.force;
  std::FILE* in = run.importfile.get();
  import_tally tally;
  const rewrite_job job{run.worldpath, timestamp, *run.worldfile, context.block_offset,
                        [in, force, &tally, worldpath = run.worldpath](world_source& world,
                                                                       world_sink& out) {
                          const block_result written =
                              import_text(in, out, force, &tally, dump_block_size, worldpath);
                          if (written != block_result::done) return written;
                          std::uint64_t held = 0;
                          if (skip_world_block(world, &held) != read_status::ok) {
                            return block_result::world_read_failed;
                          }
                          report("Wrote %d identifiers in %d lists (the world held %d).\n",
                                 shown_count(tally.identifiers), tally.lists, shown_count(held));
                          return block_result::done;
                        },
                        source, &tally.read_failure};
  return end_of_run(rewrite_status(rewrite_world(job)));
}

int run_sync(settings& run, const run_context& context) {
  if (!open_raws(run)) return end_of_run(exit_error);
  const raw_folder raws{run.rawpath, run.rawdir};
  const rewrite_job job{run.worldpath, timestamp, *run.worldfile, context.block_offset,
                        [&raws](world_source& world, world_sink& out) {
                          return sync_raws(world, out, raws);
                        },
                        nullptr, nullptr};
  return end_of_run(rewrite_status(rewrite_world(job)));
}
// Sync's dry run: what it would add goes to standard output.
int run_check(settings& run, const run_context&) {
  if (!open_raws(run)) return end_of_run(exit_error);
  const raw_folder raws{run.rawpath, run.rawdir};
  const std::unique_ptr<world_sink> nowhere = null_world_sink();
  sync_additions additions;
  if (sync_raws(*run.worldfile, *nowhere, raws, &additions) != block_result::done) {
    return world_read_failed(run);
  }
  errno = 0;
  if (!print_additions(additions)) {
    if (reader_gone(errno)) return end_of_run(exit_error);
    report("Error: could not write the report to standard output\n");
    return end_of_run(exit_error);
  }
  return end_of_run(exit_done);
}

// Import's dry run: how the dump's lists differ from the world's goes to
// standard output.
int run_compare(settings& run, const run_context&) {
  if (!open_dump(run)) return end_of_run(exit_error);
  list_comparer compared(*run.worldfile);
  import_tally tally;
  const block_result parsed = import_text(run.importfile.get(), compared, run.force, &tally);
  if (parsed == block_result::input_read_failed) {
    report(msg::input_read_failed, run.argfile);
    report_reason(tally.read_failure.c_str());
    return end_of_run(exit_error);
  }
  if (parsed != block_result::done || !compared.finish()) return world_read_failed(run);
  const std::string source = exported_elsewhere(tally.title, run.worldpath);
  errno = 0;
  if (!compared.print(source.empty() ? nullptr : source.c_str())) {
    if (reader_gone(errno)) return end_of_run(exit_error);
    report("Error: could not write the report to standard output\n");
    return end_of_run(exit_error);
  }
  return end_of_run(exit_done);
}

// The region's folder, "./data/save/<region>", converted to the platform's
// separator.
bool region_folder(const settings& run, char* folder, std::size_t size) {
  return build_path(folder, size, "%s%s", "./data/save/", run.region);
}

// The world names whose backups count: the world's own, or both forms when
// the region has no world.
std::vector<backup_file> backups_of(const settings& run, const char* folder) {
  const char* name = std::strrchr(run.worldpath, platform::path_separator);
  name = name == nullptr ? run.worldpath : name + 1;
  return find_backups(folder, run.world_found ? std::vector<std::string>{name}
                                              : std::vector<std::string>{"world.dat", "world.sav"});
}

int run_backups(settings& run, const run_context&) {
  char folder[sizeof settings::worldpath];
  region_folder(run, folder, sizeof folder);
  const std::vector<backup_file> backups = backups_of(run, folder);
  errno = 0;
  const bool written = backups.empty()
                           ? std::printf("No backups of %s.\n", run.worldpath) >= 0 &&
                                 std::fflush(stdout) == 0
                           : print_backups(backups);
  if (!written) {
    if (reader_gone(errno)) return end_of_run(exit_error);
    report("Error: could not write the list of backups\n");
    return end_of_run(exit_error);
  }
  return end_of_run(exit_done);
}

int run_restore(settings& run, const run_context&) {
  char folder[sizeof settings::worldpath];
  region_folder(run, folder, sizeof folder);
  const std::vector<backup_file> backups = backups_of(run, folder);
  const backup_file* chosen = choose_backup(backups, run.argfile);
  if (chosen == nullptr) {
    report("Error: no backup %s\n", run.argfile);
    if (backups.empty()) {
      std::printf("No backups of %s.\n", run.worldpath);
    } else {
      print_backups(backups);
    }
    std::fflush(stdout);
    return end_of_run(exit_error);
  }
  // The backup's name less its stamp names the world it restores.
  const std::size_t world_name = chosen->name.size() - chosen->stamp.size() - 1 -
                                 (chosen->counter == 0 ? 0 : std::to_string(chosen->counter).size() + 1);
  char worldpath[sizeof settings::worldpath];
  if (!build_path(worldpath, sizeof worldpath, "%s/%.*s", folder, static_cast<int>(world_name),
                  chosen->name.c_str())) {
    report(msg::region_too_long);
    return end_of_run(exit_error);
  }
  std::snprintf(run.worldpath, sizeof run.worldpath, "%s", worldpath);
  run.saved_game = chosen->name.starts_with("world.sav");
  if (!lock_world(run, true, false)) return end_of_run(exit_error);
  return end_of_run(
      restore_backup(folder, *chosen, run.worldpath, run.saved_game, run.force, timestamp));
}

// --help, -h and --version, alone, answer on standard output and end.
bool is_help_or_version(int argc, char** argv) {
  if (argc != 2) return false;
  const char* word = argv[1];
  return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 ||
         std::strcmp(word, "--version") == 0;
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
        "\trawgraft <region> restore <stamp|stamp.N|latest>\n"
        "\trawgraft <region> force<command> [<file>]\n"
        "\trawgraft\n"
        "\trawgraft --help | -h | --version\n"
        "\n"
        "Run it in the game's folder, the one that holds data/save, with the game closed.\n"
        "<region> is a folder of data/save; a number n stands for region<n>.\n"
        "<file> is the text dump; - is standard output for export, standard input for\n"
        "import and compare. sync adds the identifiers that the files directly in\n"
        "data/save/<region>/raw/objects define and the world does not list yet.\n"
        "check and compare show what sync and import would change, changing nothing.\n"
        "backups lists the world's backups, newest first; restore puts one back,\n"
        "keeping the current world as a new backup.\n"
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
        "\trawgraft region1 export - > dump.txt\n",
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
}

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
  if (row->needs_file && run.argfile == nullptr) {
    report("Error: no file given for %s.\n", row->name);
    return end_of_run(exit_usage);
  }

  if (!row->reads_world) return row->run(run, run_context{});
  report("Reading Region %s at %s\n", run.region, run.worldpath);
  if (!lock_world(run, row->rewrites)) return end_of_run(exit_error);
  run_context context{};
  if (!read_world_header(*run.worldfile, run.worldpath, run.saved_game, run.force,
                         context.block_offset)) {
    return end_of_run(exit_error);
  }
  return row->run(run, context);
}

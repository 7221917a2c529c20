// Interactive mode: the prompts, the answers read from standard input with
// their length limits, the confirmation, and the end-of-run key wait, which
// reads the terminal itself and never standard input.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {
const std::string kRegionPrompt =
    "\nNo command line given.  Entering Interactive Mode.\nPlease enter region: ";
const std::string kCommandPrompt = "\nPlease enter command: ";
const std::string kFilePrompt = "\nPlease enter tag file: ";
const std::string kConfirmPrompt =
    "\nPlease verify your entry.\nType 'go' when ready to begin, or any other entry to quit\n: ";
const std::string kNothingChanged = "\nExiting.  Nothing changed.\n";
const std::string kKeyWait = "(press a key to exit)\n";
const std::string kIdentified =
    "Reading Region region1 at ./data/save/region1/world.dat\nWorld Identified: Testworld\n";
const std::string kNoSuchFile = ts::reason("No such file or directory");

// The prompts up to the confirmation's, for answers that run `what`;
// a sync is asked for no file.
std::string prompts(const std::string& what, bool file = true) {
  return kRegionPrompt + kCommandPrompt + (file ? kFilePrompt : "") + "Will run: rawgraft " + what +
         "\n" + kConfirmPrompt;
}

std::string too_long(int limit) {
  return "Error: answer too long: at most " + std::to_string(limit) + " characters.\n" + kKeyWait;
}

class Interactive : public ::testing::Test {
 protected:
  void SetUp() override { folder.write_world("region1", ts::sample_world_dat()); }
  ts::run_result answer(const std::string& input) { return ts::run_rawgraft(folder, {}, input); }
  std::string world() { return folder.read(ts::game_folder::world_file("region1")); }

  ts::game_folder folder;
};

std::string dump_of_sample(ts::game_folder& folder) {
  return ts::mask_timestamps(ts::run_rawgraft(folder, {"1", "export", "-"}).out);
}
}  // namespace

TEST_F(Interactive, ExportRunsWithoutAKeyWait) {
  const ts::run_result r = answer("1\nexport\n-\ngo\n");
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, ts::banner_and_usage() + prompts("1 export -") + kIdentified +
                       "Beginning file export...\n"
                       "Exported 20 sections.\n");
  EXPECT_EQ(ts::mask_timestamps(r.out), dump_of_sample(folder));
}

TEST_F(Interactive, ImportFromAFileAndFromStandardInputThenWaitForAKey) {
  std::string dump = ts::run_rawgraft(folder, {"1", "export", "-"}).out;
  dump.replace(dump.find("====plant====\n"), 14, "====plant====\nNEW_PLANT\n");
  folder.write_file("edited.txt", dump);
  const std::string original = world();

  const ts::run_result from_file = answer("1\nimport\nedited.txt\ngo\n");
  EXPECT_EQ(from_file.status, 0) << from_file;
  EXPECT_NE(from_file.err.find(prompts("1 import edited.txt") + "Reading Region region1"),
            std::string::npos);
  EXPECT_NE(from_file.err.find("Reading import from edited.txt\n"), std::string::npos);
  EXPECT_TRUE(from_file.err.ends_with("New World Placed.\n\nDone.\n" + kKeyWait)) << from_file;
  const std::string edited = world();
  EXPECT_NE(edited, original);

  // The dump follows the answers on the same input; the world holds it now.
  const ts::run_result from_stdin = answer("1\nimport\n-\ngo\n" + dump);
  EXPECT_EQ(from_stdin.status, 0) << from_stdin;
  EXPECT_EQ(from_stdin.err.find("Reading import from"), std::string::npos);
  EXPECT_NE(from_stdin.err.find("Imported 20 sections.\n"), std::string::npos);
  EXPECT_TRUE(from_stdin.err.ends_with("No change: ./data/save/region1/world.dat already holds "
                                       "these lists.\n" + kKeyWait))
      << from_stdin;
  EXPECT_EQ(world(), edited);
}

TEST_F(Interactive, SyncIsNotAskedForAFile) {
  for (const std::string command : {"sync", "forcesync", "SYNC"}) {
    const ts::run_result r = answer("1\n" + command + "\ngo\n");
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, ts::banner_and_usage() + prompts("1 " + command, false) + kIdentified +
                         "Error: can not open raws: ./data/save/region1/raw/objects\n" +
                         kNoSuchFile + kKeyWait)
        << command;
  }
  // Holding "sync" is enough to skip the file prompt; the word is still invalid.
  const ts::run_result async = answer("1\nasync\ngo\n");
  EXPECT_EQ(async.status, 2) << async;
  EXPECT_EQ(async.err, ts::banner_and_usage() + prompts("1 async", false) +
                           "Error: invalid command: async\n" + kKeyWait);
}

// Only "go" runs: alone or before a character that continues no word.
TEST_F(Interactive, ConfirmationIsGoAsAWord) {
  const struct {
    std::string answer;
    bool runs;
  } cases[] = {
      {"go", true},       {"GO", true},      {"go!", true},    {"go now", true},
      {"  gO  ", true},   {"go.", true},     {"ago", false},   {"Gopher", false},
      {"forgot", false},  {"yes", false},    {"", false},      {"go2", false},
      {"g o", false},     {"let's go", false},
  };
  for (const auto& c : cases) {
    const ts::run_result r = answer("1\nexport\nout.txt\n" + c.answer + "\n");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(r.err.ends_with(c.runs ? "Exported 20 sections.\n" + kKeyWait
                                       : prompts("1 export out.txt") + kNothingChanged + kKeyWait))
        << '"' << c.answer << '"' << r;
    EXPECT_EQ(folder.exists("out.txt"), c.runs) << '"' << c.answer << '"';
    std::filesystem::remove(folder.path("out.txt"));
  }
}

struct answers_case {
  std::string name;
  std::string input;
  int status;
  std::string err;  // after the banner and usage
  std::vector<std::string> left = {"data"};  // the game folder's entries afterwards
};

// Answers are whole lines: nothing of one spills into the next, and one
// longer than its limit (without its line end, before trimming) ends the run.
TEST_F(Interactive, AnswersAreWholeLinesWithinTheirLimits) {
  const std::string region(127, 'r');
  const std::string path = [] {  // 1,023 characters naming out.txt
    std::string dots;
    while (dots.size() < 1016) dots += "./";
    return dots + "out.txt";
  }();
  const std::string go85 = "go" + std::string(83, '!');
  const std::vector<answers_case> cases = {
      {"a file answer cut once ran what was declined",
       "1\nexport\nexports/my_world_dump_2026go.txt\nno\n", 0,
       prompts("1 export exports/my_world_dump_2026go.txt") + kNothingChanged + kKeyWait},
      {"longest region", region + "\nsync\ngo\n", 1,
       prompts(region + " sync", false) + "Error: can not open region file: ./data/save/" + region +
           "/world.sav\n" + kNoSuchFile + "Regions here: region1\n" + kKeyWait},
      {"region too long", region + "r\nsync\ngo\n", 2, kRegionPrompt + too_long(127)},
      {"longest command, trimmed", "1\n  export" + std::string(13, ' ') + "\n" + path + "\nno\n",
       0, prompts("1 export " + path) + kNothingChanged + kKeyWait},
      {"command too long", "1\nexport" + std::string(16, ' ') + "\nout.txt\ngo\n", 2,
       kRegionPrompt + kCommandPrompt + too_long(21)},
      {"file too long", "1\nexport\n." + path + "\ngo\n", 2,
       kRegionPrompt + kCommandPrompt + kFilePrompt + too_long(1023)},
      {"longest confirmation; the key wait after an export to a file",
       "1\nexport\nout.txt\n" + go85 + "\n", 0,
       prompts("1 export out.txt") + kIdentified + "Writing export to out.txt\n" +
           "Beginning file export...\nExported 20 sections.\n" + kKeyWait,
       {"data", "out.txt"}},
      {"confirmation too long", "1\nexport\nout.txt\n" + go85 + "!\n", 2,
       prompts("1 export out.txt") + too_long(85)},
      {"line ends of CR LF are not counted", "1\r\nexport" + std::string(15, ' ') + "\r\n-\r\nno\r\n",
       0, prompts("1 export -") + kNothingChanged + kKeyWait},
      {"end of input", "", 0, prompts("  ") + kNothingChanged + kKeyWait},
      {"empty region", "\nsync\ngo\n", 1,
       prompts(" sync", false) + "Error: can not open region file: ./data/save//world.sav\n" +
           kNoSuchFile + "Regions here: region1\n" + kKeyWait},
  };
  for (const answers_case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::game_folder scene;
    scene.write_world("region1", ts::sample_world_dat());
    const ts::run_result r = ts::run_rawgraft(scene, {}, c.input);
    EXPECT_EQ(r.status, c.status) << r;
    EXPECT_EQ(r.err, ts::banner_and_usage() + c.err);
    EXPECT_EQ(scene.list(), c.left);
    EXPECT_EQ(scene.read(ts::game_folder::world_file("region1")), ts::sample_world_dat());
  }
}

// A run started with a terminal as its controlling terminal and a closed
// pipe as standard input: every answer is empty, so it quits and waits.
class KeyWait : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS_BUILD("Wine's console takes key presses from standard input, not the terminal");
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    int input[2], errors[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(errors), 0);
    const std::string binary = RAWGRAFT_BINARY;
    const std::string root = folder.root().string();
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      dup2(input[0], 0);
      dup2(errors[1], 1);
      dup2(errors[1], 2);
      for (int fd : {master, slave, input[0], input[1], errors[0], errors[1]}) close(fd);
      if (chdir(root.c_str()) != 0) _exit(126);
      execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(input[0]);
    close(input[1]);
    close(errors[1]);
    output = errors[0];
  }

  void TearDown() override {
    if (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    for (int fd : {master, slave, output}) close(fd);
  }

  // Reads the run's messages until the key prompt, for at most ten seconds.
  std::string messages_until_key_prompt() {
    std::string err;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!err.ends_with(kKeyWait) && std::chrono::steady_clock::now() < deadline) {
      pollfd p{output, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buffer[4096];
        const ssize_t n = read(output, buffer, sizeof buffer);
        if (n <= 0) break;
        err.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return err;
  }

  // The child's wait status once it ends, within five seconds.
  std::optional<int> ended() {
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(child, &status, WNOHANG) == child) {
        child = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

  void expect_waiting_in_raw_mode() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "the run did not wait for a key";
    termios during{};
    ASSERT_EQ(tcgetattr(master, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "no raw key read in progress";
  }

  void expect_terminal_restored() {
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
  }

  ts::game_folder folder;
  int master = -1, slave = -1, output = -1;
  pid_t child = -1;
  termios before{};
};

TEST_F(KeyWait, OneKeyOnTheTerminalEndsTheRunAndRestoresTheTerminal) {
  EXPECT_TRUE(messages_until_key_prompt().ends_with(kNothingChanged + kKeyWait));
  expect_waiting_in_raw_mode();
  ASSERT_EQ(write(master, "k", 1), 1);
  const std::optional<int> status = ended();
  ASSERT_TRUE(status.has_value()) << "the run did not end after a key press";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  expect_terminal_restored();
}

TEST_F(KeyWait, AnInterruptedWaitStillRestoresTheTerminal) {
  EXPECT_TRUE(messages_until_key_prompt().ends_with(kKeyWait));
  expect_waiting_in_raw_mode();
  kill(child, SIGINT);
  const std::optional<int> status = ended();
  ASSERT_TRUE(status.has_value()) << "the run did not end on SIGINT";
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << *status;
  expect_terminal_restored();
}

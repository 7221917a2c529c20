// Every state a power cut could leave: the file-system calls of real runs
// are recorded with strace, and from them every state that a cut at each
// point could leave is built, under two models of what survives:
//   - ordered (ext4 data=ordered): a file's data written after its last
//     fsync may be lost; folder changes persist in order, a prefix of them;
//   - weak: unsynced data, and each folder change not yet followed by an
//     fsync of its folder, may each be lost on its own.
// In each state the world's name must hold a whole world, the old or the
// new one; the old world must be under the world's name or a backup name;
// an export's file must hold the old dump or the new one, whole.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/dump_text.hpp"
#include "support/testsupport.hpp"

namespace ts = testsupport;

namespace {

struct event {
  enum kind { create, write, sync_file, sync_folder, link, rename, unlink } what;
  std::string a, b;  // absolute paths
};

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The calls that matter, in order, from `strace -y` output.
std::vector<event> read_trace(const std::string& trace_file, const std::string& root) {
  static const std::regex call(R"(^\d+ +(\w+)\((.*)\) += (-?\d+)(<([^>]*)>)?)");
  static const std::regex fd_path(R"(\d+<([^>]*)>)");
  static const std::regex quoted(R"("([^"]*)\")");
  const auto absolute = [&](std::string path) {
    if (path.starts_with("./")) path = path.substr(2);
    return path.starts_with("/") ? path : root + "/" + path;
  };
  std::vector<event> events;
  std::set<std::string> folders;
  std::ifstream in(trace_file);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, call) || m[3] == "-1") continue;
    const std::string name = m[1], args = m[2];
    std::vector<std::string> fds, names;
    for (std::sregex_iterator i(args.begin(), args.end(), fd_path), end; i != end; ++i) fds.push_back((*i)[1]);
    for (std::sregex_iterator i(args.begin(), args.end(), quoted), end; i != end; ++i) {
      names.push_back(absolute((*i)[1]));
    }
    if ((name == "openat" || name == "open") && args.find("O_CREAT") != std::string::npos) {
      events.push_back({event::create, m[5], ""});
    } else if (name == "openat" && args.find("O_DIRECTORY") != std::string::npos) {
      folders.insert(m[5]);
    } else if ((name == "write" || name == "pwrite64" || name == "writev") && !fds.empty()) {
      events.push_back({event::write, fds[0], ""});
    } else if (name == "copy_file_range" && fds.size() == 2) {
      events.push_back({event::write, fds[1], ""});
    } else if ((name == "fsync" || name == "fdatasync") && !fds.empty()) {
      events.push_back({folders.count(fds[0]) ? event::sync_folder : event::sync_file, fds[0], ""});
    } else if ((name == "link" || name == "linkat") && names.size() == 2) {
      events.push_back({event::link, names[0], names[1]});
    } else if ((name == "rename" || name == "renameat" || name == "renameat2") && names.size() == 2) {
      events.push_back({event::rename, names[0], names[1]});
    } else if ((name == "unlink" || name == "unlinkat") && names.size() == 1) {
      events.push_back({event::unlink, names[0], ""});
    }
  }
  return events;
}

// A name's file: which one (the files there at the start are 0..n-1), and
// whether its data is all on disk.
struct file_ref {
  int id;
  bool whole;
  bool operator<(const file_ref& o) const { return id != o.id ? id < o.id : whole < o.whole; }
  bool operator==(const file_ref& o) const = default;
};
using names = std::map<std::string, int>;  // path -> file id
using state = std::map<std::string, file_ref>;

struct run_model {
  names start;
  std::vector<event> events;
  // Per event: the file it creates or changes, and the live names before it.
  std::vector<int> file_of;
  int files = 0;

  run_model(names initial, std::vector<event> recorded) : start(std::move(initial)), events(std::move(recorded)) {
    names live = start;
    files = static_cast<int>(live.size());
    for (const event& e : events) {
      int id = live.count(e.a) ? live[e.a] : -1;
      if (e.what == event::create && id < 0) id = files++;
      file_of.push_back(id);
      if (e.what == event::create || e.what == event::link) live[e.what == event::link ? e.b : e.a] = id;
      if (e.what == event::rename && id >= 0) {
        live[e.b] = id;
        live.erase(e.a);
      }
      if (e.what == event::unlink) live.erase(e.a);
    }
  }

  bool folder_change(const event& e) const {
    return e.what == event::create || e.what == event::link || e.what == event::rename ||
           e.what == event::unlink;
  }
  std::string changed_folder(const event& e) const { return folder_of(e.what == event::link || e.what == event::rename ? e.b : e.a); }

  // The state after the first `cut` events, with the folder changes for
  // which `kept` is false lost.
  state build(std::size_t cut, const std::vector<bool>& kept) const {
    std::map<int, bool> dirty;  // file -> written after its last sync
    names now = start;
    for (std::size_t i = 0; i < cut; ++i) {
      const event& e = events[i];
      const int id = file_of[i];
      if (e.what == event::write) dirty[id] = true;
      if (e.what == event::sync_file) dirty[id] = false;
      if (!folder_change(e) || !kept[i] || id < 0) continue;
      if (e.what == event::create) now[e.a] = id;
      if (e.what == event::link) now[e.b] = id;
      if (e.what == event::rename) {
        now[e.b] = id;
        if (now.count(e.a) && now[e.a] == id) now.erase(e.a);
      }
      if (e.what == event::unlink && now.count(e.a) && now[e.a] == id) now.erase(e.a);
    }
    state s;
    for (const auto& [path, id] : now) s[path] = {id, !dirty[id]};
    return s;
  }

  // Every distinct state under the model.
  std::set<state> states(bool weak, int& cuts) const {
    std::set<state> all;
    for (std::size_t cut = 0; cut <= events.size(); ++cut) {
      std::vector<std::size_t> optional;
      for (std::size_t i = 0; i < cut && weak; ++i) {
        if (!folder_change(events[i])) continue;
        bool synced = false;
        for (std::size_t j = i + 1; j < cut && !synced; ++j) {
          synced = events[j].what == event::sync_folder && events[j].a == changed_folder(events[i]);
        }
        if (!synced) optional.push_back(i);
      }
      for (std::size_t mask = 0; mask < (std::size_t{1} << optional.size()); ++mask) {
        std::vector<bool> kept(events.size(), true);
        for (std::size_t k = 0; k < optional.size(); ++k) kept[optional[k]] = (mask >> k) & 1;
        all.insert(build(cut, kept));
        ++cuts;
      }
    }
    return all;
  }
};

enum class verdict { safe, gap, vulnerable };

struct traced_run {
  std::string name;
  std::vector<std::string> args;
  std::vector<std::string> inject;
  bool fallback;  // the two renames of a file system without hard links
};

void PrintTo(const traced_run& run, std::ostream* out) { *out << run.name; }

class PowerCut : public ::testing::TestWithParam<traced_run> {};

TEST_P(PowerCut, EveryStateKeepsAWholeWorldAndDump) {
  SKIP_ON_WINDOWS_BUILD("strace traces Linux processes only");
  if (std::system("strace -f -qq -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed or tracing is not allowed here";
  }
  const traced_run& run = GetParam();
  ts::game_folder folder;
  const std::string root = folder.root().string();
  const std::string region = root + "/data/save/region1";
  const std::string world = region + "/world.dat", dump = root + "/out.txt";
  const std::string old_world = ts::sample_world_dat();
  ts::world_block edited = ts::sample_block();
  edited.section("creature").push_back("NEW_BEAST");
  folder.write_world("region1", old_world);
  folder.write_file("edited.txt", ts::dump_title("./data/save/region1/world.dat") + ts::dump_body(edited));
  folder.write_file("out.txt", ts::dump_title("./data/save/region1/world.dat") + ts::dump_body(edited));
  folder.write_raw("region1", "creature_new.txt", "[OBJECT:CREATURE]\n[CREATURE:FEN_WADER]\n");
  folder.write_file(ts::game_folder::region_dir("region1") / "world.dat.20200101_000000",
                    ts::world_dat_header() + edited.encode() + ts::world_tail());
  names initial;
  for (const std::string& name : folder.list(ts::game_folder::region_dir("region1"))) {
    initial[region + "/" + name] = static_cast<int>(initial.size());
  }
  initial[dump] = static_cast<int>(initial.size());
  const int old_world_id = initial[world], old_dump_id = initial[dump];

  const std::string trace = root + "/../" + folder.root().filename().string() + ".trace";
  ts::run_options options;
  options.launcher = {"strace", "-f", "-qq", "-y", "-o", trace};
  for (const std::string& fault : run.inject) options.launcher.insert(options.launcher.end(), {"-e", "inject=" + fault});
  const auto r = ts::run_rawgraft(folder, run.args, "", options);
  ASSERT_EQ(r.status, 0) << r;
  const run_model model(initial, read_trace(trace, root));
  std::remove(trace.c_str());
  ASSERT_FALSE(model.events.empty()) << "nothing recorded";

  const bool exporting = run.args[1] == "export";
  const auto judge = [&](const state& s) {
    if (exporting) {
      const auto at = s.find(dump);
      const bool ok = at != s.end() && (at->second.id == old_dump_id ||
                                        (at->second.id >= static_cast<int>(initial.size()) && at->second.whole));
      return ok ? verdict::safe : verdict::vulnerable;
    }
    bool old_kept = false;
    for (const auto& [path, file] : s) {
      const bool backup = path.starts_with(world + ".2");
      if ((path == world || backup) && file.id == old_world_id) old_kept = true;
    }
    const auto at = s.find(world);
    // A restore's new world is the backup's copy, a new file like a rewrite's.
    const bool world_whole = at != s.end() && (at->second.id == old_world_id ||
                                               (at->second.id >= static_cast<int>(initial.size()) && at->second.whole));
    if (world_whole && old_kept) return verdict::safe;
    // The fallback's known gap: between its two renames the world's name is
    // empty and the old world is under its backup name; the new one is under
    // TEMP, or lost where TEMP's name had not reached the disk.
    if (run.fallback && at == s.end() && old_kept) return verdict::gap;
    return verdict::vulnerable;
  };
  for (const bool weak : {false, true}) {
    int cuts = 0, explored = 0, gaps = 0, vulnerable = 0;
    for (const state& s : model.states(weak, cuts)) {
      ++explored;
      const verdict v = judge(s);
      gaps += v == verdict::gap;
      vulnerable += v == verdict::vulnerable;
      if (v == verdict::vulnerable && std::getenv("POWER_CUT_DEBUG")) {
        for (const auto& [path, file] : s) std::cout << "  " << path << " " << file.id << (file.whole ? "" : " part") << "\n";
        std::cout << "\n";
      }
    }
    const std::string label = run.name + (weak ? " weak" : " ordered");
    std::cout << "power cut, " << label << ": " << cuts << " cuts, " << explored << " distinct states, " << vulnerable
              << " vulnerable, " << gaps << " in the known gap\n";
    RecordProperty(label + " states", explored);
    EXPECT_EQ(vulnerable, 0) << label;
    if (run.fallback) {
      EXPECT_GT(gaps, 0) << label << ": the gap was not seen, so the check saw too little";
    } else {
      EXPECT_EQ(gaps, 0) << label;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PowerCut,
    ::testing::Values(traced_run{"import", {"1", "import", "edited.txt"}, {}, false},
                      traced_run{"sync", {"1", "sync"}, {}, false},
                      traced_run{"restore", {"1", "restore", "20200101_000000"}, {}, false},
                      traced_run{"export", {"1", "export", "out.txt"}, {}, false},
                      traced_run{"import_without_hard_links", {"1", "import", "edited.txt"},
                                 {"link:error=EPERM"}, true}),
    [](const auto& info) { return info.param.name; });

}  // namespace

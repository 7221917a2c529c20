// Input generator for the rawgraft benchmarks (bench/*.sh). Built by the
// scripts with a plain compiler call; nothing here is part of the tool.
//
//   benchgen world <path> <identifiers> <rest-bytes> [<prefix>]
//       Writes a world.dat: header (version 1329, uncompressed, 138 filler
//       bytes, world name), an object-name block holding about <identifiers>
//       identifiers (4 creature_layer groups of identifiers/100 each, the
//       rest spread evenly over the 19 sections, every list at least 1), then
//       <rest-bytes> of pseudo-random bytes (written out, never sparse).
//       Identifiers are <prefix>_<SECTION>_<8 digits>_<0..15 letters>, the
//       same length mix at every size, so costs per identifier compare.
//
//   benchgen lists <path> <identifiers> <rest-bytes>
//       The same, in the shape of a world without creature_layer groups:
//       group count 0, and the identifiers spread evenly over the 19 lists
//       (1 000 000 gives lists of 52 631 and 52 632). Identifiers are shorter,
//       <first 4 letters of the SECTION>_<8 digits>_<0..7 letters>, 17.5
//       characters on average, so the dump of 1 000 000 is about 18.5 MB.
//
//   benchgen raws <folder> <creatures> [<files>]
//       Writes <files> raw object files of type CREATURE into <folder>
//       (created), <creatures> creatures spread evenly over them: each a
//       [CREATURE:...] line and eight lines of made-up tags, several of them
//       [CREATURE_...:...] tags that define nothing (about 400 bytes a
//       creature). All identifiers start with BENCH_, so a world made by
//       `benchgen world` (prefix WORLD) lists none of them. Prints the
//       number of files and of identifiers defined.
//
//   benchgen compress <plain-world> <compressed-world> [<level>]
//       Writes the compressed form of a plain world, as the tool writes it:
//       bytes 0-7 as they are but with the compression flag (bytes 4-7) set
//       to 1, then the rest cut into chunks that inflate to 20 000 bytes
//       (the last one less), each a u32 little-endian length and one zlib
//       stream at <level> (default 6, zlib's default). A rest of `world`'s
//       pseudo-random bytes barely compresses, so the file is about as large
//       as the plain one.
//
//   benchgen run <result-file> <stdout-file> <stderr-file> <command...>
//       Runs the command with its standard output and error sent to the two
//       files, waits for it with wait4, and writes one line to <result-file>:
//       wall seconds (from fork to the end of wait4), user CPU seconds,
//       system CPU seconds, peak resident set in KiB (getrusage's
//       ru_maxrss of the command). Exits with the command's status.
//
//   benchgen touch <MiB>
//       Allocates <MiB> MiB, writes every page, and exits. Run just before a
//       timed command: on a virtual machine that hands free guest pages back
//       to the host (free page reporting), a command's first use of such a
//       page costs a host fault, which made 1 GiB copies vary from 0.26 s to
//       2.5 s. Pages freed by this process a moment earlier are backed again,
//       so the timed command that follows finds them ready.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "../src/little_endian.h"

namespace {

const char* const sections[19] = {
    "inorganic", "plant",  "body",        "bodygloss",         "creature",
    "item",      "building", "entity",    "word",              "symbol",
    "translation", "color", "shape",      "color_pattern",     "reaction",
    "material_template", "tissue_template", "body_detail_plan", "creature_variation"};

[[noreturn]] void die(const char* what, const char* path) {
  std::fprintf(stderr, "benchgen: %s: %s: %s\n", what, path, std::strerror(errno));
  std::exit(2);
}

void put_u16(std::string& out, unsigned v) {
  char bytes[2];
  store_le16(bytes, static_cast<std::uint16_t>(v));
  out.append(bytes, 2);
}
void put_u32(std::string& out, std::uint32_t v) {
  char bytes[4];
  store_le32(bytes, v);
  out.append(bytes, 4);
}
void put_counted(std::string& out, const std::string& s) {
  put_u16(out, static_cast<unsigned>(s.size()));
  out += s;
}

std::string upper(std::string s) {
  for (char& c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

// <prefix>_<tag>_<8 digits>_<i % (max_extra + 1) letters>; no prefix when
// it is empty.
std::string identifier(const std::string& prefix, const std::string& tag, std::uint64_t i,
                       std::uint64_t max_extra = 15) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%08" PRIu64, i);
  std::string id = (prefix.empty() ? "" : prefix + "_") + tag + "_" + digits + "_";
  const std::size_t extra = i % (max_extra + 1);
  for (std::size_t k = 0; k < extra; ++k) id += static_cast<char>('A' + (i + k) % 26);
  return id;
}

struct out_file {
  std::FILE* f;
  const char* path;
  explicit out_file(const char* p) : f(std::fopen(p, "wb")), path(p) {
    if (f == nullptr) die("cannot create", p);
  }
  void write(const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, f) != size) die("cannot write", path);
  }
  void write(const std::string& s) { write(s.data(), s.size()); }
  ~out_file() {
    if (std::fclose(f) != 0) die("cannot close", path);
  }
};

// How `world` and `lists` differ.
struct world_shape {
  int groups;               // creature_layer groups, identifiers/100 each
  std::size_t tag_letters;  // letters of the section's name kept in an identifier
  std::uint64_t max_extra;  // letters after the digits: 0..max_extra
};
constexpr world_shape grouped{4, 99, 15};
constexpr world_shape flat{0, 4, 7};

int make_world(const char* path, std::uint64_t ids, std::uint64_t rest, const std::string& prefix,
               const world_shape& shape) {
  out_file out(path);
  std::string buf;
  put_u16(buf, 1329);
  put_u16(buf, 0);
  put_u32(buf, 0);
  for (int i = 0; i < 138; ++i) buf += static_cast<char>(i * 7 % 251);
  put_counted(buf, "Benchmark World of Many Names");

  const std::uint64_t per_group = std::max<std::uint64_t>(1, ids / 100);
  const int groups = shape.groups;
  const std::uint64_t in_groups = per_group * static_cast<std::uint64_t>(groups);
  const std::uint64_t left = ids > in_groups ? ids - in_groups : 0;
  put_u32(buf, groups);
  for (int g = 0; g < groups; ++g) {
    put_u32(buf, static_cast<std::uint32_t>(per_group));
    for (std::uint64_t i = 0; i < per_group; ++i) {
      put_counted(buf, identifier(prefix, "LAYER" + std::to_string(g), i, shape.max_extra));
    }
    if (buf.size() > (1u << 22)) {
      out.write(buf);
      buf.clear();
    }
  }
  for (int s = 0; s < 19; ++s) {
    std::uint64_t n = left / 19 + (static_cast<std::uint64_t>(s) < left % 19 ? 1 : 0);
    if (n == 0) n = 1;
    put_u32(buf, static_cast<std::uint32_t>(n));
    const std::string tag = upper(sections[s]).substr(0, shape.tag_letters);
    for (std::uint64_t i = 0; i < n; ++i) {
      put_counted(buf, identifier(prefix, tag, i, shape.max_extra));
      if (buf.size() > (1u << 22)) {
        out.write(buf);
        buf.clear();
      }
    }
  }
  out.write(buf);

  // The rest: xorshift bytes, 1 MiB at a time.
  std::vector<std::uint64_t> chunk(1 << 17);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  while (rest > 0) {
    for (auto& w : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(rest, chunk.size() * sizeof chunk[0]));
    out.write(chunk.data(), size);
    rest -= size;
  }
  return 0;
}

// ---- raw files ----

const char* const colours[] = {"AMBER", "ASH_GRAY", "BLACK", "BROWN", "CINNAMON", "COPPER",
                               "DARK_BLUE", "GOLD", "GREEN", "IVORY", "OCHRE", "TEAL"};
const char* const adjectives[] = {"small", "large", "furry", "scaly", "timid", "fierce",
                                  "nocturnal", "burrowing", "winged", "slimy"};

// One creature: its defining line and eight lines of made-up tags, several
// of which begin with "CREATURE_" as well, so that a search for the tag's
// name alone finds more lines than define anything. About 400 bytes.
void creature_entry(std::string& t, std::uint64_t i) {
  const std::string n = std::to_string(i);
  t += "[CREATURE:" + identifier("BENCH", "CREATURE", i) + "]\n";
  t += std::string("\t[BLURB:A ") + adjectives[i % 10] + " creature of the wilds.]\n";
  t += "\t[NAME:beast " + n + ":beasts " + n + ":beastly]\n";
  t += "\t[CREATURE_TILE:'b'][CREATURE_SOLDIER_TILE:'B']\n";
  t += "\t[CREATURE_CLASS:BENCH_BEAST][HUE:6:0:0]\n";
  t += "\t[SHAPE_PARTS:TORSO:NECK:TAIL:EYES:HEART]\n";
  t += "\t[PARTS_FROM:PLAIN_PARTS][WANDERS][RARITY:" + std::to_string(i % 100) + "]\n";
  t += "\t[MASS:0:0:" + std::to_string(1000 + i % 9000) + "][STRIKE:NIP:PART:BY_KIND:JAW]\n";
  t += std::string("\t[CREATURE_VARIANT_ADD:BENCH][COAT_HUE:") + colours[i % 12] + ":1]\n";
}

// <creatures> creatures spread evenly over <files> files of object type
// CREATURE, written whole. Prints the files written and the identifiers
// defined.
int make_raws(const char* folder, std::uint64_t creatures, std::uint64_t files) {
  if (mkdir(folder, 0777) != 0 && errno != EEXIST) die("cannot create folder", folder);
  if (files == 0) files = 1;
  std::uint64_t next = 0;
  for (std::uint64_t f = 0; f < files; ++f) {
    const std::uint64_t end = creatures * (f + 1) / files;
    char name[64];
    std::snprintf(name, sizeof name, "creature_bench_%04" PRIu64, f);
    const std::string path = std::string(folder) + "/" + name + ".txt";
    out_file out(path.c_str());
    std::string text = std::string(name) + "\n\n[OBJECT:CREATURE]\n\n";
    for (; next < end; ++next) {
      creature_entry(text, next);
      text += '\n';
      if (text.size() > (1u << 20)) {
        out.write(text);
        text.clear();
      }
    }
    out.write(text);
  }
  std::printf("%" PRIu64 " %" PRIu64 "\n", files, creatures);
  return 0;
}

int compress_world(const char* in_path, const char* out_path, int level) {
  std::FILE* in = std::fopen(in_path, "rb");
  if (in == nullptr) die("cannot open", in_path);
  out_file out(out_path);
  unsigned char header[8];
  if (std::fread(header, 1, sizeof header, in) != sizeof header) die("cannot read", in_path);
  header[4] = 1;
  header[5] = header[6] = header[7] = 0;
  out.write(header, sizeof header);
  constexpr std::size_t chunk = 20000;
  std::vector<unsigned char> plain(chunk), stored(4 + compressBound(chunk));
  std::string buf;
  for (;;) {
    const std::size_t got = std::fread(plain.data(), 1, chunk, in);
    if (got == 0) break;
    uLongf size = compressBound(chunk);
    if (compress2(stored.data() + 4, &size, plain.data(), got, level) != Z_OK) {
      std::fprintf(stderr, "benchgen: compress2 failed\n");
      std::exit(2);
    }
    store_le32(stored.data(), static_cast<std::uint32_t>(size));
    buf.append(reinterpret_cast<const char*>(stored.data()), 4 + size);
    if (buf.size() > (1u << 22)) {
      out.write(buf);
      buf.clear();
    }
  }
  if (std::ferror(in)) die("cannot read", in_path);
  out.write(buf);
  std::fclose(in);
  return 0;
}

std::uint64_t number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') {
    std::fprintf(stderr, "benchgen: not a number: %s\n", text);
    std::exit(2);
  }
  return v;
}

int run_command(const char* result_path, const char* out_path, const char* err_path,
                char** argv) {
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0) die("cannot open", out_path);
  const int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (err < 0) die("cannot open", err_path);
  std::FILE* result = std::fopen(result_path, "w");
  if (result == nullptr) die("cannot open", result_path);
  timespec t0{}, t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  const pid_t pid = fork();
  if (pid < 0) die("cannot fork for", argv[0]);
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    execvp(argv[0], argv);
    std::fprintf(stderr, "benchgen: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("cannot wait for", argv[0]);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  std::fprintf(result, "%.6f %.6f %.6f %ld\n",
               static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9,
               seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss);
  std::fclose(result);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int touch_memory(std::uint64_t mib) {
  const std::size_t size = static_cast<std::size_t>(mib) << 20;
  char* p = static_cast<char*>(std::malloc(size));
  if (p == nullptr) {
    std::fprintf(stderr, "benchgen: cannot allocate %" PRIu64 " MiB\n", mib);
    return 2;
  }
  volatile char* pages = p;  // volatile: the writes must happen
  for (std::size_t i = 0; i < size; i += 4096) pages[i] = static_cast<char>(i >> 12);
  std::free(p);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "world") == 0) {
    return make_world(argv[2], number(argv[3]), number(argv[4]), argc >= 6 ? argv[5] : "WORLD",
                      grouped);
  }
  if (argc == 5 && std::strcmp(argv[1], "lists") == 0) {
    return make_world(argv[2], number(argv[3]), number(argv[4]), "", flat);
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "raws") == 0) {
    return make_raws(argv[2], number(argv[3]), argc == 5 ? number(argv[4]) : 50);
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "compress") == 0) {
    return compress_world(argv[2], argv[3], argc == 5 ? static_cast<int>(number(argv[4])) : 6);
  }
  if (argc == 3 && std::strcmp(argv[1], "touch") == 0) return touch_memory(number(argv[2]));
  if (argc >= 6 && std::strcmp(argv[1], "run") == 0) {
    return run_command(argv[2], argv[3], argv[4], argv + 5);
  }
  std::fprintf(stderr,
               "usage: benchgen world <path> <identifiers> <rest-bytes> [<prefix>]\n"
               "       benchgen lists <path> <identifiers> <rest-bytes>\n"
               "       benchgen raws <folder> <creatures> [<files>]\n"
               "       benchgen compress <plain-world> <compressed-world> [<level>]\n"
               "       benchgen touch <MiB>\n"
               "       benchgen run <result-file> <stdout-file> <stderr-file> <command...>\n");
  return 2;
}

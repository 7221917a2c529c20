#include "compressed_world.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "little_endian.h"

namespace {
constexpr std::size_t header_size = 8;  // version and compression flag, never deflated
// Stored bytes go to inflate in pieces of this, so that a chunk of any
// length costs no more memory than a small one.
constexpr std::size_t input_piece = 64 * 1024;
// The window holds one chunk's inflated bytes: first what the game's own
// chunks need, then, from the first larger chunk on, one byte more than a
// chunk may hold, to tell a full chunk from one that inflates too far.
constexpr std::size_t first_window = 64 * 1024;
constexpr std::size_t largest_window = chunk_read_limit + 1;

class compressed_source final : public world_source {
 public:
  explicit compressed_source(std::FILE* file)
      : file_(file),
        window_(new std::uint8_t[first_window]),
        input_(new std::uint8_t[input_piece]),
        file_size_(platform::file_size(file)) {}
  ~compressed_source() override { close(); }

  void close() override {
    if (inflating_) inflateEnd(&stream_);
    inflating_ = false;
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

  read_status rewind() override {
    errno = 0;
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
      failure_ = platform::error_text(errno);
      return read_status::failed;
    }
    std::clearerr(file_);
    restart_at(0);
    file_offset_ = 0;
    header_read_ = false;
    stuck_ = damaged_ = false;
    file_size_ = platform::file_size(file_);
    return read_status::ok;
  }

  bool compressed() const override { return true; }

  std::unique_ptr<world_sink> make_sink(std::FILE* file) const override {
    return compressed_world_sink(file);
  }

  copy_result copy_rest(world_sink& sink, platform::file_copier& copier,
                        void (*piece_done)()) override {
    if (stuck_) return copy_result::read_failed;
    // The rest of the chunk in hand is deflated anew with the new block;
    // every chunk after it is copied as it is stored, never inflated, so a
    // rewrite costs about a copy of the file.
    if (next_ != end_ && !sink.write(next_, static_cast<std::size_t>(end_ - next_))) {
      return copy_result::write_failed;
    }
    next_ = end_;
    if (!sink.finish_aligned(file_offset_)) return copy_result::write_failed;
    // Chunks are read whole, so the stream stands at the next chunk.
    const std::int64_t start = file_offset_;
    std::int64_t copied = 0;
    const copy_result result = copy_file_rest(file_, start, sink, copier, piece_done, copied);
    file_offset_ = start + copied;
    return result;
  }

  const chunk_damage* damage() const { return damaged_ ? &damage_ : nullptr; }

 protected:
  read_status refill() override {
    if (stuck_) return read_status::failed;
    if (!header_read_) return read_header();
    // A chunk may inflate to nothing; the window wants bytes.
    for (;;) {
      const read_status status = read_chunk();
      if (status != read_status::ok || end_ != next_) return status;
    }
  }

 private:
  read_status read_header() {
    errno = 0;
    const std::size_t got = std::fread(window_.get(), 1, header_size, file_);
    if (got < header_size && std::ferror(file_)) return read_failed(errno);
    header_read_ = true;
    file_offset_ += static_cast<std::int64_t>(got);
    if (got == 0) return read_status::end;
    next_ = window_.get();
    end_ = next_ + got;
    end_offset_ += static_cast<std::int64_t>(got);
    return read_status::ok;
  }

  // Reads the next chunk whole into the window, checking it on the way.
  read_status read_chunk() {
    const std::int64_t at = file_offset_;
    std::uint32_t length = 0;
    read_status status = read_length(at, length);
    if (status != read_status::ok) return status;
    if (!restart_inflating()) return read_failed(ENOMEM);
    status = inflate_chunk(at, length);
    if (status != read_status::ok) return status;
    const std::size_t size = window_size_ - stream_.avail_out;
    next_ = window_.get();
    end_ = next_ + size;
    end_offset_ += static_cast<std::int64_t>(size);
    return read_status::ok;
  }

  // Reads the length field of the chunk at file offset `at`; `end` when the
  // file ends before it.
  read_status read_length(std::int64_t at, std::uint32_t& length) {
    std::uint8_t field[4];
    errno = 0;
    const std::size_t got = std::fread(field, 1, sizeof field, file_);
    file_offset_ += static_cast<std::int64_t>(got);
    if (got < sizeof field) {
      if (std::ferror(file_)) return read_failed(errno);
      if (got == 0) return read_status::end;
      return damaged(at, "the file ends inside a chunk's length");
    }
    length = load_le32(field);
    if (length == 0) return damaged(at, "chunk length is 0");
    // Told before anything is inflated, so that a cut-off file always gets
    // this reason, whatever the bytes before the cut hold.
    if (file_size_ >= 0 && length > file_size_ - file_offset_) {
      return damaged(at, "chunk runs past the end of the file");
    }
    return read_status::ok;
  }

  // Starts a new zlib stream into the empty window; false when zlib has no
  // memory for it.
  bool restart_inflating() {
    if (!inflating_) {
      stream_ = z_stream{};
      if (inflateInit(&stream_) != Z_OK) return false;
      inflating_ = true;
    } else if (inflateReset(&stream_) != Z_OK) {
      return false;
    }
    // Input left from a damaged chunk before a rewind is not this chunk's.
    stream_.avail_in = 0;
    stream_.next_out = window_.get();
    stream_.avail_out = static_cast<uInt>(window_size_);
    return true;
  }

  // Inflates the chunk at `at`, whose `length` stored bytes follow, into the
  // window, widening it when the chunk needs more.
  read_status inflate_chunk(std::int64_t at, std::uint32_t length) {
    std::uint32_t unread = length;  // stored bytes not yet read from the file
    for (;;) {
      if (stream_.avail_in == 0 && unread > 0) {
        const read_status status = read_input(at, unread);
        if (status != read_status::ok) return status;
      }
      const int status = inflate(&stream_, Z_NO_FLUSH);
      const std::size_t inflated = window_size_ - stream_.avail_out;
      if (inflated > chunk_read_limit) {
        return damaged(at, "chunk inflates to more than 1000000 bytes");
      }
      if (status == Z_STREAM_END) break;
      if (stream_.avail_out == 0) {
        widen_window(inflated);
        continue;
      }
      if (status == Z_OK) continue;
      if (status == Z_MEM_ERROR) return read_failed(ENOMEM);
      if (status == Z_NEED_DICT) {
        return damaged(at, "chunk's zlib stream needs a preset dictionary");
      }
      if (status == Z_BUF_ERROR && stream_.avail_in == 0 && unread == 0) {
        return damaged(at, "chunk's zlib stream is cut short");
      }
      return damaged(at, stream_.msg != nullptr ? stream_.msg : "chunk does not inflate");
    }
    if (stream_.avail_in != 0 || unread != 0) {
      return damaged(at, "bytes left over after the chunk's zlib stream");
    }
    return read_status::ok;
  }

  // Gives inflate the next piece of the chunk's `unread` stored bytes.
  read_status read_input(std::int64_t at, std::uint32_t& unread) {
    const std::size_t want = std::min<std::size_t>(unread, input_piece);
    errno = 0;
    const std::size_t piece = std::fread(input_.get(), 1, want, file_);
    file_offset_ += static_cast<std::int64_t>(piece);
    unread -= static_cast<std::uint32_t>(piece);
    if (piece < want) {
      if (std::ferror(file_)) return read_failed(errno);
      return damaged(at, "chunk runs past the end of the file");
    }
    stream_.next_in = input_.get();
    stream_.avail_in = static_cast<uInt>(piece);
    return read_status::ok;
  }

  void widen_window(std::size_t inflated) {
    std::unique_ptr<std::uint8_t[]> wide(new std::uint8_t[largest_window]);
    std::memcpy(wide.get(), window_.get(), inflated);
    window_ = std::move(wide);
    window_size_ = largest_window;
    stream_.next_out = window_.get() + inflated;
    stream_.avail_out = static_cast<uInt>(largest_window - inflated);
  }

  // A failure is final: the stream may no longer stand at a chunk's start,
  // so every later read fails alike, until a rewind.
  read_status read_failed(int error_number) {
    stuck_ = true;
    failure_ = platform::error_text(error_number);
    return read_status::failed;
  }

  read_status damaged(std::int64_t offset, const char* reason) {
    stuck_ = damaged_ = true;
    damage_ = {offset, reason};
    failure_ = reason;
    return read_status::failed;
  }

  std::FILE* file_;
  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t window_size_ = first_window;
  std::unique_ptr<std::uint8_t[]> input_;
  std::int64_t file_size_;        // -1 when the system cannot tell
  std::int64_t file_offset_ = 0;  // of the next byte the stream gives
  bool header_read_ = false;
  z_stream stream_{};
  bool inflating_ = false;
  bool stuck_ = false;    // a read failed
  bool damaged_ = false;  // ...because of damage_
  chunk_damage damage_;
};

// A deflate stream made to measure: `fixed` empty blocks with fixed codes
// (10 bits each), then, when `separated`, an empty stored block and `more`
// such fixed blocks, then the data in one final stored block.
struct padding_plan {
  int fixed = 0;
  bool separated = false;
  int more = 0;
};

std::size_t round_to_byte(std::size_t bits) { return (bits + 7) / 8 * 8; }

// The size of the zlib stream `plan` makes of `size` bytes.
std::size_t padded_size(const padding_plan& plan, std::size_t size) {
  std::size_t bits = 10 * static_cast<std::size_t>(plan.fixed);
  if (plan.separated) bits = round_to_byte(bits + 3) + 32 + 10 * static_cast<std::size_t>(plan.more);
  bits = round_to_byte(bits + 3) + 32 + 8 * size;
  return 2 + bits / 8 + 4;
}

}  // namespace

std::string padded_stream(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  constexpr int most_fixed = 8192;
  std::optional<padding_plan> found;
  for (int more = -1; more <= 8 && !found; ++more) {
    padding_plan plan{0, more >= 0, std::max(more, 0)};
    for (; plan.fixed <= most_fixed && padded_size(plan, size) < wanted; ++plan.fixed) {
    }
    if (padded_size(plan, size) == wanted) found = plan;
  }
  if (!found) return {};
  // zlib writes it: the header alone first (a block flush with no data),
  // the empty fixed blocks primed in as bits, the empty stored block as a
  // sync flush, and at level 0 the data as one final stored block and the
  // check value.
  z_stream z{};
  if (deflateInit(&z, Z_NO_COMPRESSION) != Z_OK) return {};
  std::string stream(wanted, '\0');
  z.next_out = reinterpret_cast<Bytef*>(stream.data());
  z.avail_out = static_cast<uInt>(wanted);
  bool made = deflate(&z, Z_BLOCK) == Z_OK;
  const auto empty_fixed_blocks = [&](int count) {
    // Not final, fixed codes, end of block: 10 bits, least significant first.
    for (int i = 0; i < count && made; ++i) made = deflatePrime(&z, 10, 0x2) == Z_OK;
  };
  empty_fixed_blocks(found->fixed);
  if (found->separated) {
    made = made && deflate(&z, Z_SYNC_FLUSH) == Z_OK;
    empty_fixed_blocks(found->more);
  }
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  made = made && deflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_out == 0;
  deflateEnd(&z);
  if (!made) stream.clear();
  return stream;
}

namespace {
class compressed_sink final : public world_sink {
 public:
  explicit compressed_sink(std::FILE* file)
      : world_sink(file),
        pending_(new std::uint8_t[chunk_write_limit]),
        deflated_(new std::uint8_t[4 + compressBound(chunk_write_limit)]) {}

  bool write(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (header_left_ > 0 && size > 0) {
      const std::size_t take = std::min(size, header_left_);
      if (!put(bytes, take)) return false;
      header_left_ -= take;
      bytes += take;
      size -= take;
    }
    // A full chunk is written once more bytes come: the last one then is
    // still held when the sink finishes, for finish_aligned() to store.
    while (size > 0) {
      if (pending_size_ == chunk_write_limit && !write_chunk(pending_size_)) return false;
      const std::size_t take = std::min(size, chunk_write_limit - pending_size_);
      std::memcpy(pending_.get() + pending_size_, bytes, take);
      pending_size_ += take;
      bytes += take;
      size -= take;
    }
    return true;
  }

  bool finish() override {
    if (pending_size_ > 0 && !write_chunk(pending_size_)) return false;
    return flush();
  }

  // What is held back is deflated as always, but for its last byte: that
  // goes in a chunk of its own, stored, with empty deflate blocks that give
  // the chunk the length the alignment wants (at most a page more than the
  // byte needs). The chunk is checked by inflating it before it is written;
  // should that ever fail, the byte goes out deflated and only the
  // alignment is lost.
  bool finish_aligned(std::int64_t offset) override {
    if (pending_size_ == 0) return flush();
    const std::size_t last = std::min(pending_size_, aligned_chunk_data);
    if (pending_size_ > last) {
      if (!write_chunk(pending_size_ - last)) return false;
      std::memmove(pending_.get(), pending_.get() + (pending_size_ - last), last);
      pending_size_ = last;
    }
    const std::int64_t stream_at = written_ + 4;
    const std::size_t least = last + 11;  // the data in one stored block
    const auto short_by = static_cast<std::size_t>(
        ((offset - stream_at - static_cast<std::int64_t>(least)) % 4096 + 4096) % 4096);
    std::string stream = padded_stream(pending_.get(), last, least + short_by);
    if (stream.empty()) stream = padded_stream(pending_.get(), last, least + short_by + 4096);
    if (stream.empty() || !inflates_to(stream, pending_.get(), last)) return finish();
    std::uint8_t field[4];
    store_le32(field, static_cast<std::uint32_t>(stream.size()));
    pending_size_ = 0;
    return put(field, 4) &&
           put(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()) && flush();
  }

 private:
  static constexpr std::size_t aligned_chunk_data = 1;

  static bool inflates_to(const std::string& stream, const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> inflated(new std::uint8_t[size + 1]);
    uLongf got = size + 1;
    return uncompress(inflated.get(), &got, reinterpret_cast<const Bytef*>(stream.data()),
                      stream.size()) == Z_OK &&
           got == size && std::memcmp(inflated.get(), data, size) == 0;
  }

  // One whole zlib stream per chunk, as compress2 makes it, of the first
  // `size` bytes held.
  bool write_chunk(std::size_t size) {
    uLongf stored = compressBound(chunk_write_limit);
    if (compress2(deflated_.get() + 4, &stored, pending_.get(), size, Z_DEFAULT_COMPRESSION) !=
        Z_OK) {
      failure_ = platform::error_text(ENOMEM);  // the only way it fails with room enough
      return false;
    }
    store_le32(deflated_.get(), static_cast<std::uint32_t>(stored));
    if (size == pending_size_) pending_size_ = 0;
    return put(deflated_.get(), 4 + stored);
  }

  bool put(const std::uint8_t* bytes, std::size_t size) {
    errno = 0;
    if (std::fwrite(bytes, 1, size, file_) != size) {
      failure_ = platform::error_text(errno);
      return false;
    }
    written_ += static_cast<std::int64_t>(size);
    return true;
  }

  bool flush() {
    errno = 0;
    if (std::fflush(file_) != 0) {
      failure_ = platform::error_text(errno);
      return false;
    }
    return true;
  }

  std::int64_t written_ = 0;  // the file's length: the sink writes it from its start

  std::size_t header_left_ = header_size;
  std::unique_ptr<std::uint8_t[]> pending_;
  std::size_t pending_size_ = 0;
  std::unique_ptr<std::uint8_t[]> deflated_;
};
}  // namespace

std::unique_ptr<world_source> compressed_world_source(std::FILE* stream) {
  return std::make_unique<compressed_source>(stream);
}

std::unique_ptr<world_sink> compressed_world_sink(std::FILE* file) {
  return std::make_unique<compressed_sink>(file);
}

const chunk_damage* damage_of(const world_source& source) {
  const auto* compressed = dynamic_cast<const compressed_source*>(&source);
  return compressed != nullptr ? compressed->damage() : nullptr;
}

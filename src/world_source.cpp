#include "world_source.h"

#include <algorithm>
#include <cerrno>

namespace {
// The rest of a world is copied, and its progress shown, in pieces of this.
constexpr std::int64_t copy_piece = 16 * 1024 * 1024;

class plain_source final : public world_source {
 public:
  plain_source(std::FILE* file, std::size_t window_size)
      : file_(file), window_(new std::uint8_t[window_size]), window_size_(window_size) {}
  ~plain_source() override { close(); }

  void close() override {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    restart_at(position());
  }

  read_status rewind() override {
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
      failure_ = platform::error_text(errno);
      return read_status::failed;
    }
    restart_at(0);
    return read_status::ok;
  }

  // Within the window the bytes are at hand; before it, the file is
  // sought, not read again from its start.
  read_status seek(std::int64_t offset) override {
    const std::int64_t window_start = end_offset_ - (end_ - window_.get());
    if (next_ != nullptr && offset >= window_start && offset <= end_offset_) {
      next_ = window_.get() + (offset - window_start);
      return read_status::ok;
    }
    if (fseek_to(offset) != 0) {
      failure_ = platform::error_text(errno);
      return read_status::failed;
    }
    restart_at(offset);
    return read_status::ok;
  }

  std::unique_ptr<world_sink> make_sink(std::FILE* file) const override {
    return plain_world_sink(file);
  }

  copy_result copy_rest(world_sink& sink, platform::file_copier& copier,
                        void (*piece_done)()) override {
    // The rest is copied file to file from the first byte not yet read, so
    // the kernel can move it without passing it through this process.
    const std::int64_t start = position();
    if (!sink.finish()) return copy_result::write_failed;
    if (fseek_to(start) != 0) {
      failure_ = platform::error_text(errno);
      return copy_result::read_failed;
    }
    std::int64_t copied = 0;
    const copy_result result = copy_file_rest(file_, start, sink, copier, piece_done, copied);
    restart_at(start + copied);
    if (result != copy_result::done) return result;
    return copy_result::done;
  }

 protected:
  read_status refill() override {
    errno = 0;
    const std::size_t got = std::fread(window_.get(), 1, window_size_, file_);
    if (got == 0) {
      if (!std::ferror(file_)) return read_status::end;
      failure_ = platform::error_text(errno);
      return read_status::failed;
    }
    next_ = window_.get();
    end_ = next_ + got;
    end_offset_ += static_cast<std::int64_t>(got);
    return read_status::ok;
  }

 private:
  int fseek_to(std::int64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file_, offset, SEEK_SET);
#else
    return fseeko(file_, static_cast<off_t>(offset), SEEK_SET);
#endif
  }

  std::FILE* file_;
  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t window_size_;
};

class plain_sink final : public world_sink {
 public:
  explicit plain_sink(std::FILE* file) : world_sink(file) {}
  bool write(const void* data, std::size_t size) override {
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
      failure_ = platform::error_text(errno);
      return false;
    }
    return true;
  }
  bool finish() override {
    errno = 0;
    if (std::fflush(file_) != 0) {
      failure_ = platform::error_text(errno);
      return false;
    }
    return true;
  }
};
}  // namespace

world_source::copy_result world_source::copy_file_rest(std::FILE* file, std::int64_t start,
                                                       world_sink& sink,
                                                       platform::file_copier& copier,
                                                       void (*piece_done)(), std::int64_t& copied) {
  const std::int64_t size = platform::file_size(file);
  copied = 0;
  for (;;) {
    const platform::file_copier::piece piece = copier.copy(file, sink.file(), copy_piece);
    if (piece.result == platform::file_copier::piece::read_failed) {
      failure_ = platform::error_text(piece.error);
      return copy_result::read_failed;
    }
    if (piece.result == platform::file_copier::piece::write_failed) {
      sink.set_failure(platform::error_text(piece.error));
      return copy_result::write_failed;
    }
    if (piece.bytes == 0) break;
    copied += piece.bytes;
    platform::start_writeback(sink.file());
    piece_done();
  }
  // A world that shrank or grew while it was copied gives a new world
  // that is neither the old nor a whole one.
  if (size >= 0 && copied != size - start) {
    failure_ = "the world file changed size while it was copied";
    return copy_result::read_failed;
  }
  return copy_result::done;
}

// Consumes `size` bytes window by window, handing each piece to `piece`,
// which returns false to stop before that piece is consumed.
template <typename Piece>
read_status world_source::consume(std::uint64_t size, Piece&& piece) {
  for (;;) {
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, static_cast<std::uint64_t>(end_ - next_)));
    if (take != 0 && !piece(next_, take)) return read_status::ok;
    next_ += take;
    size -= take;
    if (size == 0) return read_status::ok;
    const read_status status = refill();
    if (status != read_status::ok) return status;
  }
}

read_status world_source::read_slow(std::uint8_t* into, std::size_t size) {
  return consume(size, [&into](const std::uint8_t* bytes, std::size_t n) {
    std::memcpy(into, bytes, n);
    into += n;
    return true;
  });
}

read_status world_source::skip(std::uint64_t size) {
  return consume(size, [](const std::uint8_t*, std::size_t) { return true; });
}

read_status world_source::skip_counted_string_slow(std::uint16_t& length) {
  std::uint8_t length_bytes[2] = {0, 0};
  length = 0;
  const read_status status = read(length_bytes, 2);
  if (status != read_status::ok) return status;
  const std::uint16_t size = load_le16(length_bytes);
  const read_status text_status = skip(size);
  if (text_status == read_status::ok) length = size;
  return text_status;
}

read_status world_source::read_counted_string_slow(char* into, std::size_t& length) {
  std::uint8_t length_bytes[2] = {0, 0};
  const read_status status = read(length_bytes, 2);
  length = load_le16(length_bytes);
  if (status != read_status::ok || length == 0) return status;
  return read(into, length);
}

read_status world_source::read_comparing(const void* data, std::size_t size, bool& same) {
  const auto* expected = static_cast<const std::uint8_t*>(data);
  return consume(size, [&](const std::uint8_t* bytes, std::size_t n) {
    same = std::memcmp(bytes, expected, n) == 0;
    expected += n;
    return same;
  });
}

std::unique_ptr<world_source> plain_world_source(std::FILE* stream, std::size_t window) {
  return std::make_unique<plain_source>(stream, window);
}

std::unique_ptr<world_sink> plain_world_sink(std::FILE* file) {
  return std::make_unique<plain_sink>(file);
}

std::unique_ptr<world_source> open_world_source(const char* path, std::string& reason,
                                                bool* not_regular) {
  std::FILE* file = platform::open_for_reading(path, not_regular);
  if (file == nullptr) {
    reason = platform::last_failure();
    return nullptr;
  }
  // Bytes 4-7 are the compression flag. A short or unreadable start is left
  // to the plain source, whose reads then fail as they should.
  std::uint8_t start[8];
  const bool compressed = std::fread(start, 1, sizeof start, file) == sizeof start &&
                          (start[4] | start[5] | start[6] | start[7]) != 0;
  errno = 0;
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    reason = platform::error_text(errno);
    std::fclose(file);
    return nullptr;
  }
  std::clearerr(file);
  return compressed ? compressed_world_source(file) : plain_world_source(file);
}

namespace {
class null_sink final : public world_sink {
 public:
  null_sink() : world_sink(nullptr) {}
  bool write(const void*, std::size_t) override { return true; }
  bool finish() override { return true; }
};
}  // namespace

std::unique_ptr<world_sink> null_world_sink() { return std::make_unique<null_sink>(); }

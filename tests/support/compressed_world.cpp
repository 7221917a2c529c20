#include "support/compressed_world.hpp"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "support/bytes.hpp"

namespace testsupport {

std::string zlib_stream(std::string_view bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string stream(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(stream.data()), &size,
                reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  stream.resize(size);
  return stream;
}

std::string framed(std::string_view stored) {
  std::string chunk;
  put_u32(chunk, static_cast<std::uint32_t>(stored.size()));
  return chunk.append(stored);
}

std::string compress_world(std::string_view logical, const std::vector<std::size_t>& sizes) {
  if (sizes.empty() || std::find(sizes.begin(), sizes.end(), 0u) != sizes.end()) {
    throw std::invalid_argument("chunk sizes must be given and positive");
  }
  std::string file(logical.substr(0, 8));
  std::size_t next = 0;
  for (std::size_t at = std::min<std::size_t>(8, logical.size()); at < logical.size();) {
    const std::size_t size =
        std::min(sizes[std::min(next++, sizes.size() - 1)], logical.size() - at);
    file += framed(zlib_stream(logical.substr(at, size)));
    at += size;
  }
  return file;
}

inflated_world inflate_world(std::string_view file) {
  inflated_world world{std::string(file.substr(0, 8)), {}};
  for (std::size_t at = world.logical.size(); at < file.size();) {
    const auto damaged = [at](const std::string& why) {
      return std::runtime_error("chunk at byte " + std::to_string(at) + ": " + why);
    };
    if (file.size() - at < 4) throw damaged("the file ends inside its length");
    const std::size_t stored = get_u32(file, at);
    if (stored == 0 || stored > file.size() - at - 4) throw damaged("bad length");
    std::string bytes(1000000, '\0');
    uLongf size = static_cast<uLongf>(bytes.size());
    uLong used = static_cast<uLong>(stored);
    const int status = uncompress2(reinterpret_cast<Bytef*>(bytes.data()), &size,
                                   reinterpret_cast<const Bytef*>(file.data() + at + 4), &used);
    if (status != Z_OK) throw damaged("zlib status " + std::to_string(status));
    if (used != stored) throw damaged("bytes left over");
    world.logical.append(bytes, 0, size);
    world.chunks.push_back({at, stored, size});
    at += 4 + stored;
  }
  return world;
}

}  // namespace testsupport

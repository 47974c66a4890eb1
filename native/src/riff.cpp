#include "tavol/riff.hpp"

#include <cstring>

namespace tavol {
namespace {

std::uint32_t le32(const unsigned char *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

unsigned le16(const unsigned char *p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }

bool is(const RiffChunk &chunk, const char (&id)[5]) { return std::memcmp(chunk.id, id, 4) == 0; }

} // namespace

bool walk_wave_chunks(std::uint64_t size, const ReadAt &read_at,
                      const std::function<bool(const RiffChunk &)> &visit) {
  unsigned char head[12];
  if (size < sizeof head || !read_at(0, head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0)
    return false;
  unsigned char header[8];
  for (std::uint64_t pos = 12; pos + 8 <= size && read_at(pos, header, sizeof header);) {
    RiffChunk chunk{};
    std::memcpy(chunk.id, header, 4);
    chunk.size = le32(header + 4);
    chunk.body = pos + 8;
    if (!visit(chunk))
      break;
    pos = chunk.body + chunk.size + (chunk.size & 1u);
  }
  return true;
}

std::optional<PlainWav> plain_wav(std::uint64_t size, const ReadAt &read_at) {
  std::optional<PlainWav> fmt;
  std::optional<PlainWav> found;
  bool refused = false;
  std::uint64_t block = 0;
  walk_wave_chunks(size, read_at, [&](const RiffChunk &chunk) {
    if (is(chunk, "fmt ")) {
      unsigned char f[16];
      if (fmt || chunk.size < 16 || !read_at(chunk.body, f, sizeof f)) {
        refused = true;
        return false;
      }
      const unsigned tag = le16(f), channels = le16(f + 2), align = le16(f + 12),
                     bits = le16(f + 14);
      const std::uint32_t rate = le32(f + 4);
      const bool pcm = tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
      const bool ieee = tag == 3 && (bits == 32 || bits == 64);
      if (!(pcm || ieee) || channels < 1 || channels > 1024 || rate < 1 || rate > 0x7fffffffu ||
          align != channels * bits / 8) {
        refused = true;
        return false;
      }
      fmt = PlainWav{0, static_cast<int>(channels), static_cast<int>(rate), 0, pcm && bits == 16};
      block = align;
      return true;
    }
    if (is(chunk, "data")) {
      const std::uint32_t len = chunk.size;
      if (fmt && len != 0 && len != 0xFFFFFFFFu && len % block == 0 && chunk.body + len <= size) {
        found = fmt;
        found->frames = static_cast<std::size_t>(len / block);
        found->data_offset = chunk.body;
      }
      return false;
    }
    return true;
  });
  if (refused)
    return std::nullopt;
  return found;
}

bool wav_data_truncated(std::uint64_t size, const ReadAt &read_at) {
  bool truncated = false;
  walk_wave_chunks(size, read_at, [&](const RiffChunk &chunk) {
    if (!is(chunk, "data"))
      return true;
    truncated = chunk.size != 0 && chunk.size != 0xFFFFFFFFu && chunk.size > size - chunk.body;
    return false;
  });
  return truncated;
}

ReadAt read_from_memory(const unsigned char *data, std::size_t n) {
  return [data, n](std::uint64_t offset, unsigned char *out, std::size_t count) {
    if (offset > n || count > n - offset)
      return false;
    std::memcpy(out, data + offset, count);
    return true;
  };
}

} // namespace tavol

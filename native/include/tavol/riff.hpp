// RIFF/WAVE headers: one walk over the chunks, for every reader of WAV files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace tavol {

// Reads `n` bytes at `offset` into `out`; false when they are not all there.
using ReadAt = std::function<bool(std::uint64_t offset, unsigned char *out, std::size_t n)>;

struct RiffChunk {
  char id[4];
  std::uint32_t size; // as declared: it may claim more than the file holds
  std::uint64_t body; // where the chunk's contents start
};

// Calls `visit` for each chunk of a RIFF/WAVE image of `size` bytes, in file
// order, until it returns false or no whole chunk header is left to read.
// False when the image is not RIFF/WAVE at all.
bool walk_wave_chunks(std::uint64_t size, const ReadAt &read_at,
                      const std::function<bool(const RiffChunk &)> &visit);

// A plain RIFF/WAVE file: integer PCM or IEEE float, its data chunk whole.
struct PlainWav {
  std::size_t frames = 0;
  int channels = 0;
  int rate = 0;
  std::uint64_t data_offset = 0; // where the samples start
  bool pcm16 = false;            // 16-bit integer samples
};

// The layout of a plain WAV file of `size` bytes, read through `read_at`.
// Anything out of the ordinary (other containers, WAVE_FORMAT_EXTENSIBLE,
// streaming placeholders, a short or ragged data chunk, a header past what
// `read_at` gives) is nullopt, for libsndfile to decide.
std::optional<PlainWav> plain_wav(std::uint64_t size, const ReadAt &read_at);

// True when the data chunk of a RIFF/WAVE image claims more bytes than the
// image holds. libsndfile silently shortens such a file; we refuse it, since
// the missing tail usually means an interrupted copy or write. The size
// placeholders of streaming writers (0 and 0xFFFFFFFF) claim nothing.
bool wav_data_truncated(std::uint64_t size, const ReadAt &read_at);

// A ReadAt over `n` bytes in memory.
ReadAt read_from_memory(const unsigned char *data, std::size_t n);

} // namespace tavol

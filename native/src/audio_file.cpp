// Decoding with libsndfile, plus the checks that catch truncated WAV files.
#include "tavol/audio_file.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/resample.hpp"
#include "tavol/scratch.hpp"

namespace tavol {
namespace {

std::uint32_t le32(const unsigned char *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// For a RIFF/WAVE image of `size` bytes, true when its data chunk claims more
// bytes than the file holds. libsndfile silently shortens such a file; we
// refuse it instead, since the missing tail usually means an interrupted copy
// or write. `read_at(offset, buffer, n)` reads n bytes or returns false.
template <class ReadAt> bool wav_data_truncated(std::uint64_t size, ReadAt &&read_at) {
  unsigned char head[12];
  if (!read_at(0, head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0)
    return false;
  std::uint64_t pos = 12;
  unsigned char chunk[8];
  while (pos + 8 <= size && read_at(pos, chunk, sizeof chunk)) {
    const std::uint32_t len = le32(chunk + 4);
    pos += 8;
    if (std::memcmp(chunk, "data", 4) == 0)
      // 0 and 0xFFFFFFFF are the placeholders of streaming writers: not a claim.
      return len != 0 && len != 0xFFFFFFFFu && len > size - pos;
    pos += len + (len & 1u);
  }
  return false;
}

// A file read whole into memory, decoded by libsndfile through virtual I/O:
// one read() instead of the dozens libsndfile makes through its small buffer.
struct MemoryFile {
  const unsigned char *data = nullptr;
  sf_count_t size = 0;
  sf_count_t pos = 0;
};

sf_count_t memory_length(void *user) { return static_cast<MemoryFile *>(user)->size; }

sf_count_t memory_seek(sf_count_t offset, int whence, void *user) {
  auto *m = static_cast<MemoryFile *>(user);
  const sf_count_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->size : 0;
  const sf_count_t target = base + offset;
  if (target < 0)
    return -1;
  m->pos = target;
  return m->pos;
}

sf_count_t memory_read(void *out, sf_count_t count, void *user) {
  auto *m = static_cast<MemoryFile *>(user);
  const sf_count_t n = std::max<sf_count_t>(0, std::min(count, m->size - m->pos));
  if (n > 0)
    std::memcpy(out, m->data + m->pos, static_cast<std::size_t>(n));
  m->pos += n;
  return n;
}

sf_count_t memory_write(const void *, sf_count_t, void *) { return 0; }

sf_count_t memory_tell(void *user) { return static_cast<MemoryFile *>(user)->pos; }

SF_VIRTUAL_IO memory_io{memory_length, memory_seek, memory_read, memory_write, memory_tell};

// Files up to this size are read whole into a per-thread buffer.
constexpr std::uint64_t kReadWholeBytes = std::uint64_t{64} << 20;
thread_local std::vector<unsigned char> file_bytes;

std::uint16_t le16(const unsigned char *p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// A plain RIFF/WAVE file: integer PCM or IEEE float, its data chunk whole.
struct PlainWav {
  AudioInfo info;
  std::size_t data_offset = 0; // where the samples start
  bool pcm16 = false;          // 16-bit integer samples
};

// Parses the header of a plain RIFF/WAVE file from its first `got` bytes: the
// common case costs one read instead of libsndfile's open and header parse.
// Anything out of the ordinary (other containers, WAVE_FORMAT_EXTENSIBLE,
// streaming placeholders, a short or ragged data chunk, a header past the
// bytes given) gives nullopt, and libsndfile decides.
std::optional<PlainWav> plain_wav(const unsigned char *head, std::size_t got,
                                  std::uint64_t file_size) {
  if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    return std::nullopt;
  std::optional<PlainWav> fmt;
  std::size_t block = 0;
  for (std::size_t pos = 12; pos + 8 <= got;) {
    const std::uint32_t len = le32(head + pos + 4);
    const std::size_t body = pos + 8;
    if (std::memcmp(head + pos, "fmt ", 4) == 0) {
      if (fmt || len < 16 || body + 16 > got)
        return std::nullopt;
      const unsigned tag = le16(head + body), channels = le16(head + body + 2);
      const std::uint32_t rate = le32(head + body + 4);
      const unsigned align = le16(head + body + 12), bits = le16(head + body + 14);
      const bool pcm = tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
      const bool ieee = tag == 3 && (bits == 32 || bits == 64);
      if (!(pcm || ieee) || channels < 1 || channels > 1024 || rate < 1 || rate > 0x7fffffffu ||
          align != channels * bits / 8)
        return std::nullopt;
      fmt = PlainWav{AudioInfo{0, static_cast<int>(channels), static_cast<int>(rate)}, 0,
                     pcm && bits == 16};
      block = align;
    } else if (std::memcmp(head + pos, "data", 4) == 0) {
      if (!fmt || len == 0 || len == 0xFFFFFFFFu || len % block != 0 || body + len > file_size)
        return std::nullopt;
      fmt->info.frames = len / block;
      fmt->data_offset = body;
      return fmt;
    }
    pos = body + len + (len & 1u);
  }
  return std::nullopt;
}

// Refuses a header that cannot describe real audio.
void check_header(const std::filesystem::path &path, int channels, int rate, sf_count_t frames) {
  if (channels < 1 || rate < 1 || frames < 0)
    throw CorruptAudio(path.string() + ": invalid header", path);
  if (rate < kMinAudioRate)
    throw CorruptAudio(path.string() + ": declares a rate of " + std::to_string(rate) +
                           " Hz, below the " + std::to_string(kMinAudioRate) +
                           " Hz of any real recording",
                       path);
}

struct SndfileCloser {
  void operator()(SNDFILE *f) const noexcept { sf_close(f); }
};

// An open decoder over `path`, with its header checked.
// An open file: decoded by libsndfile, or, for a plain 16-bit WAV read whole,
// converted straight from its bytes (`file` null, `pcm16_offset` set).
struct OpenedAudio {
  bool in_memory = false;
  MemoryFile memory;
  std::unique_ptr<SNDFILE, SndfileCloser> file;
  SF_INFO info{};
  sf_count_t pcm16_offset = -1; // where 16-bit samples start in `memory`, or -1
};

void open_audio(const std::filesystem::path &path, OpenedAudio &out) {
  check_no_nul(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw UnreadableAudio(path.string() + ": " + std::strerror(errno), path);
  struct stat st {};
  bool whole = false;
  bool truncated = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size <= kReadWholeBytes) {
      file_bytes.resize(size);
      std::uint64_t done = 0;
      while (done < size) {
        const ssize_t n = ::read(fd, file_bytes.data() + done, size - done);
        if (n <= 0 && !(n < 0 && errno == EINTR))
          break;
        if (n > 0)
          done += static_cast<std::uint64_t>(n);
      }
      file_bytes.resize(done);
      whole = true;
      truncated =
          wav_data_truncated(done, [&](std::uint64_t at, unsigned char *buf, std::size_t n) {
            if (at + n > done)
              return false;
            std::memcpy(buf, file_bytes.data() + at, n);
            return true;
          });
    } else {
      truncated =
          wav_data_truncated(size, [&](std::uint64_t at, unsigned char *buf, std::size_t n) {
            return ::pread(fd, buf, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
          });
    }
  }
  ::close(fd);
  if (whole) {
    out.in_memory = true;
    out.memory = MemoryFile{file_bytes.data(), static_cast<sf_count_t>(file_bytes.size()), 0};
    if (const auto plain = plain_wav(file_bytes.data(), file_bytes.size(), file_bytes.size());
        plain && plain->pcm16) {
      out.info.frames = static_cast<sf_count_t>(plain->info.frames);
      out.info.channels = plain->info.channels;
      out.info.samplerate = plain->info.rate;
      out.info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
      out.pcm16_offset = static_cast<sf_count_t>(plain->data_offset);
      check_header(path, out.info.channels, out.info.samplerate, out.info.frames);
      return;
    }
    out.file.reset(sf_open_virtual(&memory_io, SFM_READ, &out.info, &out.memory));
  } else {
    out.file.reset(sf_open(path.c_str(), SFM_READ, &out.info));
  }
  if (!out.file)
    throw UnreadableAudio(path.string() + ": " + sf_strerror(nullptr), path);
  check_header(path, out.info.channels, out.info.samplerate, out.info.frames);
  if ((out.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && truncated)
    throw CorruptAudio(path.string() + ": data chunk is longer than the file (truncated)", path);
}

// Gives back the per-thread file buffer after an unusually large file.
void trim_file_bytes() {
  if (file_bytes.capacity() > (std::size_t{8} << 20))
    std::vector<unsigned char>().swap(file_bytes);
}

// Reads every frame as interleaved float. 16-bit PCM is read as integers and
// scaled here: libsndfile's own float path gives the same values (x / 32768)
// but is several times slower.
// 16-bit little-endian samples to float (x / 32768). The output is usually
// fresh memory that is not read again soon, so on x86 it is written with
// streaming stores, which skip reading the destination into the cache first;
// `stream` false writes it through the cache for a caller about to read it.
void pcm16_to_float(const unsigned char *src, std::size_t count, float *dst, bool stream) {
  constexpr float kScale = 1.0f / 32768.0f;
  auto scalar = [&](std::size_t i) {
    const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(src[2 * i]) |
                                             static_cast<std::uint16_t>(src[2 * i + 1] << 8));
    dst[i] = static_cast<float>(v) * kScale;
  };
  std::size_t i = 0;
#if defined(__SSE2__)
  if (stream) // streaming stores need 16-byte alignment
    while (i < count && (reinterpret_cast<std::uintptr_t>(dst + i) & 15u) != 0)
      scalar(i++);
  const __m128 scale = _mm_set1_ps(kScale);
  for (; i + 8 <= count; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * i));
    const __m128 lo =
        _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16)), scale);
    const __m128 hi =
        _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16)), scale);
    if (stream) {
      _mm_stream_ps(dst + i, lo);
      _mm_stream_ps(dst + i + 4, hi);
    } else {
      _mm_storeu_ps(dst + i, lo);
      _mm_storeu_ps(dst + i + 4, hi);
    }
  }
  if (stream)
    _mm_sfence();
#endif
  for (; i < count; ++i)
    scalar(i);
}

// For a 16-bit PCM RIFF file held in memory, where its sample data starts;
// -1 when the file is anything else.
sf_count_t pcm16_data_offset(SNDFILE *file, const SF_INFO &info, MemoryFile &memory) {
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16 || memory.size < 4 ||
      std::memcmp(memory.data, "RIFF", 4) != 0)
    return -1;
  // libsndfile seeks its source to the data start for frame 0.
  if (sf_seek(file, 0, SEEK_SET) != 0)
    return -1;
  const sf_count_t bytes = info.frames * info.channels * 2;
  return memory.pos + bytes <= memory.size ? memory.pos : -1;
}

// False when any of n samples is NaN or infinite: its exponent bits are all
// ones. An integer reduction, which the compiler vectorises.
bool all_finite(const float *x, std::size_t n) {
  constexpr std::uint32_t kExponent = 0x7f800000u;
  std::uint32_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, x + i, sizeof bits);
    bad |= static_cast<std::uint32_t>((bits & kExponent) == kExponent);
  }
  return bad == 0;
}

sf_count_t read_interleaved(SNDFILE *file, const SF_INFO &info, float *out) {
  const auto channels = static_cast<std::size_t>(info.channels);
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16)
    return sf_readf_float(file, out, info.frames);
  constexpr sf_count_t kChunkFrames = 16384;
  std::vector<short> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
  constexpr float kScale = 1.0f / 32768.0f;
  sf_count_t total = 0;
  while (total < info.frames) {
    const sf_count_t want = std::min(kChunkFrames, info.frames - total);
    const sf_count_t got = sf_readf_short(file, chunk.data(), want);
    if (got <= 0)
      break;
    const std::size_t values = static_cast<std::size_t>(got) * channels;
    float *dst = out + static_cast<std::size_t>(total) * channels;
    for (std::size_t i = 0; i < values; ++i)
      dst[i] = static_cast<float>(chunk[i]) * kScale;
    total += got;
  }
  return total;
}

} // namespace

void mix_to_mono_into(const float *interleaved, std::size_t frames, int channels, float *out) {
  const auto ch = static_cast<std::size_t>(channels);
  const float count = static_cast<float>(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const float *frame = interleaved + i * ch;
    float sum = frame[0];
    for (std::size_t c = 1; c < ch; ++c)
      sum += frame[c];
    out[i] = sum / count;
  }
}

std::vector<float> mix_to_mono(const float *interleaved, std::size_t frames, int channels) {
  std::vector<float> out(frames);
  mix_to_mono_into(interleaved, frames, channels, out.data());
  return out;
}

AudioInfo probe_file(const std::filesystem::path &path) {
  check_no_nul(path);
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    unsigned char head[4096];
    struct stat st {};
    std::optional<PlainWav> plain;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const ssize_t got = ::pread(fd, head, sizeof head, 0);
      if (got > 0)
        plain =
            plain_wav(head, static_cast<std::size_t>(got), static_cast<std::uint64_t>(st.st_size));
    }
    ::close(fd);
    if (plain) {
      check_header(path, plain->info.channels, plain->info.rate, 0);
      return plain->info;
    }
  }
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file)
    throw UnreadableAudio(path.string() + ": " + sf_strerror(nullptr), path);
  check_header(path, info.channels, info.samplerate, info.frames);
  return AudioInfo{static_cast<std::size_t>(info.frames), info.channels, info.samplerate};
}

std::size_t decoded_frames(const AudioInfo &info, int target_rate) {
  if (target_rate == 0 || target_rate == info.rate)
    return info.frames;
  return resampled_length(info.frames, info.rate, target_rate);
}

namespace {

// Interleaved samples on their way to mono or planar layout, and planar ones
// on their way to the resampler.
thread_local Scratch<float> scratch(std::size_t{4} << 20);
thread_local Scratch<float> arranged(std::size_t{4} << 20);

} // namespace

AudioView decode_file_into(const std::filesystem::path &path, const DecodeOptions &options,
                           const Allocate &allocate) {
  if (options.target_rate < 0)
    throw InvalidArgument("target rate must be positive, got " +
                          std::to_string(options.target_rate));
  // Declared first, so the decoder over the file's bytes is closed before
  // they are given back.
  struct GiveBackLargeBuffers {
    ~GiveBackLargeBuffers() {
      scratch.trim();
      arranged.trim();
      trim_file_bytes();
    }
  } give_back;
  OpenedAudio opened;
  open_audio(path, opened);
  const SF_INFO &info = opened.info;
  auto &file = opened.file;

  const auto frames = static_cast<std::size_t>(info.frames);
  const auto channels = static_cast<std::size_t>(info.channels);
  const bool mono = options.mono || channels == 1;
  const bool resampling = options.target_rate != 0 && options.target_rate != info.samplerate;
  const std::size_t out_channels = mono ? 1 : channels;
  AudioView view{nullptr, frames, static_cast<int>(out_channels), info.samplerate};

  // Samples as they come from the file: straight into the output when no
  // further step is needed, else into per-thread memory read right after.
  const bool direct = channels == 1 && !resampling;
  float *raw = direct ? allocate(frames) : scratch.get(frames * channels);
  const sf_count_t offset = opened.pcm16_offset >= 0 ? opened.pcm16_offset
                            : opened.in_memory ? pcm16_data_offset(file.get(), info, opened.memory)
                                               : -1;
  sf_count_t got = 0;
  if (offset >= 0) { // the common case: convert straight from the file's bytes
    pcm16_to_float(opened.memory.data + offset, frames * channels, raw,
                   direct && !options.read_soon);
    got = info.frames;
  } else {
    got = read_interleaved(file.get(), info, raw);
  }
  if (got != info.frames)
    throw CorruptAudio(path.string() + ": read " + std::to_string(got) + " of " +
                           std::to_string(info.frames) + " frames",
                       path);
  file.reset();
  // Float encodings can hold NaN and infinity, which no mixing or scoring
  // survives (librosa refuses them too); integer PCM cannot. Huge finite
  // float samples can still overflow to infinity in the mono mix or the
  // resampler, so what those make of them is checked too.
  const auto refuse_non_finite = [&](const float *x, std::size_t n) {
    if (offset < 0 && !all_finite(x, n))
      throw NonFiniteAudio(path.string() + ": holds samples that are not finite (NaN or " +
                               "infinity), or too large to mix or resample",
                           path);
  };
  refuse_non_finite(raw, frames * channels);
  if (direct) {
    view.samples = raw;
    return view;
  }

  // Channel layout: mono mix or planar, into the output or, before
  // resampling, into per-thread memory (a single channel is already both).
  float *planar = raw;
  if (channels > 1) {
    planar = resampling ? arranged.get(frames * out_channels) : allocate(frames * out_channels);
    if (mono) {
      mix_to_mono_into(raw, frames, info.channels, planar);
      refuse_non_finite(planar, frames);
    } else {
      for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t c = 0; c < channels; ++c)
          planar[c * frames + i] = raw[i * channels + c];
    }
  }
  if (!resampling) {
    view.samples = planar;
    return view;
  }

  view.frames = resampled_length(frames, info.samplerate, options.target_rate);
  view.samples = allocate(view.frames * out_channels);
  resample_planar_into(planar, frames, static_cast<int>(out_channels), info.samplerate,
                       options.target_rate, view.samples);
  refuse_non_finite(view.samples, view.frames * out_channels);
  view.rate = options.target_rate;
  return view;
}

Audio decode_file(const std::filesystem::path &path, const DecodeOptions &options) {
  Audio audio;
  const AudioView view = decode_file_into(path, options, [&audio](std::size_t n) {
    audio.samples.resize(n);
    return audio.samples.data();
  });
  audio.frames = view.frames;
  audio.channels = view.channels;
  audio.rate = view.rate;
  return audio;
}

} // namespace tavol

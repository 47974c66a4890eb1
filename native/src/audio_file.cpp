// Decoding with libsndfile, plus the checks that catch truncated WAV files.
#include "tavol/audio_file.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/pcm.hpp"
#include "tavol/resample.hpp"
#include "tavol/riff.hpp"
#include "tavol/scratch.hpp"

namespace tavol {
namespace {

// libsndfile reads through these: a file read whole into memory (one read
// instead of the dozens libsndfile makes through its small buffer), or an
// open file too large for that, read where libsndfile asks.
struct Stream {
  const unsigned char *data = nullptr; // the whole file, or null to read `file`
  const platform::File *file = nullptr;
  sf_count_t size = 0;
  sf_count_t pos = 0;
};

sf_count_t stream_length(void *user) { return static_cast<Stream *>(user)->size; }

sf_count_t stream_seek(sf_count_t offset, int whence, void *user) {
  auto *s = static_cast<Stream *>(user);
  const sf_count_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0;
  const sf_count_t target = base + offset;
  if (target < 0)
    return -1;
  s->pos = target;
  return s->pos;
}

sf_count_t stream_read(void *out, sf_count_t count, void *user) {
  auto *s = static_cast<Stream *>(user);
  const sf_count_t n = std::max<sf_count_t>(0, std::min(count, s->size - s->pos));
  if (n <= 0)
    return 0;
  const auto bytes = static_cast<std::size_t>(n);
  const auto got = s->data ? (std::memcpy(out, s->data + s->pos, bytes), bytes)
                           : s->file->read_at(static_cast<std::uint64_t>(s->pos), out, bytes);
  s->pos += static_cast<sf_count_t>(got);
  return static_cast<sf_count_t>(got);
}

sf_count_t stream_write(const void *, sf_count_t, void *) { return 0; }

sf_count_t stream_tell(void *user) { return static_cast<Stream *>(user)->pos; }

SF_VIRTUAL_IO stream_io{stream_length, stream_seek, stream_read, stream_write, stream_tell};

ReadAt read_from_file(const platform::File &file) {
  return [&file](std::uint64_t offset, unsigned char *out, std::size_t n) {
    return file.read_at(offset, out, n) == n;
  };
}

// Files up to this size are read whole into per-thread memory.
constexpr std::uint64_t kReadWholeBytes = std::uint64_t{64} << 20;
// Plain 16-bit files larger than kChunkedFromBytes are converted as they are
// read, kChunkBytes at a time: the chunk stays in the processor's cache
// between the copy out of the page cache and the conversion, where a 0.5 MB
// file read whole first and converted after misses it both times (measured:
// that copy was a third of the time of loading 44.1 kHz stereo files).
// Smaller files are read whole in one call.
constexpr std::uint64_t kChunkedFromBytes = std::uint64_t{256} << 10;
constexpr std::size_t kChunkBytes = std::size_t{64} << 10;
// The header bytes a probe reads: room for the chunks writers put before the data.
constexpr std::size_t kProbeBytes = 4096;

// Per-thread memory, given back after an unusually large file: the file's
// bytes, interleaved samples on their way to mono or planar layout, and
// planar ones on their way to the resampler.
thread_local Scratch<unsigned char> file_bytes(std::size_t{8} << 20);
thread_local Scratch<float> scratch(std::size_t{4} << 20);
thread_local Scratch<float> arranged(std::size_t{4} << 20);

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
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

[[noreturn]] void unreadable(const std::filesystem::path &path) {
  throw UnreadableAudio(path.string() + ": " + sf_strerror(nullptr), path);
}

// A file ready to decode: decoded by libsndfile, or, for a plain 16-bit WAV
// read whole, converted straight from its bytes (`file` null, `pcm16_offset` set).
struct OpenedAudio {
  platform::File source; // kept open while libsndfile reads it in place
  Stream stream;
  Sndfile file;
  SF_INFO info{};
  sf_count_t pcm16_offset = -1; // where 16-bit samples start in `stream.data`, or -1
  bool chunked = false;         // 16-bit samples read from `source` a chunk at a time
};

// Describes a plain 16-bit file from its header.
void take_plain(const std::filesystem::path &path, const PlainWav &plain, OpenedAudio &out) {
  out.info.frames = static_cast<sf_count_t>(plain.frames);
  out.info.channels = plain.channels;
  out.info.samplerate = plain.rate;
  out.info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  out.pcm16_offset = static_cast<sf_count_t>(plain.data_offset);
  check_header(path, out.info.channels, out.info.samplerate, out.info.frames);
}

void open_decoder(const std::filesystem::path &path, platform::File input,
                  std::optional<std::uint64_t> size, OpenedAudio &out) {
  bool truncated = false;
  if (size && *size > kChunkedFromBytes && *size <= kReadWholeBytes) {
    unsigned char head[kProbeBytes];
    const std::size_t got = input.read_at(0, head, sizeof head);
    if (const auto plain = plain_wav(*size, read_from_memory(head, got)); plain && plain->pcm16) {
      take_plain(path, *plain, out);
      out.source = std::move(input);
      out.stream = Stream{nullptr, &out.source, static_cast<sf_count_t>(*size), 0};
      out.chunked = true;
      return;
    }
  }
  if (size && *size <= kReadWholeBytes) {
    unsigned char *bytes = file_bytes.get(static_cast<std::size_t>(*size));
    const std::size_t got = input.read_at(0, bytes, static_cast<std::size_t>(*size));
    input.close();
    out.stream = Stream{bytes, nullptr, static_cast<sf_count_t>(got), 0};
    const ReadAt read_at = read_from_memory(bytes, got);
    if (const auto plain = plain_wav(got, read_at); plain && plain->pcm16) {
      take_plain(path, *plain, out);
      return;
    }
    truncated = wav_data_truncated(got, read_at);
    out.file.reset(sf_open_virtual(&stream_io, SFM_READ, &out.info, &out.stream));
  } else if (size) {
    truncated = wav_data_truncated(*size, read_from_file(input));
    out.source = std::move(input);
    out.stream = Stream{nullptr, &out.source, static_cast<sf_count_t>(*size), 0};
    out.file.reset(sf_open_virtual(&stream_io, SFM_READ, &out.info, &out.stream));
  } else { // not a regular file: libsndfile reads it as a stream
    input.close();
    out.file.reset(sf_open(path.c_str(), SFM_READ, &out.info));
  }
  if (!out.file)
    unreadable(path);
  check_header(path, out.info.channels, out.info.samplerate, out.info.frames);
  if ((out.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && truncated)
    throw CorruptAudio(path.string() + ": data chunk is longer than the file (truncated)", path);
}

// For a 16-bit PCM RIFF file held in memory that is not plain (an extensible
// header, say), where its sample data starts; -1 when the file is anything else.
sf_count_t pcm16_data_offset(SNDFILE *file, const SF_INFO &info, Stream &memory) {
  if (!memory.data || (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16 || memory.size < 4 ||
      std::memcmp(memory.data, "RIFF", 4) != 0)
    return -1;
  // libsndfile seeks its source to the data start for frame 0.
  if (sf_seek(file, 0, SEEK_SET) != 0)
    return -1;
  const sf_count_t bytes = info.frames * info.channels * 2;
  return memory.pos + bytes <= memory.size ? memory.pos : -1;
}

// Reads every frame as interleaved float. 16-bit PCM is read as integers and
// converted here: libsndfile's own float path gives the same values (x / 32768)
// but is several times slower.
sf_count_t read_interleaved(SNDFILE *file, const SF_INFO &info, float *out) {
  const auto channels = static_cast<std::size_t>(info.channels);
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16)
    return sf_readf_float(file, out, info.frames);
  constexpr sf_count_t kChunkFrames = 16384;
  std::vector<short> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
  sf_count_t total = 0;
  while (total < info.frames) {
    const sf_count_t want = std::min(kChunkFrames, info.frames - total);
    const sf_count_t got = sf_readf_short(file, chunk.data(), want);
    if (got <= 0)
      break;
    pcm16_to_float(chunk.data(), static_cast<std::size_t>(got) * channels,
                   out + static_cast<std::size_t>(total) * channels);
    total += got;
  }
  return total;
}

// Hands `convert(bytes, first_frame, frames)` the 16-bit frames that start
// at `offset` in a file: all at once from memory, or a chunk at a time as
// they are read.
template <class Convert>
void pcm16_frames(const std::filesystem::path &path, OpenedAudio &opened, sf_count_t offset,
                  Convert &&convert) {
  const auto frames = static_cast<std::size_t>(opened.info.frames);
  const auto start = static_cast<std::uint64_t>(offset);
  if (!opened.chunked) {
    convert(opened.stream.data + start, 0, frames);
    return;
  }
  const std::size_t frame_bytes = 2 * static_cast<std::size_t>(opened.info.channels);
  const std::size_t per_chunk = std::max<std::size_t>(1, kChunkBytes / frame_bytes);
  unsigned char *chunk = file_bytes.get(per_chunk * frame_bytes);
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(per_chunk, frames - done);
    const std::size_t got =
        opened.source.read_at(start + done * frame_bytes, chunk, n * frame_bytes);
    if (got != n * frame_bytes) // the file shrank since its header was read
      throw CorruptAudio(path.string() + ": read " + std::to_string(done + got / frame_bytes) +
                             " of " + std::to_string(frames) + " frames",
                         path);
    convert(chunk, done, n);
    done += n;
  }
}

AudioView decode(const std::filesystem::path &path, platform::File input,
                 std::optional<std::uint64_t> size, const DecodeOptions &options,
                 const Allocate &allocate) {
  // Declared first, so the decoder over the file's bytes is closed before
  // they are given back.
  const TrimOnExit give_back(scratch, arranged, file_bytes);
  OpenedAudio opened;
  open_decoder(path, std::move(input), size, opened);
  const SF_INFO &info = opened.info;

  const auto frames = static_cast<std::size_t>(info.frames);
  const auto channels = static_cast<std::size_t>(info.channels);
  const bool mono = options.mono || channels == 1;
  const bool resampling = options.target_rate != 0 && options.target_rate != info.samplerate;
  const std::size_t out_channels = mono ? 1 : channels;
  AudioView view{nullptr, frames, static_cast<int>(out_channels), info.samplerate};
  const sf_count_t offset = opened.pcm16_offset >= 0 ? opened.pcm16_offset
                            : opened.file
                                ? pcm16_data_offset(opened.file.get(), info, opened.stream)
                                : -1;
  // Samples in their final layout (planar, or mono) land here: in the output
  // when no resampling follows, else in per-thread memory read right after.
  const auto arrange_into = [&](std::size_t count) {
    return resampling ? arranged.get(count) : allocate(count);
  };

  float *planar = nullptr;
  if (offset >= 0 && channels > 1 && mono) {
    // The common multi-channel case: straight from the file's bytes to the mix.
    planar = arrange_into(frames);
    pcm16_frames(path, opened, offset,
                 [&](const unsigned char *bytes, std::size_t first, std::size_t n) {
                   pcm16_to_mono(bytes, n, info.channels, planar + first);
                 });
  } else {
    // Samples as they come from the file: straight into the output when no
    // further step is needed, else into per-thread memory read right after.
    const bool direct = channels == 1 && !resampling;
    float *raw = direct ? allocate(frames) : scratch.get(frames * channels);
    sf_count_t got = info.frames;
    if (offset >= 0)
      pcm16_frames(path, opened, offset,
                   [&](const unsigned char *bytes, std::size_t first, std::size_t n) {
                     pcm16_to_float(bytes, n * channels, raw + first * channels,
                                    direct && !options.read_soon);
                   });
    else
      got = read_interleaved(opened.file.get(), info, raw);
    if (got != info.frames)
      throw CorruptAudio(path.string() + ": read " + std::to_string(got) + " of " +
                             std::to_string(info.frames) + " frames",
                         path);
    opened.file.reset();
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
    // Channel layout: mono mix or planar (a single channel is already both).
    planar = raw;
    if (channels > 1) {
      planar = arrange_into(frames * out_channels);
      if (mono) {
        mix_to_mono_into(raw, frames, info.channels, planar);
        refuse_non_finite(planar, frames);
      } else {
        deinterleave(raw, frames, info.channels, planar);
      }
    }
    if (resampling) {
      view.frames = resampled_length(frames, info.samplerate, options.target_rate);
      view.samples = allocate(view.frames * out_channels);
      resample_planar_into(planar, frames, static_cast<int>(out_channels), info.samplerate,
                           options.target_rate, view.samples);
      refuse_non_finite(view.samples, view.frames * out_channels);
      view.rate = options.target_rate;
      return view;
    }
    view.samples = planar;
    return view;
  }
  if (resampling) {
    view.frames = resampled_length(frames, info.samplerate, options.target_rate);
    view.samples = allocate(view.frames);
    resample_planar_into(planar, frames, 1, info.samplerate, options.target_rate, view.samples);
    view.rate = options.target_rate;
    return view;
  }
  view.samples = planar;
  return view;
}

void check_target_rate(const DecodeOptions &options) {
  if (options.target_rate < 0)
    throw InvalidArgument("target rate must be positive, got " +
                          std::to_string(options.target_rate));
}

} // namespace

AudioInput AudioInput::open(const std::filesystem::path &path) {
  check_no_nul(path);
  AudioInput input;
  input.path_ = path;
  int error = 0;
  input.file_ = platform::File::open_read(path, error);
  if (input.file_)
    input.size_ = input.file_.regular_size();
  if (input.size_) {
    unsigned char head[kProbeBytes];
    const std::size_t got = input.file_.read_at(0, head, sizeof head);
    if (const auto plain = plain_wav(*input.size_, read_from_memory(head, got))) {
      check_header(path, plain->channels, plain->rate, 0);
      input.info_ = AudioInfo{plain->frames, plain->channels, plain->rate};
      return input;
    }
    SF_INFO info{};
    {
      Stream stream{nullptr, &input.file_, static_cast<sf_count_t>(*input.size_), 0};
      const Sndfile file(sf_open_virtual(&stream_io, SFM_READ, &info, &stream));
      if (!file)
        unreadable(path);
    }
    check_header(path, info.channels, info.samplerate, info.frames);
    input.info_ = AudioInfo{static_cast<std::size_t>(info.frames), info.channels, info.samplerate};
    return input;
  }
  // Missing, unreadable or not a regular file: libsndfile has its say, and
  // the decoder opens it again by name.
  input.file_.close();
  SF_INFO info{};
  const Sndfile file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file)
    unreadable(path);
  check_header(path, info.channels, info.samplerate, info.frames);
  input.info_ = AudioInfo{static_cast<std::size_t>(info.frames), info.channels, info.samplerate};
  return input;
}

AudioInfo probe_file(const std::filesystem::path &path) { return AudioInput::open(path).info(); }

std::size_t decoded_frames(const AudioInfo &info, int target_rate) {
  if (target_rate == 0 || target_rate == info.rate)
    return info.frames;
  return resampled_length(info.frames, info.rate, target_rate);
}

AudioView decode_file_into(const std::filesystem::path &path, const DecodeOptions &options,
                           const Allocate &allocate) {
  check_target_rate(options);
  check_no_nul(path);
  int error = 0;
  platform::File file = platform::File::open_read(path, error);
  if (!file)
    throw UnreadableAudio(path.string() + ": " + std::strerror(error), path);
  const auto size = file.regular_size();
  return decode(path, std::move(file), size, options, allocate);
}

AudioView decode_input_into(AudioInput &&input, const DecodeOptions &options,
                            const Allocate &allocate) {
  check_target_rate(options);
  AudioInput held = std::move(input);
  if (!held.file_)
    return decode_file_into(held.path_, options, allocate);
  return decode(held.path_, std::move(held.file_), held.size_, options, allocate);
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

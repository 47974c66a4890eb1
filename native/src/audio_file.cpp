// Decoding with libsndfile, plus the checks that catch truncated WAV files.
#include "tavol/audio_file.hpp"

#include <sndfile.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "tavol/errors.hpp"
#include "tavol/resample.hpp"

namespace tavol {
namespace {

std::uint32_t le32(const unsigned char *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// For a RIFF/WAVE file, true when its data chunk claims more bytes than the
// file holds. libsndfile silently shortens such a file; we refuse it instead,
// since the missing tail usually means an interrupted copy or write.
bool wav_data_truncated(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  in.seekg(0, std::ios::end);
  const auto size = static_cast<std::uint64_t>(in.tellg());
  in.seekg(0);
  std::array<unsigned char, 12> head{};
  if (!in.read(reinterpret_cast<char *>(head.data()), head.size()))
    return false;
  if (std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4) != 0)
    return false;
  std::uint64_t pos = 12;
  std::array<unsigned char, 8> chunk{};
  while (pos + 8 <= size) {
    in.seekg(static_cast<std::streamoff>(pos));
    if (!in.read(reinterpret_cast<char *>(chunk.data()), chunk.size()))
      return false;
    const std::uint32_t len = le32(chunk.data() + 4);
    pos += 8;
    if (std::memcmp(chunk.data(), "data", 4) == 0) {
      // 0 and 0xFFFFFFFF are the placeholders of streaming writers: not a claim.
      if (len == 0 || len == 0xFFFFFFFFu)
        return false;
      return len > size - pos;
    }
    pos += len + (len & 1u);
  }
  return false;
}

struct SndfileCloser {
  void operator()(SNDFILE *f) const noexcept { sf_close(f); }
};

} // namespace

std::vector<float> mix_to_mono(const float *interleaved, std::size_t frames, int channels) {
  std::vector<float> out(frames);
  const auto ch = static_cast<std::size_t>(channels);
  const float count = static_cast<float>(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const float *frame = interleaved + i * ch;
    float sum = frame[0];
    for (std::size_t c = 1; c < ch; ++c)
      sum += frame[c];
    out[i] = sum / count;
  }
  return out;
}

AudioInfo probe_file(const std::filesystem::path &path) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file)
    throw UnreadableAudio(path.string() + ": " + sf_strerror(nullptr), path);
  if (info.channels < 1 || info.samplerate < 1 || info.frames < 0)
    throw CorruptAudio(path.string() + ": invalid header", path);
  return AudioInfo{static_cast<std::size_t>(info.frames), info.channels, info.samplerate};
}

std::size_t decoded_frames(const AudioInfo &info, int target_rate) {
  if (target_rate == 0 || target_rate == info.rate)
    return info.frames;
  return resampled_length(info.frames, info.rate, target_rate);
}

Audio decode_file(const std::filesystem::path &path, const DecodeOptions &options) {
  if (options.target_rate < 0)
    throw InvalidArgument("target rate must be positive, got " +
                          std::to_string(options.target_rate));
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file)
    throw UnreadableAudio(path.string() + ": " + sf_strerror(nullptr), path);
  if (info.channels < 1 || info.samplerate < 1 || info.frames < 0)
    throw CorruptAudio(path.string() + ": invalid header", path);
  if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && wav_data_truncated(path))
    throw CorruptAudio(path.string() + ": data chunk is longer than the file (truncated)", path);

  const auto frames = static_cast<std::size_t>(info.frames);
  const auto channels = static_cast<std::size_t>(info.channels);
  std::vector<float> interleaved(frames * channels);
  const sf_count_t got = sf_readf_float(file.get(), interleaved.data(), info.frames);
  if (got != info.frames)
    throw CorruptAudio(path.string() + ": read " + std::to_string(got) + " of " +
                           std::to_string(info.frames) + " frames",
                       path);

  Audio audio;
  audio.rate = info.samplerate;
  audio.frames = frames;
  if (options.mono || channels == 1) {
    audio.channels = 1;
    audio.samples = channels == 1 ? std::move(interleaved)
                                  : mix_to_mono(interleaved.data(), frames, info.channels);
  } else {
    audio.channels = info.channels;
    audio.samples.resize(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
      for (std::size_t c = 0; c < channels; ++c)
        audio.samples[c * frames + i] = interleaved[i * channels + c];
  }

  if (options.target_rate != 0 && options.target_rate != audio.rate) {
    std::size_t out_frames = 0;
    audio.samples = resample_planar(audio.samples.data(), audio.frames, audio.channels, audio.rate,
                                    options.target_rate, &out_frames);
    audio.frames = out_frames;
    audio.rate = options.target_rate;
  }
  return audio;
}

} // namespace tavol

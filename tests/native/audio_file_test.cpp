#include "tavol/audio_file.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tavol/errors.hpp"
#include "tavol/wav_writer.hpp"

namespace fs = std::filesystem;

namespace {

fs::path fresh_dir(const char *name) { return tavol::testing::fresh_dir("audio", name); }

} // namespace

TEST(AudioFile, DecodesInt16AsValueOver32768) {
  const fs::path dir = fresh_dir("int16");
  // Long enough for the vector loop and its tail, through either kind of store.
  std::vector<std::int16_t> pcm{0, 16384, -32768, 32767};
  for (int i = 0; i < 17; ++i)
    pcm.push_back(static_cast<std::int16_t>(i * 1999 - 15000));
  tavol::write_wav16(dir / "a.wav", pcm.data(), pcm.size(), 1, 16000);
  for (bool read_soon : {false, true}) {
    const tavol::Audio a = tavol::decode_file(dir / "a.wav", {0, true, read_soon});
    ASSERT_EQ(a.frames, pcm.size());
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.rate, 16000);
    for (std::size_t i = 0; i < pcm.size(); ++i)
      EXPECT_EQ(a.samples[i], static_cast<float>(pcm[i]) / 32768.0f) << i;
  }
}

TEST(AudioFile, MonoIsChannelMeanAndPlanarKeepsChannels) {
  const fs::path dir = fresh_dir("stereo");
  const std::vector<std::int16_t> pcm{100, 300, -200, 0, 1, 2}; // 3 frames, L/R
  tavol::write_wav16(dir / "s.wav", pcm.data(), 3, 2, 8000);
  const tavol::Audio mono = tavol::decode_file(dir / "s.wav");
  ASSERT_EQ(mono.channels, 1);
  EXPECT_FLOAT_EQ(mono.samples[0], (100.0f / 32768 + 300.0f / 32768) / 2);
  EXPECT_FLOAT_EQ(mono.samples[1], (-200.0f / 32768) / 2);
  const tavol::Audio planar = tavol::decode_file(dir / "s.wav", {0, false});
  ASSERT_EQ(planar.channels, 2);
  ASSERT_EQ(planar.frames, 3u);
  EXPECT_EQ(planar.samples[0], 100.0f / 32768); // L0
  EXPECT_EQ(planar.samples[3], 300.0f / 32768); // R0
  EXPECT_EQ(planar.samples[5], 2.0f / 32768);   // R2
}

TEST(AudioFile, ResamplesToTheRequestedRate) {
  const fs::path dir = fresh_dir("rate");
  const std::vector<std::int16_t> pcm(8000, 1000);
  tavol::write_wav16(dir / "r.wav", pcm.data(), pcm.size(), 1, 8000);
  const tavol::Audio a = tavol::decode_file(dir / "r.wav", {16000, true});
  EXPECT_EQ(a.rate, 16000);
  EXPECT_EQ(a.frames, 16000u);
  EXPECT_EQ(a.samples.size(), 16000u);
}

TEST(AudioFile, UnopenableFilesAreUnreadable) {
  const fs::path dir = fresh_dir("unreadable");
  EXPECT_THROW(tavol::decode_file(dir / "missing.wav"), tavol::UnreadableAudio);
  std::ofstream(dir / "empty.wav").close();
  EXPECT_THROW(tavol::decode_file(dir / "empty.wav"), tavol::UnreadableAudio);
  std::ofstream(dir / "noise.wav", std::ios::binary) << std::string(4096, '\x5a');
  EXPECT_THROW(tavol::decode_file(dir / "noise.wav"), tavol::UnreadableAudio);
}

TEST(AudioFile, DataChunkLongerThanTheFileIsCorrupt) {
  const fs::path dir = fresh_dir("truncated");
  const std::vector<std::int16_t> pcm(1000, 5);
  tavol::write_wav16(dir / "t.wav", pcm.data(), pcm.size(), 1, 16000);
  fs::resize_file(dir / "t.wav", 44 + 500);
  EXPECT_THROW(tavol::decode_file(dir / "t.wav"), tavol::CorruptAudio);
}

TEST(AudioFile, MixToMonoSumsInChannelOrder) {
  const std::vector<float> frames{1.0f, 2.0f, 4.0f, -1.0f, -1.0f, -1.0f};
  const auto mono = tavol::mix_to_mono(frames.data(), 2, 3);
  EXPECT_FLOAT_EQ(mono[0], 7.0f / 3.0f);
  EXPECT_FLOAT_EQ(mono[1], -1.0f);
}

namespace {

// A RIFF/WAVE image: the chunks given, in order, after "WAVE".
std::string riff(const std::vector<std::pair<std::string, std::string>> &chunks) {
  auto le = [](std::uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
      out.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
    return out;
  };
  std::string body = "WAVE";
  for (const auto &[id, data] : chunks) {
    body += id + le(static_cast<std::uint32_t>(data.size()), 4) + data;
    if (data.size() % 2 == 1)
      body.push_back('\0');
  }
  return "RIFF" + le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

// `n` bytes that vary from one to the next.
std::string varied(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<char>((i * 7919) >> 3);
  return out;
}

std::string fmt(unsigned tag, unsigned channels, std::uint32_t rate, unsigned bits) {
  std::string f;
  auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      f.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
  };
  const unsigned align = channels * bits / 8;
  put(tag, 2), put(channels, 2), put(rate, 4), put(rate * align, 4), put(align, 2), put(bits, 2);
  return f;
}

} // namespace

// Plain WAV headers are read without libsndfile (16-bit ones decoded from
// their bytes too), the rest by libsndfile: either way the header and the
// samples must be what libsndfile reports.
TEST(AudioFile, ProbeAndDecodeAgreeWithLibsndfile) {
  const fs::path dir = fresh_dir("probe");
  const std::map<std::string, std::string> files = {
      {"pcm16.wav", riff({{"fmt ", fmt(1, 1, 16000, 16)}, {"data", std::string(3000, '\1')}})},
      {"pcm24_stereo.wav",
       riff({{"fmt ", fmt(1, 2, 44100, 24)}, {"data", std::string(600, '\2')}})},
      {"float.wav", riff({{"fmt ", fmt(3, 1, 22050, 32)}, {"data", std::string(400, '\0')}})},
      {"odd_list_first.wav", riff({{"LIST", std::string(7, 'x')},
                                   {"fmt ", fmt(1, 1, 8000, 16)},
                                   {"data", std::string(100, '\3')}})},
      {"pcm8.wav", riff({{"fmt ", fmt(1, 1, 8000, 8)}, {"data", std::string(333, '\x80')}})},
      {"ragged_data.wav", riff({{"fmt ", fmt(1, 2, 16000, 16)}, {"data", std::string(10, '\4')}})},
      {"pcm16_stereo_tail.wav", riff({{"fmt ", fmt(1, 2, 16000, 16)},
                                      {"data", std::string(400, '\x7f') + "\x01\x80\xff\x7f"},
                                      {"LIST", std::string(12, 'y')}})},
      {"long_header.wav", riff({{"JUNK", std::string(5000, '\0')},
                                {"fmt ", fmt(1, 1, 16000, 16)},
                                {"data", std::string(64, '\5')}})},
      // Large enough to be read in chunks, ending in a partial one.
      {"pcm16_stereo_chunked.wav",
       riff({{"fmt ", fmt(1, 2, 44100, 16)}, {"data", varied(280004)}})},
  };
  for (const auto &[name, image] : files) {
    std::ofstream(dir / name, std::ios::binary) << image;
    SF_INFO want{};
    SNDFILE *f = sf_open((dir / name).c_str(), SFM_READ, &want);
    ASSERT_NE(f, nullptr) << name;
    std::vector<float> interleaved(static_cast<std::size_t>(want.frames * want.channels));
    sf_readf_float(f, interleaved.data(), want.frames);
    sf_close(f);
    const tavol::AudioInfo got = tavol::probe_file(dir / name);
    EXPECT_EQ(got.frames, static_cast<std::size_t>(want.frames)) << name;
    EXPECT_EQ(got.channels, want.channels) << name;
    EXPECT_EQ(got.rate, want.samplerate) << name;
    const tavol::Audio decoded = tavol::decode_file(dir / name, {0, false});
    ASSERT_EQ(decoded.samples.size(), interleaved.size()) << name;
    const auto frames = static_cast<std::size_t>(want.frames);
    for (std::size_t i = 0; i < frames; ++i)
      for (std::size_t c = 0; c < static_cast<std::size_t>(want.channels); ++c)
        ASSERT_EQ(decoded.samples[c * frames + i], interleaved[i * want.channels + c])
            << name << " frame " << i;
    if (want.channels == 2) {
      const tavol::Audio mono = tavol::decode_file(dir / name);
      for (std::size_t i = 0; i < frames; ++i)
        ASSERT_EQ(mono.samples[i], (interleaved[2 * i] + interleaved[2 * i + 1]) / 2.0f)
            << name << " frame " << i;
    }
  }
  // A file that shrinks between its opening and its decoding is corrupt.
  tavol::AudioInput held = tavol::AudioInput::open(dir / "pcm16_stereo_chunked.wav");
  fs::resize_file(dir / "pcm16_stereo_chunked.wav", 200000);
  std::vector<float> room;
  EXPECT_THROW(tavol::decode_input_into(std::move(held), {},
                                        [&room](std::size_t n) {
                                          room.resize(n);
                                          return room.data();
                                        }),
               tavol::CorruptAudio);
  // A data chunk that claims more than the file holds: what libsndfile makes
  // of it (decoding refuses it later).
  const std::vector<std::int16_t> pcm(1000, 5);
  tavol::write_wav16(dir / "t.wav", pcm.data(), pcm.size(), 1, 16000);
  fs::resize_file(dir / "t.wav", 44 + 500);
  EXPECT_EQ(tavol::probe_file(dir / "t.wav").frames, 250u);
  EXPECT_THROW(tavol::probe_file(dir / "missing.wav"), tavol::UnreadableAudio);
}

// An input opened ahead (as a synthesis plan opens it for its length) is read
// from that open file: it decodes the same after its name is gone, through the
// plain 16-bit path and through libsndfile.
TEST(AudioFile, OpenedInputsDecodeFromTheFileTheyOpened) {
  const fs::path dir = fresh_dir("held");
  const std::vector<std::int16_t> pcm{1, -2, 300, -32768, 32767, 5, 6, 7, 8, 9};
  tavol::write_wav16(dir / "a.wav", pcm.data(), 5, 2, 16000);
  SF_INFO info{0, 8000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE *f = sf_open((dir / "b.flac").c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  sf_writef_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size()));
  sf_close(f);
  for (const char *name : {"a.wav", "b.flac"}) {
    const tavol::Audio want = tavol::decode_file(dir / name, {16000, true});
    tavol::AudioInput input = tavol::AudioInput::open(dir / name);
    EXPECT_EQ(tavol::decoded_frames(input.info(), 16000), want.frames) << name;
    fs::remove(dir / name);
    tavol::Audio got;
    tavol::decode_input_into(std::move(input), {16000, true}, [&got](std::size_t n) {
      got.samples.resize(n);
      return got.samples.data();
    });
    EXPECT_EQ(got.samples, want.samples) << name;
  }
}

// Headers and samples that no recording can have are refused as corrupt (so
// no other decoder is tried), through every path of the decoder: plain 16-bit
// WAV read from its bytes, libsndfile, mono or planar, resampled or not.
TEST(AudioFile, ImpossibleRatesAndNonFiniteSamplesAreCorrupt) {
  const fs::path dir = fresh_dir("impossible");
  auto floats = [](std::vector<float> v) {
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(float));
  };
  const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
  const std::map<std::string, std::string> files = {
      {"rate1_pcm16.wav", riff({{"fmt ", fmt(1, 1, 1, 16)}, {"data", std::string(3000, '\1')}})},
      {"rate999_float.wav",
       riff({{"fmt ", fmt(3, 1, 999, 32)}, {"data", floats(std::vector<float>(50, 0.1f))}})},
      {"nan_mono.wav", riff({{"fmt ", fmt(3, 1, 16000, 32)}, {"data", floats({0.1f, nan, 0.2f})}})},
      {"inf_stereo.wav",
       riff({{"fmt ", fmt(3, 2, 16000, 32)}, {"data", floats({0.1f, 0.2f, 0.3f, -inf})}})},
  };
  // Finite samples that overflow to infinity in the mono mix or the resampler.
  const float huge = std::numeric_limits<float>::max();
  std::ofstream(dir / "huge_stereo.wav", std::ios::binary)
      << riff({{"fmt ", fmt(3, 2, 16000, 32)}, {"data", floats({huge, huge, 0.1f, 0.1f})}});
  std::ofstream(dir / "huge_mono.wav", std::ios::binary)
      << riff({{"fmt ", fmt(3, 1, 16000, 32)}, {"data", floats(std::vector<float>(64, huge))}});
  EXPECT_THROW(tavol::decode_file(dir / "huge_stereo.wav", {0, true}), tavol::CorruptAudio);
  EXPECT_THROW(tavol::decode_file(dir / "huge_mono.wav", {8000, true}), tavol::CorruptAudio);
  EXPECT_EQ(tavol::decode_file(dir / "huge_mono.wav", {0, true}).samples[0], huge);
  for (const auto &[name, image] : files) {
    std::ofstream(dir / name, std::ios::binary) << image;
    for (const tavol::DecodeOptions options :
         {tavol::DecodeOptions{0, true}, tavol::DecodeOptions{0, false},
          tavol::DecodeOptions{8000, true}, tavol::DecodeOptions{22050, false}})
      EXPECT_THROW(tavol::decode_file(dir / name, options), tavol::CorruptAudio) << name;
    if (name.rfind("rate", 0) == 0) {
      EXPECT_THROW(tavol::probe_file(dir / name), tavol::CorruptAudio) << name;
    }
  }
  std::ofstream(dir / "rate1000.wav", std::ios::binary)
      << riff({{"fmt ", fmt(3, 1, 1000, 32)}, {"data", floats(std::vector<float>(50, 0.1f))}});
  EXPECT_EQ(tavol::decode_file(dir / "rate1000.wav", {16000, true}).frames, 800u);
}

// A NUL byte would end the path early at the C calls: "a.wav\0.flac" must not
// read a.wav.
TEST(AudioFile, PathWithNulByteIsRefused) {
  const fs::path dir = fresh_dir("nul");
  const std::vector<std::int16_t> pcm(100, 5);
  tavol::write_wav16(dir / "a.wav", pcm.data(), pcm.size(), 1, 16000);
  const fs::path sneaky = (dir / "a.wav").string() + std::string(1, '\0') + ".flac";
  EXPECT_THROW(tavol::decode_file(sneaky), tavol::InvalidArgument);
  EXPECT_THROW(tavol::probe_file(sneaky), tavol::InvalidArgument);
}

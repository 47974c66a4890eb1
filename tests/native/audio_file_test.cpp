#include "tavol/audio_file.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
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

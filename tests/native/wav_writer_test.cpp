#include "tavol/wav_writer.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tavol/errors.hpp"

namespace fs = std::filesystem;

namespace {

fs::path fresh_dir(const char *name) { return tavol::testing::fresh_dir("wav", name); }

std::vector<unsigned char> read_bytes(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(WavWriter, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(tavol::float_to_pcm16(0.5f), 16383);
  EXPECT_EQ(tavol::float_to_pcm16(-1.0f), -32767);
  EXPECT_EQ(tavol::float_to_pcm16(1.5f), 32767);
  EXPECT_EQ(tavol::float_to_pcm16(-2.0f), -32768);
  EXPECT_EQ(tavol::saturate_pcm16(-0.9), 0); // truncation toward zero
  EXPECT_EQ(tavol::saturate_pcm16(std::nan("")), 0);
}

TEST(WavWriter, WritesCanonicalPcmHeaderAndData) {
  const fs::path dir = fresh_dir("header");
  const std::vector<std::int16_t> stereo{1, -1, 256, -256, 32767, -32768};
  tavol::write_wav16(dir / "s.wav", stereo.data(), 3, 2, 8000);
  const auto bytes = read_bytes(dir / "s.wav");
  ASSERT_EQ(bytes.size(), 44u + 12u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(bytes[4], 36 + 12); // RIFF size = file size - 8
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(bytes[22], 2);                        // channels
  EXPECT_EQ(bytes[24] | (bytes[25] << 8), 8000);  // rate
  EXPECT_EQ(bytes[28] | (bytes[29] << 8), 32000); // byte rate
  EXPECT_EQ(bytes[32], 4);                        // block align
  EXPECT_EQ(bytes[34], 16);                       // bits
  EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
  EXPECT_EQ(bytes[40], 12);
  EXPECT_EQ(bytes[44 + 10], 0x00); // -32768 little-endian
  EXPECT_EQ(bytes[44 + 11], 0x80);
}

TEST(WavWriter, ReplacesAtomicallyAndLeavesNoTemporaryFiles) {
  const fs::path dir = fresh_dir("atomic");
  const std::vector<std::int16_t> a(100, 7), b(10, 9);
  tavol::write_wav16(dir / "x.wav", a.data(), a.size(), 1, 16000);
  tavol::write_wav16(dir / "x.wav", b.data(), b.size(), 1, 16000);
  EXPECT_EQ(fs::file_size(dir / "x.wav"), 44u + 20u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(WavWriter, MissingFolderIsAnIoErrorNamingThePath) {
  const fs::path dir = fresh_dir("missing");
  const std::vector<std::int16_t> a(4, 0);
  try {
    tavol::write_wav16(dir / "no" / "x.wav", a.data(), a.size(), 1, 16000);
    FAIL() << "expected IoError";
  } catch (const tavol::IoError &e) {
    EXPECT_EQ(e.path(), dir / "no" / "x.wav");
    EXPECT_EQ(e.error_number(), ENOENT);
  }
}

// The temporary name is short and fixed, so a name the file system can hold
// (255 bytes here) can be written; a NUL byte is refused before anything is
// created, where the C calls would write the name cut short at it.
TEST(WavWriter, LongestNamesAreWrittenAndNulBytesRefused) {
  const fs::path dir = fresh_dir("names");
  const std::vector<std::int16_t> a(4, 1);
  for (std::size_t length : {200u, 231u, 255u}) {
    const fs::path target = dir / (std::string(length - 4, 'n') + ".wav");
    tavol::write_wav16(target, a.data(), a.size(), 1, 16000);
    EXPECT_EQ(fs::file_size(target), 44u + 8u) << length;
  }
  const fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "keep";
  EXPECT_THROW(tavol::write_wav16(victim.string() + std::string(1, '\0') + ".wav", a.data(),
                                  a.size(), 1, 16000),
               tavol::InvalidArgument);
  EXPECT_EQ(fs::file_size(victim), 4u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
}

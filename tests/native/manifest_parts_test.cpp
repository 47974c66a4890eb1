#include "tavol/manifest_parts.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tavol/mix_renderer.hpp"
#include "tavol/wav_writer.hpp"

namespace fs = std::filesystem;
using State = tavol::RowOutcome::State;

namespace {

tavol::ManifestRow row(tavol::RowKind kind, const fs::path &out, const std::string &clean,
                       const std::string &noise, std::size_t samples) {
  tavol::ManifestRow r;
  r.kind = kind;
  r.job.output = out;
  r.job.clean = clean;
  r.job.noise = noise;
  r.samples = samples;
  return r;
}

fs::path write_ramp(const fs::path &path, std::size_t frames) {
  std::vector<std::int16_t> pcm(frames);
  for (std::size_t k = 0; k < frames; ++k)
    pcm[k] = static_cast<std::int16_t>((k * 977) % 6000) - 3000;
  tavol::write_wav16(path, pcm.data(), frames, 1, tavol::kSynthRate);
  return path;
}

} // namespace

// Copies come first, then the mixing rows grouped by noise, cut by rows and by
// samples (less towards the end, given the threads); a part names the stage
// rows its rows mix in memory.
TEST(ManifestParts, GroupByNoiseAndCutBySize) {
  using K = tavol::RowKind;
  std::vector<tavol::ManifestRow> rows = {row(K::Mixture, "o/1", "c1", "n1", 100),
                                          row(K::Mixture, "o/2", "c2", "n2", 100),
                                          row(K::Stage, "tmp_mixed/s", "c3", "n2", 100),
                                          row(K::Mixture, "o/3", "c3", "n1", 100),
                                          row(K::RawCopy, "o/r", "c1", "", 0),
                                          row(K::Mixture, "o/4", "c4", "tmp_mixed/s", 100),
                                          row(K::Mixture, "o/5", "c5", "n1", 250)};
  auto rows_of = [](const std::vector<tavol::ManifestPart> &parts) {
    std::vector<std::vector<std::size_t>> out;
    for (const auto &p : parts)
      out.push_back(p.rows);
    return out;
  };
  using Rows = std::vector<std::vector<std::size_t>>;
  EXPECT_EQ(rows_of(tavol::partition_rows(rows, 1000, 100)), (Rows{{4, 0, 3, 6, 1, 5}}));
  EXPECT_EQ(rows_of(tavol::partition_rows(rows, 1000, 2)), (Rows{{4, 0}, {3, 6}, {1, 5}}));
  // A row larger than the budget still gets a part of its own.
  const auto by_samples = tavol::partition_rows(rows, 200, 100);
  EXPECT_EQ(rows_of(by_samples), (Rows{{4, 0, 3}, {6}, {1, 5}}));
  EXPECT_TRUE(by_samples[0].stages.empty());
  EXPECT_EQ(by_samples[2].stages, std::vector<std::size_t>{2});

  // For one thread, parts shrink towards the end down to a quarter of the largest
  // or the least size given.
  std::vector<tavol::ManifestRow> even(16, row(K::Mixture, "o/x", "c", "n", 100));
  std::vector<std::size_t> sizes;
  for (const auto &part : tavol::partition_rows(even, 400, 100, 1))
    sizes.push_back(part.rows.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 4, 4, 2, 1, 1}));
  sizes.clear();
  for (const auto &part : tavol::partition_rows(even, 400, 100, 1, 200))
    sizes.push_back(part.rows.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 4, 4, 2, 2}));
}

// Each row succeeds or fails on its own; resume passes over what is complete;
// the temporary files a killed writer left are swept, nothing else.
TEST(ManifestParts, RowsFailAloneAndResumeSkipsCompleteOutputs) {
  const fs::path dir = tavol::testing::fresh_dir("parts", "render");
  const std::string clean = write_ramp(dir / "c.wav", 1600).string();
  const std::string noise = write_ramp(dir / "n.wav", 4000).string();
  const std::string missing = (dir / "gone.wav").string();
  using K = tavol::RowKind;
  std::vector<tavol::ManifestRow> rows = {
      row(K::Mixture, dir / "out" / "a.wav", clean, noise, 1600),
      row(K::Mixture, dir / "out" / "b.wav", clean, missing, 1600),
      row(K::RawCopy, dir / "out" / "raw" / "c.wav", clean, "", 0),
      row(K::Mixture, dir / "out" / "d.wav", clean, noise, 1600)};
  rows[0].job.offset = 7;

  auto states = [](const std::vector<tavol::RowOutcome> &outcomes) {
    std::vector<State> out;
    for (const auto &o : outcomes)
      out.push_back(o.state);
    return out;
  };
  const auto first = tavol::render_part(rows, false);
  EXPECT_EQ(states(first),
            (std::vector<State>{State::Written, State::Failed, State::Written, State::Written}));
  EXPECT_NE(first[1].error.find("gone.wav"), std::string::npos) << first[1].error;
  EXPECT_GT(first[0].stats.peak, 0);
  EXPECT_EQ(fs::file_size(dir / "out" / "a.wav"), 44u + 2 * 1600);
  EXPECT_EQ(fs::file_size(dir / "out" / "raw" / "c.wav"), fs::file_size(clean));
  EXPECT_FALSE(fs::exists(dir / "out" / "b.wav"));

  fs::resize_file(dir / "out" / "d.wav", 100);
  const auto again = tavol::render_part(rows, true);
  EXPECT_EQ(states(again),
            (std::vector<State>{State::Complete, State::Failed, State::Complete, State::Written}));
  EXPECT_EQ(fs::file_size(dir / "out" / "d.wav"), 44u + 2 * 1600);

  std::ofstream(dir / "out" / ".tavol-00001234000000000000000a.tmp") << "half";
  std::ofstream(dir / "out" / ".tavol-Ab3xYz") << "half";
  EXPECT_EQ(tavol::remove_temporaries(dir / "out"), 2u);
  EXPECT_EQ(tavol::remove_temporaries(dir / "nowhere"), 0u);
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(dir / "out"))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"a.wav", "d.wav", "raw"}));
  fs::remove_all(dir);
}

// Parts rendered one after another with one shared cache decode each recording
// once between them, and write what parts with caches of their own write.
TEST(ManifestParts, PartsSharingRecordingsDecodeEachOnce) {
  const fs::path dir = tavol::testing::fresh_dir("parts", "shared");
  const std::string clean = write_ramp(dir / "c.wav", 1600).string();
  const std::string noise = write_ramp(dir / "n.wav", 4000).string();
  auto part = [&](const fs::path &out, const char *name) {
    std::vector<tavol::ManifestRow> rows;
    for (std::size_t offset : {0u, 900u}) {
      rows.push_back(row(tavol::RowKind::Mixture, out / (name + std::to_string(offset) + ".wav"),
                         clean, noise, 1600));
      rows.back().job.offset = offset;
    }
    return rows;
  };
  const auto recordings = tavol::MixRenderer::shared_cache(tavol::kSynthRate);
  for (const char *name : {"a", "b"}) {
    tavol::render_part(part(dir / "shared", name), false, recordings);
    tavol::render_part(part(dir / "own", name), false);
  }
  EXPECT_EQ(recordings->loads(), 2u);
  for (const auto &entry : fs::directory_iterator(dir / "own")) {
    std::ifstream own(entry.path(), std::ios::binary);
    std::ifstream shared(dir / "shared" / entry.path().filename(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(own), {}),
              std::string(std::istreambuf_iterator<char>(shared), {}))
        << entry.path();
  }
  fs::remove_all(dir);
}

#include "tavol/mix_renderer.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tavol/audio_file.hpp"
#include "tavol/errors.hpp"
#include "tavol/wav_writer.hpp"

namespace fs = std::filesystem;

namespace {

fs::path fresh_dir(const char *name) { return tavol::testing::fresh_dir("mix", name); }

fs::path write_noise(const fs::path &path, std::size_t frames, int rate, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(-3000, 3000);
  std::vector<std::int16_t> pcm(frames);
  for (auto &x : pcm)
    x = static_cast<std::int16_t>(dist(gen));
  tavol::write_wav16(path, pcm.data(), frames, 1, rate);
  return path;
}

std::vector<char> bytes_of(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(MixRenderer, LengthsComeFromHeadersAtSixteenKilohertz) {
  const fs::path dir = fresh_dir("length");
  tavol::MixRenderer renderer;
  const auto clean = write_noise(dir / "c.wav", 16000, 16000, 1);
  const auto noise = write_noise(dir / "n.wav", 44100, 44100, 2);
  EXPECT_EQ(renderer.length(clean.string()), 16000u);
  EXPECT_EQ(renderer.length(noise.string()), 16000u);
  EXPECT_EQ(renderer.length(noise.string()),
            tavol::decode_file(noise, {16000, true}).samples.size());
  renderer.provide("elsewhere.mp3", std::vector<float>(123, 0.1f));
  EXPECT_EQ(renderer.length("elsewhere.mp3"), 123u);
  EXPECT_THROW(renderer.length((dir / "missing.wav").string()), tavol::UnreadableAudio);
  fs::remove_all(dir);
}

TEST(MixRenderer, WritesIntoNewFoldersAtSixteenKilohertz) {
  const fs::path dir = fresh_dir("write");
  tavol::MixRenderer renderer;
  const auto clean = write_noise(dir / "c.wav", 8000, 16000, 1);
  const auto noise = write_noise(dir / "n.wav", 2000, 16000, 2);
  const fs::path out = dir / "deep" / "er" / "m.wav";
  renderer.render({out, clean.string(), noise.string(), 5.0, 0}, false);
  const auto back = tavol::decode_file(out);
  EXPECT_EQ(back.rate, 16000);
  EXPECT_EQ(back.frames, 8000u);
  fs::remove_all(dir);
}

// Eight threads render jobs that share one noise: the noise is decoded once
// and every output equals the one rendered alone.
TEST(MixRenderer, ConcurrentRendersShareTheCache) {
  const fs::path dir = fresh_dir("threads");
  const auto noise = write_noise(dir / "noise.wav", 88200, 44100, 9);
  std::vector<fs::path> cleans;
  for (unsigned i = 0; i < 4; ++i)
    cleans.push_back(
        write_noise(dir / ("c" + std::to_string(i) + ".wav"), 4000 + 100 * i, 16000, i));

  std::vector<tavol::MixJob> jobs;
  for (std::size_t i = 0; i < 32; ++i)
    jobs.push_back({dir / "out" / (std::to_string(i) + ".wav"), cleans[i % 4].string(),
                    noise.string(), static_cast<double>(i % 5) - 2.0, 1 + i * 10});

  tavol::MixRenderer shared;
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < jobs.size(); i += 8)
        shared.render(jobs[i], false);
    });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(shared.cache().loads(), 5u); // 4 cleans + 1 noise

  tavol::MixRenderer alone;
  for (std::size_t i = 0; i < jobs.size(); i += 7) {
    const fs::path again = dir / "again.wav";
    alone.render({again, jobs[i].clean, jobs[i].noise, jobs[i].snr_db, jobs[i].offset}, false);
    EXPECT_EQ(bytes_of(again), bytes_of(jobs[i].output)) << i;
  }
  fs::remove_all(dir);
}

// Announced jobs: recordings one job uses are decoded outside the cache, the
// shared noise inside it, and the files are the same either way.
TEST(MixRenderer, SingleUseRecordingsBypassTheCache) {
  const fs::path dir = fresh_dir("single");
  const auto noise = write_noise(dir / "noise.wav", 88200, 44100, 3);
  std::vector<tavol::MixJob> jobs;
  for (unsigned i = 0; i < 6; ++i) {
    const auto clean =
        write_noise(dir / ("c" + std::to_string(i) + ".wav"), 3000 + 7 * i, 16000, 10 + i);
    jobs.push_back({dir / "out" / (std::to_string(i) + ".wav"), clean.string(), noise.string(),
                    1.5 * i, 100 + i});
  }
  tavol::MixRenderer planned;
  planned.expect(jobs);
  for (const auto &job : jobs)
    planned.render(job, false);
  EXPECT_EQ(planned.cache().loads(), 1u); // the noise only

  tavol::MixRenderer plain;
  for (const auto &job : jobs) {
    const fs::path again = dir / "again.wav";
    plain.render({again, job.clean, job.noise, job.snr_db, job.offset}, false);
    EXPECT_EQ(bytes_of(again), bytes_of(job.output)) << job.clean;
  }
  EXPECT_EQ(plain.cache().loads(), 7u);
  fs::remove_all(dir);
}

// A staged mixture renders in memory exactly as its written file reads back,
// and a renderer at another rate writes at that rate.
TEST(MixRenderer, StagedMixturesEqualTheirFilesAndRatesAreKept) {
  const fs::path dir = fresh_dir("stage");
  const auto noise = write_noise(dir / "n.wav", 30000, 44100, 4);
  const auto background = write_noise(dir / "bg.wav", 9000, 16000, 5);
  const auto clean = write_noise(dir / "c.wav", 5000, 16000, 6);
  const tavol::MixJob stage{dir / "stage.wav", noise.string(), background.string(), 5.0, 0};
  tavol::MixRenderer on_disk;
  on_disk.render_job(stage);
  const tavol::MixJob second{dir / "a.wav", clean.string(), stage.output.string(), 0.0, 321, true};
  on_disk.render_job(second);

  tavol::MixRenderer in_memory;
  in_memory.stage("staged", stage);
  EXPECT_EQ(in_memory.length("staged"), on_disk.length(stage.output.string()));
  tavol::MixJob from_memory = second;
  from_memory.output = dir / "b.wav";
  from_memory.noise = "staged";
  in_memory.render_job(from_memory);
  EXPECT_EQ(bytes_of(dir / "a.wav"), bytes_of(dir / "b.wav"));

  tavol::MixRenderer slow(8000);
  EXPECT_EQ(slow.length(noise.string()), 5443u); // ceil(30000 * 8000 / 44100)
  slow.render_job({dir / "c8k.wav", noise.string(), background.string(), 0.0, 7});
  const auto back = tavol::decode_file(dir / "c8k.wav");
  EXPECT_EQ(back.rate, 8000);
  EXPECT_EQ(back.frames, 5443u);
  fs::remove_all(dir);
}

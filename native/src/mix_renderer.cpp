// One synthesis entry from decoded recordings to a written WAV file.
#include "tavol/mix_renderer.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

#include "tavol/audio_file.hpp"
#include "tavol/errors.hpp"
#include "tavol/mix.hpp"
#include "tavol/scratch.hpp"
#include "tavol/wav_writer.hpp"

namespace tavol {
namespace {

std::vector<float> decode_for_mixing(const std::string &path) {
  return decode_file(path, DecodeOptions{kSynthRate, true}).samples;
}

// Each rendering thread's reusable memory: one buffer per recording of a job
// (clean, noise) and one for the mixture. Up to 60 s at 16 kHz is kept.
constexpr std::size_t kKeepSamples = std::size_t{60} * kSynthRate;
thread_local Scratch<float> recording_memory[2] = {Scratch<float>(kKeepSamples),
                                                   Scratch<float>(kKeepSamples)};
thread_local Scratch<std::int16_t> mixture_memory(kKeepSamples);

// create_directories, tolerant of another thread creating the same folder.
void make_folder(const std::filesystem::path &folder) {
  if (folder.empty())
    return;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec && !std::filesystem::is_directory(folder))
    throw IoError(ec.value(), "cannot create folder " + folder.string() + ": " + ec.message(),
                  folder);
}

} // namespace

MixRenderer::MixRenderer(std::size_t cache_bytes) : cache_(decode_for_mixing, cache_bytes) {}

void MixRenderer::provide(const std::string &path, std::vector<float> samples) {
  provided_[path] = std::make_shared<const std::vector<float>>(std::move(samples));
}

std::size_t MixRenderer::length(const std::string &path) const {
  if (auto it = provided_.find(path); it != provided_.end())
    return it->second->size();
  return decoded_frames(probe_file(path), kSynthRate);
}

void MixRenderer::expect(const std::vector<MixJob> &jobs) {
  std::unordered_map<std::string_view, std::size_t> uses;
  for (const MixJob &job : jobs) {
    ++uses[job.clean];
    ++uses[job.noise];
  }
  single_use_.clear();
  for (const auto &[path, count] : uses)
    if (count == 1)
      single_use_.emplace(path);
}

struct MixRenderer::Held {
  AudioCache::Handle owner; // null for a thread's own memory
  const float *data = nullptr;
  std::size_t size = 0;
};

MixRenderer::Held MixRenderer::samples(const std::string &path, int slot) {
  if (auto it = provided_.find(path); it != provided_.end())
    return {it->second, it->second->data(), it->second->size()};
  if (single_use_.count(path) != 0) {
    Scratch<float> &memory = recording_memory[slot];
    const AudioView view = decode_file_into(path, DecodeOptions{kSynthRate, true, true},
                                            [&memory](std::size_t n) { return memory.get(n); });
    return {nullptr, view.samples, view.frames};
  }
  AudioCache::Handle shared = cache_.get(path);
  return {shared, shared->data(), shared->size()};
}

void MixRenderer::render(const MixJob &job, bool noise_only) {
  struct GiveBackLargeBuffers {
    ~GiveBackLargeBuffers() {
      for (Scratch<float> &memory : recording_memory)
        memory.trim();
      mixture_memory.trim();
    }
  } give_back;
  check_no_nul(job.output);
  // A recording the decoder finds NaN or infinite in is the same error as one
  // that reaches the mixer so (provided by another decoder).
  const auto recording = [&](const std::string &path, int slot, const char *role) {
    try {
      return samples(path, slot);
    } catch (const NonFiniteAudio &) {
      throw non_finite_recording(role, path);
    }
  };
  const Held clean = recording(job.clean, 0, "clean");
  const Held noise = recording(job.noise, 1, "noise");
  std::int16_t *pcm = mixture_memory.get(clean.size);
  mix_pcm16_into(Recording{clean.data, clean.size, job.clean},
                 Recording{noise.data, noise.size, job.noise}, job.snr_db, job.offset, noise_only,
                 pcm);
  make_folder(job.output.parent_path());
  write_wav16(job.output, pcm, clean.size, 1, kSynthRate);
}

} // namespace tavol

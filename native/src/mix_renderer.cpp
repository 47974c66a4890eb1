// One synthesis entry from decoded recordings to a written WAV file.
#include "tavol/mix_renderer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "tavol/audio_file.hpp"
#include "tavol/errors.hpp"
#include "tavol/mix.hpp"
#include "tavol/platform/file.hpp"
#include "tavol/scratch.hpp"
#include "tavol/wav_writer.hpp"

namespace tavol {
namespace {

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

// A quarter of the descriptors the process may hold, so the files a plan
// keeps open leave room for everything else it does.
MixRenderer::MixRenderer(int rate, std::size_t cache_bytes)
    : rate_(rate), cache_([this](const std::string &path) { return load(path); }, cache_bytes),
      held_limit_(platform::open_file_limit() / 4) {
  if (rate < 1)
    throw InvalidArgument("the output rate must be a positive number of Hz, got " +
                          std::to_string(rate));
}

std::shared_ptr<AudioCache> MixRenderer::shared_cache(int rate, std::size_t cache_bytes) {
  // As load() decodes a recording that is not staged.
  return std::make_shared<AudioCache>(
      [rate](const std::string &path) {
        AudioCache::Samples out;
        decode_file_into(path, DecodeOptions{rate, true}, [&out](std::size_t n) {
          out.resize(n);
          return out.data();
        });
        return out;
      },
      cache_bytes);
}

void MixRenderer::share(std::shared_ptr<AudioCache> recordings) { shared_ = std::move(recordings); }

void MixRenderer::provide(const std::string &path, std::vector<float> samples) {
  provided_[path] = std::make_shared<const std::vector<float>>(std::move(samples));
}

void MixRenderer::stage(const std::string &path, MixJob job) {
  staged_.insert_or_assign(path, std::move(job));
}

std::size_t MixRenderer::length(const std::string &path) {
  if (auto it = provided_.find(path); it != provided_.end())
    return it->second->size();
  if (auto it = staged_.find(path); it != staged_.end())
    return length(it->second.clean);
  AudioInput input = AudioInput::open(path);
  const std::size_t frames = decoded_frames(input.info(), rate_);
  std::lock_guard lock(held_mutex_);
  if (held_.size() < held_limit_)
    held_.insert_or_assign(path, std::move(input));
  return frames;
}

AudioView MixRenderer::decode(const std::string &path, const DecodeOptions &options,
                              const Allocate &allocate) {
  std::optional<AudioInput> input;
  {
    std::lock_guard lock(held_mutex_);
    if (auto it = held_.find(path); it != held_.end()) {
      input.emplace(std::move(it->second));
      held_.erase(it);
    }
  }
  if (input)
    return decode_input_into(std::move(*input), options, allocate);
  return decode_file_into(path, options, allocate);
}

void MixRenderer::expect(const std::vector<MixJob> &jobs) {
  std::unordered_map<std::string_view, std::size_t> uses;
  for (const MixJob &job : jobs) {
    ++uses[job.clean];
    ++uses[job.noise];
  }
  single_use_.clear();
  for (const auto &[path, count] : uses)
    if (count == 1 && staged_.count(std::string(path)) == 0)
      single_use_.emplace(path);
}

struct MixRenderer::Held {
  AudioCache::Handle owner; // null for a thread's own memory
  const float *data = nullptr;
  std::size_t size = 0;
};

// A staged mixture is rendered here, as its file would read back: 16-bit
// samples over 32768. Its recordings never go to the per-thread buffers,
// which the job that asked for it may be holding.
AudioCache::Samples MixRenderer::load(const std::string &path) {
  auto it = staged_.find(path);
  if (it == staged_.end()) {
    AudioCache::Samples out;
    decode(path, DecodeOptions{rate_, true}, [&out](std::size_t n) {
      out.resize(n);
      return out.data();
    });
    return out;
  }
  const MixJob &job = it->second;
  const Held clean = samples(job.clean, -1);
  const Held noise = samples(job.noise, -1);
  const MixOptions options = options_for(job, clean);
  std::vector<std::int16_t> pcm(clean.size);
  mix_pcm16_into(Recording{clean.data, clean.size, job.clean},
                 Recording{noise.data, noise.size, job.noise}, job.snr_db, job.offset, options,
                 pcm.data());
  AudioCache::Samples out(pcm.size());
  for (std::size_t k = 0; k < pcm.size(); ++k)
    out[k] = static_cast<float>(pcm[k]) / 32768.0f;
  return out;
}

MixRenderer::Held MixRenderer::samples(const std::string &path, int slot) {
  if (auto it = provided_.find(path); it != provided_.end())
    return {it->second, it->second->data(), it->second->size()};
  if (slot >= 0 && single_use_.count(path) != 0) {
    Scratch<float> &memory = recording_memory[slot];
    const AudioView view = decode(path, DecodeOptions{rate_, true, true},
                                  [&memory](std::size_t n) { return memory.get(n); });
    return {nullptr, view.samples, view.frames};
  }
  AudioCache &cache = shared_ && staged_.count(path) == 0 ? *shared_ : cache_;
  AudioCache::Handle shared = cache.get(path);
  return {shared, shared->data(), shared->size()};
}

// The clean's level by the job's definition, measured once per clean file
// that several jobs share (the mean square of a 3 s file costs 6-11 us, a
// look-up well under one); a negative level (measure it in the mix) for a
// clean of one job under the power definition.
MixOptions MixRenderer::options_for(const MixJob &job, const Held &clean) {
  MixOptions options;
  options.noise_only = job.noise_only;
  options.definition = job.definition;
  options.clipping = job.clipping;
  options.rate = rate_;
  options.clean_level = level_of(job, clean);
  return options;
}

double MixRenderer::level_of(const MixJob &job, const Held &clean) {
  static_assert(static_cast<int>(SnrDefinition::Active) == 1, "one map of levels per definition");
  if (single_use_.count(job.clean) != 0)
    return job.definition == SnrDefinition::Power
               ? -1.0
               : clean_level(clean.data, clean.size, job.definition, rate_);
  auto &levels = levels_[static_cast<std::size_t>(job.definition)];
  {
    std::lock_guard lock(levels_mutex_);
    if (auto it = levels.find(job.clean); it != levels.end())
      return it->second;
  }
  const double level = clean_level(clean.data, clean.size, job.definition, rate_);
  std::lock_guard lock(levels_mutex_);
  levels.emplace(job.clean, level);
  return level;
}

MixStats MixRenderer::render_job(const MixJob &job, bool measure) {
  const TrimOnExit give_back(recording_memory[0], recording_memory[1], mixture_memory);
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
  MixOptions options = options_for(job, clean);
  options.measure = measure && !job.clean_target;
  MixStats stats;
  try {
    stats = mix_pcm16_into(Recording{clean.data, clean.size, job.clean},
                           Recording{noise.data, noise.size, job.noise}, job.snr_db, job.offset,
                           options, pcm);
  } catch (const ClippingError &e) {
    throw ClippingError("cannot write " + job.output.string() + ": " + e.what());
  }
  if (job.clean_target) {
    const double full_scale = static_cast<double>(kFullScale) * stats.scale;
    int top = 0;
    for (std::size_t k = 0; k < clean.size; ++k) {
      pcm[k] = saturate_pcm16(static_cast<double>(clean.data[k]) * full_scale);
      top = std::max(top, std::abs(static_cast<int>(pcm[k])));
    }
    stats.clean_gain = stats.scale;
    stats.noise_gain = 0.0;
    stats.peak = top;
    stats.clipped = 0;
  }
  // Each output folder is made (or found) once per renderer, not once per file.
  const std::filesystem::path folder = job.output.parent_path();
  {
    std::lock_guard lock(folders_mutex_);
    if (!folders_.count(folder.native())) {
      make_folder(folder);
      folders_.insert(folder.native());
    }
  }
  write_wav16(job.output, pcm, clean.size, 1, rate_);
  return stats;
}

void MixRenderer::render(const MixJob &job, bool noise_only) {
  MixJob copy = job;
  copy.noise_only = noise_only;
  render_job(copy);
}

} // namespace tavol

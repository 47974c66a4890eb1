// Rendering of synthesis entries: a clean and a noise recording in, one mono
// 16-bit WAV out at the renderer's rate (16 kHz unless asked otherwise; see
// mix.hpp for the arithmetic).
//
// Recordings are decoded at that rate, mono, through one AudioCache per renderer,
// so a recording that many entries share is decoded once per run. A recording
// that only one job of the run uses (the clean of most regular entries) skips
// the cache: it is decoded into memory the rendering thread reuses, which
// spares the page faults of a fresh buffer per file. The random
// noise offset is not drawn here: the caller draws it (from numpy's generator,
// in plan order) and puts it in the job, so the output does not depend on
// which thread renders which job.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavol/audio_cache.hpp"
#include "tavol/audio_file.hpp"
#include "tavol/constants.hpp"
#include "tavol/mix.hpp"

namespace tavol {

struct MixJob {
  std::filesystem::path output; // the WAV file to write
  std::string clean;            // path of the clean recording
  std::string noise;            // path of the noise recording
  double snr_db = 0.0;
  std::size_t offset = 0; // first noise sample used, when the noise is longer than the clean
  bool noise_only = false;
  SnrDefinition definition = SnrDefinition::Power;
  Clipping clipping = Clipping::Saturate;
  // Write the mixture's clean target instead: the clean times the factor the
  // clipping policy applied to the mixture (what a model should recover).
  bool clean_target = false;
};

class MixRenderer {
public:
  explicit MixRenderer(int rate = kSynthRate, std::size_t cache_bytes = kAudioCacheBytes);

  // A cache of recordings decoded at `rate` that several renderers of that
  // rate can share (see share()), each keeping its own staged mixtures.
  static std::shared_ptr<AudioCache> shared_cache(int rate,
                                                  std::size_t cache_bytes = kAudioCacheBytes);
  // Takes recordings from `recordings` (made by shared_cache at this
  // renderer's rate) instead of its own cache, so that renderers run one
  // after another decode a recording once. Call before rendering starts (not
  // thread-safe).
  void share(std::shared_ptr<AudioCache> recordings);

  int rate() const noexcept { return rate_; }

  // Supplies the mono samples, at the renderer's rate, of a recording that
  // another decoder had to read. Call before rendering starts (not thread-safe).
  void provide(const std::string &path, std::vector<float> samples);
  // Declares `path` a recording that is itself a mixture: when a job uses it,
  // `job` is rendered in memory (never written) and its 16-bit samples are
  // used as they would read back from the file. Call before rendering starts
  // (not thread-safe).
  void stage(const std::string &path, MixJob job);
  // Announces the jobs of the run, so that recordings only one of them uses
  // bypass the cache. Optional; call before rendering starts (not thread-safe).
  void expect(const std::vector<MixJob> &jobs);
  // Samples `path` has at the renderer's rate: from the header alone, from
  // provide(), or the length of a staged mixture's clean. The file stays
  // open (up to a quarter of the process's descriptors) until a job decodes
  // it, so a run reads each input once. Throws UnreadableAudio / CorruptAudio
  // like probe_file. Call before rendering starts (not thread-safe).
  std::size_t length(const std::string &path);
  // Renders one job: decodes (or reuses) both recordings, mixes, creates the
  // output's folder and writes the file atomically. With `measure`, the
  // returned stats hold the written file's peak and realised SNR. A
  // ClippingError names the output. Thread-safe.
  MixStats render_job(const MixJob &job, bool measure = false);
  // The same with the noise-only flag given here.
  void render(const MixJob &job, bool noise_only);

  const AudioCache &cache() const noexcept { return cache_; }

private:
  struct Held; // samples of one recording, owned by the cache or by a thread
  // `slot` 0 or 1: single-use recordings go to that per-thread buffer; -1: never.
  Held samples(const std::string &path, int slot);
  AudioCache::Samples load(const std::string &path);
  // Decodes `path`, from the file length() opened when it holds it.
  AudioView decode(const std::string &path, const DecodeOptions &options, const Allocate &allocate);
  double level_of(const MixJob &job, const Held &clean);
  // The mixing options of `job` at this renderer's rate, its clean level included.
  MixOptions options_for(const MixJob &job, const Held &clean);

  int rate_;
  AudioCache cache_;
  std::shared_ptr<AudioCache> shared_; // see share()
  std::unordered_map<std::string, AudioCache::Handle> provided_;
  std::unordered_map<std::string, MixJob> staged_;
  std::unordered_set<std::string> single_use_;
  std::mutex held_mutex_;
  std::unordered_map<std::string, AudioInput> held_; // opened by length(), not yet decoded
  std::size_t held_limit_;
  std::mutex folders_mutex_;
  std::unordered_set<std::string> folders_; // output folders made or found
  std::mutex levels_mutex_;
  // The cleans' levels by clean path, one map per SnrDefinition (Power, Active).
  std::unordered_map<std::string, double> levels_[2];
};

} // namespace tavol

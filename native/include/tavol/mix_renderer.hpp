// Rendering of synthesis entries: a clean and a noise recording in, one mono
// 16-bit WAV at 16 kHz out (see mix.hpp for the arithmetic).
//
// Recordings are decoded at 16 kHz, mono, through one AudioCache per renderer,
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
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavol/audio_cache.hpp"
#include "tavol/constants.hpp"

namespace tavol {

struct MixJob {
  std::filesystem::path output; // the WAV file to write
  std::string clean;            // path of the clean recording
  std::string noise;            // path of the noise recording
  double snr_db = 0.0;
  std::size_t offset = 0; // first noise sample used, when the noise is longer than the clean
};

class MixRenderer {
public:
  explicit MixRenderer(std::size_t cache_bytes = kAudioCacheBytes);

  // Supplies the 16 kHz mono samples of a recording that another decoder had
  // to read. Call before rendering starts (not thread-safe).
  void provide(const std::string &path, std::vector<float> samples);
  // Announces the jobs of the run, so that recordings only one of them uses
  // bypass the cache. Optional; call before rendering starts (not thread-safe).
  void expect(const std::vector<MixJob> &jobs);
  // Samples `path` has at 16 kHz: from the header alone, or from provide().
  // Throws UnreadableAudio / CorruptAudio like probe_file.
  std::size_t length(const std::string &path) const;
  // Renders one job: decodes (or reuses) both recordings, mixes, creates the
  // output's folder and writes the file atomically. Thread-safe.
  void render(const MixJob &job, bool noise_only);

  const AudioCache &cache() const noexcept { return cache_; }

private:
  struct Held; // samples of one recording, owned by the cache or by a thread
  Held samples(const std::string &path, int slot);

  AudioCache cache_;
  std::unordered_map<std::string, AudioCache::Handle> provided_;
  std::unordered_set<std::string> single_use_;
};

} // namespace tavol

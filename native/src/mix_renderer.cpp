// One synthesis entry from decoded recordings to a written WAV file.
#include "tavol/mix_renderer.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

#include "tavol/audio_file.hpp"
#include "tavol/errors.hpp"
#include "tavol/mix.hpp"
#include "tavol/wav_writer.hpp"

namespace tavol {
namespace {

std::vector<float> decode_for_mixing(const std::string &path) {
  return decode_file(path, DecodeOptions{kSynthRate, true}).samples;
}

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

AudioCache::Handle MixRenderer::samples(const std::string &path) {
  if (auto it = provided_.find(path); it != provided_.end())
    return it->second;
  return cache_.get(path);
}

void MixRenderer::render(const MixJob &job, bool noise_only) {
  const AudioCache::Handle clean = samples(job.clean);
  const AudioCache::Handle noise = samples(job.noise);
  const std::vector<std::int16_t> pcm = mix_pcm16(
      Recording{clean->data(), clean->size(), job.clean},
      Recording{noise->data(), noise->size(), job.noise}, job.snr_db, job.offset, noise_only);
  make_folder(job.output.parent_path());
  write_wav16(job.output, pcm.data(), pcm.size(), 1, kSynthRate);
}

} // namespace tavol

// libsoxr at its high-quality setting, driven the way python-soxr drives it
// (streamed in chunks of 48000 output frames' worth of input, then flushed),
// so the results match librosa's soxr_hq resampling.
#include "tavol/resample.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "tavol/errors.hpp"

namespace tavol {
namespace {

struct SoxrDeleter {
  void operator()(soxr_t s) const noexcept { soxr_delete(s); }
};

} // namespace

std::size_t resampled_length(std::size_t n, int from, int to) {
  const double ratio = static_cast<double>(to) / static_cast<double>(from);
  return static_cast<std::size_t>(std::ceil(static_cast<double>(n) * ratio));
}

std::vector<float> resample(const float *in, std::size_t n, int from, int to) {
  if (from <= 0 || to <= 0)
    throw InvalidArgument("sample rates must be positive, got " + std::to_string(from) + " and " +
                          std::to_string(to));
  if (from == to)
    return std::vector<float>(in, in + n);
  const std::size_t wanted = resampled_length(n, from, to);
  std::vector<float> out(wanted, 0.0f);
  if (n == 0)
    return out;

  soxr_error_t err = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // One thread per resampler: parallelism comes from our own worker pool.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  std::unique_ptr<soxr, SoxrDeleter> soxr(soxr_create(from, to, 1, &err, &io, &quality, &runtime));
  if (err != nullptr)
    throw Error(std::string("soxr: ") + err);

  const double in_rate = from;
  const double out_rate = to;
  // Room for everything soxr may produce; fix_length then cuts or pads.
  const auto capacity = static_cast<std::size_t>(static_cast<double>(n) * out_rate / in_rate) + 1;
  std::vector<float> buffer(std::max(capacity, wanted), 0.0f);
  const auto chunk = std::max<std::size_t>(1, static_cast<std::size_t>(48000 * in_rate / out_rate));
  std::size_t produced = 0;
  std::size_t done = 0;
  for (std::size_t pos = 0; pos < n && err == nullptr; pos += chunk) {
    err = soxr_process(soxr.get(), in + pos, std::min(chunk, n - pos), nullptr,
                       buffer.data() + produced, capacity - produced, &done);
    produced += done;
  }
  if (err == nullptr) {
    err = soxr_process(soxr.get(), nullptr, 0, nullptr, buffer.data() + produced,
                       capacity - produced, &done);
    produced += done;
  }
  if (err != nullptr)
    throw Error(std::string("soxr: ") + err);
  std::copy_n(buffer.begin(), std::min(produced, wanted), out.begin());
  return out;
}

std::vector<float> resample_planar(const float *in, std::size_t frames, int channels, int from,
                                   int to, std::size_t *out_frames) {
  const std::size_t n_out = from == to ? frames : resampled_length(frames, from, to);
  std::vector<float> out(n_out * static_cast<std::size_t>(channels));
  for (int c = 0; c < channels; ++c) {
    const auto offset = static_cast<std::size_t>(c);
    std::vector<float> one = resample(in + offset * frames, frames, from, to);
    std::copy(one.begin(), one.end(), out.begin() + static_cast<std::ptrdiff_t>(offset * n_out));
  }
  *out_frames = n_out;
  return out;
}

} // namespace tavol

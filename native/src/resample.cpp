// libsoxr at its high-quality setting, driven the way python-soxr drives it
// (streamed in chunks of 48000 output frames' worth of input, then flushed),
// so the results match librosa's soxr_hq resampling.
#include "tavol/resample.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "tavol/errors.hpp"
#include "tavol/scratch.hpp"

namespace tavol {
namespace {

struct SoxrDeleter {
  void operator()(soxr_t s) const noexcept { soxr_delete(s); }
};

void check_rates(int from, int to) {
  if (from <= 0 || to <= 0)
    throw InvalidArgument("sample rates must be positive, got " + std::to_string(from) + " and " +
                          std::to_string(to));
}

// Where soxr writes when the caller's buffer has no room for its extra frame.
thread_local Scratch<float> output_memory(std::size_t{4} << 20);

} // namespace

std::size_t resampled_length(std::size_t n, int from, int to) {
  const double ratio = static_cast<double>(to) / static_cast<double>(from);
  return static_cast<std::size_t>(std::ceil(static_cast<double>(n) * ratio));
}

void resample_into(const float *in, std::size_t n, int from, int to, float *out) {
  check_rates(from, to);
  if (from == to) {
    std::copy_n(in, n, out);
    return;
  }
  const std::size_t wanted = resampled_length(n, from, to);
  if (n == 0) {
    std::fill_n(out, wanted, 0.0f);
    return;
  }

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
  // Room for everything soxr may produce (at most one frame more than kept);
  // fix_length then cuts or pads.
  const auto capacity = static_cast<std::size_t>(static_cast<double>(n) * out_rate / in_rate) + 1;
  float *buffer = capacity <= wanted ? out : output_memory.get(capacity);
  const auto chunk = std::max<std::size_t>(1, static_cast<std::size_t>(48000 * in_rate / out_rate));
  std::size_t produced = 0;
  std::size_t done = 0;
  for (std::size_t pos = 0; pos < n && err == nullptr; pos += chunk) {
    err = soxr_process(soxr.get(), in + pos, std::min(chunk, n - pos), nullptr, buffer + produced,
                       capacity - produced, &done);
    produced += done;
  }
  if (err == nullptr) {
    err = soxr_process(soxr.get(), nullptr, 0, nullptr, buffer + produced, capacity - produced,
                       &done);
    produced += done;
  }
  if (err != nullptr)
    throw Error(std::string("soxr: ") + err);
  const std::size_t kept = std::min(produced, wanted);
  if (buffer != out)
    std::copy_n(buffer, kept, out);
  std::fill(out + kept, out + wanted, 0.0f);
  output_memory.trim();
}

std::vector<float> resample(const float *in, std::size_t n, int from, int to) {
  check_rates(from, to);
  std::vector<float> out(from == to ? n : resampled_length(n, from, to));
  resample_into(in, n, from, to, out.data());
  return out;
}

void resample_planar_into(const float *in, std::size_t frames, int channels, int from, int to,
                          float *out) {
  const std::size_t n_out = from == to ? frames : resampled_length(frames, from, to);
  for (int c = 0; c < channels; ++c) {
    const auto offset = static_cast<std::size_t>(c);
    resample_into(in + offset * frames, frames, from, to, out + offset * n_out);
  }
}

} // namespace tavol

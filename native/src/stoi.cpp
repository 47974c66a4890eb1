// STOI of a processed signal against its clean reference, step for step as
// pystoi computes it (the reference implementation most papers report), in
// double precision. Written here rather than called through pystoi because
// scoring a corpus spent more time in pystoi (NumPy calls on small arrays,
// and a second or more importing scipy.signal in every worker process) than
// in any other measure but PESQ; this takes about a tenth of its time.
#include "tavol/stoi.hpp"

#define POCKETFFT_NO_MULTITHREADING
#include <pocketfft_hdronly.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "lanes.hpp"
#include "tavol/errors.hpp"

namespace tavol {
namespace {

constexpr long kRate = 10000;            // the rate the measure works at (Hz)
constexpr std::size_t kFrame = 256;      // analysis window (samples)
constexpr std::size_t kHop = kFrame / 2; // between frames
constexpr std::size_t kFftSize = 512;
constexpr std::size_t kBins = kFftSize / 2 + 1;
constexpr std::size_t kBands = 15;     // one-third octave bands
constexpr double kLowestBand = 150.0;  // centre of the first band (Hz)
constexpr std::size_t kSegment = 30;   // frames of one envelope segment
constexpr double kBeta = -15.0;        // lowest signal-to-distortion ratio (dB)
constexpr double kDynamicRange = 40.0; // frames this far below the loudest are silence (dB)
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kPi = 3.14159265358979323846;

// The modified Bessel function I0 (Kaiser windows), from its power series,
// which converges fast for the arguments used here (below 6); libc++ has no
// std::cyl_bessel_i.
double bessel_i0(double x) {
  const double q = x * x / 4.0;
  double term = 1.0, sum = 1.0;
  for (int k = 1; term > sum * 1e-17; ++k) {
    term *= q / (static_cast<double>(k) * static_cast<double>(k));
    sum += term;
  }
  return sum;
}

// Octave's resample filter for the reduced ratio up / down, as resample_poly
// applies it: a sinc cut off at 1 / (2 max(up, down)) under a Kaiser window
// (60 dB of rejection), normalised to sum 1, times up.
std::vector<double> resample_filter(long up, long down) {
  const double cutoff = 1.0 / (2.0 * static_cast<double>(std::max(up, down)));
  const double roll_off = cutoff / 10.0;
  const double rejection_db = 60.0;
  const auto half = static_cast<long>(std::ceil((rejection_db - 8.0) / (28.714 * roll_off)));
  const double beta = 0.1102 * (rejection_db - 8.7);
  const double i0_beta = bessel_i0(beta);
  const double p = static_cast<double>(up);
  std::vector<double> h;
  h.reserve(static_cast<std::size_t>(2 * half + 1));
  for (long k = -half; k <= half; ++k) {
    const double r = static_cast<double>(k) / static_cast<double>(half);
    const double window = bessel_i0(beta * std::sqrt(1.0 - r * r)) / i0_beta;
    const double arg = kPi * (2.0 * cutoff * static_cast<double>(k));
    const double sinc = k == 0 ? 1.0 : std::sin(arg) / arg;
    h.push_back(window * (2.0 * p * cutoff * sinc));
  }
  const double sum = std::accumulate(h.begin(), h.end(), 0.0);
  for (double &v : h)
    v = v / sum * p;
  return h;
}

// Sums of h[r] * xy[2 r] and h[r] * xy[2 r + 1], r < n (the two signals side
// by side, as lanes), in four partial sums: one running sum would wait on the
// latency of every addition.
void dot2(const double *h, const double *xy, std::size_t n, double &sx, double &sy) {
  const Lanes zero{0.0, 0.0};
  Lanes s0 = zero, s1 = zero, s2 = zero, s3 = zero;
  std::size_t r = 0;
  for (; r + 4 <= n; r += 4) {
    s0 += h[r] * load(xy + 2 * r);
    s1 += h[r + 1] * load(xy + 2 * r + 2);
    s2 += h[r + 2] * load(xy + 2 * r + 4);
    s3 += h[r + 3] * load(xy + 2 * r + 6);
  }
  for (; r < n; ++r)
    s0 += h[r] * load(xy + 2 * r);
  const Lanes s = (s0 + s1) + (s2 + s3);
  sx = s[0];
  sy = s[1];
}

// x and y at kRate: upsampled by `up` (zeros between), filtered and kept
// every `down`-th sample, the output centred on the filter (resample_poly
// with the signals extended by zeros). Polyphase: output j meets input i
// through tap t - i up (t fixed by j), so the taps of one phase, reversed,
// run along consecutive inputs.
void resample(std::vector<double> &x, std::vector<double> &y, int rate) {
  const long g = std::gcd(kRate, static_cast<long>(rate));
  const long up = kRate / g, down = rate / g;
  const std::vector<double> h = resample_filter(up, down);
  const auto taps = static_cast<long>(h.size());
  std::vector<std::vector<double>> phases(static_cast<std::size_t>(up));
  for (long phase = 0; phase < up; ++phase) {
    auto &sub = phases[static_cast<std::size_t>(phase)];
    for (long k = phase; k < taps; k += up)
      sub.push_back(h[static_cast<std::size_t>(k)]);
    std::reverse(sub.begin(), sub.end());
  }
  const long half = (taps - 1) / 2;
  const long pre_pad = down - half % down;
  const long pre_remove = (half + pre_pad) / down;
  const auto length = static_cast<long>(x.size());
  const long n_out = (length * up + down - 1) / down;
  std::vector<double> xy(2 * x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    xy[2 * i] = x[i];
    xy[2 * i + 1] = y[i];
  }
  std::vector<double> xo(static_cast<std::size_t>(n_out)), yo(static_cast<std::size_t>(n_out));
  for (long j = 0; j < n_out; ++j) {
    const long t = (j + pre_remove) * down - pre_pad;
    const auto &sub = phases[static_cast<std::size_t>(t % up)];
    const auto count = static_cast<long>(sub.size());
    const long top = t / up;          // the input on the phase's first tap
    const long low = top - count + 1; // the input on its last
    const long from = std::max(low, 0L), to = std::min(top, length - 1);
    double sx = 0.0, sy = 0.0;
    if (from <= to)
      dot2(sub.data() + (from - low), xy.data() + 2 * from, static_cast<std::size_t>(to - from + 1),
           sx, sy);
    xo[static_cast<std::size_t>(j)] = sx;
    yo[static_cast<std::size_t>(j)] = sy;
  }
  x.swap(xo);
  y.swap(yo);
}

// NumPy's hanning(kFrame + 2) without its two zero ends.
std::vector<double> hann_window() {
  std::vector<double> w(kFrame);
  const double m = static_cast<double>(kFrame + 1);
  for (std::size_t j = 0; j < kFrame; ++j)
    w[j] = 0.5 + 0.5 * std::cos(kPi * (2.0 * static_cast<double>(j + 1) - m) / m);
  return w;
}

// Frame starts 0, kHop, ... below n - kFrame (pystoi's framing).
std::size_t frame_count(std::size_t n) { return n > kFrame ? (n - kFrame - 1) / kHop + 1 : 0; }

// Drops the frames of `x` more than kDynamicRange below its loudest, and the
// same frames of `y`; the kept windowed frames are overlap-added.
void remove_silent_frames(std::vector<double> &x, std::vector<double> &y,
                          const std::vector<double> &w) {
  const std::size_t frames = frame_count(x.size());
  std::vector<double> energy(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    double s = 0.0;
    for (std::size_t k = 0; k < kFrame; ++k) {
      const double v = w[k] * x[f * kHop + k];
      s += v * v;
    }
    energy[f] = 20.0 * std::log10(std::sqrt(s) + kEps);
  }
  const double loudest = *std::max_element(energy.begin(), energy.end());
  std::vector<std::size_t> kept;
  for (std::size_t f = 0; f < frames; ++f)
    if (loudest - kDynamicRange - energy[f] < 0.0)
      kept.push_back(f);
  const std::size_t length = (kept.size() - 1) * kHop + kFrame;
  std::vector<double> xs(length, 0.0), ys(length, 0.0);
  for (std::size_t j = 0; j < kept.size(); ++j)
    for (std::size_t k = 0; k < kFrame; ++k) {
      xs[j * kHop + k] += w[k] * x[kept[j] * kHop + k];
      ys[j * kHop + k] += w[k] * y[kept[j] * kHop + k];
    }
  x.swap(xs);
  y.swap(ys);
}

// First and one-past-last FFT bin of each one-third octave band: the bins
// nearest its lower and upper edges.
struct Band {
  std::size_t low, high;
};
std::vector<Band> third_octave_bands() {
  const auto nearest = [](double freq) {
    std::size_t best = 0;
    double best_gap = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < kBins; ++k) {
      const double gap =
          static_cast<double>(k) * static_cast<double>(kRate) / static_cast<double>(kFftSize) -
          freq;
      if (gap * gap < best_gap) {
        best_gap = gap * gap;
        best = k;
      }
    }
    return best;
  };
  std::vector<Band> bands(kBands);
  for (std::size_t b = 0; b < kBands; ++b) {
    const double k = static_cast<double>(b);
    bands[b] = {nearest(kLowestBand * std::pow(2.0, (2.0 * k - 1.0) / 6.0)),
                nearest(kLowestBand * std::pow(2.0, (2.0 * k + 1.0) / 6.0))};
  }
  return bands;
}

// Band envelopes of `x`: [band][frame], the root of the power in each band
// of each STFT frame.
std::vector<std::vector<double>> band_envelopes(const std::vector<double> &x,
                                                const std::vector<double> &w,
                                                const std::vector<Band> &bands) {
  static const pocketfft::detail::pocketfft_r<double> fft(kFftSize);
  const std::size_t frames = frame_count(x.size());
  std::vector<std::vector<double>> envelope(kBands, std::vector<double>(frames));
  std::vector<double> buf(kFftSize), power(kBins);
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t k = 0; k < kFrame; ++k)
      buf[k] = w[k] * x[f * kHop + k];
    std::fill(buf.begin() + kFrame, buf.end(), 0.0);
    fft.exec(buf.data(), 1.0, true); // half-complex: re, (re, im) pairs, Nyquist
    power[0] = buf[0] * buf[0];
    for (std::size_t k = 1; k < kBins - 1; ++k)
      power[k] = buf[2 * k - 1] * buf[2 * k - 1] + buf[2 * k] * buf[2 * k];
    power[kBins - 1] = buf[kFftSize - 1] * buf[kFftSize - 1];
    for (std::size_t b = 0; b < kBands; ++b) {
      double s = 0.0;
      for (std::size_t k = bands[b].low; k < bands[b].high; ++k)
        s += power[k];
      envelope[b][f] = std::sqrt(s);
    }
  }
  return envelope;
}

double norm(const double *v, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    s += v[i] * v[i];
  return std::sqrt(s);
}

double mean(const double *v, std::size_t n) {
  return std::accumulate(v, v + n, 0.0) / static_cast<double>(n);
}

// InvalidArgument for a non-finite sample, and for silence when `must_sound`.
void check_signal(const double *x, std::size_t n, const char *what, bool must_sound) {
  bool sound = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i]))
      throw InvalidArgument(std::string(what) + " holds a non-finite sample (" +
                            std::to_string(x[i]) + " at " + std::to_string(i) + ")");
    sound = sound || x[i] != 0.0;
  }
  if (!sound && must_sound)
    throw InvalidArgument("the " + std::string(what) + " is silent (all " + std::to_string(n) +
                          " samples are zero): STOI is undefined");
}

} // namespace

double stoi(const double *clean, std::size_t clean_size, const double *processed,
            std::size_t processed_size, int rate) {
  if (clean_size != processed_size)
    throw InvalidArgument("clean and processed signals differ in length (" +
                          std::to_string(clean_size) + " and " + std::to_string(processed_size) +
                          " samples)");
  if (rate <= 0)
    throw InvalidArgument("the sampling rate must be positive, got " + std::to_string(rate));
  check_signal(clean, clean_size, "clean signal", true);
  check_signal(processed, processed_size, "processed signal", false);

  std::vector<double> x(clean, clean + clean_size), y(processed, processed + processed_size);
  if (rate != kRate)
    resample(x, y, rate);
  if (frame_count(x.size()) == 0)
    throw InvalidArgument("signals of " + std::to_string(clean_size) + " samples at " +
                          std::to_string(rate) + " Hz are too short for STOI (it needs more than " +
                          std::to_string(kFrame) + " samples at 10 kHz)");
  const std::vector<double> w = hann_window();
  remove_silent_frames(x, y, w);
  const std::size_t frames = frame_count(x.size());
  if (frames < kSegment)
    throw InvalidArgument("only " + std::to_string(frames) +
                          " frames of speech remain once silent frames are removed, fewer than "
                          "the " +
                          std::to_string(kSegment) + " STOI needs: the measure is undefined");

  static const std::vector<Band> bands = third_octave_bands();
  const auto x_env = band_envelopes(x, w, bands);
  const auto y_env = band_envelopes(y, w, bands);

  // Each segment of kSegment frames in each band: the processed envelope
  // scaled to the clean one's norm and clipped at kBeta below it, both made
  // zero-mean and unit-norm, then correlated.
  const double clip = 1.0 + std::pow(10.0, -kBeta / 20.0);
  const std::size_t segments = frames - kSegment + 1;
  double total = 0.0;
  double xs[kSegment], ys[kSegment];
  for (std::size_t j = 0; j < segments; ++j)
    for (std::size_t b = 0; b < kBands; ++b) {
      const double *xe = x_env[b].data() + j, *ye = y_env[b].data() + j;
      const double scale = norm(xe, kSegment) / (norm(ye, kSegment) + kEps);
      for (std::size_t k = 0; k < kSegment; ++k) {
        ys[k] = std::min(ye[k] * scale, xe[k] * clip);
        xs[k] = xe[k];
      }
      const double y_mean = mean(ys, kSegment), x_mean = mean(xs, kSegment);
      for (std::size_t k = 0; k < kSegment; ++k) {
        ys[k] -= y_mean;
        xs[k] -= x_mean;
      }
      const double y_norm = norm(ys, kSegment) + kEps, x_norm = norm(xs, kSegment) + kEps;
      double s = 0.0;
      for (std::size_t k = 0; k < kSegment; ++k)
        s += (ys[k] / y_norm) * (xs[k] / x_norm);
      total += s;
    }
  return total / static_cast<double>(segments * kBands);
}

} // namespace tavol

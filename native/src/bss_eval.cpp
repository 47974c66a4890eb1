// BSS Eval SDR and scale-invariant SDR of one estimate against one reference.
//
// The SDR follows bss_eval_sources for a single source: the correlations of
// the zero-padded signals come from FFTs (pocketfft, double precision); the
// distortion filter c solves the normal equations G c = d, where G is the
// symmetric Toeplitz matrix of the reference's autocorrelation, and the two
// energies follow from c'd, which Levinson's recursion sums without forming c
// (for a distortion far below the signal, they come from the filter and
// Parseval's theorem on the spectra instead), so the projection itself is
// never formed in time.
#include "tavol/bss_eval.hpp"

#define POCKETFFT_NO_MULTITHREADING
#include <pocketfft_hdronly.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lanes.hpp"
#include "tavol/errors.hpp"

namespace tavol {
namespace {

// Real-input transforms; spectra in FFTPACK's half-complex layout: for an
// even size n, x[0] is bin 0, x[2k - 1] and x[2k] the real and imaginary
// parts of bin k (0 < k < n / 2), and x[n - 1] bin n / 2.
using Fft = pocketfft::detail::pocketfft_r<double>;

// A plan holds the twiddle factors, which cost about as much to compute as a
// transform; plans are kept for the last few sizes (lengths repeat across a
// corpus) and shared between threads (transforms on a plan are const).
class PlanCache {
public:
  std::shared_ptr<const Fft> get(std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < plans_.size(); ++i) {
      if (plans_[i].n == n) {
        Entry hit = plans_[i];
        plans_.erase(plans_.begin() + static_cast<std::ptrdiff_t>(i));
        plans_.push_back(hit);
        return hit.plan;
      }
    }
    auto plan = std::make_shared<const Fft>(n);
    if (plans_.size() == kPlans)
      plans_.erase(plans_.begin());
    plans_.push_back({n, plan});
    return plan;
  }

private:
  static constexpr std::size_t kPlans = 8;
  struct Entry {
    std::size_t n;
    std::shared_ptr<const Fft> plan;
  };
  std::mutex mutex_;
  std::vector<Entry> plans_;
};

std::shared_ptr<const Fft> plan(std::size_t n) {
  static PlanCache cache;
  return cache.get(n);
}

// Two signals transformed together, as the two lanes of one vector: one
// pass over the plan does both (measured with SSE2: about three quarters of
// the time of two transforms), and the products of their spectra run on both
// lanes at once.

// Sum of a[i] * b[i], i < n, in four partial sums: one running sum would
// wait on the latency of every addition.
double dot(const double *a, const double *b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i)
    s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

// `energy`, the sum of squares of x, when it is finite and not zero;
// InvalidArgument otherwise.
double checked(double energy, const double *x, std::size_t n, const char *what) {
  if (!std::isfinite(energy)) {
    // Only then is the signal searched for the sample to name.
    for (std::size_t i = 0; i < n; ++i)
      if (!std::isfinite(x[i]))
        throw InvalidArgument(std::string(what) + " holds a non-finite sample (" +
                              std::to_string(x[i]) + " at index " + std::to_string(i) + ")");
  }
  if (energy == 0.0)
    throw InvalidArgument(std::string(what) + " is silent (all " + std::to_string(n) +
                          " samples are zero)");
  return energy;
}

// Energy of a signal; InvalidArgument for a non-finite sample or silence.
double checked_energy(const double *x, std::size_t n, const char *what) {
  return checked(dot(x, x, n), x, n, what);
}

void check_sizes(std::size_t reference_size, std::size_t estimate_size) {
  if (reference_size != estimate_size)
    throw InvalidArgument("reference and estimate differ in length (" +
                          std::to_string(reference_size) + " vs " + std::to_string(estimate_size) +
                          " samples)");
  if (reference_size == 0)
    throw InvalidArgument("reference and estimate hold no samples");
}

constexpr const char *kSingular =
    "the reference's autocorrelation is singular to working precision: "
    "no distortion filter can be fitted";

double decibels(double signal, double distortion) {
  if (distortion == 0.0)
    return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / distortion);
}

// Solves T x = b for the symmetric positive-definite Toeplitz matrix T whose
// first column is t, by Levinson's recursion in O(L^2), and returns x'b
// (what the SDR needs). With `solution` null, x itself is never formed: x'b
// is summed from the recursion's own terms, which takes about a sixth less
// time. Written here because LAPACK has no Toeplitz solver, and its dense
// O(L^3) factorisation (about 45 Mflop at 512 taps) would cost more than all
// the FFTs of the measure. Returns NaN when the recursion breaks down (a
// matrix that is singular to working precision).
//
// Normalised so that the diagonal is 1: r[k] = t[k] / t[0], g = b / t[0].
// With y the order-k predictor (r-weighted sums over it give the reflection
// alpha) and u = [y reversed, 1], the order-(k + 1) solution is the order-k
// one plus mu u, mu = u'g / beta; so x'b = t[0] sum_k mu^2 beta.
template <bool kSolution>
double solve_toeplitz(const std::vector<double> &t, const std::vector<double> &b,
                      std::vector<double> *solution) {
  const std::size_t n = t.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double t0 = t[0];
  // Each step is two passes that run forwards over every array: the sums
  // over r[k - j] read r_rev (r_rev[m] = r[n - 1 - m]), and y, which every
  // step reads backwards, is kept reversed beside it as well (y[i] =
  // y_rev[n - k + (k - 1 - i)] for the current order k).
  std::vector<double> r(n), r_rev(n), g(n), y(n, 0.0), y_rev(n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    r[k] = t[k] / t0;
    g[k] = b[k] / t0;
  }
  std::reverse_copy(r.begin(), r.end(), r_rev.begin());
  double *x = nullptr;
  if constexpr (kSolution) {
    solution->assign(n, 0.0);
    x = solution->data();
    x[0] = g[0];
  }
  double sum = g[0] * g[0]; // sum_k mu^2 beta
  double beta = 1.0, alpha = n > 1 ? -r[1] : 0.0;
  if (n > 1)
    y[0] = y_rev[n - 1] = alpha;
  for (std::size_t k = 1; k < n; ++k) {
    beta *= (1.0 - alpha) * (1.0 + alpha);
    if (!(beta > 0.0))
      return nan;
    // u'g = g[k] + sum_{i < k} y[k - 1 - i] g[i] and sum_{j < k} r[k - j] y[j].
    const double *r_k = r_rev.data() + (n - 1 - k);
    double *tail = y_rev.data() + (n - k);
    // Two lanes at a time in two partial sums each: with one sum the loop
    // waits on the latency of every addition (measured: the measure takes 8%
    // less time this way).
    Lanes g0{0.0, 0.0}, g1{0.0, 0.0}, y0{0.0, 0.0}, y1{0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= k; i += 4) {
      g0 += load(tail + i) * load(g.data() + i);
      g1 += load(tail + i + 2) * load(g.data() + i + 2);
      y0 += load(r_k + i) * load(y.data() + i);
      y1 += load(r_k + i + 2) * load(y.data() + i + 2);
    }
    const Lanes gs = g0 + g1, ys = y0 + y1;
    double sum_g = gs[0] + gs[1], sum_y = ys[0] + ys[1];
    for (; i < k; ++i) {
      sum_g += tail[i] * g[i];
      sum_y += r_k[i] * y[i];
    }
    const double ug = g[k] + sum_g;
    const double mu = ug / beta;
    sum += mu * ug;
    if constexpr (kSolution) {
      for (std::size_t m = 0; m < k; ++m)
        x[m] += mu * tail[m];
      x[k] = mu;
    }
    if (k + 1 == n)
      break;
    alpha = (-r[k + 1] - sum_y) / beta;
    // y[i] += alpha y[k - 1 - i], i < k, with the reversed copy updated to match.
    for (std::size_t m = 0; m < k; ++m) {
      const double front = y[m], back = tail[m];
      y[m] = front + alpha * back;
      tail[m] = back + alpha * front;
    }
    y[k] = y_rev[n - 1 - k] = alpha;
  }
  if constexpr (kSolution) {
    if (!std::all_of(x, x + n, [](double v) { return std::isfinite(v); }))
      return nan;
  }
  return std::isfinite(sum) ? t0 * sum : nan;
}

} // namespace

std::size_t fft_size_at_least(std::size_t minimum) {
  std::size_t best = std::numeric_limits<std::size_t>::max();
  // Every 2^a 3^b 5^c (a >= 1) from minimum up to the next power of two.
  for (std::size_t p5 = 1; p5 < best; p5 *= 5)
    for (std::size_t p35 = p5; p35 < best; p35 *= 3) {
      std::size_t v = p35 * 2;
      while (v < minimum)
        v *= 2;
      best = std::min(best, v);
    }
  return best;
}

namespace {

// Size of the block FFTs of the correlations: twice a block of at least
// `taps` samples, and no larger (the total work grows with the logarithm of
// the size; measured at 512 taps, 1024 points took about a tenth less time
// than 2048 and 4096).
std::size_t block_fft_size(std::size_t taps) {
  std::size_t size = 1024;
  while (size < 2 * taps)
    size *= 2;
  return size;
}

// The first `taps` lags of the autocorrelation of the reference,
// sum_n r[n] r[n + k], and of its correlation with the estimate,
// sum_n r[n] e[n + k], over the zero-padded signals. The signals are cut into
// blocks of half the FFT size, and each block of both is transformed once
// (zero-padded to the FFT size, the two signals as the two lanes): the lags
// of a reference block against the same block of either signal, plus those of
// the block before against this one shifted by a block (its spectrum times
// (-1)^k), add up to the lags over the whole signals, since taps <= block.
// So the spectrum conj(R_j + s R_{j-1}) X_j, s = (-1)^k, is summed over the
// blocks and transformed back once, the autocorrelation in the first lane,
// the correlation with the estimate in the second. `energies` gets the sums of
// squares of both signals, summed on the same pass over them.
void correlations(const double *reference, const double *estimate, std::size_t n, std::size_t taps,
                  std::vector<double> &auto_lags, std::vector<double> &cross_lags,
                  Lanes &energies) {
  const std::size_t size = block_fft_size(taps);
  const std::size_t half = size / 2, block = half;
  const auto fft = plan(size);
  const Lanes zero{0.0, 0.0};
  std::vector<Lanes> spectrum(size), sum(size, zero);
  // s R_{j-1}: the previous reference block's spectrum, shifted.
  std::vector<double> shifted(size, 0.0);
  const double nyquist_sign = half % 2 == 1 ? -1.0 : 1.0;
  Lanes partial[4] = {zero, zero, zero, zero};
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t len = std::min(block, n - start);
    // The energies of both signals on the way, in four partial sums (one
    // would wait on the latency of every addition).
    std::size_t m = 0;
    for (; m + 4 <= len; m += 4)
      for (std::size_t j = 0; j < 4; ++j) {
        spectrum[m + j] = Lanes{reference[start + m + j], estimate[start + m + j]};
        partial[j] += spectrum[m + j] * spectrum[m + j];
      }
    for (; m < len; ++m) {
      spectrum[m] = Lanes{reference[start + m], estimate[start + m]};
      partial[0] += spectrum[m] * spectrum[m];
    }
    std::fill(spectrum.begin() + static_cast<std::ptrdiff_t>(len), spectrum.end(), zero);
    fft->exec(spectrum.data(), 1.0, true);
    // Bins 0 and size / 2 hold real values only.
    for (const std::size_t i : {std::size_t{0}, size - 1}) {
      const double w = spectrum[i][0] + shifted[i];
      sum[i] += w * spectrum[i];
      shifted[i] = (i == 0 ? 1.0 : nyquist_sign) * spectrum[i][0];
    }
    for (std::size_t k = 1; k < half; ++k) {
      const Lanes re = spectrum[2 * k - 1], im = spectrum[2 * k];
      const double wr = re[0] + shifted[2 * k - 1], wi = im[0] + shifted[2 * k];
      sum[2 * k - 1] += wr * re + wi * im; // conj(w) X
      sum[2 * k] += wr * im - wi * re;
      const double s = k % 2 == 1 ? -1.0 : 1.0;
      shifted[2 * k - 1] = s * re[0];
      shifted[2 * k] = s * im[0];
    }
  }
  energies = (partial[0] + partial[1]) + (partial[2] + partial[3]);
  fft->exec(sum.data(), 1.0 / static_cast<double>(size), false);
  auto_lags.resize(taps);
  cross_lags.resize(taps);
  for (std::size_t k = 0; k < taps; ++k) {
    auto_lags[k] = sum[k][0];
    cross_lags[k] = sum[k][1];
  }
}

// |P|^2 and |e - P|^2 for the projection P = r * filter, from the spectra of
// the whole zero-padded signals (Parseval): exact however small the
// distortion is.
std::pair<double, double> spectral_energies(const double *reference, const double *estimate,
                                            std::size_t n, const std::vector<double> &filter) {
  const std::size_t taps = filter.size();
  const std::size_t size = fft_size_at_least(n + taps - 1);
  const std::size_t half = size / 2;
  const auto fft = plan(size);
  std::vector<Lanes> signals(size, Lanes{0.0, 0.0}); // reference, estimate
  for (std::size_t i = 0; i < n; ++i)
    signals[i] = Lanes{reference[i], estimate[i]};
  std::vector<double> coef(size, 0.0);
  std::copy(filter.begin(), filter.end(), coef.begin());
  fft->exec(signals.data(), 1.0, true);
  fft->exec(coef.data(), 1.0, true);
  // Bins 0 and size / 2 are real and counted once; the others stand for
  // themselves and their conjugates.
  double projection = 0.0, distortion = 0.0;
  for (const std::size_t i : {std::size_t{0}, size - 1}) {
    const double proj = signals[i][0] * coef[i];
    projection += proj * proj;
    distortion += (signals[i][1] - proj) * (signals[i][1] - proj);
  }
  for (std::size_t k = 1; k < half; ++k) {
    const Lanes re = signals[2 * k - 1], im = signals[2 * k];
    const double cr = coef[2 * k - 1], ci = coef[2 * k];
    const double pr = re[0] * cr - im[0] * ci, pi = re[0] * ci + im[0] * cr;
    const double dr = re[1] - pr, di = im[1] - pi;
    projection += 2.0 * (pr * pr + pi * pi);
    distortion += 2.0 * (dr * dr + di * di);
  }
  const double scale = static_cast<double>(size);
  return {projection / scale, distortion / scale};
}

} // namespace

double bss_sdr(const double *reference, std::size_t reference_size, const double *estimate,
               std::size_t estimate_size, std::size_t taps) {
  check_sizes(reference_size, estimate_size);
  if (taps == 0)
    throw InvalidArgument("the distortion filter needs at least one tap");
  const std::size_t n = reference_size;

  // Normal equations of the least-squares filter: G c = d, with G the
  // Toeplitz matrix of the reference's autocorrelation. The energies of both
  // signals are summed in the same pass over them, and checked only then (a
  // signal that cannot be scored just gives meaningless correlations first).
  std::vector<double> auto_lags, cross_lags;
  Lanes energies;
  correlations(reference, estimate, n, taps, auto_lags, cross_lags, energies);
  checked(energies[0], reference, n, "reference");
  const double energy = checked(energies[1], estimate, n, "estimate");
  // The least-squares projection P = r * c is orthogonal to the residual:
  // |P|^2 = <e, P> = c'd (G c = d), so |e - P|^2 = |e|^2 - c'd.
  // The autocorrelation of a non-silent reference over zero-padded delays is
  // positive definite; even pure tones, DC and Nyquist references solve.
  const double projection = solve_toeplitz<false>(auto_lags, cross_lags, nullptr);
  if (std::isnan(projection))
    throw InvalidArgument(kSingular);
  const double distortion = energy - projection;
  // That difference loses the digits of a distortion far below the signal
  // (above about 60 dB): those are summed from the spectra instead, with
  // the filter itself.
  if (distortion < 1e-6 * energy) {
    std::vector<double> filter;
    if (std::isnan(solve_toeplitz<true>(auto_lags, cross_lags, &filter)))
      throw InvalidArgument(kSingular);
    const auto exact = spectral_energies(reference, estimate, n, filter);
    return decibels(exact.first, exact.second);
  }
  return decibels(projection, distortion);
}

double si_sdr(const double *reference, std::size_t reference_size, const double *estimate,
              std::size_t estimate_size) {
  check_sizes(reference_size, estimate_size);
  const double ref_energy = checked_energy(reference, reference_size, "reference");
  checked_energy(estimate, estimate_size, "estimate");
  double dot = 0.0;
  for (std::size_t i = 0; i < reference_size; ++i)
    dot += reference[i] * estimate[i];
  const double gain = dot / ref_energy;
  double noise = 0.0;
  for (std::size_t i = 0; i < reference_size; ++i) {
    const double d = estimate[i] - gain * reference[i];
    noise += d * d;
  }
  return decibels(gain * gain * ref_energy, noise);
}

} // namespace tavol

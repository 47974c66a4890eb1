// BSS Eval SDR and scale-invariant SDR of one estimate against one reference.
//
// The SDR follows bss_eval_sources for a single source: the correlations of
// the zero-padded signals come from FFTs (kissfft, double precision), the
// distortion filter from the normal equations G c = d, where G is the
// symmetric Toeplitz matrix of the reference's autocorrelation, and the two
// energies from those equations (or, for a distortion far below the signal,
// from Parseval's theorem on the spectra), so the projection itself is never
// formed in time.
#include "tavol/bss_eval.hpp"

#include <kissfft/kissfft.hh>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tavol/errors.hpp"

namespace tavol {
namespace {

using Fft = kissfft<double>;
using Complex = std::complex<double>;

// kissfft computes every twiddle factor with a complex exp when a plan is
// made, which costs about as much as the transform itself; plans are kept
// for the last few sizes (lengths repeat across a corpus) and shared between
// threads (transforms on a plan are const).
class PlanCache {
public:
  std::shared_ptr<const Fft> get(std::size_t n, bool inverse) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < plans_.size(); ++i) {
      if (plans_[i].n == n && plans_[i].inverse == inverse) {
        Entry hit = plans_[i];
        plans_.erase(plans_.begin() + static_cast<std::ptrdiff_t>(i));
        plans_.push_back(hit);
        return hit.plan;
      }
    }
    auto plan = std::make_shared<const Fft>(n, inverse);
    if (plans_.size() == kPlans)
      plans_.erase(plans_.begin());
    plans_.push_back({n, inverse, plan});
    return plan;
  }

private:
  static constexpr std::size_t kPlans = 8;
  struct Entry {
    std::size_t n;
    bool inverse;
    std::shared_ptr<const Fft> plan;
  };
  std::mutex mutex_;
  std::vector<Entry> plans_;
};

std::shared_ptr<const Fft> plan(std::size_t n, bool inverse) {
  static PlanCache cache;
  return cache.get(n, inverse);
}

// Sum of a[i] * b[i], i < n, in four partial sums: one running sum would
// wait on the latency of every addition, and these dot products are the
// inner loops of the O(L^2) filter solve (measured: about a third of the
// whole measure with a single sum).
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

// Energy of a signal; InvalidArgument for a non-finite sample or silence.
double checked_energy(const double *x, std::size_t n, const char *what) {
  const double energy = dot(x, x, n);
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

void check_sizes(std::size_t reference_size, std::size_t estimate_size) {
  if (reference_size != estimate_size)
    throw InvalidArgument("reference and estimate differ in length (" +
                          std::to_string(reference_size) + " vs " + std::to_string(estimate_size) +
                          " samples)");
  if (reference_size == 0)
    throw InvalidArgument("reference and estimate hold no samples");
}

double decibels(double signal, double distortion) {
  if (distortion == 0.0)
    return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / distortion);
}

// Solves T x = b for the symmetric positive-definite Toeplitz matrix T whose
// first column is t, by Levinson's recursion in O(L^2). Written here because
// LAPACK has no Toeplitz solver, and its dense O(L^3) factorisation (about
// 45 Mflop at 512 taps) would cost more than all the FFTs of the measure.
// Returns false when the recursion breaks down (a matrix that is singular to
// working precision).
bool solve_toeplitz(const std::vector<double> &t, const std::vector<double> &b,
                    std::vector<double> &x) {
  const std::size_t n = t.size();
  x.assign(n, 0.0);
  const double t0 = t[0];
  // Normalised so that the diagonal is 1: r[k] = t[k] / t[0], rhs / t[0].
  // The sums over r[k - j] run forwards over r_rev (r_rev[m] = r[n - 1 - m]),
  // so that both dot products of a step are plain forward ones; y is updated
  // in place, front and back together.
  std::vector<double> r(n), r_rev(n), y(n);
  for (std::size_t k = 0; k < n; ++k)
    r[k] = t[k] / t0;
  std::reverse_copy(r.begin(), r.end(), r_rev.begin());
  x[0] = b[0] / t0;
  if (n == 1)
    return std::isfinite(x[0]);
  double beta = 1.0, alpha = -r[1];
  y[0] = -r[1];
  for (std::size_t k = 1; k < n; ++k) {
    beta *= (1.0 - alpha) * (1.0 + alpha);
    if (!(beta > 0.0))
      return false;
    // sum_{j < k} r[k - j] x[j]
    const double *r_k = r_rev.data() + (n - 1 - k);
    const double mu = (b[k] / t0 - dot(r_k, x.data(), k)) / beta;
    for (std::size_t i = 0; i < k; ++i)
      x[i] += mu * y[k - 1 - i];
    x[k] = mu;
    if (k + 1 < n) {
      alpha = (-r[k + 1] - dot(r_k, y.data(), k)) / beta;
      // y[i] += alpha y[k - 1 - i] for all i < k at once.
      std::size_t i = 0, j = k - 1;
      for (; i < j; ++i, --j) {
        const double front = y[i], back = y[j];
        y[i] = front + alpha * back;
        y[j] = back + alpha * front;
      }
      if (i == j)
        y[i] += alpha * y[i];
      y[k] = alpha;
    }
  }
  return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// Spectrum of x (n samples) zero-padded to `size` (even): size / 2 bins in
// kissfft's packed layout, bin 0 holding the DC value as its real part and
// the Nyquist value as its imaginary part.
std::vector<Complex> real_spectrum(const Fft &fft, const double *x, std::size_t n,
                                   std::size_t size) {
  std::vector<double> padded(size, 0.0);
  std::copy(x, x + n, padded.begin());
  std::vector<Complex> out(size / 2);
  fft.transform_real(padded.data(), out.data());
  return out;
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

// Size of the block FFTs of the correlations: small enough to stay in the
// first-level cache, large enough that the overlap of taps - 1 samples per
// block costs little.
std::size_t block_fft_size(std::size_t taps) {
  std::size_t size = 2048;
  while (size < 4 * taps)
    size *= 2;
  return size;
}

// The first `taps` lags of the autocorrelation of the reference,
// sum_n r[n] r[n + k], and of its correlation with the estimate,
// sum_n r[n] e[n + k], over the zero-padded signals. Computed block by block
// with small FFTs (each block of the reference against the block of either
// signal that extends it by taps - 1 samples); the spectra are summed and one
// inverse transform gives both, the first as its real part, the second as
// its imaginary part.
void correlations(const double *reference, const double *estimate, std::size_t n, std::size_t taps,
                  std::vector<double> &auto_lags, std::vector<double> &cross_lags) {
  const std::size_t size = block_fft_size(taps);
  const std::size_t half = size / 2;
  const std::size_t block = size - taps + 1;
  const auto forward = plan(half, false);
  // head keeps zeros past `block` throughout; the extended blocks are read in
  // place from the signals, and copied with zero padding only at the end.
  std::vector<double> head(size, 0.0), ref_pad(size), est_pad(size);
  std::vector<Complex> a(half), cr(half), ce(half);
  std::vector<Complex> rr(half + 1), re(half + 1);
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t len = std::min(block, n - start);
    std::copy(reference + start, reference + start + len, head.begin());
    std::fill(head.begin() + static_cast<std::ptrdiff_t>(len),
              head.begin() + static_cast<std::ptrdiff_t>(block), 0.0);
    const double *ref_ext = reference + start, *est_ext = estimate + start;
    if (n - start < size) {
      const std::size_t ext = n - start;
      std::fill(std::copy(ref_ext, ref_ext + ext, ref_pad.begin()), ref_pad.end(), 0.0);
      std::fill(std::copy(est_ext, est_ext + ext, est_pad.begin()), est_pad.end(), 0.0);
      ref_ext = ref_pad.data();
      est_ext = est_pad.data();
    }
    // Lags past taps - 1 wrap around in these circular correlations; the
    // first `taps` do not, since head holds only `block` samples.
    forward->transform_real(head.data(), a.data());
    forward->transform_real(ref_ext, cr.data());
    forward->transform_real(est_ext, ce.data());
    rr[0] += a[0].real() * cr[0].real();
    rr[half] += a[0].imag() * cr[0].imag();
    re[0] += a[0].real() * ce[0].real();
    re[half] += a[0].imag() * ce[0].imag();
    // conj(a) * cr and conj(a) * ce written out: std::complex's product
    // checks every result for NaN, which costs more than the product here.
    for (std::size_t k = 1; k < half; ++k) {
      const double ar = a[k].real(), ai = a[k].imag();
      rr[k] +=
          Complex(ar * cr[k].real() + ai * cr[k].imag(), ar * cr[k].imag() - ai * cr[k].real());
      re[k] +=
          Complex(ar * ce[k].real() + ai * ce[k].imag(), ar * ce[k].imag() - ai * ce[k].real());
    }
  }
  // Both sums are spectra of real sequences (Hermitian): known on 0..half,
  // conjugated above. Their combination rr + i re transforms to rr's
  // sequence as the real part and re's as the imaginary part.
  const Complex i(0.0, 1.0);
  std::vector<Complex> both(size), lags(size);
  for (std::size_t k = 0; k <= half; ++k) {
    both[k] = rr[k] + i * re[k];
    if (k > 0 && k < half)
      both[size - k] = std::conj(rr[k]) + i * std::conj(re[k]);
  }
  plan(size, true)->transform(both.data(), lags.data());
  auto_lags.resize(taps);
  cross_lags.resize(taps);
  for (std::size_t k = 0; k < taps; ++k) {
    auto_lags[k] = lags[k].real() / static_cast<double>(size);
    cross_lags[k] = lags[k].imag() / static_cast<double>(size);
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
  const auto forward = plan(half, false);
  const std::vector<Complex> ref = real_spectrum(*forward, reference, n, size);
  const std::vector<Complex> est = real_spectrum(*forward, estimate, n, size);
  const std::vector<Complex> coef = real_spectrum(*forward, filter.data(), taps, size);
  double projection = 0.0, distortion = 0.0;
  // Bin 0 packs the DC value (real part) and the Nyquist value (imaginary part).
  const double dc = ref[0].real() * coef[0].real(), nyquist = ref[0].imag() * coef[0].imag();
  projection += dc * dc + nyquist * nyquist;
  distortion += (est[0].real() - dc) * (est[0].real() - dc) +
                (est[0].imag() - nyquist) * (est[0].imag() - nyquist);
  for (std::size_t k = 1; k < half; ++k) {
    const Complex proj = ref[k] * coef[k];
    projection += 2.0 * std::norm(proj);
    distortion += 2.0 * std::norm(est[k] - proj);
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
  checked_energy(reference, reference_size, "reference");
  const double energy = checked_energy(estimate, estimate_size, "estimate");
  const std::size_t n = reference_size;

  // Normal equations of the least-squares filter: G c = d, with G the
  // Toeplitz matrix of the reference's autocorrelation.
  std::vector<double> auto_lags, cross_lags, filter;
  correlations(reference, estimate, n, taps, auto_lags, cross_lags);
  // The autocorrelation of a non-silent reference over zero-padded delays is
  // positive definite; even pure tones, DC and Nyquist references solve.
  if (!solve_toeplitz(auto_lags, cross_lags, filter))
    throw InvalidArgument("the reference's autocorrelation is singular to working precision: no "
                          "distortion filter can be fitted");

  // The least-squares projection P = r * c is orthogonal to the residual:
  // |P|^2 = <e, P> = c'd (G c = d), so |e - P|^2 = |e|^2 - c'd.
  const double projection = dot(filter.data(), cross_lags.data(), taps);
  const double distortion = energy - projection;
  // That difference loses the digits of a distortion far below the signal
  // (above about 60 dB): those are summed from the spectra instead.
  if (distortion < 1e-6 * energy) {
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

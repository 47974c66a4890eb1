// Two doubles side by side, for loops that run the same operations over two
// signals at once (their FFTs, their sums against one filter). Private to the
// core's sources.
#pragma once

#include <cstddef>
#include <cstring>

namespace tavol {

// GCC's vector extension (Clang has it too); other compilers get a plain pair
// with the operations pocketfft's transforms and the core's loops use.
#if defined(__GNUC__) && !defined(TAVOL_PLAIN_LANES)
typedef double Lanes __attribute__((vector_size(2 * sizeof(double))));
#else
struct Lanes {
  double v[2];
  double operator[](std::size_t i) const { return v[i]; }
  double &operator[](std::size_t i) { return v[i]; }
  Lanes operator-() const { return {-v[0], -v[1]}; }
  Lanes &operator+=(Lanes o) { return v[0] += o.v[0], v[1] += o.v[1], *this; }
  Lanes &operator-=(Lanes o) { return v[0] -= o.v[0], v[1] -= o.v[1], *this; }
  Lanes &operator*=(double f) { return v[0] *= f, v[1] *= f, *this; }
  friend Lanes operator+(Lanes a, Lanes b) { return a += b; }
  friend Lanes operator-(Lanes a, Lanes b) { return a -= b; }
  // Only named by pocketfft in its return types (decltype).
  [[maybe_unused]] friend Lanes operator+(Lanes a, double f) { return a += Lanes{f, f}; }
  [[maybe_unused]] friend Lanes operator-(Lanes a, double f) { return a -= Lanes{f, f}; }
  friend Lanes operator*(Lanes a, Lanes b) { return {a.v[0] * b.v[0], a.v[1] * b.v[1]}; }
  friend Lanes operator*(Lanes a, double f) { return a *= f; }
  friend Lanes operator*(double f, Lanes a) { return a *= f; }
};
#endif

// Two doubles from p (unaligned).
inline Lanes load(const double *p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

} // namespace tavol

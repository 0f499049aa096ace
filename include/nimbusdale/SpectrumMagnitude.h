// The magnitude of a spectrum value as the cores compute it, and a magnitude given the phase of
// a spectrum value.
#ifndef NIMBUSDALE_SPECTRUM_MAGNITUDE_H
#define NIMBUSDALE_SPECTRUM_MAGNITUDE_H

#include <cfloat>
#include <cmath>
#include <complex>

#ifndef NIMBUSDALE_REFERENCE_ARITHMETIC
#define NIMBUSDALE_REFERENCE_ARITHMETIC 0  // the build system sets it; fast arithmetic otherwise
#endif

namespace nimbusdale {

/// |x| as the fast arithmetic takes it: sqrt(re^2 + im^2) where that sum neither overflows nor
/// underflows, within about an ulp of the hypotenuse and several times cheaper, and the
/// hypotenuse (cabsf) elsewhere, so NaN, infinities, zeros and values near the ends of the
/// float range come out as cabsf gives them.
inline float fastSpectrumMagnitude(std::complex<float> x) {
  const float squared = x.real() * x.real() + x.imag() * x.imag();
  if (squared >= FLT_MIN && squared <= FLT_MAX) return std::sqrt(squared);
  return std::abs(x);
}

/// |x|: the C library's hypotenuse in the reference arithmetic, fastSpectrumMagnitude() in the
/// fast one.
inline float spectrumMagnitude(std::complex<float> x) {
#if NIMBUSDALE_REFERENCE_ARITHMETIC
  return std::abs(x);
#else
  return fastSpectrumMagnitude(x);
#endif
}

/// (part * m) / a, or (part / a) * m where the product leaves the float range.
inline float scaledPart(float part, float m, float a) {
  const float product = part * m;
  if (std::isfinite(product)) return product / a;
  return (part / a) * m;
}

/// `magnitude` with the phase of `s`: (Re(s) * m / |s|, Im(s) * m / |s|) with |s| from
/// spectrumMagnitude(), each part formed by scaledPart(), so finite inputs give a finite
/// result. A zero `s` has no phase and gives m + 0i rather than 0/0.
inline std::complex<float> withPhaseOf(float magnitude, std::complex<float> s) {
  const float a = spectrumMagnitude(s);
  if (a == 0.0f) return std::complex<float>(magnitude, 0.0f);
  return std::complex<float>(scaledPart(s.real(), magnitude, a),
                             scaledPart(s.imag(), magnitude, a));
}

}  // namespace nimbusdale

#endif

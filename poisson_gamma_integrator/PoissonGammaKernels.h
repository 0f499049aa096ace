// The SIMD kernel of the fast Poisson-Gamma arithmetic, dispatched at run time (Google Highway).
#ifndef NIMBUSDALE_POISSON_GAMMA_KERNELS_H
#define NIMBUSDALE_POISSON_GAMMA_KERNELS_H

#include <cstddef>

namespace nimbusdale::kernels {

/// out[i] = exp(digamma(shape[i]) - logRate[i * logRateStep]) for i < n: the geometric means of
/// Gamma(shape, rate) variables, with ln(rate) given (logRateStep 0 shares one rate). digamma is
/// evaluated in double precision (recurrence up to 6, then the asymptotic series) and rounded to
/// float, as Boost's float digamma is; the difference and the exponential are in float. The
/// shapes are meant to be positive: a zero or NaN shape gives NaN, an infinite one infinity.
void geometricMeans(const float* shape, const float* logRate, size_t logRateStep, size_t n,
                    float* out);

}  // namespace nimbusdale::kernels

#endif

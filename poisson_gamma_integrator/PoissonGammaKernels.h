// The SIMD kernel of the fast Poisson-Gamma arithmetic, dispatched at run time (Google Highway).
#ifndef NIMBUSDALE_POISSON_GAMMA_KERNELS_H
#define NIMBUSDALE_POISSON_GAMMA_KERNELS_H

#include <cstddef>

namespace nimbusdale::kernels {

/// out[i] = exp(digamma(shape[i]) - logRate[i * logRateStep]) for i < n: the geometric means of
/// Gamma(shape, rate) variables, with ln(rate) given (logRateStep 0 shares one rate). Evaluated in
/// float without a logarithm (shifted to at least 4, then the asymptotic series, with the shape's
/// binary exponent taken out exactly); the relative error stays within a few units of
/// 2^-24 (1 + |digamma - ln r| + |ln r|), the rounding of the exponent. Shapes below 1e-3 give 0;
/// a shape that is not positive and finite gives NaN.
void geometricMeans(const float* shape, const float* logRate, size_t logRateStep, size_t n,
                    float* out);

/// geometricMeans() with one ln(rate) for all, bit for bit, for shapes of which many equal
/// `common` (the element terms of zero counts sit at their prior shape): `common` takes its mean
/// once, and only the other shapes go through the series (packed together, on instruction sets
/// of up to 8 float lanes and on AVX-512). `scratch` holds
/// sharedShapeScratch(n) floats.
void sharedShapeGeometricMeans(const float* shape, float common, float logRate, size_t n,
                               float* out, float* scratch);
size_t sharedShapeScratch(size_t n);

/// out[i] = ln(x[i]) for i < n, Highway's float logarithm (within 1 ulp of logf for every
/// positive normal float). Values that are not positive, normal and finite go to the C
/// library's logf.
void logarithms(const float* x, size_t n, float* out);

/// The rank-one split of one frame's counts: for each bin f and channel c of the F x C
/// column-major `sparse`, with w = binWeight[f] * channelWeight[c],
///   share = (sparse * w) / ((w + elementWeight) + floor),
/// summed over channels into binSums[f] (in channel order) and over bins into channelSums[c]
/// (a fixed number of partial sums, combined in a fixed order).
void rankOneShareSums(const float* sparse, const float* binWeight, const float* channelWeight,
                      const float* elementWeight, size_t bins, size_t channels, float floor,
                      float* binSums, float* channelSums);

/// The element shapes from the rest of each count:
///   elementShape = ((sparse * elementWeight) / ((w + elementWeight) + floor)) * scale + prior,
/// with w = binWeight[f] * channelWeight[c], elementwise over the F x C column-major arrays.
void elementShapes(const float* sparse, const float* binWeight, const float* channelWeight,
                   const float* elementWeight, size_t bins, size_t channels, float floor,
                   float scale, float prior, float* elementShape);

}  // namespace nimbusdale::kernels

#endif

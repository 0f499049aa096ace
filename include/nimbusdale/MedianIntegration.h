// The per-frame arithmetic of the MedianIntegrator node, free of host types.
#ifndef NIMBUSDALE_MEDIAN_INTEGRATION_H
#define NIMBUSDALE_MEDIAN_INTEGRATION_H

#include <complex>
#include <vector>

namespace nimbusdale {

/// Refuses inputs the median cannot turn into a finite spectrum: a NaN or infinity in the
/// row-major C x F `sparse` frame, or a value of `specRow0` (channel 0 of the spectrum, F values)
/// whose magnitude is NaN or infinite. Other channels of the spectrum are never read.
/// @throws std::invalid_argument "input SPARSE holds V at channel c, bin k; ..." or
/// "input SPEC holds V at channel 0, bin k; ...".
void checkMedianInputs(const float* sparse, const std::complex<float>* specRow0, int numChannels,
                       int numBins);

/// For each bin k: m = the lower median of sparse(c, k) over the C channels (position
/// (C - 1) / 2 after sorting), and output[k] = (Re(s) * m / |s|, Im(s) * m / |s|) with
/// s = specRow0[k], each part formed as (part * m) / |s|. Where that product would overflow,
/// the part is formed as (part / |s|) * m, so checked inputs always give finite output. A bin
/// whose s is 0 has no phase and gets m + 0i. `scratch` is reused across calls.
/// Preconditions: C >= 1, inputs passed checkMedianInputs().
void integrateMedian(const float* sparse, const std::complex<float>* specRow0, int numChannels,
                     int numBins, std::complex<float>* output, std::vector<float>& scratch);

}  // namespace nimbusdale

#endif

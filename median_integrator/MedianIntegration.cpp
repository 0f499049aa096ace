#include "nimbusdale/MedianIntegration.h"

#include "nimbusdale/SpectrumMagnitude.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace nimbusdale {
namespace {

// (part * m) / a, or (part / a) * m where the product leaves the float range.
float scaledPart(float part, float m, float a) {
  const float product = part * m;
  if (std::isfinite(product)) return product / a;
  return (part / a) * m;
}

// The element at position `pos` of `values` once sorted; the order of the others is lost. A few
// channels are sorted by insertion, which beats a general selection at that size.
float selectMedian(std::vector<float>& values, long pos) {
  if (values.size() > 16) {
    std::nth_element(values.begin(), values.begin() + pos, values.end());
    return values[static_cast<size_t>(pos)];
  }
  for (size_t i = 1; i < values.size(); ++i) {
    const float v = values[i];
    size_t j = i;
    for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
    values[j] = v;
  }
  return values[static_cast<size_t>(pos)];
}

}  // namespace

void checkMedianInputs(const float* sparse, const std::complex<float>* specRow0, int numChannels,
                       int numBins) {
  // Selecting the median needs a strict weak order, which a NaN breaks (and can make it read out
  // of range); an infinite median would give an infinite or NaN output.
  const long values = static_cast<long>(numChannels) * numBins;
  for (long i = 0; i < values; ++i) {
    if (std::isfinite(sparse[i])) continue;
    std::ostringstream detail;
    detail << "input SPARSE holds " << sparse[i] << " at channel " << i / numBins << ", bin "
           << i % numBins << "; every value must be finite";
    throw std::invalid_argument(detail.str());
  }
  for (int k = 0; k < numBins; ++k) {
    if (std::isfinite(spectrumMagnitude(specRow0[k]))) continue;
    std::ostringstream detail;
    detail << "input SPEC holds " << specRow0[k] << " at channel 0, bin " << k
           << "; channel 0 values must have a finite magnitude";
    throw std::invalid_argument(detail.str());
  }
}

void integrateMedian(const float* sparse, const std::complex<float>* specRow0, int numChannels,
                     int numBins, std::complex<float>* output, std::vector<float>& scratch) {
  scratch.resize(static_cast<size_t>(numChannels));
  const long medianPos = (numChannels - 1) / 2;
  for (int bin = 0; bin < numBins; ++bin) {
    for (int ch = 0; ch < numChannels; ++ch)
      scratch[static_cast<size_t>(ch)] = sparse[static_cast<long>(ch) * numBins + bin];
    const float m = selectMedian(scratch, medianPos);

    const std::complex<float> s = specRow0[bin];
    const float a = spectrumMagnitude(s);
    if (a == 0.0f) {
      // Silence has no phase; keep the magnitude rather than emit 0/0.
      output[bin] = std::complex<float>(m, 0.0f);
    } else {
      output[bin] = std::complex<float>(scaledPart(s.real(), m, a), scaledPart(s.imag(), m, a));
    }
  }
}

}  // namespace nimbusdale

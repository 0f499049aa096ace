#include "nimbusdale/MedianIntegration.h"

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/SpectrumMagnitude.h"

#include <algorithm>

namespace nimbusdale {
namespace {

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
  checkFrameValues(kMedianIntegratorType.port("SPARSE"), sparse, numChannels, numBins);
  checkFrameValues(kMedianIntegratorType.port("SPEC"), specRow0, numChannels, numBins);
}

void integrateMedian(const float* sparse, const std::complex<float>* specRow0, int numChannels,
                     int numBins, std::complex<float>* output, std::vector<float>& scratch) {
  scratch.resize(static_cast<size_t>(numChannels));
  const long medianPos = (numChannels - 1) / 2;
  for (int bin = 0; bin < numBins; ++bin) {
    for (int ch = 0; ch < numChannels; ++ch)
      scratch[static_cast<size_t>(ch)] = sparse[static_cast<long>(ch) * numBins + bin];
    const float m = selectMedian(scratch, medianPos);

    output[bin] = withPhaseOf(m, specRow0[bin]);
  }
}

}  // namespace nimbusdale

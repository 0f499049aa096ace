#include "nimbusdale/MedianIntegration.h"

#include "MedianKernels.h"

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/SpectrumMagnitude.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nimbusdale {
namespace {

// Up to this many channels are sorted all bins at once by a network of whole-row compare-exchanges
// (C^2 / 2 of them), which beats a selection in each bin at that size.
constexpr int kNetworkChannels = 64;

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

MedianSettings MedianSettings::fromParameters(const ParameterValues& values) {
  values.check();
  MedianSettings s;
  s.numChannels = values.intValue("NUM_CHANNEL");
  s.numBins = binsFromLength(values.intValue("LENGTH"));
  return s;
}

void MedianSettings::validate() const {
  if (numChannels < 1)
    throw std::invalid_argument("numChannels is " + std::to_string(numChannels) +
                                "; it must be at least 1");
  if (numBins < 0)
    throw std::invalid_argument("numBins is " + std::to_string(numBins) +
                                "; it must be at least 0");
}

MedianIntegration::MedianIntegration(const MedianSettings& settings)
    : config((settings.validate(), settings)),
      scratch(static_cast<size_t>(settings.numChannels)),
      columns(settings.numChannels <= kNetworkChannels
                  ? static_cast<size_t>(settings.numChannels) * static_cast<size_t>(settings.numBins)
                  : 0) {}

const NodeType& MedianIntegration::type() const {
  return kMedianIntegratorType;
}

void MedianIntegration::checkInputs(const float* sparse,
                                    const std::complex<float>* spectrum) const {
  checkFrameValues(kMedianIntegratorType.port("SPARSE"), sparse, config.numChannels,
                   config.numBins);
  checkFrameValues(kMedianIntegratorType.port("SPEC"), spectrum, config.numChannels,
                   config.numBins);
}

IntegrationSummary MedianIntegration::process(const float* sparse,
                                              const std::complex<float>* spectrum,
                                              std::complex<float>* output, std::ostream*) {
  const int channels = config.numChannels, bins = config.numBins;
  const long medianPos = (channels - 1) / 2;
  // A value min and max cannot order as the sort does (-0 beside +0) sends the frame the way
  // of the bin-by-bin sort, which takes the same median.
  if (!columns.empty() && kernels::copyOrderable(sparse, columns.data(), columns.size())) {
    kernels::sortColumns(columns.data(), static_cast<size_t>(channels), static_cast<size_t>(bins));
    const float* median = columns.data() + medianPos * bins;
    for (int bin = 0; bin < bins; ++bin) output[bin] = withPhaseOf(median[bin], spectrum[bin]);
    return {};
  }
  for (int bin = 0; bin < bins; ++bin) {
    for (int ch = 0; ch < channels; ++ch)
      scratch[static_cast<size_t>(ch)] = sparse[static_cast<long>(ch) * bins + bin];
    const float m = selectMedian(scratch, medianPos);

    output[bin] = withPhaseOf(m, spectrum[bin]);
  }
  return {};
}

}  // namespace nimbusdale

#include "nimbusdale/SparseMaskIntegration.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

namespace nimbusdale {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The a priori SNR of one channel in one bin (see the header). Every term is >= 0 or +inf, so no
// NaN can come out: the ratios are taken before squaring, so powers of tiny magnitudes cannot
// underflow into 0 / 0, and alpha * inf is never formed with alpha = 0.
inline float channelPriorSnr(float a, float s, float previous, float alpha, float keep, float mu) {
  const float residual = a - s;
  if (!(residual > 0.0f)) return kInfinity;  // the whole bin is sparse
  const float sparseRatio = s / residual;
  const float instantaneous = (sparseRatio * sparseRatio) / mu;
  if (alpha == 0.0f) return instantaneous;
  const float previousRatio = previous / residual;
  return alpha * ((previousRatio * previousRatio) / mu) + keep * instantaneous;
}

// Sorts `count` values ascending by insertion: there are few channels.
inline void sortFew(float* values, int count) {
  for (int i = 1; i < count; ++i) {
    const float v = values[i];
    int j = i;
    for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
    values[j] = v;
  }
}

template <class V>
void require(bool ok, const char* member, V value, const char* requirement) {
  if (ok) return;
  std::ostringstream text;
  text << "SparseMaskIntegration: " << member << " is " << value << "; it must " << requirement;
  throw std::invalid_argument(text.str());
}

}  // namespace

SparseMaskSettings SparseMaskSettings::fromParameters(const ParameterValues& values) {
  if (&values.type() != &kSparseMaskIntegratorType)
    throw std::logic_error(std::string("mask settings from parameters of ") + values.type().name);
  values.check();
  SparseMaskSettings s;
  s.numChannels = values.intValue("NUM_CHANNEL");
  s.numBins = values.intValue("LENGTH") / 2 + 1;
  s.snrSmoothing = values.floatValue("SNR_SMOOTHING");
  s.noiseOverestimation = values.floatValue("NOISE_OVERESTIMATION");
  s.gainFloor = values.floatValue("GAIN_FLOOR");
  return s;
}

void SparseMaskSettings::validate() const {
  const NodeType& type = kSparseMaskIntegratorType;
  auto asParameter = [&](const char* member, const char* parameter, double value) {
    const ParameterRule& rule = type.parameter(parameter).rule;
    require(admits(rule, value), member, value, rule.requirement);
  };
  asParameter("numChannels", "NUM_CHANNEL", numChannels);
  require(numBins >= 0, "numBins", numBins, "be at least 0");
  asParameter("snrSmoothing", "SNR_SMOOTHING", snrSmoothing);
  asParameter("noiseOverestimation", "NOISE_OVERESTIMATION", noiseOverestimation);
  asParameter("gainFloor", "GAIN_FLOOR", gainFloor);
}

SparseMaskIntegration::SparseMaskIntegration(const SparseMaskSettings& settings)
    : config(settings) {
  config.validate();
  const size_t values = static_cast<size_t>(config.numChannels) * config.numBins;
  previousClean.assign(values, 0.0f);
  magnitude.assign(values, 0.0f);
  priorSnr.assign(values, 0.0f);
  column.assign(static_cast<size_t>(config.numChannels), 0.0f);
  gain.assign(static_cast<size_t>(config.numBins), config.gainFloor);
}

void SparseMaskIntegration::checkInputs(const float* sparse,
                                        const std::complex<float>* spectrum) const {
  const NodeType& type = kSparseMaskIntegratorType;
  checkFrameValues(type.port("SPARSE"), sparse, config.numChannels, config.numBins);
  checkFrameValues(type.port("SPEC"), spectrum, config.numChannels, config.numBins);
}

void SparseMaskIntegration::process(const float* sparse, const std::complex<float>* spectrum,
                                    std::complex<float>* output) {
  const int channels = config.numChannels, bins = config.numBins;
  const float alpha = config.snrSmoothing, keep = 1.0f - alpha;
  const float mu = config.noiseOverestimation, floor = config.gainFloor;

  // Each channel's magnitudes and a priori SNRs, one contiguous row at a time.
  reference = -1;
  for (int c = 0; c < channels; ++c) {
    const long row = static_cast<long>(c) * bins;
    bool sounds = false;
    for (int k = 0; k < bins; ++k) {
      const float a = spectrumMagnitude(spectrum[row + k]);
      magnitude[row + k] = a;
      sounds |= a > 0.0f;
      priorSnr[row + k] =
          a > 0.0f ? channelPriorSnr(a, sparse[row + k], previousClean[row + k], alpha, keep, mu)
                   : -1.0f;
    }
    if (sounds && reference < 0) reference = c;
  }
  if (reference < 0) reference = 0;

  // Per bin: the median over the channels that hear it, the Wiener gain, the floor.
  for (int k = 0; k < bins; ++k) {
    int live = 0;
    for (int c = 0; c < channels; ++c) {
      const float xi = priorSnr[static_cast<long>(c) * bins + k];
      if (xi >= 0.0f) column[static_cast<size_t>(live++)] = xi;
    }
    float g = 0.0f;
    if (live > 0) {
      sortFew(column.data(), live);
      const float upper = column[static_cast<size_t>(live / 2)];
      const float xi =
          live % 2 ? upper : (column[static_cast<size_t>(live / 2 - 1)] + upper) * 0.5f;
      g = 1.0f / (1.0f + 1.0f / xi);  // xi / (1 + xi), 0 for xi = 0 and 1 for xi = inf
    }
    gain[static_cast<size_t>(k)] = std::max(g, floor);
  }

  const std::complex<float>* toApply = spectrum + static_cast<long>(reference) * bins;
  for (int k = 0; k < bins; ++k) {
    const float g = gain[static_cast<size_t>(k)];
    output[k] = std::complex<float>(g * toApply[k].real(), g * toApply[k].imag());
  }
  for (int c = 0; c < channels; ++c) {
    const long row = static_cast<long>(c) * bins;
    for (int k = 0; k < bins; ++k)
      previousClean[row + k] = gain[static_cast<size_t>(k)] * magnitude[row + k];
  }
}

}  // namespace nimbusdale

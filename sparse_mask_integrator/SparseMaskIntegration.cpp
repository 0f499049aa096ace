#include "nimbusdale/SparseMaskIntegration.h"

#include "SparseMaskKernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

namespace nimbusdale {
namespace {

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
  live.assign(static_cast<size_t>(config.numBins), 0.0f);
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
  // Whole rows of bins at a time, so that the fast arithmetic runs each step as a SIMD kernel;
  // the reference arithmetic runs the same operations in scalar loops (and takes every
  // magnitude as the hypotenuse). The median across channels is a sorting network of rows.
  constexpr bool fast = !NIMBUSDALE_REFERENCE_ARITHMETIC;
  const int channels = config.numChannels, bins = config.numBins;
  const size_t n = static_cast<size_t>(bins);
  const float alpha = config.snrSmoothing, keep = 1.0f - alpha;
  const float inverseMu = 1.0f / config.noiseOverestimation;  // finite: the rule requires it
  const float floor = config.gainFloor;
  const float* parts = reinterpret_cast<const float*>(spectrum);  // re, im, re, im, ...

  std::fill(live.begin(), live.end(), 0.0f);
  reference = -1;
  for (int c = 0; c < channels; ++c) {
    const long row = static_cast<long>(c) * bins;
    float* a = magnitude.data() + row;
    // |X| as spectrumMagnitude() forms it: the fast road where re^2 + im^2 stays in the normal
    // range, the hypotenuse elsewhere (exact zeros included, which give 0).
    if (!fast || kernels::magnitudes(parts + 2 * row, a, n))
      for (int k = 0; k < bins; ++k) a[k] = spectrumMagnitude(spectrum[row + k]);

    // xi_c, and +inf where the residual is 0 (all of the bin is sparse) or where the channel
    // hears nothing: such a channel sorts after every live one and is not counted. The ratios
    // are formed before squaring, so tiny magnitudes cannot underflow into 0 / 0.
    bool sounds = false;
    if (fast) {
      sounds = kernels::priorSnrs(a, sparse + row, previousClean.data() + row, alpha, keep,
                                  inverseMu, priorSnr.data() + row, live.data(), n);
    } else {
      const float* s = sparse + row;
      const float* previous = previousClean.data() + row;
      float* xi = priorSnr.data() + row;
      for (int k = 0; k < bins; ++k) {
        xi[k] = kernels::priorSnr(a[k], s[k], previous[k], alpha, keep, inverseMu);
        live[static_cast<size_t>(k)] += a[k] > 0.0f ? 1.0f : 0.0f;
        sounds |= a[k] > 0.0f;
      }
    }
    if (sounds && reference < 0) reference = c;
  }
  if (reference < 0) reference = 0;

  // Sort each bin's column ascending: odd-even transposition over whole rows, C rounds.
  for (int round = 0; round < channels; ++round)
    for (int c = round % 2; c + 1 < channels; c += 2) {
      float* lower = priorSnr.data() + static_cast<long>(c) * bins;
      float* upper = lower + bins;
      if (fast) {
        kernels::compareExchange(lower, upper, n);
        continue;
      }
      for (int k = 0; k < bins; ++k) {
        const float p = lower[k], q = upper[k];
        lower[k] = q < p ? q : p;
        upper[k] = q < p ? p : q;
      }
    }

  // The median of the live channels' xi_c, the Wiener gain xi / (1 + xi) (0 for xi = 0, 1 for
  // xi = inf), the floor; no live channel gives the floor. Where every bin has the same number
  // of live channels (all of them, or all but a dead one), the middle rows are the same for
  // every bin.
  const float count = bins > 0 ? live[0] : 0.0f;
  const bool uniform =
      count > 0.0f && std::all_of(live.begin(), live.end(), [&](float v) { return v == count; });
  if (fast && uniform) {
    const int l = static_cast<int>(count);
    kernels::wienerGains(priorSnr.data() + static_cast<long>((l - 1) / 2) * bins,
                         priorSnr.data() + static_cast<long>(l / 2) * bins, l % 2 != 0, floor,
                         gain.data(), n);
  } else {
    for (int k = 0; k < bins; ++k) {
      const int l = static_cast<int>(live[static_cast<size_t>(k)]);
      float g = 0.0f;
      if (l > 0) {
        const float below = priorSnr[static_cast<long>((l - 1) / 2) * bins + k];
        const float middle = priorSnr[static_cast<long>(l / 2) * bins + k];
        const float xi = l % 2 ? middle : (below + middle) * 0.5f;
        g = 1.0f / (1.0f + 1.0f / xi);
      }
      gain[static_cast<size_t>(k)] = g > floor ? g : floor;
    }
  }

  const float* toApply = parts + 2 * static_cast<long>(reference) * bins;
  float* out = reinterpret_cast<float*>(output);
  for (int k = 0; k < bins; ++k) {
    out[2 * k] = gain[static_cast<size_t>(k)] * toApply[2 * k];
    out[2 * k + 1] = gain[static_cast<size_t>(k)] * toApply[2 * k + 1];
  }
  for (int c = 0; c < channels; ++c) {
    float* previous = previousClean.data() + static_cast<long>(c) * bins;
    const float* a = magnitude.data() + static_cast<long>(c) * bins;
    for (int k = 0; k < bins; ++k) previous[k] = gain[static_cast<size_t>(k)] * a[k];
  }
}

}  // namespace nimbusdale

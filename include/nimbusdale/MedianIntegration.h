// The per-frame arithmetic of the MedianIntegrator node, free of host types.
#ifndef NIMBUSDALE_MEDIAN_INTEGRATION_H
#define NIMBUSDALE_MEDIAN_INTEGRATION_H

#include <complex>
#include <vector>

#include "nimbusdale/Integration.h"

namespace nimbusdale {

/// What a median integration runs with (the MedianIntegrator table, NodeTypes.h).
struct MedianSettings {
  int numChannels = 1;  ///< C (NUM_CHANNEL), at least 1
  int numBins = 0;      ///< F = LENGTH / 2 + 1, at least 0

  /// Settings from NUM_CHANNEL and LENGTH held in `values` (a ParameterValues of the
  /// MedianIntegrator type). @throws std::invalid_argument "parameter NAME is VALUE; it must
  /// ..." for the first value its rule refuses.
  static MedianSettings fromParameters(const ParameterValues& values);

  /// @throws std::invalid_argument naming the first member out of its range.
  void validate() const;
};

/// For each bin k: m = the lower median of sparse(c, k) over the C channels (position
/// (C - 1) / 2 after sorting), and output[k] = (Re(s) * m / |s|, Im(s) * m / |s|) with
/// s = spectrum(0, k), each part formed as (part * m) / |s|. Where that product would overflow,
/// the part is formed as (part / |s|) * m, so checked inputs always give finite output. A bin
/// whose s is 0 has no phase and gets m + 0i. Only channel 0 of the spectrum is read. Keeps no
/// state between frames and writes no diagnostics.
class MedianIntegration final : public Integration {
 public:
  using Settings = MedianSettings;

  /// @throws std::invalid_argument as MedianSettings::validate().
  explicit MedianIntegration(const MedianSettings& settings);

  const NodeType& type() const override;
  /// Refuses a NaN or infinity in `sparse`, or a channel-0 spectrum value whose magnitude is
  /// NaN or infinite (the median needs a strict order, the output a finite median).
  void checkInputs(const float* sparse, const std::complex<float>* spectrum) const override;
  IntegrationSummary process(const float* sparse, const std::complex<float>* spectrum,
                             std::complex<float>* output,
                             std::ostream* diagnostics = nullptr) override;

  const MedianSettings& settings() const { return config; }

 private:
  MedianSettings config;
  std::vector<float> scratch;  // one bin's channels
  std::vector<float> columns;  // the frame's channels, sorted bin by bin
};

}  // namespace nimbusdale

#endif

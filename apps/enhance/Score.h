// Scale-invariant and plain signal-to-distortion ratios of an estimate against a reference.
#ifndef NIMBUSDALE_APPS_SCORE_H
#define NIMBUSDALE_APPS_SCORE_H

namespace nimbusdale::app {

struct ScoreResult {
  double siSdr = 0;  ///< scale-invariant SDR, dB (both signals made zero-mean)
  double sdr = 0;    ///< plain SDR, dB: 10 log10(|s|^2 / |s - e|^2)
  long lag = 0;      ///< estimate[n + lag] was compared with reference[n]
  long overlap = 0;  ///< samples compared
  long maxLag = 0;   ///< the widest lag searched, samples
};

/// Aligns `estimate` to `reference` at the lag in [-maxLag, maxLag] samples with the largest
/// cross-correlation, then scores the overlapping samples. An estimate equal to the reference
/// scores +inf dB. Throws std::invalid_argument when either signal is empty, holds a value that
/// is not finite, or nothing overlaps, and when SI-SDR is undefined: the reference or the
/// estimate is silent over the compared samples (no power once its mean is removed).
ScoreResult score(const float* reference, long referenceSamples, const float* estimate,
                  long estimateSamples, long maxLag);

}  // namespace nimbusdale::app

#endif

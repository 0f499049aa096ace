#ifndef NIMBUSDALE_DELAY_BEAM_H
#define NIMBUSDALE_DELAY_BEAM_H

#include <cstddef>
#include <vector>

namespace nimbusdale {

// A beam toward the talker for the mask integrator: each channel's delay to the reference,
// fitted over the bins, steers it, and a rank-one noise model (a point source) plus an even
// floor (sensors, diffuse sound) nulls the noise. Every statistic of a bin is kept in units of
// 2^-exponent[k], which moves by exact powers of two with the bin's level, so that no square
// of a finite input overflows.
class DelayBeam {
 public:
  DelayBeam(int channels, int bins, float smoothing, float coherence);

  // Learns from the frame follow() started: the spectrum scaled by each bin's largest magnitude
  // over the channels (C x F, real and imaginary parts apart), that magnitude, and the bins that
  // hold noise only and speech (non-zero flags). Refits one channel's delay.
  void learn(const float* unitRe, const float* unitIm, const float* largest,
             const float* noiseOnly, const float* speech);
  // Starts every frame, before steer() and learn(): `largest` is the frame's largest magnitude
  // per bin, r its reference channel. Moves each bin's scale to the frame's level where it has
  // moved too far, and starts afresh when the reference channel changed.
  void follow(const float* largest, int reference);
  // Whether any channel besides the reference has joined the beam.
  bool steering() const { return joinedCount > 0; }
  // The beam's output for a frame given as to learn(): out (re and im interleaved), the power
  // of its noise, both in the bin's units, and that power over the reference channel's (F
  // each); a noise power of 0 marks a bin the beam does not cover yet (the rest is unwritten).
  void steer(const float* unitRe, const float* unitIm, float* out, float* noise,
             float* reduction);
  // The bin's unit, 2^exponent: its values times the unit are in input units; and 1 / unit.
  float unit(int k) const { return unitRow[static_cast<std::size_t>(k)]; }
  const float* units() const { return unitRow.data(); }
  const float* inverseUnits() const { return inverseUnitRow.data(); }
  // The channel's fitted delay to the reference, in samples (0 until fitted).
  float delay(int c) const { return delays[static_cast<std::size_t>(c)]; }
  bool joined(int c) const { return member[static_cast<std::size_t>(c)] != 0; }

 private:
  int channels, bins, length, reference = -1;
  float beta, rest, coherence;
  std::vector<float> noiseRe, noiseIm, noisePower;     // C x F: E[x_c conj(x_r)], E|x_c|^2
  std::vector<float> speechRe, speechIm, speechPower;  // the same over speech frames
  std::vector<float> noiseFill, speechFill;            // F: the share each average has filled
  float votingFill = 0.0f;                             // the share kVotingFrames frames fill
  std::vector<float> steerRe, steerIm;                 // C x F: exp(-i w tau_c)
  std::vector<float> cosine, sine;                     // 4 L entries: a quarter-sample grid
  std::vector<int> scale;                              // F exponents, kUnset before a bin sounds
  std::vector<float> unitRow, inverseUnitRow;          // F: 2^scale and 2^-scale, exact
  std::vector<float> delays, phaseRe, phaseIm, noisePhaseRe, noisePhaseIm, ratios;
  std::vector<float> coherentBins, binRatios;  // F: the fit's bins with speech in both channels
  std::vector<float> toUnits;  // F: the frame's largest magnitudes in the bins' units
  std::vector<unsigned char> member;
  std::vector<int> visits, beamChannels;  // beamChannels: the reference and the members
  std::vector<float> candidateScores;     // the fit's, one per delay searched
  int nextChannel = 0, joinedCount = 0, framesLearnt = 0;

  void reset();
  void rescale(int k, int exponent);
  void setScale(int k, int exponent);
  void fit(int c);
  // Whether the frame's speech bins (heard, not noise only, speech) stray from the joined
  // channels' delays.
  bool strays(const float* unitRe, const float* unitIm, const float* largest,
              const float* noiseOnly, const float* speech) const;
  // Re sum over bins [from, to) of (re_k + i im_k) exp(i w_k tau), tau = q / 4: into
  // candidateScores for the talker's phases and q = first + j stride, j < count; G candidates at
  // a time into `out`; for the noise frames' phases at one delay.
  void scores(int first, int stride, int count, int from, int to);
  template <int G>
  void scoreGroup(int first, int stride, int from, int to, const float* re, const float* im,
                  float* out) const;
  float noiseScore(int quarterDelay, int from, int to) const;
  void setSteering(int c);
};

}  // namespace nimbusdale

#endif

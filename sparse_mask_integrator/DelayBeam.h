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

  // Forgets everything learnt; the next frame starts afresh (the reference channel changed).
  void reset();
  // One frame: the spectrum (C x F, re and im interleaved), its largest magnitude per bin,
  // and the bins that hold noise only and speech (non-zero flags). Refits one channel's delay.
  void learn(const float* parts, const float* largest, const float* noiseOnly,
             const float* speech, int reference);
  // Moves each bin's scale to the frame's level where it has moved too far (largest: the
  // frame's largest magnitude per bin); learn() does it too, steer() needs it first.
  void follow(const float* largest);
  // Whether any channel besides the reference has joined the beam.
  bool steering() const { return joinedCount > 0; }
  // The beam's output for the last frame learnt: out (re and im interleaved), the power of its
  // noise, both in the bin's units, and that power over the reference channel's (F each); a
  // noise power of 0 marks a bin the beam does not cover yet (the rest is then unwritten).
  void steer(const float* parts, float* out, float* noise, float* reduction) const;
  // The bin's scale: its values times 2^exponent are in input units.
  int exponent(int k) const { return scale[static_cast<std::size_t>(k)]; }
  // The channel's fitted delay to the reference, in samples (0 until fitted).
  float delay(int c) const { return delays[static_cast<std::size_t>(c)]; }
  bool joined(int c) const { return member[static_cast<std::size_t>(c)] != 0; }

 private:
  int channels, bins, length, reference = -1;
  float beta, rest, coherence;
  std::vector<float> noiseRe, noiseIm, noisePower;     // C x F: E[x_c conj(x_r)], E|x_c|^2
  std::vector<float> speechRe, speechIm, speechPower;  // the same over speech frames
  std::vector<float> steerRe, steerIm;                 // C x F: exp(-i w tau_c)
  std::vector<float> cosine, sine;                     // 4 L entries: a quarter-sample grid
  std::vector<int> scale;                              // F exponents, kUnset before a bin sounds
  std::vector<float> delays, phaseRe, phaseIm, ratios;
  std::vector<unsigned char> member, fitted;
  std::vector<int> visits;
  int nextChannel = 0, joinedCount = 0;

  void rescale(int k, int exponent);
  void fit(int c);
  float score(int quarterDelay, int from, int to) const;
  void setSteering(int c);
};

}  // namespace nimbusdale

#endif

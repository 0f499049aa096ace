// The per-frame arithmetic of the SparseMaskIntegrator node, free of host types: a per-bin gain,
// formed from every channel's split of its magnitude into a sparse part and a residual, applied
// to channel 0's complex value, so that channel 0's phase and fine structure pass through.
#ifndef NIMBUSDALE_SPARSE_MASK_INTEGRATION_H
#define NIMBUSDALE_SPARSE_MASK_INTEGRATION_H

#include <complex>
#include <memory>
#include <vector>

#include "nimbusdale/Integration.h"

namespace nimbusdale {

class DelayBeam;

/// Internal to SparseMaskIntegration: owns its beam, whose type is private, and copies it with
/// the integration.
class OwnedDelayBeam {
 public:
  OwnedDelayBeam();
  explicit OwnedDelayBeam(std::unique_ptr<DelayBeam> beam);
  OwnedDelayBeam(const OwnedDelayBeam& other);
  OwnedDelayBeam(OwnedDelayBeam&& other) noexcept;
  OwnedDelayBeam& operator=(const OwnedDelayBeam& other);
  OwnedDelayBeam& operator=(OwnedDelayBeam&& other) noexcept;
  ~OwnedDelayBeam();
  DelayBeam* operator->() const { return beam.get(); }

 private:
  std::unique_ptr<DelayBeam> beam;
};

/// What a mask integration runs with. fromParameters() takes them from the node's parameters;
/// they may also be set directly and checked with validate(). Each member that carries a node
/// parameter admits what the parameter admits (the SparseMaskIntegrator table, NodeTypes.h).
struct SparseMaskSettings {
  int numChannels = 1;               ///< C (NUM_CHANNEL), at least 1
  int numBins = 0;                   ///< F = LENGTH / 2 + 1, at least 0
  float snrSmoothing = 0.4f;         ///< alpha (SNR_SMOOTHING), 0 <= alpha < 1
  float noiseOverestimation = 1.0f;  ///< mu (NOISE_OVERESTIMATION), positive and finite
  float gainFloor = 0.03f;           ///< G_min (GAIN_FLOOR), 0 to 1
  int spatialWeight = 3;             ///< kappa (SPATIAL_WEIGHT), 0 to 8; 0: no spatial term
  float spatialSmoothing = 0.98f;    ///< beta (SPATIAL_SMOOTHING), 0 <= beta < 1
  float transientRise = 6.0f;        ///< rho (TRANSIENT_RISE), dB, 0 < rho <= 60
  float transientSpread = 0.5f;      ///< q (TRANSIENT_SPREAD), 0 to 1; 1: no transient hold
  int talkerLock = 25;               ///< L (TALKER_LOCK), 0 to 10000 frames; 0: no lock
  float beamCoherence = 0.8f;        ///< BEAM_COHERENCE, 0 to 1; 1: no beam
  float tailDecay = 2.0f;            ///< delta (TAIL_DECAY), dB, 0 to 60; 0: no limit

  /// Settings for NUM_CHANNEL, LENGTH, SNR_SMOOTHING, NOISE_OVERESTIMATION, GAIN_FLOOR,
  /// SPATIAL_WEIGHT, SPATIAL_SMOOTHING, TRANSIENT_RISE, TRANSIENT_SPREAD, TALKER_LOCK,
  /// BEAM_COHERENCE and TAIL_DECAY, held in `values` (a ParameterValues of the
  /// SparseMaskIntegrator type).
  /// @throws std::invalid_argument "parameter NAME is VALUE; it must ..." for the first value
  /// its rule refuses.
  static SparseMaskSettings fromParameters(const ParameterValues& values);

  /// @throws std::invalid_argument naming the first member out of its range.
  void validate() const;
};

/// Per frame and bin k, with A_c = |X_c(k)| and S_c = sparse(c, k) for each channel c:
///
/// - the robust PCA's residual is the noise: N_c = max(A_c - S_c, 0), of power mu N_c^2;
/// - the a priori SNR of channel c is decision-directed (Ephraim and Malah 1984),
///   xi_c = alpha (P_c / N_c)^2 / mu + (1 - alpha) (S_c / N_c)^2 / mu, with P_c = G'(k) A'_c the
///   clean amplitude the previous frame estimated in that channel (its gain times its
///   magnitude); the sparse part stands in for the instantaneous clean estimate. A bin with
///   N_c = 0 (all of it sparse) has xi_c = infinity;
/// - channels with A_c = 0 (a dead channel, digital silence) carry no ratio and are left out;
///   xi is the median of the others' xi_c (the mean of the two middle ones for an even count),
///   so one channel out of line, or dead, does not move it;
/// - the spatial term (kappa > 0, two channels or more): noise peaks that pass the robust PCA's
///   threshold look like speech in one channel, but they come from the noise's direction. Each
///   bin learns two directions, relative transfer functions to the reference channel r
///   (Gannot, Burshtein and Weinstein 2001): h_n from frames where no channel has a sparse part
///   (noise only), h_s from frames where xi > 3 (speech) and the transient hold left the bin
///   alone. Each is a recursive average with forgetting factor beta of u_c conj(u_r) / |u|^2,
///   u = the bin's channel vector X(k) scaled by its largest magnitude. With
///   m = |h^H u|^2 / (|h|^2 |u|^2) in [0, 1] for each direction, xi becomes
///   xi ((1 - m_n + e) / (1 - m_s + e))^kappa, which raises bins that match the speech direction
///   and lowers those that match the noise direction. The margin e = 0.01 + 0.3 sigma^64, with
///   sigma = |h_n^H h_s|^2 / (|h_n|^2 |h_s|^2), damps the ratio where the two directions are all
///   but the same and it could not tell them apart. A bin with a direction not yet learnt, or
///   one whose channels are all 0, keeps its xi;
/// - the talker lock (L > 0, with the spatial term): the target is the talker heard first. A
///   bin whose h_s has learnt from L speech frames is locked; a locked speech bin (xi > 3)
///   strays when m_s < 0.6. A frame carries another talker when at least max(8, F / 32) locked
///   speech bins sound and more than half of them stray: a point source strays in many bins at
///   once. In such a frame the stray bins teach a third direction, the other talker's h_o,
///   instead of h_s, and a stray bin with m_o > 0.8 has xi lowered by
///   ((1 - m_o + e_o) / (1 - m_s + e_o))^kappa, e_o the margin above with sigma_o = the
///   likeness of h_o and h_s. The other talker speaks alone when, of the locked speech bins
///   where h_o is learnt and sigma_o < 0.5 (at least max(8, F / 32)), more than 0.3 stray with
///   m_o >= 0.7; then xi is scaled by 0.01 in every bin but those with sigma_o < 0.5,
///   m_s >= 0.6 and m_s > m_o;
/// - G(k) = max(xi / (1 + xi), G_min), the Wiener gain (Scalart and Vieira Filho 1996) with a
///   floor against musical noise (Berouti, Schwartz and Makhoul 1979); no live channel gives
///   G_min;
/// - the transient hold (q < 1): clicks, knocks and taps pass the robust PCA as sparse, like
///   speech, but they strike most bins at once, or strike the same bins at a steady pace. With
///   P(k) = sum_c A_c^2, a frame is an onset when more than q F bins have P(k) above
///   10^(rho / 10) times the previous frame's P(k) (and that one above 0), not counting bins more
///   than 50 dB below the frame's loudest (splatter of a tone switched on): every bin is held for
///   this frame and the next 11. A bin's own onset is P(k) rising by 15 dB in a frame; when the
///   bin also had onsets a, about 2a (within 2) and about 3a (within 4) frames back, a from 6 to
///   40, that bin alone is held for 6 frames. While held, a bin's output may grow by at most g a
///   frame: G(k) = min(G(k), max(g O'(k) / A_r(k), G_min)), O' the previous frame's
///   |output(k)|, g = 2 in the frame of the bin's latest onset and the next (the analysis window
///   is still moving onto the event) and 1.2 after. From the third frame on, a bin is let go for
///   good once its P(k) rises by more than 1.5 in a frame (speech starting under the hold; a
///   ring still building up rises less), stays above 0.8 of the frame before for two frames
///   running (a sound that started abruptly but lasts), or falls to twice its P(k) before its
///   hold began;
/// - the beam (BEAM_COHERENCE below 1, with the spatial term): the talker's channels differ by
///   a delay, the same at every frequency. Each channel's delay to r is fitted over the bins
///   from F / 32 to F / 2, to the phase of the talker's cross-spectrum (the speech frames'
///   average of X_c conj(X_r) less the noise frames'), in quarter samples up to L / 32. A
///   channel joins the beam while the fit aligns its phases by at least 0.5 on average and
///   the median coherence of its speech with r's, |E X_c conj(X_r)|^2 / (E|X_c|^2 E|X_r|^2)
///   over the speech frames, is at least BEAM_COHERENCE (a reverberant or dead channel stays
///   out). Over r and the joined channels, the noise frames' covariance is modelled as one
///   point source plus an even floor loaded by 1% of the mean power, and the minimum-variance
///   distortionless beam z(k) toward the fitted delays (Capon 1969) replaces X_r(k): G(k)
///   becomes the Wiener gain of z's decision-directed a priori SNR, alpha (O'(k) / N_z)^2 / mu
///   + (1 - alpha) max(|z|^2 / N_z^2 - 1, 0) / mu, N_z^2 the beam's modelled noise power and
///   O' the previous frame's |output(k)|; |z| is at most max_c |X_c(k)|. Bins the beam does not
///   cover yet keep the mask;
/// - the tail's limit (delta > 0), on the mask's G(k) before the beam and the transient hold: a
///   reverberant tail that the robust PCA counts as noise would be cut as soon as the speech
///   stops. After a frame whose gains passed at least 0.3 of the reference channel's power
///   (speech), a bin's clean estimate in r may fall by at most delta dB a frame:
///   G(k) = max(G(k), min(1, 10^(-delta / 20) P_r / A_r)); a bin the limit held up in the last
///   frame stays under it, whatever that frame passed. Where the beam steers, its gain replaces
///   this;
/// - output(k) = G(k) X_r(k), or G(k) z(k) where the beam steers, r = 0 unless channel 0's
///   whole frame is exactly 0 (a dead reference), then the first channel whose frame is not.
///
/// Every value is single precision. Finite inputs that pass checkInputs() always give a finite
/// output with |output(k)| <= |X_r(k)|, or <= max_c |X_c(k)| where the beam steers. The state
/// (each channel's clean estimate, each bin's directions and the frames that taught h_s, the
/// beam, the tail's limit and the transient hold) carries over from frame to frame: frames are
/// expected in order, one per count.
class SparseMaskIntegration final : public Integration {
 public:
  using Settings = SparseMaskSettings;

  /// @throws std::invalid_argument as SparseMaskSettings::validate().
  explicit SparseMaskIntegration(const SparseMaskSettings& settings);

  /// Refuses a frame process() cannot take: a NaN, an infinity or a negative value in the
  /// row-major C x F `sparse`, or a value of the row-major C x F `spectrum` whose magnitude is
  /// NaN or infinite. @throws std::invalid_argument "input SPARSE holds V at channel c, bin k;
  /// ..." or "input SPEC holds V at channel c, bin k; ...".
  void checkInputs(const float* sparse, const std::complex<float>* spectrum) const override;

  /// One frame: `sparse` and `spectrum` row-major C x F, which must have passed checkInputs();
  /// `output` F values. Allocates nothing and writes no diagnostics.
  IntegrationSummary process(const float* sparse, const std::complex<float>* spectrum,
                             std::complex<float>* output,
                             std::ostream* diagnostics = nullptr) override;

  const NodeType& type() const override;

  const SparseMaskSettings& settings() const { return config; }
  /// The gain of each bin in the last frame (F values; G_min before the first), applied to
  /// the beam's output where it steered.
  const std::vector<float>& gains() const { return gain; }
  /// The channel the last frame's gain was applied to.
  int referenceChannel() const { return reference; }

 private:
  SparseMaskSettings config;
  std::vector<float> previousClean;  // C x F: last frame's clean amplitude estimate, G' A'_c
  std::vector<float> magnitude;      // C x F scratch: this frame's A_c
  std::vector<float> priorSnr;       // C x F scratch: this frame's xi_c, sorted per bin
  std::vector<float> live;           // F scratch: channels with A_c > 0 in each bin
  std::vector<float> gain;           // F: this frame's G
  std::vector<float> medianSnr;      // F scratch: xi before the spatial term
  std::vector<float> weightedSnr;    // F scratch: xi after it
  // The spatial term: the learnt directions (C x F, real and imaginary parts apart), and per
  // frame the scaled channel vectors u (C x F) and sums over channels (F each).
  std::vector<float> noiseRe, noiseIm, speechRe, speechIm;
  std::vector<float> unitRe, unitIm;
  std::vector<float> inverseScale, unitPower, noiseMatch, speechMatch;
  std::vector<float> noisePower, speechPower, likeness;
  std::vector<float> sparseChannels;
  // The talker lock: the other talker's direction (C x F), each bin's match to it, its power and
  // likeness to the speech direction, the speech frames that taught each bin's h_s, and the
  // frame's other-talker bins (F each).
  std::vector<float> otherRe, otherIm;
  std::vector<float> otherMatch, otherLikeness, otherPower, taught, otherSpeech;
  // The transient hold: each bin's power summed over channels (this frame, the last and the one
  // before its hold began), the frames its hold has left, those in which it may still rise and
  // those it has not faded for, and the bins' onsets of the last frames (a ring of rows).
  std::vector<float> power, lastPower, onsetPower;
  std::vector<int> holdLeft, rising, steady;
  std::vector<unsigned char> onsets, held;
  int historyRow = 0;
  // The beam, its output (re and im interleaved), noise power and noise reduction in the frame,
  // each bin's largest magnitude over the channels and the talker lock's weight on its a priori
  // SNR.
  OwnedDelayBeam beam;
  std::vector<float> beamOut, beamNoise, beamReduction, largest, talkerWeight;
  // The magnitude each bin's gain applies to, and the last frame's output magnitude (the beam
  // and the transient hold keep them).
  std::vector<float> applied, outputLevel;
  // The tail's limit: the factor it lets the reference's clean estimate fall by in a frame, the
  // share of the reference's power the last frame's gains passed, and the bins it held up then.
  float tailFactor = 0.0f, passedShare = 0.0f;
  std::vector<float> tailing;
  // The talker lock: this frame carries another talker; that talker speaks alone in it.
  bool otherTalking = false, otherAlone = false;
  bool otherHeard = false;  // some bin has learnt the other talker's direction
  int likenessQuarter = 0;  // the quarter of the bins whose otherLikeness is refreshed next
  float riseFactor = 0.0f;
  int reference = 0;

  bool spatial() const { return config.spatialWeight > 0 && config.numChannels > 1; }
  bool transient() const { return config.transientSpread < 1.0f; }
  bool locking() const { return spatial() && config.talkerLock > 0; }
  bool beaming() const { return spatial() && config.beamCoherence < 1.0f; }
  bool limitsTails() const { return config.tailDecay > 0.0f; }
  bool keepsOutput() const { return beaming() || transient(); }
  void steerBeam();
  void limitTails();
  void holdTransients(const float* a);
  void startHold(int bin, int frames);
  bool periodicOnset(int bin) const;
  void scaleChannelVectors(const float* parts);
  void similarity(const std::vector<float>& aRe, const std::vector<float>& aIm,
                  const std::vector<float>& bRe, const std::vector<float>& bIm,
                  const std::vector<float>& bPower, std::vector<float>& aPower,
                  std::vector<float>& out, float unknown, int from, int to);
  void learnDirections(const float* sparse);
  void learnDirection(std::vector<float>& re, std::vector<float>& im, const float* update);
};

}  // namespace nimbusdale

#endif

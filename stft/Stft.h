// Short-time Fourier analysis and weighted overlap-add synthesis, free of host types: the frame
// geometry, the Hann window, a real FFT and a streaming overlap-add. The tool's analysis source
// and synthesis sinks and the toolbox's MultiSTFT and OverlapAddSynthesis nodes all compute
// through these, so they give the same samples.
#ifndef NIMBUSDALE_STFT_H
#define NIMBUSDALE_STFT_H

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

#include "nimbusdale/NodeTypes.h"

namespace nimbusdale {

/// Frame geometry: a periodic Hann window of `length` samples moved by `hop` samples. Frame t
/// starts at sample t * hop - (length - hop), so the first sample sits in as many frames as any
/// other.
struct StftGeometry {
  int length = 512;
  int hop = 128;

  int bins() const { return binsFromLength(length); }
  long frameStart(long frame) const { return frame * hop - (length - hop); }
  /// Frames needed to cover `samples` samples (0 for an empty signal).
  long frameCount(long samples) const;
  /// Throws std::invalid_argument unless length >= 2 and 1 <= hop <= length / 2.
  void validate() const;
};

/// The geometry given by a node's LENGTH and HOP parameters. Throws std::invalid_argument
/// "parameter HOP is H; it must lie between 1 and LENGTH / 2 = ..." for a hop the window cannot
/// cover.
StftGeometry geometryOfParameters(int length, int hop);

/// Largest sample magnitude the analysis takes (full scale is 1.0): up to it every stage of an
/// enhancement stays within single precision at any accepted geometry.
constexpr float kMaxSampleMagnitude = 1e12f;

/// Throws std::invalid_argument naming sample and channel for the first sample that is not
/// finite or whose magnitude exceeds kMaxSampleMagnitude. Samples are numbered from
/// `firstSample` (the block's place in a longer stream).
void checkSignal(const float* interleaved, long samples, int channels, long firstSample = 0);

/// Periodic Hann window, w[i] = 0.5 - 0.5 cos(2 pi i / length).
std::vector<float> hannWindow(int length);

/// Real FFT of one length, planned once (FFTW, single precision, unnormalised both ways).
class RealFft {
 public:
  explicit RealFft(int length);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  /// length real samples -> length / 2 + 1 bins.
  void forward(const float* in, std::complex<float>* out);
  /// length / 2 + 1 bins -> length real samples, scaled by length.
  void inverse(const std::complex<float>* in, float* out);

 private:
  struct Plans;
  std::unique_ptr<Plans> plans;
};

/// One channel's analysis: `length` samples times the window, transformed.
class StftAnalysis {
 public:
  explicit StftAnalysis(int length);
  /// `samples` (length of them) windowed into length / 2 + 1 `bins`.
  void transform(const float* samples, std::complex<float>* bins) { transform(samples, 1, bins); }
  /// The same for samples `stride` apart, such as one channel of an interleaved signal.
  void transform(const float* samples, std::ptrdiff_t stride, std::complex<float>* bins);

 private:
  std::vector<float> window;
  std::vector<float> frame;
  RealFft fft;
};

/// Weighted overlap-add of one channel's frames, in order from frame 0: each frame's inverse
/// transform, scaled by 1 / length and weighted by the window, is added at its place, and each
/// output sample is divided by the window power summed over the frames that cover it (0 where
/// that power is below 1e-6). Output sample n is overlap-add position n + length - hop, so the
/// output lines up with the analysed signal. Only the samples later frames may still change are
/// kept.
class OverlapAdd {
 public:
  explicit OverlapAdd(StftGeometry geometry);

  /// Adds the next frame (length / 2 + 1 bins).
  void add(const std::complex<float>* bins);
  /// Frames added so far.
  long frames() const { return added; }
  /// Appends to `out` the samples that no later frame can change.
  void takeFinal(std::vector<float>& out);
  /// Marks the signal as `total` samples long: nothing beyond is handed out.
  void endAt(long total);
  /// Appends the rest of the signal; endAt() must have been called and every frame covering
  /// the rest added.
  void takeRest(std::vector<float>& out);
  /// Samples handed out so far.
  long handedOut() const { return next - (geometry.length - geometry.hop); }

 private:
  void hand(long upTo, std::vector<float>& out);

  StftGeometry geometry;
  std::vector<float> window;
  std::vector<float> squares;      // window[i]^2
  // The window power at a position every covering frame has reached, by position modulo the hop.
  std::vector<float> steadyPower;
  std::vector<float> accumulated;  // from overlap-add position `first` on
  long first = 0;                  // position of accumulated[0]
  long next;                       // position of the next sample to hand out
  long added = 0;
  long end = -1;  // position after the last sample, once known
  std::vector<float> frame;
  RealFft fft;
};

}  // namespace nimbusdale

#endif

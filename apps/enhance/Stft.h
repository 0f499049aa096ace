// Short-time Fourier analysis and weighted overlap-add synthesis as host nodes, so the tool can
// drive the plug-in's nodes the way a host does.
#ifndef NIMBUSDALE_APPS_STFT_H
#define NIMBUSDALE_APPS_STFT_H

#include <complex>
#include <memory>
#include <string>
#include <vector>

#include <flowdesigner/BufferedNode.h>

namespace nimbusdale::app {

/// Frame geometry: a periodic Hann window of `length` samples moved by `hop` samples. Frame t
/// starts at sample t * hop - (length - hop), so the first sample sits in as many frames as any
/// other.
struct StftGeometry {
  int length = 512;
  int hop = 128;

  int bins() const { return length / 2 + 1; }
  long frameStart(long frame) const { return frame * hop - (length - hop); }
  /// Frames needed to cover `samples` samples (0 for an empty signal).
  long frameCount(long samples) const;
  /// Throws std::invalid_argument unless length >= 2 and 1 <= hop <= length / 2.
  void validate() const;
};

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
  std::vector<std::complex<float>> scratch;  // c2r destroys its input
};

/// The stretch of an interleaved signal a StftSource can see: samples [first, first + count) of
/// the stream, the first of them at `data`. `total` is the stream's length once known, -1 while
/// more may come.
struct SignalWindow {
  const float* data = nullptr;
  long first = 0;
  long count = 0;
  long total = -1;
  int channels = 1;
};

/// Source node with output OUTPUT: frame t is the C x bins spectrum of the windowed frame t of
/// an interleaved C-channel signal. Samples before the start and at or after a known end are 0;
/// a frame needing a sample the window does not hold throws a NodeException.
class StftSource : public FD::BufferedNode {
 public:
  /// The whole signal, which must outlive the node.
  StftSource(std::string nodeName, const float* interleaved, long samples, int channels,
             StftGeometry geometry);
  /// A stream: `window` (which must outlive the node) is read at each frame.
  StftSource(std::string nodeName, const SignalWindow* window, StftGeometry geometry);
  ~StftSource() override;
  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  SignalWindow whole;
  const SignalWindow* signal;
  StftGeometry geometry;
  std::vector<float> window;
  std::vector<float> frame;
  RealFft fft;
};

/// Sink node with input INPUT and output OUTPUT: for each frame it inverts row 0 of the
/// incoming 1 (or more) x bins spectrum, weights it by the synthesis window and adds it into the
/// output signal; its own output is the frame count, as a marker that the frame is done.
class OverlapAddSink : public FD::BufferedNode {
 public:
  OverlapAddSink(std::string nodeName, long samples, StftGeometry geometry);
  ~OverlapAddSink() override;
  void calculate(int output_id, int count, FD::Buffer& out) override;

  /// The synthesised signal, `samples` long, aligned with the analysed input.
  std::vector<float> result() const;

 private:
  int inputID;
  int outputID;
  long samples;
  StftGeometry geometry;
  std::vector<float> window;
  std::vector<float> accumulated;  // from the start of frame 0
  std::vector<float> frame;
  std::vector<std::complex<float>> spectrum;
  RealFft fft;
};

/// Sink node for a stream, with input INPUT and output OUTPUT: it overlap-adds frames as
/// OverlapAddSink does, keeping only the samples later frames may still change, and hands out
/// each sample as soon as it is final, equal to OverlapAddSink::result() bit for bit.
class OverlapAddStream : public FD::BufferedNode {
 public:
  OverlapAddStream(std::string nodeName, StftGeometry geometry);
  ~OverlapAddStream() override;
  /// Adds frame `count`; frames must come in order from 0.
  void calculate(int output_id, int count, FD::Buffer& out) override;

  /// Appends to `out` the samples that no frame after the last one added can change.
  void takeFinal(std::vector<float>& out);
  /// Marks the stream as `total` samples long: nothing beyond is handed out.
  void endAt(long total);
  /// Appends the rest of the stream; endAt() must have been called, and every frame covering
  /// the rest added.
  void takeRest(std::vector<float>& out);
  /// Samples handed out so far.
  long handedOut() const { return next - (geometry.length - geometry.hop); }

 private:
  void hand(long end, std::vector<float>& out);

  int inputID;
  int outputID;
  StftGeometry geometry;
  std::vector<float> window;
  std::vector<float> squares;      // window[i]^2
  std::vector<float> accumulated;  // from overlap-add position `first` on
  long first = 0;                  // position of accumulated[0]
  long next;                       // position of the next sample to hand out
  long frames = 0;                 // frames added
  long end = -1;                   // position after the last sample, once known
  std::vector<float> frame;
  RealFft fft;
};

}  // namespace nimbusdale::app

#endif

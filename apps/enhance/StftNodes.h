// Short-time Fourier analysis and weighted overlap-add synthesis as host nodes over the STFT
// core, so the tool can drive the plug-in's nodes the way a host does.
#ifndef NIMBUSDALE_APPS_STFT_NODES_H
#define NIMBUSDALE_APPS_STFT_NODES_H

#include <complex>
#include <string>
#include <vector>

#include <flowdesigner/BufferedNode.h>

#include "Stft.h"

namespace nimbusdale::app {

using nimbusdale::StftGeometry;

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

  /// How many frames from `count` on, at most `most`, the signal already holds every sample of:
  /// frames that can be computed now, none past a known end.
  int framesHeld(int count, int most) const;

 private:
  // Frame t's first sample and the end of the samples it reads from the signal (the rest are 0).
  struct Span {
    long start;
    long needed;
  };
  Span span(int count) const;
  bool holds(const Span& frame) const;

  SignalWindow whole;
  const SignalWindow* signal;
  StftGeometry geometry;
  std::vector<float> samples;  // one channel of the frame
  StftAnalysis analysis;
};

/// Sink node with input INPUT and output OUTPUT: for each frame, in order from 0, it adds the
/// weighted overlap-add of row 0 of the incoming 1 (or more) x bins spectrum; its own output is
/// the frame count, as a marker that the frame is done. `Whole` keeps the signal for result();
/// a stream hands out each sample as soon as it is final, equal to result() bit for bit.
class OverlapAddSink : public FD::BufferedNode {
 public:
  /// A sink for a whole signal of `samples` samples.
  OverlapAddSink(std::string nodeName, long samples, StftGeometry geometry);
  /// A sink for a stream.
  OverlapAddSink(std::string nodeName, StftGeometry geometry);
  ~OverlapAddSink() override;
  void calculate(int output_id, int count, FD::Buffer& out) override;

  /// The synthesised whole signal, `samples` long, aligned with the analysed input.
  std::vector<float> result();
  /// Appends to `out` the samples that no frame after the last one added can change.
  void takeFinal(std::vector<float>& out) { synthesis.takeFinal(out); }
  /// Marks the stream as `total` samples long: nothing beyond is handed out.
  void endAt(long total) { synthesis.endAt(total); }
  /// Appends the rest of the stream; endAt() must have been called, and every frame covering
  /// the rest added.
  void takeRest(std::vector<float>& out) { synthesis.takeRest(out); }
  /// Samples handed out so far.
  long handedOut() const { return synthesis.handedOut(); }

 private:
  int inputID;
  int outputID;
  long samples;  // of a whole signal, else -1
  StftGeometry geometry;
  OverlapAdd synthesis;
};

}  // namespace nimbusdale::app

#endif

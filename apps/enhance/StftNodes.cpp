#include "StftNodes.h"

#include <algorithm>

#include <flowdesigner/Matrix.h>
#include <flowdesigner/net_types.h>

namespace nimbusdale::app {

StftSource::StftSource(std::string nodeName, const float* interleaved, long samples, int channels,
                       StftGeometry geometry)
    : StftSource(std::move(nodeName), nullptr, geometry) {
  whole = SignalWindow{interleaved, 0, samples, samples, channels};
  signal = &whole;
}

StftSource::StftSource(std::string nodeName, const SignalWindow* window, StftGeometry geometry)
    : FD::BufferedNode(std::move(nodeName), FD::ParameterSet()),
      signal(window),
      geometry(geometry),
      samples(static_cast<size_t>(geometry.length)),
      analysis(geometry.length) {
  addOutput("OUTPUT");
}

StftSource::~StftSource() = default;

StftSource::Span StftSource::span(int count) const {
  const long start = geometry.frameStart(count);
  const long end = start + geometry.length;
  const long needed = signal->total >= 0 ? std::min(end, signal->total) : end;
  return {start, needed};
}

bool StftSource::holds(const Span& frame) const {
  return std::max(0L, frame.start) >= signal->first &&
         frame.needed <= signal->first + signal->count;
}

int StftSource::framesHeld(int count, int most) const {
  const long frames = signal->total >= 0 ? geometry.frameCount(signal->total) : -1;
  int held = 0;
  while (held < most && (frames < 0 || count + held < frames) && holds(span(count + held))) ++held;
  return held;
}

void StftSource::calculate(int, int count, FD::Buffer& out) {
  const SignalWindow& s = *signal;
  const Span frame = span(count);
  const long start = frame.start, needed = frame.needed;
  if (!holds(frame))
    throw new FD::NodeException(
        this,
        "analysis source " + getName() + ": frame " + std::to_string(count) + " needs samples " +
            std::to_string(std::max(0L, start)) + " to " + std::to_string(needed - 1) +
            "; the stream holds " + std::to_string(s.first) + " to " +
            std::to_string(s.first + s.count - 1),
        __FILE__, __LINE__);
  auto* spectrum = new FD::Matrix<std::complex<float>>(static_cast<size_t>(s.channels),
                                                       static_cast<size_t>(geometry.bins()));
  out[count] = FD::ObjectRef(spectrum);
  // Samples before the signal's start and past `needed` are zeros.
  const int length = geometry.length;
  const int from = static_cast<int>(std::clamp(-start, 0L, static_cast<long>(length)));
  const int to = static_cast<int>(std::clamp(needed - start, static_cast<long>(from),
                                             static_cast<long>(length)));
  std::fill(samples.begin(), samples.begin() + from, 0.0f);
  std::fill(samples.begin() + to, samples.begin() + length, 0.0f);
  for (int ch = 0; ch < s.channels; ++ch) {
    const float* in = s.data + (start + from - s.first) * s.channels + ch;
    // A frame within the signal is windowed straight from the interleaved samples.
    if (from == 0 && to == length) {
      analysis.transform(in, s.channels, (*spectrum)[static_cast<size_t>(ch)]);
      continue;
    }
    for (int i = from; i < to; ++i, in += s.channels) samples[static_cast<size_t>(i)] = *in;
    analysis.transform(samples.data(), (*spectrum)[static_cast<size_t>(ch)]);
  }
}

OverlapAddSink::OverlapAddSink(std::string nodeName, long samples, StftGeometry geometry)
    : FD::BufferedNode(std::move(nodeName), FD::ParameterSet()),
      samples(samples),
      geometry(geometry),
      synthesis(geometry) {
  inputID = addInput("INPUT");
  outputID = addOutput("OUTPUT");
}

OverlapAddSink::OverlapAddSink(std::string nodeName, StftGeometry geometry)
    : OverlapAddSink(std::move(nodeName), -1, geometry) {}

OverlapAddSink::~OverlapAddSink() = default;

void OverlapAddSink::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<FD::Matrix<std::complex<float>>> in = getInput(inputID, count);
  const int bins = geometry.bins();
  if (in->nrows() < 1 || in->ncols() != static_cast<size_t>(bins))
    throw new FD::NodeException(
        this,
        "overlap-add sink " + getName() + ": input frame is " + std::to_string(in->nrows()) +
            " x " + std::to_string(in->ncols()) + "; expected 1 x " + std::to_string(bins),
        __FILE__, __LINE__);
  if (count != synthesis.frames() || (samples >= 0 && count >= geometry.frameCount(samples)))
    throw new FD::NodeException(this,
                                "overlap-add sink " + getName() + ": frame " +
                                    std::to_string(count) +
                                    " came out of order or lies outside "
                                    "the signal; expected frame " +
                                    std::to_string(synthesis.frames()),
                                __FILE__, __LINE__);
  synthesis.add((*in)[0]);
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(FD::Int::alloc(count));
}

std::vector<float> OverlapAddSink::result() {
  std::vector<float> out;
  out.reserve(static_cast<size_t>(std::max(0L, samples)));
  synthesis.endAt(samples);
  synthesis.takeFinal(out);
  synthesis.takeRest(out);
  return out;
}

}  // namespace nimbusdale::app

#include "Stft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include <flowdesigner/Matrix.h>
#include <flowdesigner/net_types.h>

namespace nimbusdale::app {

long StftGeometry::frameCount(long samples) const {
  if (samples <= 0) return 0;
  return (samples - 1 + (length - hop)) / hop + 1;
}

void StftGeometry::validate() const {
  if (length < 2)
    throw std::invalid_argument("frame length " + std::to_string(length) +
                                " is too short; it must be at least 2 samples");
  if (hop < 1 || hop > length / 2)
    throw std::invalid_argument(
        "hop " + std::to_string(hop) +
        " must be between 1 and length / 2 = " + std::to_string(length / 2) + " samples");
}

std::vector<float> hannWindow(int length) {
  std::vector<float> w(static_cast<size_t>(length));
  const double step = 2.0 * M_PI / length;
  for (int i = 0; i < length; ++i)
    w[static_cast<size_t>(i)] = float(0.5 - 0.5 * std::cos(step * i));
  return w;
}

namespace {
// FFTW's planner is not thread-safe; executing plans is.
std::mutex& plannerLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

struct RealFft::Plans {
  int length;
  fftwf_plan forward = nullptr;
  fftwf_plan inverse = nullptr;
};

RealFft::RealFft(int length)
    : plans(new Plans{length}), scratch(static_cast<size_t>(length / 2 + 1)) {
  std::vector<float> real(static_cast<size_t>(length));
  std::vector<fftwf_complex> bins(static_cast<size_t>(length / 2 + 1));
  std::lock_guard<std::mutex> guard(plannerLock());
  plans->forward =
      fftwf_plan_dft_r2c_1d(length, real.data(), bins.data(), FFTW_ESTIMATE | FFTW_UNALIGNED);
  plans->inverse = fftwf_plan_dft_c2r_1d(length, bins.data(), real.data(),
                                         FFTW_ESTIMATE | FFTW_UNALIGNED | FFTW_DESTROY_INPUT);
  if (!plans->forward || !plans->inverse) throw std::runtime_error("FFTW could not plan the FFT");
}

RealFft::~RealFft() {
  std::lock_guard<std::mutex> guard(plannerLock());
  fftwf_destroy_plan(plans->forward);
  fftwf_destroy_plan(plans->inverse);
}

void RealFft::forward(const float* in, std::complex<float>* out) {
  fftwf_execute_dft_r2c(plans->forward, const_cast<float*>(in),
                        reinterpret_cast<fftwf_complex*>(out));
}

void RealFft::inverse(const std::complex<float>* in, float* out) {
  // c2r overwrites its input; work on a copy so callers keep theirs.
  std::copy(in, in + plans->length / 2 + 1, scratch.begin());
  fftwf_execute_dft_c2r(plans->inverse, reinterpret_cast<fftwf_complex*>(scratch.data()), out);
}

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
      window(hannWindow(geometry.length)),
      frame(static_cast<size_t>(geometry.length)),
      fft(geometry.length) {
  addOutput("OUTPUT");
}

StftSource::~StftSource() = default;

void StftSource::calculate(int, int count, FD::Buffer& out) {
  const SignalWindow& s = *signal;
  const long start = geometry.frameStart(count);
  const long end = start + geometry.length;
  const long needed = s.total >= 0 ? std::min(end, s.total) : end;
  if (std::max(0L, start) < s.first || needed > s.first + s.count)
    throw new FD::NodeException(
        this,
        "analysis source " + getName() + ": frame " + std::to_string(count) + " needs samples " +
            std::to_string(std::max(0L, start)) + " to " + std::to_string(needed - 1) +
            "; the stream holds " + std::to_string(s.first) + " to " +
            std::to_string(s.first + s.count - 1),
        __FILE__, __LINE__);
  auto* spectrum = new FD::Matrix<std::complex<float>>(s.channels, geometry.bins());
  out[count] = FD::ObjectRef(spectrum);
  for (int ch = 0; ch < s.channels; ++ch) {
    for (int i = 0; i < geometry.length; ++i) {
      const long n = start + i;
      const float x = (n >= 0 && n < needed) ? s.data[(n - s.first) * s.channels + ch] : 0.0f;
      frame[static_cast<size_t>(i)] = x * window[static_cast<size_t>(i)];
    }
    fft.forward(frame.data(), (*spectrum)[ch]);
  }
}

namespace {
// What both overlap-add sinks do with a frame: check that it is one row of the geometry's bins,
// then add its inverse transform, scaled and windowed, at dst (length samples).
void checkSynthesisFrame(FD::Node& node, const FD::Matrix<std::complex<float>>& in, int bins) {
  if (in.nrows() < 1 || in.ncols() != static_cast<size_t>(bins))
    throw new FD::NodeException(
        &node,
        "overlap-add sink " + node.getName() + ": input frame is " + std::to_string(in.nrows()) +
            " x " + std::to_string(in.ncols()) + "; expected 1 x " + std::to_string(bins),
        __FILE__, __LINE__);
}

void addSynthesisFrame(const std::complex<float>* bins, RealFft& fft,
                       const std::vector<float>& window, std::vector<float>& frame, float* dst) {
  fft.inverse(bins, frame.data());
  const float scale = 1.0f / static_cast<float>(window.size());
  for (size_t i = 0; i < window.size(); ++i) dst[i] += frame[i] * scale * window[i];
}
}  // namespace

OverlapAddSink::OverlapAddSink(std::string nodeName, long samples, StftGeometry geometry)
    : FD::BufferedNode(std::move(nodeName), FD::ParameterSet()),
      samples(samples),
      geometry(geometry),
      window(hannWindow(geometry.length)),
      accumulated(static_cast<size_t>(
          std::max(0L, geometry.frameCount(samples) - 1) * geometry.hop + geometry.length)),
      frame(static_cast<size_t>(geometry.length)),
      fft(geometry.length) {
  inputID = addInput("INPUT");
  outputID = addOutput("OUTPUT");
}

OverlapAddSink::~OverlapAddSink() = default;

void OverlapAddSink::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<FD::Matrix<std::complex<float>>> in = getInput(inputID, count);
  checkSynthesisFrame(*this, *in, geometry.bins());
  if (count < 0 || count >= geometry.frameCount(samples))
    throw new FD::NodeException(this, "overlap-add sink " + getName() + ": frame " +
                                          std::to_string(count) + " lies outside the signal",
                                __FILE__, __LINE__);
  addSynthesisFrame((*in)[0], fft, window, frame,
                    accumulated.data() + static_cast<long>(count) * geometry.hop);
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(FD::Int::alloc(count));
}

std::vector<float> OverlapAddSink::result() const {
  // Window power summed over the frames covering each sample; the same for any content.
  std::vector<float> power(accumulated.size(), 0.0f);
  const long frames = geometry.frameCount(samples);
  for (long t = 0; t < frames; ++t)
    for (int i = 0; i < geometry.length; ++i)
      power[static_cast<size_t>(t * geometry.hop + i)] +=
          window[static_cast<size_t>(i)] * window[static_cast<size_t>(i)];
  std::vector<float> out(static_cast<size_t>(samples));
  const long offset = geometry.length - geometry.hop;
  for (long n = 0; n < samples; ++n) {
    const float p = power[static_cast<size_t>(n + offset)];
    out[static_cast<size_t>(n)] =
        p > 1e-6f ? accumulated[static_cast<size_t>(n + offset)] / p : 0.0f;
  }
  return out;
}

OverlapAddStream::OverlapAddStream(std::string nodeName, StftGeometry geometry)
    : FD::BufferedNode(std::move(nodeName), FD::ParameterSet()),
      geometry(geometry),
      window(hannWindow(geometry.length)),
      squares(window.size()),
      next(geometry.length - geometry.hop),
      frame(static_cast<size_t>(geometry.length)),
      fft(geometry.length) {
  for (size_t i = 0; i < window.size(); ++i) squares[i] = window[i] * window[i];
  accumulated.reserve(static_cast<size_t>(2 * geometry.length));
  inputID = addInput("INPUT");
  outputID = addOutput("OUTPUT");
}

OverlapAddStream::~OverlapAddStream() = default;

void OverlapAddStream::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<FD::Matrix<std::complex<float>>> in = getInput(inputID, count);
  checkSynthesisFrame(*this, *in, geometry.bins());
  if (count != frames)
    throw new FD::NodeException(this, "overlap-add sink " + getName() + ": frame " +
                                          std::to_string(count) + " came out of order; expected " +
                                          std::to_string(frames),
                                __FILE__, __LINE__);
  const long position = static_cast<long>(count) * geometry.hop;
  const size_t needed = static_cast<size_t>(position - first + geometry.length);
  if (accumulated.size() < needed) accumulated.resize(needed, 0.0f);
  addSynthesisFrame((*in)[0], fft, window, frame, accumulated.data() + (position - first));
  ++frames;
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(FD::Int::alloc(count));
}

void OverlapAddStream::takeFinal(std::vector<float>& out) {
  // Frame `frames` starts at frames * hop: everything before it is final.
  hand(frames * geometry.hop, out);
}

void OverlapAddStream::endAt(long total) {
  end = total + (geometry.length - geometry.hop);
}

void OverlapAddStream::takeRest(std::vector<float>& out) {
  if (end < 0) throw std::logic_error("OverlapAddStream::takeRest: the end is not known");
  hand(end, out);
}

void OverlapAddStream::hand(long upTo, std::vector<float>& out) {
  const long hop = geometry.hop, length = geometry.length;
  if (end >= 0) upTo = std::min(upTo, end);
  for (; next < upTo; ++next) {
    // The window power of the frames covering this position, summed in frame order as
    // OverlapAddSink::result() does.
    const long last = std::min(next / hop, frames - 1);
    const long firstFrame = next >= length ? (next - length) / hop + 1 : 0;
    float power = 0.0f;
    for (long t = firstFrame; t <= last; ++t) power += squares[static_cast<size_t>(next - t * hop)];
    const long i = next - first;
    const float value =
        i < static_cast<long>(accumulated.size()) ? accumulated[static_cast<size_t>(i)] : 0.0f;
    out.push_back(power > 1e-6f ? value / power : 0.0f);
  }
  // Drop what was handed out, once it is a good part of the buffer.
  const long done = std::min(next, static_cast<long>(accumulated.size()) + first) - first;
  if (done > 0 && done >= length) {
    accumulated.erase(accumulated.begin(), accumulated.begin() + done);
    first += done;
  }
}

}  // namespace nimbusdale::app

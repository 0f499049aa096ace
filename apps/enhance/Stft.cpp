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

RealFft::RealFft(int length) : plans(new Plans{length}) {
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
  std::vector<std::complex<float>> copy(in, in + plans->length / 2 + 1);
  fftwf_execute_dft_c2r(plans->inverse, reinterpret_cast<fftwf_complex*>(copy.data()), out);
}

StftSource::StftSource(std::string nodeName, const float* interleaved, long samples, int channels,
                       StftGeometry geometry)
    : FD::BufferedNode(std::move(nodeName), FD::ParameterSet()),
      signal(interleaved),
      samples(samples),
      channels(channels),
      geometry(geometry),
      window(hannWindow(geometry.length)),
      frame(static_cast<size_t>(geometry.length)),
      fft(geometry.length) {
  addOutput("OUTPUT");
}

StftSource::~StftSource() = default;

void StftSource::calculate(int, int count, FD::Buffer& out) {
  auto* spectrum = new FD::Matrix<std::complex<float>>(channels, geometry.bins());
  out[count] = FD::ObjectRef(spectrum);
  const long start = geometry.frameStart(count);
  for (int ch = 0; ch < channels; ++ch) {
    for (int i = 0; i < geometry.length; ++i) {
      const long n = start + i;
      const float x = (n >= 0 && n < samples) ? signal[n * channels + ch] : 0.0f;
      frame[static_cast<size_t>(i)] = x * window[static_cast<size_t>(i)];
    }
    fft.forward(frame.data(), (*spectrum)[ch]);
  }
}

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
  if (in->nrows() < 1 || in->ncols() != geometry.bins())
    throw new FD::NodeException(this,
                                "overlap-add sink " + getName() + ": input frame is " +
                                    std::to_string(in->nrows()) + " x " +
                                    std::to_string(in->ncols()) + "; expected 1 x " +
                                    std::to_string(geometry.bins()),
                                __FILE__, __LINE__);
  if (count < 0 || count >= geometry.frameCount(samples))
    throw new FD::NodeException(this, "overlap-add sink " + getName() + ": frame " +
                                          std::to_string(count) + " lies outside the signal");
  fft.inverse((*in)[0], frame.data());
  const float scale = 1.0f / static_cast<float>(geometry.length);
  float* dst = accumulated.data() + static_cast<long>(count) * geometry.hop;
  for (int i = 0; i < geometry.length; ++i)
    dst[i] += frame[static_cast<size_t>(i)] * scale * window[static_cast<size_t>(i)];
  (*outputs[outputID].buffer)[count] = FD::Int::alloc(count);
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

}  // namespace nimbusdale::app

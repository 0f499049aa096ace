#include "Stft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "nimbusdale/NodeParameters.h"

namespace nimbusdale {

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

StftGeometry geometryOfParameters(int length, int hop) {
  if (hop < 1 || hop > length / 2)
    throw std::invalid_argument(parameterRefusal(
        "HOP", hop, "lie between 1 and LENGTH / 2 = " + std::to_string(length / 2)));
  return StftGeometry{length, hop};
}

void checkSignal(const float* interleaved, long samples, int channels, long firstSample) {
  const long values = samples * channels;
  if (allWithin(interleaved, values, kMaxSampleMagnitude)) return;
  for (long i = 0; i < values; ++i) {
    const float x = interleaved[i];
    if (std::isfinite(x) && std::fabs(x) <= kMaxSampleMagnitude) continue;
    std::ostringstream text;
    text << "sample " << firstSample + i / channels << " of channel " << i % channels << " is "
         << x;
    if (std::isfinite(x))
      text << "; samples beyond +-" << kMaxSampleMagnitude
           << " (full scale is 1) would overflow single precision inside the enhancement";
    else
      text << ": the signal holds a non-finite value";
    throw std::invalid_argument(text.str());
  }
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

// FFTW's vector code runs only on arrays aligned like those a plan was made with. The plans are
// made on the two staging arrays here, which also take callers' arrays that are not aligned.
struct RealFft::Plans {
  int length;
  size_t bins;
  fftwf_plan forward = nullptr;
  fftwf_plan inverse = nullptr;
  float* real = nullptr;
  fftwf_complex* spectrum = nullptr;

  ~Plans() {
    std::lock_guard<std::mutex> guard(plannerLock());
    if (forward) fftwf_destroy_plan(forward);
    if (inverse) fftwf_destroy_plan(inverse);
    fftwf_free(real);
    fftwf_free(spectrum);
  }
};

namespace {
bool vectorAligned(const void* p) {
  return fftwf_alignment_of(static_cast<float*>(const_cast<void*>(p))) == 0;
}
}  // namespace

RealFft::RealFft(int length)
    : plans(new Plans{length, static_cast<size_t>(binsFromLength(length))}) {
  plans->real = fftwf_alloc_real(static_cast<size_t>(length));
  plans->spectrum = fftwf_alloc_complex(plans->bins);
  if (!plans->real || !plans->spectrum) throw std::bad_alloc();
  std::lock_guard<std::mutex> guard(plannerLock());
  plans->forward = fftwf_plan_dft_r2c_1d(length, plans->real, plans->spectrum, FFTW_ESTIMATE);
  plans->inverse = fftwf_plan_dft_c2r_1d(length, plans->spectrum, plans->real,
                                         FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  if (!plans->forward || !plans->inverse) throw std::runtime_error("FFTW could not plan the FFT");
}

RealFft::~RealFft() = default;

void RealFft::forward(const float* in, std::complex<float>* out) {
  float* source = const_cast<float*>(in);
  if (!vectorAligned(in)) {
    std::copy_n(in, plans->length, plans->real);
    source = plans->real;
  }
  auto* target = reinterpret_cast<fftwf_complex*>(out);
  const bool direct = vectorAligned(out);
  fftwf_execute_dft_r2c(plans->forward, source, direct ? target : plans->spectrum);
  if (!direct)
    std::copy_n(reinterpret_cast<const std::complex<float>*>(plans->spectrum), plans->bins, out);
}

void RealFft::inverse(const std::complex<float>* in, float* out) {
  // c2r overwrites its input; it works on a copy so that callers keep theirs.
  std::copy_n(in, plans->bins, reinterpret_cast<std::complex<float>*>(plans->spectrum));
  const bool direct = vectorAligned(out);
  fftwf_execute_dft_c2r(plans->inverse, plans->spectrum, direct ? out : plans->real);
  if (!direct) std::copy_n(plans->real, plans->length, out);
}

StftAnalysis::StftAnalysis(int length)
    : window(hannWindow(length)), frame(static_cast<size_t>(length)), fft(length) {}

void StftAnalysis::transform(const float* samples, std::ptrdiff_t stride,
                             std::complex<float>* bins) {
  const size_t n = window.size();
  if (stride == 1)
    for (size_t i = 0; i < n; ++i) frame[i] = samples[i] * window[i];
  else
    for (size_t i = 0; i < n; ++i)
      frame[i] = samples[static_cast<std::ptrdiff_t>(i) * stride] * window[i];
  fft.forward(frame.data(), bins);
}

OverlapAdd::OverlapAdd(StftGeometry geometry)
    : geometry(geometry),
      window(hannWindow(geometry.length)),
      squares(window.size()),
      next(geometry.length - geometry.hop),
      frame(static_cast<size_t>(geometry.length)),
      fft(geometry.length) {
  for (size_t i = 0; i < window.size(); ++i) squares[i] = window[i] * window[i];
  // Summed in frame order, as hand() sums at the signal's ends: the latest frame, whose offset
  // is the position modulo the hop, comes last.
  const long hop = geometry.hop, length = geometry.length;
  steadyPower.resize(static_cast<size_t>(hop));
  for (long r = 0; r < hop; ++r) {
    float power = 0.0f;
    for (long offset = r + (length - 1 - r) / hop * hop; offset >= 0; offset -= hop)
      power += squares[static_cast<size_t>(offset)];
    steadyPower[static_cast<size_t>(r)] = power;
  }
  accumulated.reserve(static_cast<size_t>(2 * geometry.length));
}

void OverlapAdd::add(const std::complex<float>* bins) {
  const long position = added * geometry.hop;
  const size_t needed = static_cast<size_t>(position - first + geometry.length);
  if (accumulated.size() < needed) accumulated.resize(needed, 0.0f);
  fft.inverse(bins, frame.data());
  float* dst = accumulated.data() + (position - first);
  const float scale = 1.0f / static_cast<float>(window.size());
  for (size_t i = 0; i < window.size(); ++i) dst[i] += frame[i] * scale * window[i];
  ++added;
}

void OverlapAdd::takeFinal(std::vector<float>& out) {
  // The next frame starts at added * hop: everything before it is final.
  hand(added * geometry.hop, out);
}

void OverlapAdd::endAt(long total) {
  end = total + (geometry.length - geometry.hop);
}

void OverlapAdd::takeRest(std::vector<float>& out) {
  if (end < 0) throw std::logic_error("OverlapAdd::takeRest: the end is not known");
  hand(end, out);
}

void OverlapAdd::hand(long upTo, std::vector<float>& out) {
  const long hop = geometry.hop, length = geometry.length;
  if (end >= 0) upTo = std::min(upTo, end);
  const auto emit = [&](float power) {
    const long i = next - first;
    const float value =
        i < static_cast<long>(accumulated.size()) ? accumulated[static_cast<size_t>(i)] : 0.0f;
    out.push_back(power > 1e-6f ? value / power : 0.0f);
  };
  // From one frame length on, up to the next frame's start, every frame covering a position has
  // been added.
  const long steadyFrom = std::max(next, length), steadyTo = std::min(upTo, added * hop);
  for (; next < upTo; ++next) {
    if (next == steadyFrom && next < steadyTo) {
      for (long r = next % hop; next < steadyTo; ++next) {
        emit(steadyPower[static_cast<size_t>(r)]);
        if (++r == hop) r = 0;
      }
      if (next == upTo) break;
    }
    // The window power of the frames covering this position, summed in frame order.
    const long last = std::min(next / hop, added - 1);
    const long firstFrame = next >= length ? (next - length) / hop + 1 : 0;
    float power = 0.0f;
    for (long t = firstFrame; t <= last; ++t) power += squares[static_cast<size_t>(next - t * hop)];
    emit(power);
  }
  // Drop what was handed out, once it is a good part of the buffer.
  const long done = std::min(next, static_cast<long>(accumulated.size()) + first) - first;
  if (done > 0 && done >= length) {
    accumulated.erase(accumulated.begin(), accumulated.begin() + done);
    first += done;
  }
}

}  // namespace nimbusdale

// Per-frame cost of the two integrators that share the separation's output, at C 8, LENGTH 512
// (257 bins): SparseMaskIntegrator against MedianIntegrator, as host nodes (created by type name
// from the loaded plug-in, frame checks included) and as their host-free cores. The sparse
// magnitudes are the separation's own output on a stream of fan harmonics, a pink floor and a
// voiced event, so the mask sees the mix of zero and non-zero sparse values it sees in use.
//
// Counters: frames_per_s, and allocations_per_frame for the cores (heap allocations in the steady
// state, none expected).
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <random>
#include <vector>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "ToolboxNode.h"
#include "heap_counter.h"
#include "nimbusdale/MedianIntegration.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/SparseMaskIntegration.h"
#include "nimbusdale/SparseSeparation.h"

namespace {

using cfloat = std::complex<float>;
using ComplexFrame = FD::Matrix<cfloat>;
using RealFrame = FD::Matrix<float>;

constexpr int kChannels = 8;
constexpr int kLength = 512;
constexpr int kBins = kLength / 2 + 1;
constexpr int kSamplingRate = 16000;
constexpr int kFrames = 200;  // cycled

struct Stream {
  std::vector<FD::ObjectRef> spectra;  // ComplexFrame, kChannels x kBins
  std::vector<FD::ObjectRef> sparse;   // RealFrame, the separation's output
};

/// The typical parameters of node `type` at this benchmark's frame geometry.
nimbusdale::ParameterValues parameters(const nimbusdale::NodeType& type) {
  nimbusdale::ParameterValues values(type);
  values.set("NUM_CHANNEL", kChannels);
  values.set("LENGTH", kLength);
  if (&type == &nimbusdale::kMultiRobustPCAType) values.set("SAMPLING_RATE", kSamplingRate);
  return values;
}

/// Fan harmonics (120 Hz and multiples) over a pink floor, with a voiced event (200 Hz stack) on
/// 6 frames in 40; the sparse frames are the separation's at the tool's defaults. Fixed seeds.
Stream makeStream() {
  std::mt19937 rng(12345);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  const float binHz = float(kSamplingRate) / kLength;
  std::srand(1);
  nimbusdale::SparseSeparation separation(
      nimbusdale::SeparationSettings::fromParameters(parameters(nimbusdale::kMultiRobustPCAType)));
  Stream s;
  for (int t = 0; t < kFrames; ++t) {
    auto* frame = new ComplexFrame(kChannels, kBins);
    const bool voiced = t % 40 >= 20 && t % 40 < 26;
    for (int c = 0; c < kChannels; ++c)
      for (int k = 0; k < kBins; ++k) {
        const float hz = k * binHz;
        float magnitude = 0.0f;
        for (int h = 1; h * 120.0f < kSamplingRate / 2; ++h) {
          const float offset = (hz - h * 120.0f) / binHz;
          magnitude += (2.0f / h) * std::exp(-offset * offset);
        }
        if (voiced)
          for (int h = 1; h <= 12; ++h) {
            const float offset = (hz - h * 200.0f) / binHz;
            magnitude += (6.0f / h) * std::exp(-offset * offset);
          }
        (*frame)(c, k) = magnitude * std::polar(1.0f, 0.9f * k + 0.3f * t + c) +
                         (0.05f / std::sqrt(k + 1.0f)) * cfloat(gauss(rng), gauss(rng));
      }
    auto* sparse = new RealFrame(kChannels, kBins);
    separation.process((*frame)[0], t == 0, (*sparse)[0], nullptr);
    s.spectra.push_back(FD::ObjectRef(frame));
    s.sparse.push_back(FD::ObjectRef(sparse));
  }
  return s;
}

const Stream& stream() {
  static const Stream s = makeStream();
  return s;
}

class Replay : public FD::BufferedNode {
 public:
  explicit Replay(const std::vector<FD::ObjectRef>* frames)
      : FD::BufferedNode("replay", FD::ParameterSet()), frames(frames) {
    addOutput("OUTPUT");
  }
  void calculate(int, int count, FD::Buffer& out) override {
    out[count] = (*frames)[static_cast<size_t>(count % kFrames)];
  }

 private:
  const std::vector<FD::ObjectRef>* frames;
};

void integratorNode(benchmark::State& state, const nimbusdale::NodeType& type) {
  FD::Toolbox::load(NIMBUSDALE_PLUGIN_PATH);
  FD::RCPtr<FD::Node> node = FD::registry::createNode(type.name, "integration",
                                                      nimbusdale::hostParameters(parameters(type)));
  FD::RCPtr<Replay> spec(new Replay(&stream().spectra));
  FD::RCPtr<Replay> sparse(new Replay(&stream().sparse));
  node->connectToNode("SPEC", spec.get(), "OUTPUT");
  node->connectToNode("SPARSE", sparse.get(), "OUTPUT");
  int count = 0;
  for (auto _ : state) {
    FD::ObjectRef out = node->getOutput(0, count++);
    benchmark::DoNotOptimize(out.get());
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(count), benchmark::Counter::kIsRate);
}

void BM_SparseMaskIntegratorNode(benchmark::State& state) {
  integratorNode(state, nimbusdale::kSparseMaskIntegratorType);
}
BENCHMARK(BM_SparseMaskIntegratorNode)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MedianIntegratorNode(benchmark::State& state) {
  integratorNode(state, nimbusdale::kMedianIntegratorType);
}
BENCHMARK(BM_MedianIntegratorNode)->Unit(benchmark::kMicrosecond)->UseRealTime();

const float* sparseData(int t) {
  const FD::RCPtr<RealFrame> frame = stream().sparse[static_cast<size_t>(t % kFrames)];
  return (*frame)[0];
}
const cfloat* spectrumData(int t) {
  const FD::RCPtr<ComplexFrame> frame = stream().spectra[static_cast<size_t>(t % kFrames)];
  return (*frame)[0];
}

void BM_SparseMaskFrame(benchmark::State& state) {
  nimbusdale::SparseMaskIntegration mask(nimbusdale::SparseMaskSettings::fromParameters(
      parameters(nimbusdale::kSparseMaskIntegratorType)));
  std::vector<cfloat> out(kBins);
  int t = 0;
  for (; t < kFrames; ++t) mask.process(sparseData(t), spectrumData(t), out.data());
  const long allocationsBefore = nimbusdale::bench::heapAllocations();
  long frames = 0;
  for (auto _ : state) {
    mask.process(sparseData(t), spectrumData(t), out.data());
    ++t;
    ++frames;
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["allocations_per_frame"] = benchmark::Counter(
      double(nimbusdale::bench::heapAllocations() - allocationsBefore) / double(frames));
}
BENCHMARK(BM_SparseMaskFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MedianFrame(benchmark::State& state) {
  nimbusdale::MedianIntegration median(
      nimbusdale::MedianSettings::fromParameters(parameters(nimbusdale::kMedianIntegratorType)));
  std::vector<cfloat> out(kBins);
  int t = 0;
  median.process(sparseData(t), spectrumData(t), out.data());
  const long allocationsBefore = nimbusdale::bench::heapAllocations();
  long frames = 0;
  for (auto _ : state) {
    median.process(sparseData(t), spectrumData(t), out.data());
    ++t;
    ++frames;
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["allocations_per_frame"] = benchmark::Counter(
      double(nimbusdale::bench::heapAllocations() - allocationsBefore) / double(frames));
}
BENCHMARK(BM_MedianFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

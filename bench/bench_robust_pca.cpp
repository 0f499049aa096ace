// Per-frame cost of MultiRobustPCA (created by type name from the loaded plug-in), of its core
// SparseSeparation on 1 and 2 threads, and of RobustPCA::update alone, on spectra with steady
// harmonic noise and sparse events; and the latency of a pass's two main kernels by length.
//
// Counters: frames_per_s (or updates_per_s), rt_factor_100fps (frames per second / 100: above 1
// keeps up with a 100 frames/s stream), passes_per_update (mean inner passes of the estimators)
// not_converged_share (share of updates that ran out of passes) and allocations_per_frame (or
// _per_update: heap allocations in the steady state).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <streambuf>
#include <vector>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "RobustPCAKernels.h"
#include "ToolboxNode.h"
#include "heap_counter.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/RobustPCA.h"
#include "nimbusdale/SparseSeparation.h"

namespace {

using cfloat = std::complex<float>;
using ComplexFrame = FD::Matrix<cfloat>;
using RealFrame = FD::Matrix<float>;

constexpr int kChannels = 8;
constexpr int kLength = 512;
constexpr int kBins = kLength / 2 + 1;
constexpr int kRank = 10;
constexpr int kSamplingRate = 16000;
constexpr float kCutoffFreq = 100.0f;
constexpr float kGlobalScale = 1.0f;
constexpr float kLambda = 2.0f;
constexpr float kScaleUpdateRatio = 0.05f;
constexpr float kEpsilon = 1e-4f;
constexpr int kStreamFrames = 400;  // cycled
constexpr int kWarmUpFrames = 100;  // the estimators start from random bases

/// Swallows std::cout while alive, counting the lines ("not converged") written to it.
class QuietCout : public std::streambuf {
 public:
  QuietCout() : saved(std::cout.rdbuf(this)) {}
  ~QuietCout() override { std::cout.rdbuf(saved); }
  long lines = 0;

 protected:
  int overflow(int c) override {
    if (c == '\n') ++lines;
    return c == traits_type::eof() ? 0 : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i)
      if (s[i] == '\n') ++lines;
    return n;
  }

 private:
  std::streambuf* saved;
};

/// kStreamFrames frames of kChannels x kBins: a fan's harmonics (120 Hz and multiples, slowly
/// breathing, leaking into neighbouring bins) over a pink noise floor, with a voiced event (a
/// 200 Hz harmonic stack, 3x louder) on 6 frames out of every 40. Fixed seed.
std::vector<FD::ObjectRef> makeStream() {
  std::mt19937 rng(12345);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  const float binHz = float(kSamplingRate) / kLength;
  std::vector<FD::ObjectRef> frames;
  for (int t = 0; t < kStreamFrames; ++t) {
    auto* frame = new ComplexFrame(kChannels, kBins);
    const bool voiced = t % 40 >= 20 && t % 40 < 26;
    for (int c = 0; c < kChannels; ++c) {
      const float gain = 0.8f + 0.05f * c;
      for (int k = 0; k < kBins; ++k) {
        const float hz = k * binHz;
        float magnitude = 0.0f;
        for (int h = 1; h * 120.0f < kSamplingRate / 2; ++h) {
          const float offset = (hz - h * 120.0f) / binHz;
          magnitude +=
              (2.0f / h) * (1.0f + 0.1f * std::sin(0.02f * t + h)) * std::exp(-offset * offset);
        }
        if (voiced)
          for (int h = 1; h <= 12; ++h) {
            const float offset = (hz - h * 200.0f) / binHz;
            magnitude += (6.0f / h) * std::exp(-offset * offset);
          }
        const cfloat noise(gauss(rng), gauss(rng));
        const cfloat value = gain * magnitude * std::polar(1.0f, 0.9f * k + 0.3f * t + c) +
                             (0.05f / std::sqrt(k + 1.0f)) * noise;
        (*frame)(c, k) = value;
      }
    }
    frames.push_back(FD::ObjectRef(frame));
  }
  return frames;
}

const std::vector<FD::ObjectRef>& stream() {
  static const std::vector<FD::ObjectRef> frames = makeStream();
  return frames;
}

class StreamSource : public FD::BufferedNode {
 public:
  StreamSource() : FD::BufferedNode("stream", FD::ParameterSet()) { addOutput("OUTPUT"); }
  void calculate(int, int count, FD::Buffer& out) override {
    out[count] = stream()[static_cast<size_t>(count % kStreamFrames)];
  }
};

// The node and its core are set up from the same parameter values.
nimbusdale::ParameterValues parameters(int rank) {
  nimbusdale::ParameterValues values(nimbusdale::kMultiRobustPCAType);
  values.set("NUM_CHANNEL", kChannels);
  values.set("LENGTH", kLength);
  values.set("CUTOFF_FREQ", kCutoffFreq);
  values.set("SAMPLING_RATE", kSamplingRate);
  values.set("GLOBAL_SCALE", kGlobalScale);
  values.set("LAMBDA", kLambda);
  values.set("SCALE_UPDATE_RATIO", kScaleUpdateRatio);
  values.set("MAX_LANK", rank);
  values.set("EPSILON", kEpsilon);
  return values;
}

FD::ParameterSet nodeParams() {
  return nimbusdale::hostParameters(parameters(kRank));
}

/// The node's own core, set up as the node sets it up after the same seed: its summaries give
/// the pass counts, and its output is checked against the node's.
nimbusdale::SparseSeparation makeCore(int rank) {
  std::srand(1);
  return nimbusdale::SparseSeparation(
      nimbusdale::SeparationSettings::fromParameters(parameters(rank)));
}

const cfloat* frameData(int count) {
  const FD::RCPtr<ComplexFrame> frame = stream()[static_cast<size_t>(count % kStreamFrames)];
  return (*frame)[0];
}

void BM_MultiRobustPCAFrame(benchmark::State& state) {
  FD::Toolbox::load(NIMBUSDALE_PLUGIN_PATH);
  QuietCout quiet;
  std::srand(1);
  FD::RCPtr<FD::Node> node = FD::registry::createNode("MultiRobustPCA", "rpca", nodeParams());
  FD::RCPtr<StreamSource> source(new StreamSource);
  node->connectToNode("INPUT", source.get(), "OUTPUT");

  int count = 0;
  for (; count < kWarmUpFrames; ++count) node->getOutput(0, count);
  const long linesBefore = quiet.lines;
  FD::ObjectRef last;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    last = node->getOutput(0, count++);
    benchmark::DoNotOptimize(last.get());
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const long timedFrames = count - kWarmUpFrames;
  const long notConverged = quiet.lines - linesBefore;

  // Pass counts, from the core, which must agree with the node's last frame to the bit.
  nimbusdale::SparseSeparation core = makeCore(kRank);
  long passes = 0;
  std::vector<float> check(kChannels * kBins);
  for (int t = 0; t < count; ++t) {
    const long p = core.process(frameData(t), t == 0, check.data(), nullptr).passes;
    if (t >= kWarmUpFrames) passes += p;
  }
  const FD::RCPtr<RealFrame> nodeOut = last;
  if (std::memcmp(check.data(), (*nodeOut)[0], sizeof(float) * check.size()) != 0)
    state.SkipWithError("the core diverged from the node; pass counts would be wrong");

  const double updates = double(timedFrames) * kChannels;
  state.counters["frames_per_s"] =
      benchmark::Counter(double(timedFrames), benchmark::Counter::kIsRate);
  state.counters["rt_factor_100fps"] =
      benchmark::Counter(double(timedFrames) / elapsed.count() / 100.0);
  state.counters["passes_per_update"] = benchmark::Counter(double(passes) / updates);
  state.counters["not_converged_share"] = benchmark::Counter(double(notConverged) / updates);
}
BENCHMARK(BM_MultiRobustPCAFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// The node's work without the host, on 1 and 2 threads; allocations_per_frame counts heap
// allocations in the steady state (none expected).
void BM_SparseSeparationFrame(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  nimbusdale::SparseSeparation core = makeCore(kRank);
  std::vector<float> out(kChannels * kBins);
  int t = 0;
  for (; t < kWarmUpFrames; ++t) core.process(frameData(t), t == 0, out.data(), nullptr, threads);
  long passes = 0, frames = 0;
  const long allocationsBefore = nimbusdale::bench::heapAllocations();
  for (auto _ : state) {
    passes += core.process(frameData(t), t == 0, out.data(), nullptr, threads).passes;
    ++t;
    ++frames;
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["passes_per_update"] = benchmark::Counter(double(passes) / (frames * kChannels));
  state.counters["allocations_per_frame"] = benchmark::Counter(
      double(nimbusdale::bench::heapAllocations() - allocationsBefore) / double(frames));
}
BENCHMARK(BM_SparseSeparationFrame)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("threads")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_RobustPCAUpdate(benchmark::State& state) {
  const int rank = static_cast<int>(state.range(0));
  QuietCout quiet;
  // Channel 0's observations of the stream, as the node forms them.
  nimbusdale::SparseSeparation core = makeCore(rank);
  std::vector<float> out(kChannels * kBins);
  std::vector<Eigen::VectorXf> observations;
  for (int t = 0; t < kStreamFrames; ++t) {
    core.process(frameData(t), t == 0, out.data(), nullptr);
    observations.push_back(core.observations().col(0));
  }

  std::srand(1);
  nimbusdale::RobustPCA est(kBins, rank);
  est.initialize();
  est.lambda1 = est.lambda2 = core.estimators()[0].lambda1;
  est.epsilon = kEpsilon;
  int t = 0;
  for (; t < kWarmUpFrames; ++t) est.update(observations[static_cast<size_t>(t)]);
  const long linesBefore = quiet.lines;
  const long allocationsBefore = nimbusdale::bench::heapAllocations();
  long passes = 0, updates = 0;
  for (auto _ : state) {
    passes += est.update(observations[static_cast<size_t>(t++ % kStreamFrames)]).passes;
    ++updates;
  }
  state.counters["updates_per_s"] =
      benchmark::Counter(double(updates), benchmark::Counter::kIsRate);
  state.counters["passes_per_update"] = benchmark::Counter(double(passes) / double(updates));
  state.counters["not_converged_share"] =
      benchmark::Counter(double(quiet.lines - linesBefore) / double(updates));
  state.counters["allocations_per_update"] = benchmark::Counter(
      double(nimbusdale::bench::heapAllocations() - allocationsBefore) / double(updates));
}
BENCHMARK(BM_RobustPCAUpdate)
    ->Arg(10)
    ->Arg(20)
    ->ArgName("K")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// One call of the basis times the coefficients, and one of the K dot products, each waiting for
// the one before (as a pass's steps wait for each other), for D bins and K 10, on columns laid
// out as the estimator holds them (64-byte aligned, rows padded to 16): what is left at D 16 is
// each call's fixed part, its sums across lanes and its scalar tail.
void BM_PassKernels(benchmark::State& state) {
  const size_t bins = static_cast<size_t>(state.range(0)), rank = 10;
  const size_t rows = nimbusdale::kernels::paddedRows(bins);
  std::unique_ptr<float, decltype(&std::free)> storage(
      static_cast<float*>(std::aligned_alloc(64, (rows * rank + 2 * rows) * sizeof(float))),
      &std::free);
  float* const basis = storage.get();
  float* const x = basis + rows * rank;
  float* const out = x + rows;
  std::vector<float> weights(rank), dots(rank);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  std::generate(basis, basis + rows * rank, [&] { return uniform(rng); });
  std::generate(x, x + rows, [&] { return uniform(rng); });
  for (float& v : weights) v = uniform(rng);
  const bool combine = state.range(1) == 0;
  for (auto _ : state) {
    if (combine) {
      nimbusdale::kernels::combine(basis, rows, rank, weights.data(), bins, out);
      weights[0] = out[bins - 1] * 1e-30f;
    } else {
      nimbusdale::kernels::dots(basis, rows, rank, x, bins, dots.data());
      x[0] = dots[rank - 1] * 1e-30f;
    }
  }
  state.SetLabel(combine ? "combine" : "dots");
}
BENCHMARK(BM_PassKernels)->ArgsProduct({{16, 257}, {0, 1}})->ArgNames({"D", "dots"});

}  // namespace

BENCHMARK_MAIN();

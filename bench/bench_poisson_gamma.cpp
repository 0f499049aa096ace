// Cost of one Poisson-Gamma frame at NUM_CHANNEL 8, LENGTH 512 (257 bins), and of the special
// functions inside it. The three call benchmarks make exactly the calls a frame's iterations
// make (per iteration: digamma and expf F*C + F + C times, logf F + 2 times; 50 iterations) on
// arguments taken from a model that has seen a few frames, so their times compare directly with
// the frame time. The frame also evaluates the starting bin and channel means once (F + C more
// digamma and expf calls, under 1%).
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <boost/math/special_functions/digamma.hpp>
#include <cmath>
#include <complex>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "heap_counter.h"
#include "nimbusdale/PoissonGammaInference.h"

namespace {

constexpr int kChannels = 8;
constexpr int kBins = 512 / 2 + 1;
constexpr int kFrames = 16;

// Formats the diagnostic lines as a real stream would, then drops them.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Frames {
  std::vector<std::vector<float>> sparse;
  std::vector<std::vector<std::complex<float>>> spec;
};

// Sparse parts as a robust PCA leaves them: most bins zero, the rest spread over a few orders
// of magnitude, louder at low frequencies.
const Frames& frames() {
  static const Frames f = [] {
    Frames out;
    std::mt19937 gen(2024);
    std::bernoulli_distribution active(0.3);
    std::lognormal_distribution<float> level(0.0f, 1.5f);
    std::uniform_real_distribution<float> phase(-3.14159f, 3.14159f);
    for (int i = 0; i < kFrames; ++i) {
      std::vector<float> sparse(kChannels * kBins, 0.0f);
      std::vector<std::complex<float>> spec(kChannels * kBins);
      for (int c = 0; c < kChannels; ++c)
        for (int b = 0; b < kBins; ++b) {
          const float tilt = 4.0f / (1.0f + b / 32.0f);
          if (active(gen)) sparse[c * kBins + b] = tilt * level(gen);
          spec[c * kBins + b] = std::polar(tilt * (0.1f + level(gen)), phase(gen));
        }
      out.sparse.push_back(std::move(sparse));
      out.spec.push_back(std::move(spec));
    }
    return out;
  }();
  return f;
}

void runFrame(nimbusdale::PoissonGammaModel& model, int i, std::vector<std::complex<float>>& out,
              std::ostream& lines) {
  const Frames& f = frames();
  nimbusdale::runPoissonGammaFrame(
      model, 1.0f, nimbusdale::SparseFrameView(f.sparse[i].data(), kBins, kChannels),
      nimbusdale::SpectrumFrameView(f.spec[i].data(), kBins, kChannels),
      nimbusdale::OutputRowView(out.data(), kBins), lines);
}

// A model after a few frames, for realistic special-function arguments.
const nimbusdale::PoissonGammaModel& warmModel() {
  static const nimbusdale::PoissonGammaModel m = [] {
    NullBuffer sink;
    std::ostream lines(&sink);
    std::vector<std::complex<float>> out(kBins);
    nimbusdale::PoissonGammaModel model(kBins, kChannels);
    for (int i = 0; i < 4; ++i) runFrame(model, i, out, lines);
    return model;
  }();
  return m;
}

void BM_Frame(benchmark::State& state) {
  NullBuffer sink;
  std::ostream lines(&sink);
  std::vector<std::complex<float>> out(kBins);
  nimbusdale::PoissonGammaModel model(kBins, kChannels);
  runFrame(model, 0, out, lines);
  int i = 1;
  long frames = 0;
  const long allocationsBefore = nimbusdale::bench::heapAllocations();
  for (auto _ : state) {
    runFrame(model, i, out, lines);
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) % kFrames;
    ++frames;
  }
  state.counters["allocations_per_frame"] = benchmark::Counter(
      double(nimbusdale::bench::heapAllocations() - allocationsBefore) / double(frames));
}
BENCHMARK(BM_Frame)->Unit(benchmark::kMicrosecond);

// The same frame on each instruction set this machine and build offer (BM_Frame takes the best).
void BM_TargetFrame(benchmark::State& state, int64_t target) {
  hwy::SetSupportedTargetsForTest(target);
  BM_Frame(state);
  hwy::SetSupportedTargetsForTest(0);
}

// The shapes one iteration takes digamma of: every element, bin and channel.
std::vector<float> shapeArguments() {
  const nimbusdale::PoissonGammaModel& m = warmModel();
  std::vector<float> args(m.elementShape.data(), m.elementShape.data() + m.elementShape.size());
  args.insert(args.end(), m.binShape.data(), m.binShape.data() + m.binShape.size());
  args.insert(args.end(), m.channelShape.data(), m.channelShape.data() + m.channelShape.size());
  return args;
}

void BM_DigammaCallsOfAFrame(benchmark::State& state) {
  const std::vector<float> args = shapeArguments();
  for (auto _ : state)
    for (int it = 0; it < nimbusdale::kPoissonGammaIterations; ++it)
      for (float a : args) benchmark::DoNotOptimize(boost::math::digamma<float>(a));
}
BENCHMARK(BM_DigammaCallsOfAFrame)->Unit(benchmark::kMicrosecond);

void BM_ExpfCallsOfAFrame(benchmark::State& state) {
  const nimbusdale::PoissonGammaModel& m = warmModel();
  std::vector<float> args = shapeArguments();
  for (float& a : args) a = boost::math::digamma<float>(a) - ::logf(m.channelRate);
  for (auto _ : state)
    for (int it = 0; it < nimbusdale::kPoissonGammaIterations; ++it)
      for (float a : args) benchmark::DoNotOptimize(::expf(a));
}
BENCHMARK(BM_ExpfCallsOfAFrame)->Unit(benchmark::kMicrosecond);

void BM_LogfCallsOfAFrame(benchmark::State& state) {
  const nimbusdale::PoissonGammaModel& m = warmModel();
  std::vector<float> args(m.binRate.data(), m.binRate.data() + m.binRate.size());
  args.push_back(m.channelRate);
  args.push_back(m.elementRate);
  for (auto _ : state)
    for (int it = 0; it < nimbusdale::kPoissonGammaIterations; ++it)
      for (float a : args) benchmark::DoNotOptimize(::logf(a));
}
BENCHMARK(BM_LogfCallsOfAFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  for (const int64_t target : hwy::SupportedAndGeneratedTargets())
    benchmark::RegisterBenchmark((std::string("BM_TargetFrame/") + hwy::TargetName(target)).c_str(),
                                 BM_TargetFrame, target)
        ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Would the estimators run faster with several channels in lockstep, one channel per SIMD lane?
// Times one inner pass (K dot products with the residual, the K x K inverse applied, the basis
// times the coefficients, the soft threshold) for 8 channels, D = 257 bins, K = 10:
//   - layout 0: channel by channel, with the estimator's own kernels (as it runs);
//   - layout 1: the 8 channels in the 8 lanes of a vector, every sum within a lane, so no pass
//     waits on a horizontal sum.
// Lockstep would also run every channel of a group for as many passes as its slowest channel;
// that cost comes on top of layout 1's time and is not in it.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bench_lane_layout.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <benchmark/benchmark.h>
#include <hwy/aligned_allocator.h>

#include <algorithm>
#include <random>
#include <vector>

#include "RobustPCAKernels.h"

// Once, although Highway includes this file once per instruction set.
#ifndef BENCH_LANE_LAYOUT_SHAPE
#define BENCH_LANE_LAYOUT_SHAPE
namespace bench_lanes {
constexpr size_t kBins = 257, kRank = 10, kChannels = 8;
}  // namespace bench_lanes
#endif

HWY_BEFORE_NAMESPACE();
namespace bench_lanes {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One pass for kChannels channels laid out bin-major, channels innermost: basis[(i * K + k) * 8
// + c], z/sparse/residual[i * 8 + c], inverse[(j * K + i) * 8 + c]. Returns the first lane of
// the summed squared change, so the work cannot be dropped.
float PassInLanes(const float* HWY_RESTRICT basis, const float* HWY_RESTRICT inverse,
                  const float* HWY_RESTRICT z, float* HWY_RESTRICT sparse,
                  float* HWY_RESTRICT residual, float threshold) {
#if HWY_HAVE_SCALABLE || HWY_TARGET == HWY_SCALAR
  (void)basis, (void)inverse, (void)z, (void)sparse, (void)residual, (void)threshold;
  return 0.0f;  // lanes of unknown count: no arrays of vectors
#else
  const hn::CappedTag<float, kChannels> d;
  using V = hn::Vec<decltype(d)>;
  if (hn::Lanes(d) != kChannels) return 0.0f;
  V projected[kRank], coef[kRank];
  for (size_t k = 0; k < kRank; ++k) projected[k] = coef[k] = hn::Zero(d);
  for (size_t i = 0; i < kBins; ++i) {
    const V r = hn::LoadU(d, residual + i * kChannels);
    for (size_t k = 0; k < kRank; ++k)
      projected[k] = hn::MulAdd(hn::LoadU(d, basis + (i * kRank + k) * kChannels), r, projected[k]);
  }
  for (size_t j = 0; j < kRank; ++j)
    for (size_t i = 0; i < kRank; ++i)
      coef[i] = hn::MulAdd(hn::LoadU(d, inverse + (j * kRank + i) * kChannels), projected[j],
                           coef[i]);
  const V up = hn::Set(d, threshold), down = hn::Set(d, -threshold), zero = hn::Zero(d);
  V change = zero;
  for (size_t i = 0; i < kBins; ++i) {
    V fitted = zero;
    for (size_t k = 0; k < kRank; ++k)
      fitted = hn::MulAdd(hn::LoadU(d, basis + (i * kRank + k) * kChannels), coef[k], fitted);
    const V zi = hn::LoadU(d, z + i * kChannels);
    const V e = hn::Sub(zi, fitted);
    const V shrunk = hn::IfThenElse(hn::Gt(e, up), hn::Sub(e, up),
                                    hn::IfThenElse(hn::Lt(e, down), hn::Add(e, up), zero));
    const V step = hn::Sub(shrunk, hn::LoadU(d, sparse + i * kChannels));
    change = hn::MulAdd(step, step, change);
    hn::StoreU(shrunk, d, sparse + i * kChannels);
    hn::StoreU(hn::Sub(zi, shrunk), d, residual + i * kChannels);
  }
  return hn::GetLane(change);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace bench_lanes
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bench_lanes {
HWY_EXPORT(PassInLanes);

namespace kernels = nimbusdale::kernels;

std::vector<float> uniform(size_t n, unsigned seed, float scale) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// `n` uniform values in [0, scale) (zeros for scale 0) in a 64-byte aligned array.
hwy::AlignedFreeUniquePtr<float[]> alignedUniform(size_t n, unsigned seed, float scale) {
  const std::vector<float> values = uniform(n, seed, scale);
  auto out = hwy::AllocateAligned<float>(n);
  std::copy(values.begin(), values.end(), out.get());
  return out;
}

void BM_EightChannelPass(benchmark::State& state) {
  const bool lanes = state.range(0) == 1;
  const size_t D = kBins, K = kRank, C = kChannels, padded = 16;
  // Channel by channel, each column and vector starts on a 64-byte boundary, D rows padded to
  // whole vectors, as the estimator holds them. The same numbers serve both layouts; only their
  // order in memory differs.
  const size_t rows = kernels::paddedRows(D);
  const auto basis = alignedUniform(C * K * rows, 1, 0.1f);
  const auto inverse = alignedUniform(C * padded * K, 2, 0.01f);
  const auto z = alignedUniform(C * rows, 3, 1.0f);
  auto sparse = alignedUniform(C * rows, 4, 0.0f), residual = alignedUniform(C * rows, 3, 1.0f),
       fitted = alignedUniform(C * rows, 5, 0.0f);
  std::vector<float> projected(padded), coef(padded);
  const float threshold = 0.005f;
  float sink = 0.0f;
  for (auto _ : state) {
    if (lanes) {
      sink += HWY_DYNAMIC_DISPATCH(PassInLanes)(basis.get(), inverse.get(), z.get(), sparse.get(),
                                                residual.get(), threshold);
    } else {
      for (size_t c = 0; c < C; ++c) {
        const float* channelBasis = basis.get() + c * K * rows;
        const size_t at = c * rows;
        kernels::dots(channelBasis, rows, K, residual.get() + at, D, projected.data());
        kernels::combine(inverse.get() + c * padded * K, padded, K, projected.data(), padded,
                         coef.data());
        kernels::combine(channelBasis, rows, K, coef.data(), D, fitted.get() + at);
        sink += kernels::thresholdStep(z.get() + at, fitted.get() + at, sparse.get() + at,
                                       residual.get() + at, threshold, D);
      }
    }
  }
  benchmark::DoNotOptimize(sink);
  state.SetLabel(lanes ? "channels in lanes" : "channel by channel");
}
BENCHMARK(BM_EightChannelPass)->Arg(0)->Arg(1)->ArgName("lanes")->Unit(benchmark::kNanosecond);

}  // namespace bench_lanes

BENCHMARK_MAIN();
#endif

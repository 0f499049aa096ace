// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry point.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PoissonGammaKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <hwy/contrib/math/math-inl.h>

#include <cmath>
#include <limits>

#include "PoissonGammaKernels.h"

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DoubleTag = hn::ScalableTag<double>;
using FloatTag = hn::Rebind<float, DoubleTag>;

// digamma(x) for x > 0 in double precision. Below 4, x is raised by exactly four steps of
// digamma(x) = digamma(x + 1) - 1 / x, the four reciprocals summed as one fraction without a
// branch; then the asymptotic series ln x - 1/(2x) - sum B_2k / (2k x^2k) up to x^-14
// (truncation below 1e-10). One division serves both the fraction and 1/x.
template <class V>
HWY_INLINE V Digamma(DoubleTag dd, V x) {
  const auto one = hn::Set(dd, 1.0), two = hn::Set(dd, 2.0), three = hn::Set(dd, 3.0);
  const auto below = hn::Lt(x, hn::Set(dd, 4.0));
  const auto x1 = hn::Add(x, one), x2 = hn::Add(x, two), x3 = hn::Add(x, three);
  const auto low = hn::Mul(x, x1), high = hn::Mul(x2, x3);
  // 1/x + 1/(x+1) + 1/(x+2) + 1/(x+3) = numerator / denominator.
  const auto numerator =
      hn::IfThenElseZero(below, hn::MulAdd(hn::Add(x, x1), high, hn::Mul(hn::Add(x2, x3), low)));
  const auto denominator = hn::IfThenElse(below, hn::Mul(low, high), one);
  x = hn::IfThenElse(below, hn::Add(x3, one), x);
  const auto q = hn::Div(one, hn::Mul(x, denominator));
  const auto inverse = hn::Mul(denominator, q);
  const auto shifted = hn::Mul(hn::Mul(numerator, x), q);
  const auto t = hn::Mul(inverse, inverse);
  auto series = hn::Set(dd, 1.0 / 12.0);
  series = hn::NegMulAdd(t, series, hn::Set(dd, 691.0 / 32760.0));
  series = hn::NegMulAdd(t, series, hn::Set(dd, 1.0 / 132.0));
  series = hn::NegMulAdd(t, series, hn::Set(dd, 1.0 / 240.0));
  series = hn::NegMulAdd(t, series, hn::Set(dd, 1.0 / 252.0));
  series = hn::NegMulAdd(t, series, hn::Set(dd, 1.0 / 120.0));
  series = hn::NegMulAdd(t, series, hn::Set(dd, 1.0 / 12.0));
  auto psi = hn::NegMulAdd(hn::Set(dd, 0.5), inverse, hn::Log(dd, x));
  psi = hn::NegMulAdd(t, series, psi);
  return hn::Sub(psi, shifted);
}

// digamma of the shapes, rounded to float. Shapes that are not positive and finite give
// meaningless values here (GeometricMeans marks them NaN afterwards); on the scalar and emulated
// targets they are replaced by 1 first, as their Log converts floats to integers with a C++
// cast, which is undefined for NaN and infinities.
template <class VF>
HWY_INLINE VF RoundedDigamma(DoubleTag dd, FloatTag df, VF shape) {
#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
  const auto usable = hn::And(hn::Gt(shape, hn::Zero(df)), hn::Lt(shape, hn::Set(df, HUGE_VALF)));
  shape = hn::IfThenElse(usable, shape, hn::Set(df, 1.0f));
#endif
  return hn::DemoteTo(df, Digamma(dd, hn::PromoteTo(dd, shape)));
}

// Two sweeps: digamma in double, rounded into `out`; then the exponential at full float width.
void GeometricMeans(const float* HWY_RESTRICT shape, const float* HWY_RESTRICT logRate,
                    size_t logRateStep, size_t n, float* HWY_RESTRICT out) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  size_t i = 0;
  // Two blocks at a time, so that one block's division overlaps the other's work.
  for (; i + 2 * N <= n; i += 2 * N) {
    const auto a = RoundedDigamma(dd, df, hn::LoadU(df, shape + i));
    const auto b = RoundedDigamma(dd, df, hn::LoadU(df, shape + i + N));
    hn::StoreU(a, df, out + i);
    hn::StoreU(b, df, out + i + N);
  }
  for (; i + N <= n; i += N)
    hn::StoreU(RoundedDigamma(dd, df, hn::LoadU(df, shape + i)), df, out + i);

  const hn::ScalableTag<float> d;
  const size_t M = hn::Lanes(d);
  const auto zero = hn::Zero(d), nan = hn::Set(d, std::numeric_limits<float>::quiet_NaN());
  const auto sharedRate = hn::Set(d, logRate[0]);
  // exp(psi - ln r); NaN where the shape is not positive and finite or the difference is NaN
  // (Exp itself would clamp a NaN to a number).
  const auto infinity = hn::Set(d, HUGE_VALF);
  auto means = [&](auto psi, auto x, auto rate) HWY_ATTR {
    const auto arg = hn::Sub(psi, rate);
    const auto usable = hn::And(hn::And(hn::Gt(x, zero), hn::Lt(x, infinity)), hn::Eq(arg, arg));
    return hn::IfThenElse(usable, hn::Exp(d, hn::IfThenElse(usable, arg, zero)), nan);
  };
  size_t j = 0;
  for (; j + M <= n; j += M) {
    const auto r = logRateStep ? hn::LoadU(d, logRate + j) : sharedRate;
    hn::StoreU(means(hn::LoadU(d, out + j), hn::LoadU(d, shape + j), r), d, out + j);
  }
  if (i == n && j == n) return;

  // The last few values go through the same code, padded.
  HWY_ALIGN float psi[HWY_MAX_BYTES / sizeof(float)], x[HWY_MAX_BYTES / sizeof(float)],
      rate[HWY_MAX_BYTES / sizeof(float)];
  for (size_t l = 0; l < M; ++l) {
    const bool inside = j + l < n;
    x[l] = inside ? shape[j + l] : 1.0f;
    rate[l] = inside ? logRate[(j + l) * logRateStep] : 0.0f;
  }
  for (size_t k = 0; k < M; k += N)
    hn::Store(RoundedDigamma(dd, df, hn::Load(df, x + k)), df, psi + k);
  hn::Store(means(hn::Load(d, psi), hn::Load(d, x), hn::Load(d, rate)), d, psi);
  for (size_t l = 0; j + l < n; ++l) out[j + l] = psi[l];
}

void Logarithms(const float* HWY_RESTRICT x, size_t n, float* HWY_RESTRICT out) {
  const DoubleTag dd;
  const FloatTag df;
  const size_t N = hn::Lanes(dd);
  const auto smallest = hn::Set(df, std::numeric_limits<float>::min());
  const auto largest = hn::Set(df, std::numeric_limits<float>::max());
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(df, x + i);
    if (hn::AllTrue(df, hn::And(hn::Ge(v, smallest), hn::Le(v, largest)))) {
      hn::StoreU(hn::DemoteTo(df, hn::Log(dd, hn::PromoteTo(dd, v))), df, out + i);
    } else {
      for (size_t l = 0; l < N; ++l) out[i + l] = ::logf(x[i + l]);
    }
  }
  for (; i < n; ++i) out[i] = ::logf(x[i]);
}

// The bins of one column in whole vectors, then the last few through a zero-padded copy (a zero
// count contributes a zero share), so that no load reads past a column.
template <class Body>
HWY_INLINE void ForEachBinBlock(size_t bins, const float* const* columns, size_t count,
                                Body&& body) {
  const hn::ScalableTag<float> d;
  const size_t M = hn::Lanes(d);
  size_t f = 0;
  for (; f + M <= bins; f += M) body(f, M, [&](size_t k) { return hn::LoadU(d, columns[k] + f); });
  if (f == bins) return;
  HWY_ALIGN float padded[4][HWY_MAX_BYTES / sizeof(float)];
  for (size_t k = 0; k < count; ++k)
    for (size_t l = 0; l < M; ++l) padded[k][l] = f + l < bins ? columns[k][f + l] : 0.0f;
  body(f, bins - f, [&](size_t k) { return hn::Load(d, padded[k]); });
}

void RankOneShareSums(const float* HWY_RESTRICT sparse, const float* HWY_RESTRICT binWeight,
                      const float* HWY_RESTRICT channelWeight,
                      const float* HWY_RESTRICT elementWeight, size_t bins, size_t channels,
                      float floor, float* HWY_RESTRICT binSums, float* HWY_RESTRICT channelSums) {
  const hn::ScalableTag<float> d;
  const auto floorV = hn::Set(d, floor);
  HWY_ALIGN float lanes[HWY_MAX_BYTES / sizeof(float)];
  for (size_t c = 0; c < channels; ++c) {
    const auto cw = hn::Set(d, channelWeight[c]);
    const float* columns[3] = {sparse + c * bins, elementWeight + c * bins, binWeight};
    auto columnSum = hn::Zero(d);
    ForEachBinBlock(bins, columns, 3, [&](size_t f, size_t valid, auto load) HWY_ATTR {
      const auto w = hn::Mul(load(2), cw);
      const auto share = hn::Div(hn::Mul(load(0), w), hn::Add(hn::Add(w, load(1)), floorV));
      columnSum = hn::Add(columnSum, share);
      if (valid == hn::Lanes(d)) {
        hn::StoreU(c ? hn::Add(hn::LoadU(d, binSums + f), share) : share, d, binSums + f);
      } else {
        hn::Store(share, d, lanes);
        for (size_t l = 0; l < valid; ++l)
          binSums[f + l] = c ? binSums[f + l] + lanes[l] : lanes[l];
      }
    });
    channelSums[c] = hn::GetLane(hn::SumOfLanes(d, columnSum));
  }
}

void ElementShapes(const float* HWY_RESTRICT sparse, const float* HWY_RESTRICT binWeight,
                   const float* HWY_RESTRICT channelWeight, const float* HWY_RESTRICT elementWeight,
                   size_t bins, size_t channels, float floor, float scale, float prior,
                   float* HWY_RESTRICT elementShape) {
  const hn::ScalableTag<float> d;
  const auto floorV = hn::Set(d, floor), scaleV = hn::Set(d, scale), priorV = hn::Set(d, prior);
  HWY_ALIGN float lanes[HWY_MAX_BYTES / sizeof(float)];
  for (size_t c = 0; c < channels; ++c) {
    const auto cw = hn::Set(d, channelWeight[c]);
    const float* columns[3] = {sparse + c * bins, elementWeight + c * bins, binWeight};
    float* out = elementShape + c * bins;
    ForEachBinBlock(bins, columns, 3, [&](size_t f, size_t valid, auto load) HWY_ATTR {
      const auto e = load(1);
      const auto w = hn::Mul(load(2), cw);
      const auto share = hn::Div(hn::Mul(load(0), e), hn::Add(hn::Add(w, e), floorV));
      const auto shape = hn::Add(hn::Mul(share, scaleV), priorV);
      if (valid == hn::Lanes(d)) {
        hn::StoreU(shape, d, out + f);
      } else {
        hn::Store(shape, d, lanes);
        for (size_t l = 0; l < valid; ++l) out[f + l] = lanes[l];
      }
    });
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(GeometricMeans);
HWY_EXPORT(Logarithms);
HWY_EXPORT(RankOneShareSums);
HWY_EXPORT(ElementShapes);

void geometricMeans(const float* shape, const float* logRate, size_t logRateStep, size_t n,
                    float* out) {
  HWY_DYNAMIC_DISPATCH(GeometricMeans)(shape, logRate, logRateStep, n, out);
}

void logarithms(const float* x, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Logarithms)(x, n, out);
}

void rankOneShareSums(const float* sparse, const float* binWeight, const float* channelWeight,
                      const float* elementWeight, size_t bins, size_t channels, float floor,
                      float* binSums, float* channelSums) {
  HWY_DYNAMIC_DISPATCH(RankOneShareSums)
  (sparse, binWeight, channelWeight, elementWeight, bins, channels, floor, binSums, channelSums);
}

void elementShapes(const float* sparse, const float* binWeight, const float* channelWeight,
                   const float* elementWeight, size_t bins, size_t channels, float floor,
                   float scale, float prior, float* elementShape) {
  HWY_DYNAMIC_DISPATCH(ElementShapes)
  (sparse, binWeight, channelWeight, elementWeight, bins, channels, floor, scale, prior,
   elementShape);
}

}  // namespace nimbusdale::kernels
#endif

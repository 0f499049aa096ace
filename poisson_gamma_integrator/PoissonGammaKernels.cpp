// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry point.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "poisson_gamma_integrator/PoissonGammaKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <hwy/contrib/math/math-inl.h>

#include <cmath>
#include <limits>

#include "poisson_gamma_integrator/PoissonGammaKernels.h"

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DoubleTag = hn::ScalableTag<double>;
using FloatTag = hn::Rebind<float, DoubleTag>;

// digamma(x) for x > 0 in double precision: x is raised to at least 4 by the recurrence
// digamma(x) = digamma(x + 1) - 1 / x, whose terms are summed as one fraction, then the
// asymptotic series ln x - 1/(2x) - sum B_2k / (2k x^2k) up to x^-14 (truncation below 1e-10).
// One division serves both the fraction and 1/x.
template <class V>
HWY_INLINE V Digamma(DoubleTag dd, V x) {
  const auto four = hn::Set(dd, 4.0), one = hn::Set(dd, 1.0);
  auto numerator = hn::Zero(dd), denominator = one;
  // Four steps raise any positive x to 4 or more.
  for (int step = 0; step < 4; ++step) {
    const auto below = hn::Lt(x, four);
    if (hn::AllFalse(dd, below)) break;
    numerator = hn::IfThenElse(below, hn::MulAdd(numerator, x, denominator), numerator);
    denominator = hn::IfThenElse(below, hn::Mul(denominator, x), denominator);
    x = hn::IfThenElse(below, hn::Add(x, one), x);
  }
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

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(GeometricMeans);

void geometricMeans(const float* shape, const float* logRate, size_t logRateStep, size_t n,
                    float* out) {
  HWY_DYNAMIC_DISPATCH(GeometricMeans)(shape, logRate, logRateStep, n, out);
}

}  // namespace nimbusdale::kernels
#endif

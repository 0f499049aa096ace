// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry points.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "SparseMaskKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "SparseMaskKernels.h"

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using Tag = hn::ScalableTag<float>;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

bool Magnitudes(const float* HWY_RESTRICT parts, float* HWY_RESTRICT a, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto low = hn::Set(d, FLT_MIN), high = hn::Set(d, FLT_MAX);
  auto outside = hn::FirstN(d, 0);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    hn::Vec<Tag> re, im;
    hn::LoadInterleaved2(d, parts + 2 * k, re, im);
    const auto squared = hn::Add(hn::Mul(re, re), hn::Mul(im, im));
    outside = hn::Or(outside, hn::Not(hn::And(hn::Ge(squared, low), hn::Le(squared, high))));
    hn::StoreU(hn::Sqrt(squared), d, a + k);
  }
  bool tail = false;
  for (; k < n; ++k) {
    const float re = parts[2 * k], im = parts[2 * k + 1];
    const float squared = re * re + im * im;
    tail |= !(squared >= FLT_MIN && squared <= FLT_MAX);
    a[k] = std::sqrt(squared);
  }
  return tail || !hn::AllFalse(d, outside);
}

bool PriorSnrs(const float* HWY_RESTRICT a, const float* HWY_RESTRICT s,
               const float* HWY_RESTRICT previous, float alpha, float keep, float inverseMu,
               float* HWY_RESTRICT xi, float* HWY_RESTRICT live, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f), inf = hn::Set(d, kInfinity);
  const auto vAlpha = hn::Set(d, alpha), vKeep = hn::Set(d, keep), vMu = hn::Set(d, inverseMu);
  auto sounds = hn::FirstN(d, 0);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    const auto va = hn::LoadU(d, a + k), vs = hn::LoadU(d, s + k);
    const auto residual = hn::Sub(va, vs);
    const auto ratio = hn::Div(vs, residual);
    auto value = hn::Mul(hn::Mul(ratio, ratio), vMu);
    if (alpha != 0.0f) {
      const auto carried = hn::Div(hn::LoadU(d, previous + k), residual);
      value =
          hn::Add(hn::Mul(vAlpha, hn::Mul(hn::Mul(carried, carried), vMu)), hn::Mul(vKeep, value));
    }
    const auto hears = hn::Gt(va, zero);
    hn::StoreU(hn::IfThenElse(hn::And(hears, hn::Gt(residual, zero)), value, inf), d, xi + k);
    hn::StoreU(hn::Add(hn::LoadU(d, live + k), hn::IfThenElseZero(hears, one)), d, live + k);
    sounds = hn::Or(sounds, hears);
  }
  bool tail = false;
  for (; k < n; ++k) {
    xi[k] = priorSnr(a[k], s[k], previous[k], alpha, keep, inverseMu);
    live[k] += a[k] > 0.0f ? 1.0f : 0.0f;
    tail |= a[k] > 0.0f;
  }
  return tail || !hn::AllFalse(d, sounds);
}

void CompareExchange(float* HWY_RESTRICT lower, float* HWY_RESTRICT upper, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    const auto p = hn::LoadU(d, lower + k), q = hn::LoadU(d, upper + k);
    hn::StoreU(hn::Min(p, q), d, lower + k);
    hn::StoreU(hn::Max(p, q), d, upper + k);
  }
  for (; k < n; ++k) {
    const float p = lower[k], q = upper[k];
    lower[k] = q < p ? q : p;
    upper[k] = q < p ? p : q;
  }
}

void WienerGains(const float* HWY_RESTRICT below, const float* HWY_RESTRICT middle, bool odd,
                 float floor, float* HWY_RESTRICT gain, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), vFloor = hn::Set(d, floor);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    auto xi = hn::LoadU(d, middle + k);
    if (!odd) xi = hn::Mul(hn::Add(hn::LoadU(d, below + k), xi), half);
    const auto g = hn::Div(one, hn::Add(one, hn::Div(one, xi)));
    hn::StoreU(hn::Max(g, vFloor), d, gain + k);
  }
  for (; k < n; ++k) {
    const float xi = odd ? middle[k] : (below[k] + middle[k]) * 0.5f;
    const float g = 1.0f / (1.0f + 1.0f / xi);
    gain[k] = g > floor ? g : floor;
  }
}

void ScaleChannel(const float* HWY_RESTRICT parts, const float* HWY_RESTRICT inverse,
                  float* HWY_RESTRICT re, float* HWY_RESTRICT im, float* HWY_RESTRICT power,
                  size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    hn::Vec<Tag> xr, xi;
    hn::LoadInterleaved2(d, parts + 2 * k, xr, xi);
    const auto scale = hn::LoadU(d, inverse + k);
    const auto r = hn::Mul(xr, scale), i = hn::Mul(xi, scale);
    hn::StoreU(r, d, re + k);
    hn::StoreU(i, d, im + k);
    hn::StoreU(hn::Add(hn::LoadU(d, power + k), hn::Add(hn::Mul(r, r), hn::Mul(i, i))), d,
               power + k);
  }
  for (; k < n; ++k) {
    re[k] = parts[2 * k] * inverse[k];
    im[k] = parts[2 * k + 1] * inverse[k];
    power[k] += re[k] * re[k] + im[k] * im[k];
  }
}

void AccumulateMatch(const float* HWY_RESTRICT hr, const float* HWY_RESTRICT hi,
                     const float* HWY_RESTRICT ur, const float* HWY_RESTRICT ui,
                     float* HWY_RESTRICT dotRe, float* HWY_RESTRICT dotIm,
                     float* HWY_RESTRICT hPower, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    const auto a = hn::LoadU(d, hr + k), b = hn::LoadU(d, hi + k);
    const auto x = hn::LoadU(d, ur + k), y = hn::LoadU(d, ui + k);
    hn::StoreU(hn::Add(hn::LoadU(d, dotRe + k), hn::Add(hn::Mul(a, x), hn::Mul(b, y))), d,
               dotRe + k);
    hn::StoreU(hn::Add(hn::LoadU(d, dotIm + k), hn::Sub(hn::Mul(a, y), hn::Mul(b, x))), d,
               dotIm + k);
    hn::StoreU(hn::Add(hn::LoadU(d, hPower + k), hn::Add(hn::Mul(a, a), hn::Mul(b, b))), d,
               hPower + k);
  }
  for (; k < n; ++k) {
    dotRe[k] += hr[k] * ur[k] + hi[k] * ui[k];
    dotIm[k] += hr[k] * ui[k] - hi[k] * ur[k];
    hPower[k] += hr[k] * hr[k] + hi[k] * hi[k];
  }
}

void LearnDirection(float* HWY_RESTRICT hr, float* HWY_RESTRICT hi, const float* ur,
                    const float* ui, const float* rr, const float* ri,
                    const float* HWY_RESTRICT power, const float* HWY_RESTRICT update, float beta,
                    float rest, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto vBeta = hn::Set(d, beta), vRest = hn::Set(d, rest), zero = hn::Zero(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    const auto learn = hn::Ne(hn::LoadU(d, update + k), zero);
    if (hn::AllFalse(d, learn)) continue;
    const auto x = hn::LoadU(d, ur + k), y = hn::LoadU(d, ui + k);
    const auto p = hn::LoadU(d, rr + k), q = hn::LoadU(d, ri + k);
    const auto w = hn::LoadU(d, power + k);
    const auto crossRe = hn::Div(hn::Add(hn::Mul(x, p), hn::Mul(y, q)), w);
    const auto crossIm = hn::Div(hn::Sub(hn::Mul(y, p), hn::Mul(x, q)), w);
    const auto a = hn::LoadU(d, hr + k), b = hn::LoadU(d, hi + k);
    const auto newRe = hn::Add(hn::Mul(vBeta, a), hn::Mul(vRest, crossRe));
    const auto newIm = hn::Add(hn::Mul(vBeta, b), hn::Mul(vRest, crossIm));
    hn::StoreU(hn::IfThenElse(learn, newRe, a), d, hr + k);
    hn::StoreU(hn::IfThenElse(learn, newIm, b), d, hi + k);
  }
  for (; k < n; ++k) {
    if (update[k] == 0.0f) continue;
    const float crossRe = (ur[k] * rr[k] + ui[k] * ri[k]) / power[k];
    const float crossIm = (ui[k] * rr[k] - ur[k] * ri[k]) / power[k];
    hr[k] = beta * hr[k] + rest * crossRe;
    hi[k] = beta * hi[k] + rest * crossIm;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(Magnitudes);
HWY_EXPORT(PriorSnrs);
HWY_EXPORT(CompareExchange);
HWY_EXPORT(WienerGains);
HWY_EXPORT(ScaleChannel);
HWY_EXPORT(AccumulateMatch);
HWY_EXPORT(LearnDirection);

bool magnitudes(const float* parts, float* a, size_t n) {
  return HWY_DYNAMIC_DISPATCH(Magnitudes)(parts, a, n);
}

bool priorSnrs(const float* a, const float* s, const float* previous, float alpha, float keep,
               float inverseMu, float* xi, float* live, size_t n) {
  return HWY_DYNAMIC_DISPATCH(PriorSnrs)(a, s, previous, alpha, keep, inverseMu, xi, live, n);
}

void compareExchange(float* lower, float* upper, size_t n) {
  HWY_DYNAMIC_DISPATCH(CompareExchange)(lower, upper, n);
}

void wienerGains(const float* below, const float* middle, bool odd, float floor, float* gain,
                 size_t n) {
  HWY_DYNAMIC_DISPATCH(WienerGains)(below, middle, odd, floor, gain, n);
}

void scaleChannel(const float* parts, const float* inverse, float* re, float* im, float* power,
                  size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleChannel)(parts, inverse, re, im, power, n);
}

void accumulateMatch(const float* hr, const float* hi, const float* ur, const float* ui,
                     float* dotRe, float* dotIm, float* hPower, size_t n) {
  HWY_DYNAMIC_DISPATCH(AccumulateMatch)(hr, hi, ur, ui, dotRe, dotIm, hPower, n);
}

void learnDirection(float* hr, float* hi, const float* ur, const float* ui, const float* rr,
                    const float* ri, const float* power, const float* update, float beta,
                    float rest, size_t n) {
  HWY_DYNAMIC_DISPATCH(LearnDirection)(hr, hi, ur, ui, rr, ri, power, update, beta, rest, n);
}

}  // namespace nimbusdale::kernels
#endif

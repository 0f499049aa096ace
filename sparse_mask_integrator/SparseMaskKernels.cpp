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

void Medians(const MedianRows& m) {
  const Tag d;
  const hn::RebindToSigned<Tag> di;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), half = hn::Set(d, 0.5f);
  const auto none = hn::Zero(di), one = hn::Set(di, 1);
  size_t k = 0;
  for (; k + N <= m.n; k += N) {
    const auto live = hn::ConvertTo(di, hn::LoadU(d, m.live + k));
    const auto low = hn::ShiftRight<1>(hn::Sub(live, one)), high = hn::ShiftRight<1>(live);
    auto below = zero, middle = zero;
    auto row = none;
    for (size_t c = 0; c < m.channels; ++c, row = hn::Add(row, one)) {
      const auto value = hn::LoadU(d, m.sorted + c * m.n + k);
      below = hn::IfThenElse(hn::RebindMask(d, hn::Eq(row, low)), value, below);
      middle = hn::IfThenElse(hn::RebindMask(d, hn::Eq(row, high)), value, middle);
    }
    const auto odd = hn::RebindMask(d, hn::Eq(hn::And(live, one), one));
    const auto xi = hn::IfThenElse(odd, middle, hn::Mul(hn::Add(below, middle), half));
    hn::StoreU(hn::IfThenElseZero(hn::RebindMask(d, hn::Gt(live, none)), xi), d, m.xi + k);
  }
  medianBins(m, k, m.n);
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

void ScaleChannels(const ChannelScaling& s) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  size_t k = 0;
  for (; k + N <= s.n; k += N) {
    auto most = zero;
    for (size_t c = 0; c < s.channels; ++c) {
      const auto a = hn::LoadU(d, s.a + c * s.n + k);
      most = hn::IfThenElse(hn::Gt(a, most), a, most);
    }
    const auto inverse = hn::IfThenElseZero(hn::Gt(most, zero), hn::Div(one, most));
    auto power = zero;
    for (size_t c = 0; c < s.channels; ++c) {
      const size_t i = c * s.n + k;
      hn::Vec<Tag> xr, xi;
      hn::LoadInterleaved2(d, s.parts + 2 * i, xr, xi);
      const auto r = hn::Mul(xr, inverse), m = hn::Mul(xi, inverse);
      hn::StoreU(r, d, s.re + i);
      hn::StoreU(m, d, s.im + i);
      power = hn::Add(power, hn::Add(hn::Mul(r, r), hn::Mul(m, m)));
    }
    hn::StoreU(most, d, s.largest + k);
    hn::StoreU(inverse, d, s.inverse + k);
    hn::StoreU(power, d, s.power + k);
  }
  scaleChannelBins(s, k, s.n);
}

// |dot|^2 / (aPower bPower), at most 1, where aPower bPower > 0 and the ratio is not NaN.
template <class V>
V MatchOf(V dotRe, V dotIm, V aPower, V bPower, V unknown) {
  const hn::DFromV<V> d;
  const auto denominator = hn::Mul(aPower, bPower);
  const auto ratio = hn::Div(hn::Add(hn::Mul(dotRe, dotRe), hn::Mul(dotIm, dotIm)), denominator);
  const auto known = hn::And(hn::Gt(denominator, hn::Zero(d)), hn::Eq(ratio, ratio));
  const auto one = hn::Set(d, 1.0f);
  return hn::IfThenElse(known, hn::IfThenElse(hn::Lt(ratio, one), ratio, one), unknown);
}

// Adds conj(a) b to (dotRe, dotIm).
template <class V>
void AddDot(V ar, V ai, V br, V bi, V& dotRe, V& dotIm) {
  dotRe = hn::Add(dotRe, hn::Add(hn::Mul(ar, br), hn::Mul(ai, bi)));
  dotIm = hn::Add(dotIm, hn::Sub(hn::Mul(ar, bi), hn::Mul(ai, br)));
}

template <class V>
V AddPower(V power, V re, V im) {
  return hn::Add(power, hn::Add(hn::Mul(re, re), hn::Mul(im, im)));
}

void Matches(const MatchRows& m) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), unknown = hn::Set(d, m.unknown);
  size_t k = 0;
  for (; k + N <= m.n; k += N) {
    auto dotRe = zero, dotIm = zero, power = zero;
    for (size_t c = 0; c < m.channels; ++c) {
      const size_t i = c * m.stride + k;
      const auto ar = hn::LoadU(d, m.aRe + i), ai = hn::LoadU(d, m.aIm + i);
      AddDot(ar, ai, hn::LoadU(d, m.bRe + i), hn::LoadU(d, m.bIm + i), dotRe, dotIm);
      power = AddPower(power, ar, ai);
    }
    hn::StoreU(power, d, m.aPower + k);
    hn::StoreU(MatchOf(dotRe, dotIm, power, hn::LoadU(d, m.bPower + k), unknown), d, m.out + k);
  }
  matchBins(m, k, m.n);
}

void DirectionMatches(const DirectionMatchRows& m) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), unmatched = hn::Set(d, -1.0f);
  size_t k = 0;
  for (; k + N <= m.n; k += N) {
    auto noiseRe = zero, noiseIm = zero, speechRe = zero, speechIm = zero, likeRe = zero,
         likeIm = zero, noisePower = zero, speechPower = zero;
    for (size_t c = 0; c < m.channels; ++c) {
      const size_t i = c * m.n + k;
      const auto nr = hn::LoadU(d, m.nRe + i), ni = hn::LoadU(d, m.nIm + i);
      const auto sr = hn::LoadU(d, m.sRe + i), si = hn::LoadU(d, m.sIm + i);
      const auto ur = hn::LoadU(d, m.uRe + i), ui = hn::LoadU(d, m.uIm + i);
      AddDot(nr, ni, ur, ui, noiseRe, noiseIm);
      noisePower = AddPower(noisePower, nr, ni);
      AddDot(sr, si, ur, ui, speechRe, speechIm);
      speechPower = AddPower(speechPower, sr, si);
      AddDot(nr, ni, sr, si, likeRe, likeIm);
    }
    const auto unitPower = hn::LoadU(d, m.uPower + k);
    hn::StoreU(noisePower, d, m.noisePower + k);
    hn::StoreU(speechPower, d, m.speechPower + k);
    hn::StoreU(MatchOf(noiseRe, noiseIm, noisePower, unitPower, unmatched), d, m.noiseMatch + k);
    hn::StoreU(MatchOf(speechRe, speechIm, speechPower, unitPower, unmatched), d,
               m.speechMatch + k);
    hn::StoreU(MatchOf(likeRe, likeIm, noisePower, speechPower, zero), d, m.likeness + k);
  }
  directionMatchBins(m, k, m.n);
}

void SpatialWeights(const SpatialWeightRows& r) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto one = hn::Set(d, 1.0f), zero = hn::Zero(d);
  const auto matchMargin = hn::Set(d, r.matchMargin), alikeMargin = hn::Set(d, r.alikeMargin);
  size_t k = 0;
  for (; k + N <= r.n; k += N) {
    const auto mn = hn::LoadU(d, r.noiseMatch + k), ms = hn::LoadU(d, r.speechMatch + k);
    const auto known = hn::And(hn::Ge(mn, zero), hn::Ge(ms, zero));
    auto w = one;
    if (!hn::AllFalse(d, known)) {
      const auto likeness = hn::LoadU(d, r.likeness + k);
      auto alike = hn::Mul(likeness, likeness);
      for (int square = 1; square < 6; ++square) alike = hn::Mul(alike, alike);
      const auto margin = hn::Add(matchMargin, hn::Mul(alikeMargin, alike));
      const auto ratio =
          hn::Div(hn::Add(hn::Sub(one, mn), margin), hn::Add(hn::Sub(one, ms), margin));
      auto power = ratio;
      for (int p = 1; p < r.power; ++p) power = hn::Mul(power, ratio);
      w = hn::IfThenElse(known, power, one);
    }
    hn::StoreU(w, d, r.weight + k);
  }
  spatialWeightBins(r, k, r.n);
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

void BeamLearn(const BeamLearn& r) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  const auto beta = hn::Set(d, r.beta), rest = hn::Set(d, r.rest);
  const auto speaks = hn::FirstN(d, r.learnSpeech ? hn::Lanes(d) : 0);
  const float* refRe = r.xRe + r.reference * r.n;
  const float* refIm = r.xIm + r.reference * r.n;
  const auto blend = [&](const auto keep, float* HWY_RESTRICT v, const auto take,
                         const auto value, size_t i) {
    hn::StoreU(hn::Add(hn::Mul(keep, hn::LoadU(d, v + i)), hn::Mul(take, value)), d, v + i);
  };
  size_t k = 0;
  for (; k + N <= r.n; k += N) {
    const auto heard = hn::Gt(hn::LoadU(d, r.largest + k), zero);
    const auto noise = hn::AndNot(hn::Eq(hn::LoadU(d, r.noiseOnly + k), zero), heard);
    const auto talk = hn::And(
        speaks, hn::AndNot(noise, hn::AndNot(hn::Eq(hn::LoadU(d, r.speech + k), zero), heard)));
    const auto nFill = hn::Add(hn::Mul(beta, hn::LoadU(d, r.nFill + k)), rest);
    const auto sFill = hn::Add(hn::Mul(beta, hn::LoadU(d, r.sFill + k)), rest);
    const auto tn = hn::IfThenElseZero(noise, hn::Div(rest, nFill));
    const auto ts = hn::IfThenElseZero(talk, hn::Div(rest, sFill));
    const auto kn = hn::IfThenElse(noise, hn::Sub(one, tn), one);
    const auto ks = hn::IfThenElse(talk, hn::Sub(one, ts), one);
    hn::BlendedStore(nFill, noise, d, r.nFill + k);
    hn::BlendedStore(sFill, talk, d, r.sFill + k);
    const auto unit = hn::LoadU(d, r.toUnits + k);
    const auto rr = hn::Mul(hn::LoadU(d, refRe + k), unit);
    const auto ri = hn::Mul(hn::LoadU(d, refIm + k), unit);
    for (size_t c = 0; c < r.channels; ++c) {
      const size_t i = c * r.n + k;
      const auto cr = hn::Mul(hn::LoadU(d, r.xRe + i), unit);
      const auto ci = hn::Mul(hn::LoadU(d, r.xIm + i), unit);
      const auto crossRe = hn::Add(hn::Mul(cr, rr), hn::Mul(ci, ri));
      const auto crossIm = hn::Sub(hn::Mul(ci, rr), hn::Mul(cr, ri));
      const auto power = hn::Add(hn::Mul(cr, cr), hn::Mul(ci, ci));
      blend(kn, r.nRe, tn, crossRe, i);
      blend(kn, r.nIm, tn, crossIm, i);
      blend(kn, r.nPower, tn, power, i);
      blend(ks, r.sRe, ts, crossRe, i);
      blend(ks, r.sIm, ts, crossIm, i);
      blend(ks, r.sPower, ts, power, i);
    }
  }
  beamLearnBins(r, k, r.n);
}

void BeamSteer(const BeamSteer& b) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  const float count = static_cast<float>(b.count);
  const auto members = hn::Set(d, count), others = hn::Set(d, count - 1.0f);
  const auto loading = hn::Set(d, b.loading);
  size_t k = 0;
  for (; k + N <= b.n; k += N) {
    auto total = zero, cross = zero, steerPower = zero, nhRe = zero, nhIm = zero, nyRe = zero,
         nyIm = zero, hyRe = zero, hyIm = zero;
    const auto unit = hn::LoadU(d, b.toUnits + k);
    for (size_t j = 0; j < b.count; ++j) {
      const size_t i = static_cast<size_t>(b.members[j]) * b.n + k;
      const auto xr = hn::Mul(hn::LoadU(d, b.xRe + i), unit);
      const auto xi = hn::Mul(hn::LoadU(d, b.xIm + i), unit);
      const auto mr = hn::LoadU(d, b.mRe + i), mi = hn::LoadU(d, b.mIm + i);
      const auto hr = hn::LoadU(d, b.hRe + i), hi = hn::LoadU(d, b.hIm + i);
      total = hn::Add(total, hn::LoadU(d, b.mPower + i));
      cross = hn::Add(cross, hn::Add(hn::Mul(mr, mr), hn::Mul(mi, mi)));
      steerPower = hn::Add(steerPower, hn::Add(hn::Mul(hr, hr), hn::Mul(hi, hi)));
      nhRe = hn::Add(nhRe, hn::Add(hn::Mul(mr, hr), hn::Mul(mi, hi)));
      nhIm = hn::Add(nhIm, hn::Sub(hn::Mul(mr, hi), hn::Mul(mi, hr)));
      nyRe = hn::Add(nyRe, hn::Add(hn::Mul(mr, xr), hn::Mul(mi, xi)));
      nyIm = hn::Add(nyIm, hn::Sub(hn::Mul(mr, xi), hn::Mul(mi, xr)));
      hyRe = hn::Add(hyRe, hn::Add(hn::Mul(hr, xr), hn::Mul(hi, xi)));
      hyIm = hn::Add(hyIm, hn::Sub(hn::Mul(hr, xi), hn::Mul(hi, xr)));
    }
    const auto own = hn::LoadU(d, b.own + k);
    const auto likely = hn::Div(cross, own);
    const auto lambda = hn::IfThenElse(hn::Lt(total, likely), total, likely);
    const auto rest = hn::Sub(total, lambda);
    const auto spread = hn::Add(hn::Div(hn::IfThenElse(hn::Gt(rest, zero), rest, zero), others),
                                hn::Div(hn::Mul(loading, total), members));
    const auto share = hn::Div(hn::Div(lambda, hn::Add(lambda, spread)), cross);
    const auto denominator =
        hn::Sub(steerPower, hn::Mul(share, hn::Add(hn::Mul(nhRe, nhRe), hn::Mul(nhIm, nhIm))));
    const auto cRe = hn::Add(hn::Mul(nhRe, nyRe), hn::Mul(nhIm, nyIm));
    const auto cIm = hn::Sub(hn::Mul(nhRe, nyIm), hn::Mul(nhIm, nyRe));
    const auto covered = hn::And(hn::And(hn::Gt(own, zero), hn::Gt(cross, zero)),
                                 hn::And(hn::Gt(spread, zero), hn::Gt(denominator, zero)));
    const auto power = hn::Div(spread, denominator);
    const auto re = hn::Div(hn::Sub(hyRe, hn::Mul(share, cRe)), denominator);
    const auto im = hn::Div(hn::Sub(hyIm, hn::Mul(share, cIm)), denominator);
    hn::StoreInterleaved2(hn::IfThenElseZero(covered, re), hn::IfThenElseZero(covered, im), d,
                          b.out + 2 * k);
    hn::StoreU(hn::IfThenElseZero(covered, power), d, b.noise + k);
    hn::StoreU(hn::IfThenElse(covered, hn::Div(power, own), one), d, b.reduction + k);
  }
  beamSteerBins(b, k, b.n);
}

PhaseCounts DelayPhases(const DelayPhases& p) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  PhaseCounts counts{0, 0};
  size_t k = 0;
  for (; k + N <= p.n; k += N) {
    const auto sr = hn::LoadU(d, p.sRe + k), si = hn::LoadU(d, p.sIm + k);
    const auto nr = hn::LoadU(d, p.nRe + k), ni = hn::LoadU(d, p.nIm + k);
    const auto re = hn::Sub(sr, nr), im = hn::Sub(si, ni);
    const auto size = hn::Sqrt(hn::Add(hn::Mul(re, re), hn::Mul(im, im)));
    const auto sized = hn::Gt(size, zero);
    hn::StoreU(hn::IfThenElseZero(sized, hn::Div(re, size)), d, p.phaseRe + k);
    hn::StoreU(hn::IfThenElseZero(sized, hn::Div(im, size)), d, p.phaseIm + k);
    counts.talker += hn::CountTrue(d, sized);
    const auto noiseSize = hn::Sqrt(hn::Add(hn::Mul(nr, nr), hn::Mul(ni, ni)));
    const auto noiseSized = hn::Gt(noiseSize, zero);
    hn::StoreU(hn::IfThenElseZero(noiseSized, hn::Div(nr, noiseSize)), d, p.noisePhaseRe + k);
    hn::StoreU(hn::IfThenElseZero(noiseSized, hn::Div(ni, noiseSize)), d, p.noisePhaseIm + k);
    counts.noise += hn::CountTrue(d, noiseSized);
    const auto powers = hn::Mul(hn::LoadU(d, p.ownPower + k), hn::LoadU(d, p.refPower + k));
    hn::StoreU(hn::IfThenElseZero(hn::Gt(powers, zero), one), d, p.coherent + k);
    hn::StoreU(hn::Div(hn::Add(hn::Mul(sr, sr), hn::Mul(si, si)), powers), d, p.ratio + k);
  }
  const PhaseCounts tail = delayPhaseBins(p, k, p.n);
  return {counts.talker + tail.talker, counts.noise + tail.noise};
}

void BeamGains(const BeamGainRows& b) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f), high = hn::Set(d, FLT_MAX);
  const auto alpha = hn::Set(d, b.alpha), keep = hn::Set(d, b.keep);
  const auto inverseMu = hn::Set(d, b.inverseMu), floor = hn::Set(d, b.floor);
  const auto limit = hn::Set(d, b.reductionLimit);
  const bool carry = b.alpha > 0.0f;
  size_t k = 0;
  for (; k + N <= b.n; k += N) {
    hn::Vec<Tag> re, im;
    hn::LoadInterleaved2(d, b.out + 2 * k, re, im);
    const auto noise = hn::LoadU(d, b.noise + k);
    const auto size = hn::Sqrt(hn::Add(hn::Mul(re, re), hn::Mul(im, im)));
    const auto covered = hn::And(hn::Gt(noise, zero), hn::Le(size, high));
    const auto inverseUnit = hn::LoadU(d, b.inverseUnits + k);
    const auto loudest = hn::Mul(hn::LoadU(d, b.largest + k), inverseUnit);
    const auto loud = hn::Gt(size, loudest);
    const auto shrink = hn::IfThenElse(loud, hn::Div(loudest, size), one);
    const auto kept = hn::IfThenElse(loud, loudest, size);
    const auto level = hn::Sqrt(noise);
    const auto past = hn::Div(hn::Mul(hn::LoadU(d, b.outputLevel + k), inverseUnit), level);
    const auto now = hn::Div(kept, level);
    const auto excess = hn::Sub(hn::Mul(now, now), one);
    const auto carried = carry ? hn::Mul(alpha, hn::Mul(past, past)) : zero;
    const auto xi = hn::Mul(
        hn::Mul(hn::Add(carried, hn::Mul(keep, hn::IfThenElse(hn::Gt(excess, zero), excess, zero))),
                inverseMu),
        hn::LoadU(d, b.talkerWeight + k));
    const auto g = hn::Div(one, hn::Add(one, hn::Div(one, xi)));
    const auto own = hn::And(covered, hn::Le(hn::LoadU(d, b.reduction + k), limit));
    const auto gain = hn::LoadU(d, b.gain + k);
    hn::StoreU(hn::IfThenElse(own, hn::IfThenElse(hn::Gt(g, floor), g, floor), gain), d,
               b.gain + k);
    hn::StoreU(hn::IfThenElse(covered, hn::Mul(kept, hn::LoadU(d, b.units + k)),
                              hn::LoadU(d, b.applied + k)),
               d, b.applied + k);
    hn::StoreInterleaved2(hn::IfThenElse(covered, hn::Mul(re, shrink), re),
                          hn::IfThenElse(covered, hn::Mul(im, shrink), im), d, b.out + 2 * k);
    hn::StoreU(hn::IfThenElseZero(covered, noise), d, b.noise + k);
  }
  beamGainBins(b, k, b.n);
}

void ScaleRows(const float* HWY_RESTRICT gain, const float* HWY_RESTRICT rows,
               float* HWY_RESTRICT out, size_t count, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    const auto g = hn::LoadU(d, gain + k);
    for (size_t r = 0; r < count; ++r)
      hn::StoreU(hn::Mul(g, hn::LoadU(d, rows + r * n + k)), d, out + r * n + k);
  }
  scaleRowBins(gain, rows, out, count, n, k, n);
}

TalkerCounts TalkerCountsOf(const TalkerRows& r) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), lock = hn::Set(d, r.lock), snr = hn::Set(d, r.speechSnr);
  const auto talker = hn::Set(d, r.talkerMatch), tellable = hn::Set(d, r.tellable);
  const auto alone = hn::Set(d, r.aloneMatch);
  TalkerCounts counts;
  size_t k = 0;
  for (; k + N <= r.n; k += N) {
    const auto speech = hn::And(hn::And(hn::Gt(hn::LoadU(d, r.inverseScale + k), zero),
                                        hn::Gt(hn::LoadU(d, r.snr + k), snr)),
                                hn::Ge(hn::LoadU(d, r.taught + k), lock));
    const auto strays = hn::And(speech, hn::Lt(hn::LoadU(d, r.speechMatch + k), talker));
    const auto other = hn::LoadU(d, r.otherMatch + k);
    const auto told = hn::And(hn::And(speech, hn::Ge(other, zero)),
                              hn::Lt(hn::LoadU(d, r.otherLikeness + k), tellable));
    counts.speaking += hn::CountTrue(d, speech);
    counts.strayed += hn::CountTrue(d, strays);
    counts.tellable += hn::CountTrue(d, told);
    counts.alone += hn::CountTrue(d, hn::And(hn::And(told, strays), hn::Ge(other, alone)));
  }
  talkerCountBins(r, k, r.n, counts);
  return counts;
}

void ApplyGains(const GainRows& g) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  size_t k = 0;
  // Without the beam its arrays may be empty.
  for (; !g.beaming && k + N <= g.n; k += N) {
    const auto gain = hn::LoadU(d, g.gain + k);
    hn::Vec<Tag> re, im;
    hn::LoadInterleaved2(d, g.spectrum + 2 * k, re, im);
    hn::StoreInterleaved2(hn::Mul(gain, re), hn::Mul(gain, im), d, g.out + 2 * k);
  }
  for (; g.beaming && k + N <= g.n; k += N) {
    const auto gain = hn::LoadU(d, g.gain + k);
    const auto beam = hn::Gt(hn::LoadU(d, g.beamNoise + k), zero);
    hn::Vec<Tag> re, im, beamRe, beamIm;
    hn::LoadInterleaved2(d, g.spectrum + 2 * k, re, im);
    hn::LoadInterleaved2(d, g.beamOut + 2 * k, beamRe, beamIm);
    const auto unit = hn::LoadU(d, g.units + k);
    hn::StoreInterleaved2(
        hn::IfThenElse(beam, hn::Mul(hn::Mul(gain, beamRe), unit), hn::Mul(gain, re)),
        hn::IfThenElse(beam, hn::Mul(hn::Mul(gain, beamIm), unit), hn::Mul(gain, im)), d,
        g.out + 2 * k);
  }
  applyGainBins(g, k, g.n);
}

void CountBothPositive(const float* HWY_RESTRICT s, const float* HWY_RESTRICT a,
                       float* HWY_RESTRICT count, size_t rows, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    auto sum = zero;
    for (size_t r = 0; r < rows; ++r) {
      const size_t i = r * n + k;
      sum = hn::Add(sum, hn::IfThenElseZero(hn::And(hn::Gt(hn::LoadU(d, s + i), zero),
                                                    hn::Gt(hn::LoadU(d, a + i), zero)),
                                            one));
    }
    hn::StoreU(sum, d, count + k);
  }
  countBothPositiveBins(s, a, count, rows, n, k, n);
}

float SumSquares(const float* HWY_RESTRICT a, float* HWY_RESTRICT power, size_t rows, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  auto loudest = hn::Zero(d);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    auto sum = hn::Zero(d);
    for (size_t r = 0; r < rows; ++r) {
      const auto v = hn::LoadU(d, a + r * n + k);
      sum = hn::Add(sum, hn::Mul(v, v));
    }
    hn::StoreU(sum, d, power + k);
    loudest = hn::Max(loudest, sum);
  }
  // The powers are never NaN (squares summed), so the maximum does not depend on the order.
  const float tail = sumSquareBins(a, power, rows, n, k, n);
  const float lanes = hn::GetLane(hn::MaxOfLanes(d, loudest));
  return tail > lanes ? tail : lanes;
}

bool LockSpeech(const LockRows& r) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  const auto lock = hn::Set(d, r.lock), match = hn::Set(d, r.talkerMatch);
  const auto talking = hn::FirstN(d, r.otherTalking ? N : 0);
  auto any = hn::FirstN(d, 0);
  size_t k = 0;
  for (; k + N <= r.n; k += N) {
    const auto flags = hn::LoadU(d, r.speech + k), taught = hn::LoadU(d, r.taught + k);
    const auto speech = hn::Not(hn::Eq(flags, zero));
    const auto other = hn::And(hn::And(talking, speech),
                               hn::And(hn::Ge(taught, lock),
                                       hn::Lt(hn::LoadU(d, r.speechMatch + k), match)));
    hn::StoreU(hn::Add(taught, hn::IfThenElseZero(hn::And(speech, hn::Lt(taught, lock)), one)), d,
               r.taught + k);
    hn::StoreU(hn::IfThenElseZero(other, one), d, r.other + k);
    hn::StoreU(hn::IfThenZeroElse(other, flags), d, r.speech + k);
    any = hn::Or(any, other);
  }
  const bool tail = lockBins(r, k, r.n);
  return tail || !hn::AllFalse(d, any);
}

void LimitTails(const TailRows& t) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f), factor = hn::Set(d, t.factor);
  const auto afterSpeech = hn::FirstN(d, t.afterSpeech ? N : 0);
  size_t k = 0;
  for (; k + N <= t.n; k += N) {
    const auto a = hn::LoadU(d, t.a + k), gain = hn::LoadU(d, t.gain + k);
    const auto limited = hn::And(
        hn::Or(afterSpeech, hn::Not(hn::Eq(hn::LoadU(d, t.tailing + k), zero))), hn::Gt(a, zero));
    const auto ratio =
        hn::Div(hn::Mul(factor, hn::LoadU(d, t.last + k)), hn::IfThenElse(limited, a, one));
    const auto kept = hn::IfThenElse(hn::Lt(ratio, one), ratio, one);
    const auto raised = hn::And(limited, hn::Gt(kept, gain));
    hn::StoreU(hn::IfThenElse(raised, kept, gain), d, t.gain + k);
    hn::StoreU(hn::IfThenElseZero(raised, one), d, t.tailing + k);
  }
  limitTailBins(t, k, t.n);
}

bool BeamStrays(const BeamAlignment& b) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  const float* refRe = b.unitRe + b.reference * b.n;
  const float* refIm = b.unitIm + b.reference * b.n;
  auto along = zero, size = zero, spread = zero;
  float tailAlong = 0.0f, tailSize = 0.0f, tailSpread = 0.0f;
  size_t talking = 0, members = 0;
  for (size_t c = 0; c < b.channels; ++c) members += b.member[c] != 0;
  // Bins outside, each channel inside, so that each bin's speech test is made once.
  size_t k = 0;
  for (; k + N <= b.n; k += N) {
    const auto talk =
        hn::And(hn::Gt(hn::LoadU(d, b.largest + k), zero),
                hn::AndNot(hn::Not(hn::Eq(hn::LoadU(d, b.noiseOnly + k), zero)),
                           hn::Not(hn::Eq(hn::LoadU(d, b.speech + k), zero))));
    talking += hn::CountTrue(d, talk);
    const auto rr = hn::LoadU(d, refRe + k), ri = hn::LoadU(d, refIm + k);
    for (size_t c = 0; c < b.channels; ++c) {
      if (!b.member[c]) continue;
      const size_t i = c * b.n + k;
      const auto ur = hn::LoadU(d, b.unitRe + i), ui = hn::LoadU(d, b.unitIm + i);
      const auto xr = hn::Add(hn::Mul(ur, rr), hn::Mul(ui, ri));
      const auto xi = hn::Sub(hn::Mul(ui, rr), hn::Mul(ur, ri));
      const auto a = hn::Add(hn::Mul(xr, hn::LoadU(d, b.steerRe + i)),
                             hn::Mul(xi, hn::LoadU(d, b.steerIm + i)));
      along = hn::Add(along, hn::IfThenElseZero(talk, a));
      spread = hn::Add(spread, hn::IfThenElseZero(talk, hn::Abs(a)));
      size = hn::Add(size, hn::IfThenElseZero(
                               talk, hn::Sqrt(hn::Add(hn::Mul(xr, xr), hn::Mul(xi, xi)))));
    }
  }
  for (; k < b.n; ++k) {
    if (!beamSpeechBin(b.largest, b.noiseOnly, b.speech, k)) continue;
    ++talking;
    for (size_t c = 0; c < b.channels; ++c) {
      if (!b.member[c]) continue;
      const size_t i = c * b.n + k;
      const float xr = b.unitRe[i] * refRe[k] + b.unitIm[i] * refIm[k];
      const float xi = b.unitIm[i] * refRe[k] - b.unitRe[i] * refIm[k];
      const float a = xr * b.steerRe[i] + xi * b.steerIm[i];
      tailAlong += a;
      tailSpread += std::fabs(a);
      tailSize += std::sqrt(xr * xr + xi * xi);
    }
  }
  const auto total = [&](const auto lanes, float tail) {
    return static_cast<double>(hn::GetLane(hn::SumOfLanes(d, lanes))) + tail;
  };
  const double sumAlong = total(along, tailAlong), sumSize = total(size, tailSize),
               sumSpread = total(spread, tailSpread);
  // A sum of nonnegative terms is 0 in any order exactly when every term is.
  if (sumSize == 0.0) return false;
  // Either order of the same m terms lies within gamma_m = m u / (1 - m u) times the sum of
  // their magnitudes of the exact sum; the lane sums add a few roundings of their own, and the
  // magnitudes' own sum is rounded too.
  const double u = std::ldexp(1.0, -24);
  const double m = static_cast<double>(members * talking + N + 4);
  const double gamma = m * u / (1.0 - m * u);
  const bool finite = std::isfinite(sumAlong) && std::isfinite(sumSize) &&
                      std::isfinite(sumSpread) && sumSpread < 1e37 && sumSize < 1e37 &&
                      m * u < 0.01;
  if (finite) {
    const double slack = 2.0 * gamma / (1.0 - gamma) * 1.01;
    const double alongOff = slack * sumSpread, sizeOff = slack * sumSize;
    // The product by `alignment` is rounded once more; the tiny term covers subnormal products.
    const double k = b.alignment, tiny = 1e-37;
    if (sumAlong + alongOff < k * (sumSize - sizeOff) * (1.0 - u) - tiny) return true;
    if (sumAlong - alongOff > k * (sumSize + sizeOff) * (1.0 + u) + tiny) return false;
  }
  return beamStraysInOrder(b);
}

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(Magnitudes);
HWY_EXPORT(PriorSnrs);
HWY_EXPORT(Medians);
HWY_EXPORT(WienerGains);
HWY_EXPORT(ScaleChannels);
HWY_EXPORT(Matches);
HWY_EXPORT(DirectionMatches);
HWY_EXPORT(SpatialWeights);
HWY_EXPORT(LearnDirection);
HWY_EXPORT(BeamLearn);
HWY_EXPORT(BeamSteer);
HWY_EXPORT(DelayPhases);
HWY_EXPORT(BeamGains);
HWY_EXPORT(BeamStrays);
HWY_EXPORT(LimitTails);
HWY_EXPORT(CountBothPositive);
HWY_EXPORT(SumSquares);
HWY_EXPORT(LockSpeech);
HWY_EXPORT(ScaleRows);
HWY_EXPORT(TalkerCountsOf);
HWY_EXPORT(ApplyGains);

bool magnitudes(const float* parts, float* a, size_t n) {
  return HWY_DYNAMIC_DISPATCH(Magnitudes)(parts, a, n);
}

bool priorSnrs(const float* a, const float* s, const float* previous, float alpha, float keep,
               float inverseMu, float* xi, float* live, size_t n) {
  return HWY_DYNAMIC_DISPATCH(PriorSnrs)(a, s, previous, alpha, keep, inverseMu, xi, live, n);
}

void spatialWeights(const SpatialWeightRows& r) {
  HWY_DYNAMIC_DISPATCH(SpatialWeights)(r);
}

void medians(const MedianRows& m) {
  HWY_DYNAMIC_DISPATCH(Medians)(m);
}

void wienerGains(const float* below, const float* middle, bool odd, float floor, float* gain,
                 size_t n) {
  HWY_DYNAMIC_DISPATCH(WienerGains)(below, middle, odd, floor, gain, n);
}

void scaleChannels(const ChannelScaling& s) {
  HWY_DYNAMIC_DISPATCH(ScaleChannels)(s);
}

void matches(const MatchRows& m) {
  HWY_DYNAMIC_DISPATCH(Matches)(m);
}

void directionMatches(const DirectionMatchRows& m) {
  HWY_DYNAMIC_DISPATCH(DirectionMatches)(m);
}

void learnDirection(float* hr, float* hi, const float* ur, const float* ui, const float* rr,
                    const float* ri, const float* power, const float* update, float beta,
                    float rest, size_t n) {
  HWY_DYNAMIC_DISPATCH(LearnDirection)(hr, hi, ur, ui, rr, ri, power, update, beta, rest, n);
}

void beamLearn(const BeamLearn& r) {
  HWY_DYNAMIC_DISPATCH(BeamLearn)(r);
}

void beamSteer(const BeamSteer& b) {
  HWY_DYNAMIC_DISPATCH(BeamSteer)(b);
}

PhaseCounts delayPhases(const DelayPhases& p) {
  return HWY_DYNAMIC_DISPATCH(DelayPhases)(p);
}

void beamGains(const BeamGainRows& b) {
  HWY_DYNAMIC_DISPATCH(BeamGains)(b);
}

bool beamStrays(const BeamAlignment& b) {
  return HWY_DYNAMIC_DISPATCH(BeamStrays)(b);
}

void limitTails(const TailRows& t) {
  HWY_DYNAMIC_DISPATCH(LimitTails)(t);
}

void countBothPositive(const float* s, const float* a, float* count, size_t rows, size_t n) {
  HWY_DYNAMIC_DISPATCH(CountBothPositive)(s, a, count, rows, n);
}

float sumSquares(const float* a, float* power, size_t rows, size_t n) {
  return HWY_DYNAMIC_DISPATCH(SumSquares)(a, power, rows, n);
}

bool lockSpeech(const LockRows& r) {
  return HWY_DYNAMIC_DISPATCH(LockSpeech)(r);
}

void scaleRows(const float* gain, const float* rows, float* out, size_t count, size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleRows)(gain, rows, out, count, n);
}

TalkerCounts talkerCounts(const TalkerRows& r) {
  return HWY_DYNAMIC_DISPATCH(TalkerCountsOf)(r);
}

void applyGains(const GainRows& g) {
  HWY_DYNAMIC_DISPATCH(ApplyGains)(g);
}

}  // namespace nimbusdale::kernels
#endif

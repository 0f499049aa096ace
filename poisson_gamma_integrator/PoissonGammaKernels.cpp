// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry point.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PoissonGammaKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <hwy/contrib/math/math-inl.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "PoissonGammaKernels.h"

#ifndef NIMBUSDALE_POISSON_GAMMA_LANE_TABLES
#define NIMBUSDALE_POISSON_GAMMA_LANE_TABLES
namespace nimbusdale::kernels {
// Lane permutations for vectors of up to 8 lanes, by the 8-bit mask of kept lanes: `pack[m]`
// lists the kept lanes first, in order; `spread[m][l]` is the packed lane that lane l takes,
// the number of kept lanes below l.
struct LaneTables {
  int32_t pack[256][8];
  int32_t spread[256][8];
};
constexpr LaneTables makeLaneTables() {
  LaneTables t{};
  for (int m = 0; m < 256; ++m)
    for (int l = 0, kept = 0; l < 8; ++l) {
      t.spread[m][l] = kept;
      if ((m >> l) & 1) t.pack[m][kept++] = l;
    }
  return t;
}
alignas(32) constexpr LaneTables kLaneTables = makeLaneTables();
}  // namespace nimbusdale::kernels
#endif

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// exp(digamma(x) - logRate) in float, with no logarithm. Below 4, x is raised by exactly four
// steps of digamma(x) = digamma(x + 1) - 1/x: 1/x on its own, the other three reciprocals as
// one fraction without a branch (one division serves both that fraction and the reciprocal of
// the raised x). With the raised x = m 2^e, m in [1, 2), the asymptotic series gives
// digamma(x) = e ln 2 + ln m + g, where g = -1/(2x) - sum B_2k / (2k x^2k) (up to x^-10;
// truncation below 1e-8) less the shift, so the mean is m exp(e ln 2 + g - logRate). Shapes
// below 1e-3 have digamma below -1000 and a mean of 0 at any float rate; NaN where the shape is
// not positive and finite or the exponent is NaN. kOrdinary: every shape lies in [1e-3, inf)
// and every logRate is finite, so none of those cases needs looking for.
template <bool kOrdinary, class D, class V>
HWY_INLINE V GeometricMean(D d, V x, V logRate) {
  const hn::RebindToSigned<D> di;
  const auto one = hn::Set(d, 1.0f), two = hn::Set(d, 2.0f), three = hn::Set(d, 3.0f);
  const auto zero = hn::Zero(d);
  const auto usable = hn::And(hn::Gt(x, zero), hn::Lt(x, hn::Set(d, HUGE_VALF)));
  const auto tiny = hn::Lt(x, hn::Set(d, 1e-3f));
  if constexpr (!kOrdinary) x = hn::IfThenElse(hn::Or(tiny, hn::Not(usable)), one, x);

  const auto below = hn::Lt(x, hn::Set(d, 4.0f));
  const auto x1 = hn::Add(x, one), x2 = hn::Add(x, two), x3 = hn::Add(x, three);
  const auto first = hn::IfThenElseZero(below, hn::Div(one, x));
  const auto numerator =
      hn::IfThenElseZero(below, hn::MulAdd(x1, hn::Add(x2, x3), hn::Mul(x2, x3)));
  const auto denominator = hn::IfThenElse(below, hn::Mul(hn::Mul(x1, x2), x3), one);
  x = hn::IfThenElse(below, hn::Add(x3, one), x);
  const auto q = hn::Div(one, hn::Mul(x, denominator));
  const auto inverse = hn::Mul(denominator, q);
  const auto rest = hn::Mul(hn::Mul(numerator, x), q);
  const auto t = hn::Mul(inverse, inverse);
  auto series = hn::Set(d, 1.0f / 132.0f);
  series = hn::NegMulAdd(t, series, hn::Set(d, 1.0f / 240.0f));
  series = hn::NegMulAdd(t, series, hn::Set(d, 1.0f / 252.0f));
  series = hn::NegMulAdd(t, series, hn::Set(d, 1.0f / 120.0f));
  series = hn::NegMulAdd(t, series, hn::Set(d, 1.0f / 12.0f));
  auto g = hn::Neg(
      hn::Add(hn::MulAdd(t, series, hn::MulAdd(hn::Set(d, 0.5f), inverse, rest)), first));
  if constexpr (!kOrdinary) g = hn::IfThenElse(tiny, hn::Set(d, -HUGE_VALF), g);

  // x = m 2^e; ln 2 split so that e ln2Hi is exact.
  const auto bits = hn::BitCast(di, x);
  const auto e = hn::ConvertTo(d, hn::Sub(hn::ShiftRight<23>(bits), hn::Set(di, 127)));
  const auto m = hn::BitCast(
      d, hn::Or(hn::And(bits, hn::Set(di, 0x007FFFFF)), hn::Set(di, 0x3F800000)));
  const auto ln2Hi = hn::Set(d, 0.693145751953125f), ln2Lo = hn::Set(d, 1.4286068e-6f);
  const auto exponent = hn::MulAdd(e, ln2Hi, hn::MulAdd(e, ln2Lo, hn::Sub(g, logRate)));
  // The exponential is valid up to 104 (infinite from 88.7) and 0 below -104; -105 stands in
  // for -infinity, which it cannot take.
  if constexpr (kOrdinary) return hn::Mul(m, hn::Exp(d, hn::Min(exponent, hn::Set(d, 104.0f))));
  const auto valid = hn::And(usable, hn::Eq(exponent, exponent));
  const auto clamped = hn::Min(hn::Max(exponent, hn::Set(d, -105.0f)), hn::Set(d, 104.0f));
  const auto mean = hn::Mul(m, hn::Exp(d, hn::IfThenElse(valid, clamped, zero)));
  return hn::IfThenElse(valid, mean, hn::Set(d, std::numeric_limits<float>::quiet_NaN()));
}

// GeometricMean on the cheaper path when every lane allows it; each lane's value is the same
// on both paths, so a lane's mean never depends on its neighbours.
template <class D, class V>
HWY_INLINE V LaneGeometricMeans(D d, V x, V logRate) {
  const auto infinity = hn::Set(d, HUGE_VALF);
  const auto ordinary = hn::And(hn::And(hn::Ge(x, hn::Set(d, 1e-3f)), hn::Lt(x, infinity)),
                                hn::Lt(hn::Abs(logRate), infinity));
  return hn::AllTrue(d, ordinary) ? GeometricMean<true>(d, x, logRate)
                                  : GeometricMean<false>(d, x, logRate);
}

void GeometricMeans(const float* HWY_RESTRICT shape, const float* HWY_RESTRICT logRate,
                    size_t logRateStep, size_t n, float* HWY_RESTRICT out) {
  const hn::ScalableTag<float> d;
  const size_t M = hn::Lanes(d);
  const auto sharedRate = hn::Set(d, logRate[0]);
  size_t i = 0;
  for (; i + M <= n; i += M) {
    const auto r = logRateStep ? hn::LoadU(d, logRate + i) : sharedRate;
    hn::StoreU(LaneGeometricMeans(d, hn::LoadU(d, shape + i), r), d, out + i);
  }
  if (i == n) return;

  // The last few values go through the same code, padded.
  HWY_ALIGN float x[HWY_MAX_BYTES / sizeof(float)], rate[HWY_MAX_BYTES / sizeof(float)];
  for (size_t l = 0; l < M; ++l) {
    const bool inside = i + l < n;
    x[l] = inside ? shape[i + l] : 1.0f;
    rate[l] = inside ? logRate[(i + l) * logRateStep] : 0.0f;
  }
  hn::Store(GeometricMean<false>(d, hn::Load(d, x), hn::Load(d, rate)), d, x);
  for (size_t l = 0; i + l < n; ++l) out[i + l] = x[l];
}

// Compress and its inverse, which Highway 1.0 lacks. AVX-512 has both instructions; vectors of
// up to 8 lanes look their permutations up (Highway's own tables there are copied onto the
// stack at every call); wider vectors do not pack.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr bool kPacks = true;
template <class D, class V, class M>
HWY_INLINE V Packed(D, V x, M keep) {
  return hn::Compress(x, keep);
}
template <class D, class V, class M>
HWY_INLINE V Spread(D, V packed, M keep) {
  return V{_mm512_maskz_expand_ps(keep.raw, packed.raw)};
}
#else
constexpr bool kPacks = HWY_LANES(float) <= 8;
template <class D, class M>
HWY_INLINE size_t MaskByte(D d, M keep) {
  uint8_t bits[8] = {};
  hn::StoreMaskBits(d, keep, bits);
  return bits[0];
}
template <class D, class V, class M>
HWY_INLINE V Packed(D d, V x, M keep) {
  return hn::TableLookupLanes(x, hn::SetTableIndices(d, kLaneTables.pack[MaskByte(d, keep)]));
}
template <class D, class V, class M>
HWY_INLINE V Spread(D d, V packed, M keep) {
  return hn::TableLookupLanes(packed,
                              hn::SetTableIndices(d, kLaneTables.spread[MaskByte(d, keep)]));
}
#endif

// The shapes other than `common` are packed into `packed`, their means taken there, and spread
// back; `common` takes its mean once. Every value equals GeometricMeans' to the bit.
void SharedShapeGeometricMeans(const float* HWY_RESTRICT shape, float common, float logRate,
                               size_t n, float* HWY_RESTRICT out, float* HWY_RESTRICT packed) {
  const hn::ScalableTag<float> d;
  const size_t M = hn::Lanes(d);
  if constexpr (!kPacks) {
    GeometricMeans(shape, &logRate, 0, n, out);
    return;
  }
  const auto commonV = hn::Set(d, common), rate = hn::Set(d, logRate);
  const auto commonMean = LaneGeometricMeans(d, commonV, rate);
  HWY_ALIGN float tail[HWY_MAX_BYTES / sizeof(float)];
  const size_t whole = n - n % M;
  const auto block = [&](size_t i) {
    if (i < whole) return hn::LoadU(d, shape + i);
    for (size_t l = 0; l < M; ++l) tail[l] = i + l < n ? shape[i + l] : common;
    return hn::Load(d, tail);
  };

  // Not Eq rather than Ne, which is an ordered compare: a NaN shape is packed too.
  const auto other = [&](auto x) { return hn::Not(hn::Eq(x, commonV)); };
  size_t count = 0;
  for (size_t i = 0; i < n; i += M) {
    const auto x = block(i);
    const auto keep = other(x);
    hn::StoreU(Packed(d, x, keep), d, packed + count);
    count += hn::CountTrue(d, keep);
  }
  for (size_t j = count; j % M; ++j) packed[j] = common;
  for (size_t j = 0; j < count; j += M)
    hn::StoreU(LaneGeometricMeans(d, hn::LoadU(d, packed + j), rate), d, packed + j);

  size_t next = 0;
  for (size_t i = 0; i < n; i += M) {
    const auto keep = other(block(i));
    const auto means =
        hn::IfThenElse(keep, Spread(d, hn::LoadU(d, packed + next), keep), commonMean);
    next += hn::CountTrue(d, keep);
    if (i < whole) {
      hn::StoreU(means, d, out + i);
    } else {
      hn::Store(means, d, tail);
      for (size_t l = 0; i + l < n; ++l) out[i + l] = tail[l];
    }
  }
}

void Logarithms(const float* HWY_RESTRICT x, size_t n, float* HWY_RESTRICT out) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto smallest = hn::Set(d, std::numeric_limits<float>::min());
  const auto largest = hn::Set(d, std::numeric_limits<float>::max());
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(d, x + i);
    if (hn::AllTrue(d, hn::And(hn::Ge(v, smallest), hn::Le(v, largest)))) {
      hn::StoreU(hn::Log(d, v), d, out + i);
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
HWY_EXPORT(SharedShapeGeometricMeans);
HWY_EXPORT(Logarithms);
HWY_EXPORT(RankOneShareSums);
HWY_EXPORT(ElementShapes);

void geometricMeans(const float* shape, const float* logRate, size_t logRateStep, size_t n,
                    float* out) {
  HWY_DYNAMIC_DISPATCH(GeometricMeans)(shape, logRate, logRateStep, n, out);
}

size_t sharedShapeScratch(size_t n) {
  // One vector of slack for the widest target (HWY_MAX_BYTES here is the static target's).
  return n + 2048 / 8 / sizeof(float);
}

void sharedShapeGeometricMeans(const float* shape, float common, float logRate, size_t n,
                               float* out, float* scratch) {
  HWY_DYNAMIC_DISPATCH(SharedShapeGeometricMeans)(shape, common, logRate, n, out, scratch);
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

// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry points.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "RobustPCAKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "RobustPCAKernels.h"

#include "nimbusdale/SpectrumMagnitude.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Sums use at most 8 lanes, so they keep the same shape on 256- and 512-bit machines;
// element-wise kernels use the full width, which changes no result.
using Tag = hn::CappedTag<float, 8>;
using WideTag = hn::ScalableTag<float>;

// With 512-bit vectors one vector holds two neighbouring blocks of N, and keeps their sums apart
// in its halves: the same sums with half the instructions.
#undef NIMBUSDALE_PAIRED_BLOCKS
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
#define NIMBUSDALE_PAIRED_BLOCKS 1
using PairTag = hn::Twice<Tag>;
static_assert(hn::MaxLanes(PairTag()) == 2 * hn::MaxLanes(Tag()), "a pair of blocks per vector");
#else
#define NIMBUSDALE_PAIRED_BLOCKS 0
#endif

// The lanes of v added by the target's fixed tree of pairwise additions.
template <class V>
float sumLanes(Tag d, V v) {
  return hn::GetLane(hn::SumOfLanes(d, v));
}

// Four independent accumulators keep the multiply-add unit busy; they are added pairwise, in
// a fixed order, at the end.
float Dot(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  auto acc0 = hn::Zero(d), acc1 = hn::Zero(d), acc2 = hn::Zero(d), acc3 = hn::Zero(d);
  size_t i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    acc0 = hn::MulAdd(hn::LoadU(d, a + i), hn::LoadU(d, b + i), acc0);
    acc1 = hn::MulAdd(hn::LoadU(d, a + i + N), hn::LoadU(d, b + i + N), acc1);
    acc2 = hn::MulAdd(hn::LoadU(d, a + i + 2 * N), hn::LoadU(d, b + i + 2 * N), acc2);
    acc3 = hn::MulAdd(hn::LoadU(d, a + i + 3 * N), hn::LoadU(d, b + i + 3 * N), acc3);
  }
  for (; i + N <= n; i += N) acc0 = hn::MulAdd(hn::LoadU(d, a + i), hn::LoadU(d, b + i), acc0);
  float tail = 0.0f;
  for (; i < n; ++i) tail += a[i] * b[i];
  return sumLanes(d, hn::Add(hn::Add(acc0, acc1), hn::Add(acc2, acc3))) + tail;
}

// Up to five columns against x, each column with two accumulators (even and odd blocks of N),
// so a column's sum has the same order whatever group it falls in, and each load of x serves G
// multiply-adds. Named accumulators, not arrays: scalable vectors cannot form arrays.
template <size_t G>
void DotsGroup(const float* HWY_RESTRICT columns, size_t stride, const float* HWY_RESTRICT x,
               size_t n, float* HWY_RESTRICT out) {
  static_assert(G >= 1 && G <= 5, "groups of 1 to 5 columns");
  const Tag d;
  const size_t N = hn::Lanes(d);
  const float* HWY_RESTRICT c0 = columns;
  const float* HWY_RESTRICT c1 = columns + (G > 1 ? stride : 0);
  const float* HWY_RESTRICT c2 = columns + (G > 2 ? 2 * stride : 0);
  const float* HWY_RESTRICT c3 = columns + (G > 3 ? 3 * stride : 0);
  const float* HWY_RESTRICT c4 = columns + (G > 4 ? 4 * stride : 0);
  size_t i = 0;
#if NIMBUSDALE_PAIRED_BLOCKS
  const PairTag d2;
  auto p0 = hn::Zero(d2), p1 = p0, p2 = p0, p3 = p0, p4 = p0;
  for (; i + 2 * N <= n; i += 2 * N) {
    const auto xx = hn::LoadU(d2, x + i);
    p0 = hn::MulAdd(hn::LoadU(d2, c0 + i), xx, p0);
    if constexpr (G > 1) p1 = hn::MulAdd(hn::LoadU(d2, c1 + i), xx, p1);
    if constexpr (G > 2) p2 = hn::MulAdd(hn::LoadU(d2, c2 + i), xx, p2);
    if constexpr (G > 3) p3 = hn::MulAdd(hn::LoadU(d2, c3 + i), xx, p3);
    if constexpr (G > 4) p4 = hn::MulAdd(hn::LoadU(d2, c4 + i), xx, p4);
  }
  auto e0 = hn::LowerHalf(d, p0), e1 = hn::LowerHalf(d, p1), e2 = hn::LowerHalf(d, p2),
       e3 = hn::LowerHalf(d, p3), e4 = hn::LowerHalf(d, p4);
  const auto o0 = hn::UpperHalf(d, p0), o1 = hn::UpperHalf(d, p1), o2 = hn::UpperHalf(d, p2),
             o3 = hn::UpperHalf(d, p3), o4 = hn::UpperHalf(d, p4);
#else
  auto e0 = hn::Zero(d), e1 = e0, e2 = e0, e3 = e0, e4 = e0;
  auto o0 = e0, o1 = e0, o2 = e0, o3 = e0, o4 = e0;
  for (; i + 2 * N <= n; i += 2 * N) {
    const auto x0 = hn::LoadU(d, x + i), x1 = hn::LoadU(d, x + i + N);
    // One column's even and odd blocks.
    const auto both = [&](const float* HWY_RESTRICT c, auto& even, auto& odd) HWY_ATTR {
      even = hn::MulAdd(hn::LoadU(d, c + i), x0, even);
      odd = hn::MulAdd(hn::LoadU(d, c + i + N), x1, odd);
    };
    both(c0, e0, o0);
    if constexpr (G > 1) both(c1, e1, o1);
    if constexpr (G > 2) both(c2, e2, o2);
    if constexpr (G > 3) both(c3, e3, o3);
    if constexpr (G > 4) both(c4, e4, o4);
  }
#endif
  if (i + N <= n) {
    const auto xi = hn::LoadU(d, x + i);
    e0 = hn::MulAdd(hn::LoadU(d, c0 + i), xi, e0);
    if constexpr (G > 1) e1 = hn::MulAdd(hn::LoadU(d, c1 + i), xi, e1);
    if constexpr (G > 2) e2 = hn::MulAdd(hn::LoadU(d, c2 + i), xi, e2);
    if constexpr (G > 3) e3 = hn::MulAdd(hn::LoadU(d, c3 + i), xi, e3);
    if constexpr (G > 4) e4 = hn::MulAdd(hn::LoadU(d, c4 + i), xi, e4);
    i += N;
  }
  float t0 = 0.0f, t1 = 0.0f, t2 = 0.0f, t3 = 0.0f, t4 = 0.0f;
  for (size_t j = i; j < n; ++j) {
    t0 += c0[j] * x[j];
    if constexpr (G > 1) t1 += c1[j] * x[j];
    if constexpr (G > 2) t2 += c2[j] * x[j];
    if constexpr (G > 3) t3 += c3[j] * x[j];
    if constexpr (G > 4) t4 += c4[j] * x[j];
  }
  out[0] = sumLanes(d, hn::Add(e0, o0)) + t0;
  if constexpr (G > 1) out[1] = sumLanes(d, hn::Add(e1, o1)) + t1;
  if constexpr (G > 2) out[2] = sumLanes(d, hn::Add(e2, o2)) + t2;
  if constexpr (G > 3) out[3] = sumLanes(d, hn::Add(e3, o3)) + t3;
  if constexpr (G > 4) out[4] = sumLanes(d, hn::Add(e4, o4)) + t4;
}

// Groups of up to five columns (ten accumulators and two loads of x fit sixteen registers);
// between six and nine columns left are split in two near-equal groups.
void Dots(const float* HWY_RESTRICT columns, size_t stride, size_t count,
          const float* HWY_RESTRICT x, size_t n, float* HWY_RESTRICT out) {
  size_t k = 0;
  while (k < count) {
    const size_t left = count - k;
    const size_t group = left > 5 && left < 10 ? (left + 1) / 2 : (left < 5 ? left : 5);
    const float* block = columns + k * stride;
    switch (group) {
      case 5: DotsGroup<5>(block, stride, x, n, out + k); break;
      case 4: DotsGroup<4>(block, stride, x, n, out + k); break;
      case 3: DotsGroup<3>(block, stride, x, n, out + k); break;
      case 2: DotsGroup<2>(block, stride, x, n, out + k); break;
      default: DotsGroup<1>(block, stride, x, n, out + k); break;
    }
    k += group;
  }
}

// Four row blocks at a time, each its own chain of multiply-adds over the columns.
void Combine(const float* HWY_RESTRICT columns, size_t stride, size_t count,
             const float* HWY_RESTRICT weights, size_t n, float* HWY_RESTRICT out) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    auto s0 = hn::Zero(d), s1 = hn::Zero(d), s2 = hn::Zero(d), s3 = hn::Zero(d);
    for (size_t j = 0; j < count; ++j) {
      const float* column = columns + j * stride + i;
      const auto wj = hn::Set(d, weights[j]);
      s0 = hn::MulAdd(hn::LoadU(d, column), wj, s0);
      s1 = hn::MulAdd(hn::LoadU(d, column + N), wj, s1);
      s2 = hn::MulAdd(hn::LoadU(d, column + 2 * N), wj, s2);
      s3 = hn::MulAdd(hn::LoadU(d, column + 3 * N), wj, s3);
    }
    hn::StoreU(s0, d, out + i);
    hn::StoreU(s1, d, out + i + N);
    hn::StoreU(s2, d, out + i + 2 * N);
    hn::StoreU(s3, d, out + i + 3 * N);
  }
  for (; i + N <= n; i += N) {
    auto sum = hn::Zero(d);
    for (size_t j = 0; j < count; ++j)
      sum = hn::MulAdd(hn::LoadU(d, columns + j * stride + i), hn::Set(d, weights[j]), sum);
    hn::StoreU(sum, d, out + i);
  }
  for (; i < n; ++i) {
    float sum = 0.0f;
    for (size_t j = 0; j < count; ++j) sum += columns[j * stride + i] * weights[j];
    out[i] = sum;
  }
}

// The shrunk value of one block of N entries; adds its squared change to `change`.
template <class D, class V>
HWY_INLINE void ThresholdBlock(D d, const float* HWY_RESTRICT z, const float* HWY_RESTRICT fitted,
                               float* HWY_RESTRICT sparse, float* HWY_RESTRICT residual, V up,
                               V down, V& change) {
  const auto zi = hn::LoadU(d, z);
  const auto e = hn::Sub(zi, hn::LoadU(d, fitted));
  // Comparisons with NaN are false, so a NaN becomes 0.
  const auto shrunk = hn::IfThenElse(hn::Gt(e, up), hn::Sub(e, up),
                                     hn::IfThenElse(hn::Lt(e, down), hn::Add(e, up), hn::Zero(d)));
  const auto step = hn::Sub(shrunk, hn::LoadU(d, sparse));
  change = hn::MulAdd(step, step, change);
  hn::StoreU(shrunk, d, sparse);
  hn::StoreU(hn::Sub(zi, shrunk), d, residual);
}

// Four accumulators of the squared change, so the sum is not one long chain of multiply-adds.
float ThresholdStep(const float* HWY_RESTRICT z, const float* HWY_RESTRICT fitted,
                    float* HWY_RESTRICT sparse, float* HWY_RESTRICT residual, float t, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto up = hn::Set(d, t), down = hn::Set(d, -t);
  size_t i = 0;
#if NIMBUSDALE_PAIRED_BLOCKS
  const PairTag d2;
  const auto up2 = hn::Set(d2, t), down2 = hn::Set(d2, -t);
  auto c01 = hn::Zero(d2), c23 = c01;
  for (; i + 4 * N <= n; i += 4 * N) {
    ThresholdBlock(d2, z + i, fitted + i, sparse + i, residual + i, up2, down2, c01);
    ThresholdBlock(d2, z + i + 2 * N, fitted + i + 2 * N, sparse + i + 2 * N,
                   residual + i + 2 * N, up2, down2, c23);
  }
  auto c0 = hn::LowerHalf(d, c01);
  const auto c1 = hn::UpperHalf(d, c01), c2 = hn::LowerHalf(d, c23), c3 = hn::UpperHalf(d, c23);
#else
  auto c0 = hn::Zero(d), c1 = hn::Zero(d), c2 = hn::Zero(d), c3 = hn::Zero(d);
  for (; i + 4 * N <= n; i += 4 * N) {
    ThresholdBlock(d, z + i, fitted + i, sparse + i, residual + i, up, down, c0);
    ThresholdBlock(d, z + i + N, fitted + i + N, sparse + i + N, residual + i + N, up, down, c1);
    ThresholdBlock(d, z + i + 2 * N, fitted + i + 2 * N, sparse + i + 2 * N,
                   residual + i + 2 * N, up, down, c2);
    ThresholdBlock(d, z + i + 3 * N, fitted + i + 3 * N, sparse + i + 3 * N,
                   residual + i + 3 * N, up, down, c3);
  }
#endif
  for (; i + N <= n; i += N)
    ThresholdBlock(d, z + i, fitted + i, sparse + i, residual + i, up, down, c0);
  float tail = 0.0f;
  for (; i < n; ++i) {
    const float e = z[i] - fitted[i];
    const float shrunk = e > t ? e - t : (e < -t ? e + t : 0.0f);
    const float step = shrunk - sparse[i];
    tail += step * step;
    sparse[i] = shrunk;
    residual[i] = z[i] - shrunk;
  }
  return sumLanes(d, hn::Add(hn::Add(c0, c1), hn::Add(c2, c3))) + tail;
}

int Alternate(const Alternation& a) {
  for (int passes = 1;; ++passes) {
    Dots(a.basis, a.stride, a.rank, a.residual, a.dim, a.projected);
    Combine(a.inverse, a.padded, a.rank, a.projected, a.padded, a.paddedCoef);
    float coefChange = 0.0f;
    for (size_t k = 0; k < a.rank; ++k) {
      const float d = a.paddedCoef[k] - a.coef[k];
      coefChange += d * d;
      a.coef[k] = a.paddedCoef[k];
    }
    Combine(a.basis, a.stride, a.rank, a.coef, a.dim, a.fitted);
    const float sparseChange =
        ThresholdStep(a.z, a.fitted, a.sparse, a.residual, a.lambda2, a.dim);
    if (passes > a.maxIter) return passes;
    const float sparseStep = std::sqrt(sparseChange), coefStep = std::sqrt(coefChange);
    // A NaN step never converges: the first comparison yields coefStep, the second fails.
    const float step = sparseStep > coefStep ? sparseStep : coefStep;
    if (step < a.tolerance) return passes;
  }
}

void AddScaled(float* HWY_RESTRICT y, const float* HWY_RESTRICT x, float a, size_t n) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const auto scale = hn::Set(d, a);
  size_t i = 0;
  for (; i + N <= n; i += N)
    hn::StoreU(hn::MulAdd(hn::LoadU(d, x + i), scale, hn::LoadU(d, y + i)), d, y + i);
  for (; i < n; ++i) y[i] += x[i] * a;
}

void SweepColumn(float* HWY_RESTRICT basis, size_t stride, size_t rank,
                 const float* HWY_RESTRICT weights, const float* HWY_RESTRICT target, float gain,
                 size_t column, size_t n, float* HWY_RESTRICT copy) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const auto g = hn::Set(d, gain);
  float* HWY_RESTRICT updated = basis + column * stride;
  // Row i's prediction reads the old basis(i, column); only that element changes after it, so
  // the rows go in blocks, four chains at a time.
  size_t i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    auto p0 = hn::Zero(d), p1 = hn::Zero(d), p2 = hn::Zero(d), p3 = hn::Zero(d);
    for (size_t k = 0; k < rank; ++k) {
      const auto wk = hn::Set(d, weights[k]);
      const float* HWY_RESTRICT row = basis + k * stride + i;
      p0 = hn::MulAdd(hn::LoadU(d, row), wk, p0);
      p1 = hn::MulAdd(hn::LoadU(d, row + N), wk, p1);
      p2 = hn::MulAdd(hn::LoadU(d, row + 2 * N), wk, p2);
      p3 = hn::MulAdd(hn::LoadU(d, row + 3 * N), wk, p3);
    }
    const float* HWY_RESTRICT t = target + i;
    float* HWY_RESTRICT u = updated + i;
    float* HWY_RESTRICT o = copy + i;
    const auto v0 = hn::Add(hn::LoadU(d, u), hn::Mul(hn::Sub(hn::LoadU(d, t), p0), g));
    const auto v1 = hn::Add(hn::LoadU(d, u + N), hn::Mul(hn::Sub(hn::LoadU(d, t + N), p1), g));
    const auto v2 =
        hn::Add(hn::LoadU(d, u + 2 * N), hn::Mul(hn::Sub(hn::LoadU(d, t + 2 * N), p2), g));
    const auto v3 =
        hn::Add(hn::LoadU(d, u + 3 * N), hn::Mul(hn::Sub(hn::LoadU(d, t + 3 * N), p3), g));
    hn::StoreU(v0, d, u);
    hn::StoreU(v1, d, u + N);
    hn::StoreU(v2, d, u + 2 * N);
    hn::StoreU(v3, d, u + 3 * N);
    hn::StoreU(v0, d, o);
    hn::StoreU(v1, d, o + N);
    hn::StoreU(v2, d, o + 2 * N);
    hn::StoreU(v3, d, o + 3 * N);
  }
  for (; i + N <= n; i += N) {
    auto predicted = hn::Zero(d);
    for (size_t k = 0; k < rank; ++k)
      predicted =
          hn::MulAdd(hn::LoadU(d, basis + k * stride + i), hn::Set(d, weights[k]), predicted);
    const auto step = hn::Mul(hn::Sub(hn::LoadU(d, target + i), predicted), g);
    const auto v = hn::Add(hn::LoadU(d, updated + i), step);
    hn::StoreU(v, d, updated + i);
    hn::StoreU(v, d, copy + i);
  }
  for (; i < n; ++i) {
    float predicted = 0.0f;
    for (size_t k = 0; k < rank; ++k) predicted += basis[k * stride + i] * weights[k];
    updated[i] += (target[i] - predicted) * gain;
    copy[i] = updated[i];
  }
}

void Gram(const float* HWY_RESTRICT columns, size_t stride, size_t count, size_t n,
          float* HWY_RESTRICT gram) {
  for (size_t i = 0; i < count; ++i) {
    Dots(columns, stride, i + 1, columns + i * stride, n, gram + i * count);
    for (size_t j = 0; j < i; ++j) gram[j * count + i] = gram[i * count + j];
  }
}

void InvertSymmetric(const float* HWY_RESTRICT a, size_t n, float* HWY_RESTRICT rows,
                     float* HWY_RESTRICT inverse, size_t stride) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const size_t width = eliminationWidth(n);
  std::fill(rows, rows + n * width, 0.0f);
  // Row i of a symmetric a is its column i.
  for (size_t i = 0; i < n; ++i) {
    std::copy_n(a + i * n, n, rows + i * width);
    rows[i * width + n + i] = 1.0f;
  }
  // row -= factor * pivot over a whole row, the product rounded before the difference.
  const auto eliminate = [&](float* HWY_RESTRICT row, const float* HWY_RESTRICT pivot,
                             float factor) HWY_ATTR {
    const auto f = hn::Set(d, factor);
    size_t j = 0;
    for (; j + N <= width; j += N)
      hn::StoreU(hn::Sub(hn::LoadU(d, row + j), hn::Mul(f, hn::LoadU(d, pivot + j))), d, row + j);
    for (; j < width; ++j) row[j] -= factor * pivot[j];
  };
  for (size_t p = 0; p < n; ++p) {
    float* HWY_RESTRICT pivotRow = rows + p * width;
    size_t pivot = p;
    for (size_t i = p + 1; i < n; ++i)
      if (std::fabs(rows[i * width + p]) > std::fabs(rows[pivot * width + p])) pivot = i;
    if (pivot != p) std::swap_ranges(pivotRow, pivotRow + width, rows + pivot * width);
    const float scale = 1.0f / pivotRow[p];
    const auto s = hn::Set(d, scale);
    size_t j = 0;
    for (; j + N <= width; j += N)
      hn::StoreU(hn::Mul(hn::LoadU(d, pivotRow + j), s), d, pivotRow + j);
    for (; j < width; ++j) pivotRow[j] *= scale;
    for (size_t i = 0; i < n; ++i)
      if (i != p) eliminate(rows + i * width, pivotRow, rows[i * width + p]);
  }
  std::fill(inverse, inverse + stride * n, 0.0f);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) inverse[j * stride + i] = rows[i * width + n + j];
}

void Learn(float* HWY_RESTRICT basis, size_t stride, float* HWY_RESTRICT copy,
           float* HWY_RESTRICT statA, float* HWY_RESTRICT statB, const float* HWY_RESTRICT residual,
           const float* HWY_RESTRICT coef, float lambda1, float* HWY_RESTRICT weights,
           float* HWY_RESTRICT lowRank, size_t dim, size_t rank) {
  for (size_t j = 0; j < rank; ++j)
    for (size_t i = 0; i < rank; ++i) statA[j * rank + i] += coef[i] * coef[j];
  for (size_t j = 0; j < rank; ++j) AddScaled(statB + j * dim, residual, coef[j], dim);
  for (size_t j = 0; j < rank; ++j) {
    std::copy_n(statA + j * rank, rank, weights);
    weights[j] += lambda1;
    const float gain = 1.0f / weights[j];
    SweepColumn(basis, stride, rank, weights, statB + j * dim, gain, j, dim, copy + j * dim);
  }
  Combine(basis, stride, rank, coef, dim, lowRank);
}

// A square root of a sum in the float range is finite: only the hypotenuses need checking.
bool Magnitudes(const std::complex<float>* HWY_RESTRICT x, float* HWY_RESTRICT m, size_t n) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const float* HWY_RESTRICT parts = reinterpret_cast<const float*>(x);
  const auto low = hn::Set(d, FLT_MIN), high = hn::Set(d, FLT_MAX);
  bool finite = true;
  const auto hypotenuse = [&](size_t j) HWY_ATTR {
    m[j] = fastSpectrumMagnitude(x[j]);
    finite &= std::isfinite(m[j]);
  };
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::Vec<WideTag> re, im;
    hn::LoadInterleaved2(d, parts + 2 * i, re, im);
    const auto squared = hn::Add(hn::Mul(re, re), hn::Mul(im, im));
    hn::StoreU(hn::Sqrt(squared), d, m + i);
    // Comparisons with NaN are false, so a NaN sum takes the hypotenuse too.
    if (!hn::AllTrue(d, hn::And(hn::Ge(squared, low), hn::Le(squared, high))))
      for (size_t j = i; j < i + N; ++j) hypotenuse(j);
  }
  for (; i < n; ++i) hypotenuse(i);
  return finite;
}

void Observe(float* HWY_RESTRICT m, float* HWY_RESTRICT scale, bool first, float ratio, float keep,
             float globalScale, size_t n) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const auto r = hn::Set(d, ratio), k = hn::Set(d, keep), g = hn::Set(d, globalScale);
  const auto zero = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto mi = hn::LoadU(d, m + i);
    auto s = mi;
    if (!first) {
      const auto old = hn::LoadU(d, scale + i);
      s = hn::IfThenElse(hn::Eq(old, zero), mi, hn::Add(hn::Mul(mi, r), hn::Mul(old, k)));
    }
    hn::StoreU(s, d, scale + i);
    const auto normalized = hn::Mul(hn::Div(mi, s), g);
    hn::StoreU(hn::IfThenElseZero(hn::IsFinite(normalized), normalized), d, m + i);
  }
  for (; i < n; ++i) {
    const float s = first || scale[i] == 0.0f ? m[i] : m[i] * ratio + scale[i] * keep;
    scale[i] = s;
    const float normalized = (m[i] / s) * globalScale;
    m[i] = std::isfinite(normalized) ? normalized : 0.0f;
  }
}

void Emit(const float* HWY_RESTRICT sparse, const float* HWY_RESTRICT scale, float toMagnitude,
          float* HWY_RESTRICT out, size_t n) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const auto t = hn::Set(d, toMagnitude), zero = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto s = hn::LoadU(d, sparse + i);
    // Only a positive value survives: NaN and -0 give +0.
    const auto positive = hn::IfThenElseZero(hn::Gt(s, zero), s);
    const auto value = hn::Mul(hn::Mul(positive, hn::LoadU(d, scale + i)), t);
    hn::StoreU(hn::IfThenElseZero(hn::IsFinite(value), value), d, out + i);
  }
  for (; i < n; ++i) {
    const float positive = sparse[i] > 0.0f ? sparse[i] : 0.0f;
    const float value = (positive * scale[i]) * toMagnitude;
    out[i] = std::isfinite(value) ? value : 0.0f;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(Dot);
HWY_EXPORT(Dots);
HWY_EXPORT(Combine);
HWY_EXPORT(ThresholdStep);
HWY_EXPORT(Alternate);
HWY_EXPORT(Gram);
HWY_EXPORT(InvertSymmetric);
HWY_EXPORT(Learn);
HWY_EXPORT(Magnitudes);
HWY_EXPORT(Observe);
HWY_EXPORT(Emit);

float dot(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(Dot)(a, b, n);
}

void dots(const float* columns, size_t stride, size_t count, const float* x, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Dots)(columns, stride, count, x, n, out);
}

void combine(const float* columns, size_t stride, size_t count, const float* weights, size_t n,
             float* out) {
  HWY_DYNAMIC_DISPATCH(Combine)(columns, stride, count, weights, n, out);
}

float thresholdStep(const float* z, const float* fitted, float* sparse, float* residual, float t,
                    size_t n) {
  return HWY_DYNAMIC_DISPATCH(ThresholdStep)(z, fitted, sparse, residual, t, n);
}

int alternate(const Alternation& a) {
  return HWY_DYNAMIC_DISPATCH(Alternate)(a);
}

void gram(const float* columns, size_t stride, size_t count, size_t n, float* gram) {
  HWY_DYNAMIC_DISPATCH(Gram)(columns, stride, count, n, gram);
}

void invertSymmetric(const float* a, size_t n, float* rows, float* inverse, size_t stride) {
  HWY_DYNAMIC_DISPATCH(InvertSymmetric)(a, n, rows, inverse, stride);
}

void learn(float* basis, size_t stride, float* copy, float* statA, float* statB,
           const float* residual, const float* coef, float lambda1, float* weights, float* lowRank,
           size_t dim, size_t rank) {
  HWY_DYNAMIC_DISPATCH(Learn)(basis, stride, copy, statA, statB, residual, coef, lambda1, weights,
                              lowRank, dim, rank);
}

bool magnitudes(const std::complex<float>* x, float* m, size_t n) {
  return HWY_DYNAMIC_DISPATCH(Magnitudes)(x, m, n);
}

void observe(float* m, float* scale, bool first, float ratio, float keep, float globalScale,
             size_t n) {
  HWY_DYNAMIC_DISPATCH(Observe)(m, scale, first, ratio, keep, globalScale, n);
}

void emit(const float* sparse, const float* scale, float toMagnitude, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(Emit)(sparse, scale, toMagnitude, out, n);
}

}  // namespace nimbusdale::kernels
#endif

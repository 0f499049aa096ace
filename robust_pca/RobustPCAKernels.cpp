// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry points.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "RobustPCAKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "RobustPCAKernels.h"

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Sums use at most 8 lanes, so they keep the same shape on 256- and 512-bit machines;
// element-wise kernels use the full width, which changes no result.
using Tag = hn::CappedTag<float, 8>;
using WideTag = hn::ScalableTag<float>;

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

// Dot on two columns at once, each with Dot's own accumulators and order of additions.
void Dots(const float* HWY_RESTRICT columns, size_t stride, size_t count,
          const float* HWY_RESTRICT x, size_t n, float* HWY_RESTRICT out) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  size_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const float* HWY_RESTRICT a = columns + k * stride;
    const float* HWY_RESTRICT b = a + stride;
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    auto b0 = hn::Zero(d), b1 = hn::Zero(d), b2 = hn::Zero(d), b3 = hn::Zero(d);
    size_t i = 0;
    for (; i + 4 * N <= n; i += 4 * N) {
      const auto x0 = hn::LoadU(d, x + i), x1 = hn::LoadU(d, x + i + N);
      const auto x2 = hn::LoadU(d, x + i + 2 * N), x3 = hn::LoadU(d, x + i + 3 * N);
      a0 = hn::MulAdd(hn::LoadU(d, a + i), x0, a0);
      b0 = hn::MulAdd(hn::LoadU(d, b + i), x0, b0);
      a1 = hn::MulAdd(hn::LoadU(d, a + i + N), x1, a1);
      b1 = hn::MulAdd(hn::LoadU(d, b + i + N), x1, b1);
      a2 = hn::MulAdd(hn::LoadU(d, a + i + 2 * N), x2, a2);
      b2 = hn::MulAdd(hn::LoadU(d, b + i + 2 * N), x2, b2);
      a3 = hn::MulAdd(hn::LoadU(d, a + i + 3 * N), x3, a3);
      b3 = hn::MulAdd(hn::LoadU(d, b + i + 3 * N), x3, b3);
    }
    for (; i + N <= n; i += N) {
      const auto xi = hn::LoadU(d, x + i);
      a0 = hn::MulAdd(hn::LoadU(d, a + i), xi, a0);
      b0 = hn::MulAdd(hn::LoadU(d, b + i), xi, b0);
    }
    float tailA = 0.0f, tailB = 0.0f;
    for (; i < n; ++i) {
      tailA += a[i] * x[i];
      tailB += b[i] * x[i];
    }
    out[k] = sumLanes(d, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3))) + tailA;
    out[k + 1] = sumLanes(d, hn::Add(hn::Add(b0, b1), hn::Add(b2, b3))) + tailB;
  }
  if (k < count) out[k] = Dot(columns + k * stride, x, n);
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

float ThresholdStep(const float* HWY_RESTRICT z, const float* HWY_RESTRICT fitted,
                    float* HWY_RESTRICT sparse, float* HWY_RESTRICT residual, float t, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  const auto up = hn::Set(d, t), down = hn::Set(d, -t), zero = hn::Zero(d);
  auto change = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto zi = hn::LoadU(d, z + i);
    const auto e = hn::Sub(zi, hn::LoadU(d, fitted + i));
    // Comparisons with NaN are false, so a NaN becomes 0.
    const auto shrunk = hn::IfThenElse(hn::Gt(e, up), hn::Sub(e, up),
                                       hn::IfThenElse(hn::Lt(e, down), hn::Add(e, up), zero));
    const auto step = hn::Sub(shrunk, hn::LoadU(d, sparse + i));
    change = hn::MulAdd(step, step, change);
    hn::StoreU(shrunk, d, sparse + i);
    hn::StoreU(hn::Sub(zi, shrunk), d, residual + i);
  }
  float tail = 0.0f;
  for (; i < n; ++i) {
    const float e = z[i] - fitted[i];
    const float shrunk = e > t ? e - t : (e < -t ? e + t : 0.0f);
    const float step = shrunk - sparse[i];
    tail += step * step;
    sparse[i] = shrunk;
    residual[i] = z[i] - shrunk;
  }
  return sumLanes(d, change) + tail;
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
                 size_t column, size_t n) {
  const WideTag d;
  const size_t N = hn::Lanes(d);
  const auto g = hn::Set(d, gain);
  float* HWY_RESTRICT updated = basis + column * stride;
  // Row i's prediction reads the old basis(i, column); only that element changes after it, so
  // the rows go in blocks, two chains at a time.
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    auto p0 = hn::Zero(d), p1 = hn::Zero(d);
    for (size_t k = 0; k < rank; ++k) {
      const auto wk = hn::Set(d, weights[k]);
      p0 = hn::MulAdd(hn::LoadU(d, basis + k * stride + i), wk, p0);
      p1 = hn::MulAdd(hn::LoadU(d, basis + k * stride + i + N), wk, p1);
    }
    const auto step0 = hn::Mul(hn::Sub(hn::LoadU(d, target + i), p0), g);
    const auto step1 = hn::Mul(hn::Sub(hn::LoadU(d, target + i + N), p1), g);
    hn::StoreU(hn::Add(hn::LoadU(d, updated + i), step0), d, updated + i);
    hn::StoreU(hn::Add(hn::LoadU(d, updated + i + N), step1), d, updated + i + N);
  }
  for (; i + N <= n; i += N) {
    auto predicted = hn::Zero(d);
    for (size_t k = 0; k < rank; ++k)
      predicted =
          hn::MulAdd(hn::LoadU(d, basis + k * stride + i), hn::Set(d, weights[k]), predicted);
    const auto step = hn::Mul(hn::Sub(hn::LoadU(d, target + i), predicted), g);
    hn::StoreU(hn::Add(hn::LoadU(d, updated + i), step), d, updated + i);
  }
  for (; i < n; ++i) {
    float predicted = 0.0f;
    for (size_t k = 0; k < rank; ++k) predicted += basis[k * stride + i] * weights[k];
    updated[i] += (target[i] - predicted) * gain;
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
HWY_EXPORT(AddScaled);
HWY_EXPORT(SweepColumn);

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

void addScaled(float* y, const float* x, float a, size_t n) {
  HWY_DYNAMIC_DISPATCH(AddScaled)(y, x, a, n);
}

void sweepColumn(float* basis, size_t stride, size_t rank, const float* weights,
                 const float* target, float gain, size_t column, size_t n) {
  HWY_DYNAMIC_DISPATCH(SweepColumn)(basis, stride, rank, weights, target, gain, column, n);
}

}  // namespace nimbusdale::kernels
#endif

// The fast RobustPCA path against the reference path, and its SIMD kernels on every instruction
// set compiled into the binary against plain double-precision sums.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "RobustPCAKernels.h"
#include "nimbusdale/RobustPCA.h"

namespace {

using Eigen::VectorXf;
using nimbusdale::RobustPCA;
namespace kernels = nimbusdale::kernels;

/// |a - b| <= rel * scale, reported with both values.
::testing::AssertionResult closeTo(double a, double b, double scale, double rel) {
  if (std::fabs(a - b) <= rel * scale) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << a << " and " << b << " differ by more than " << rel << " of " << scale;
}

/// A sum of n terms in double precision, and the sum of their sizes.
struct Exact {
  double sum = 0.0, size = 0.0;
};
template <class Term>
Exact exactSum(size_t n, Term term) {
  Exact e;
  for (size_t k = 0; k < n; ++k) {
    e.sum += term(k);
    e.size += std::fabs(term(k));
  }
  return e;
}

std::vector<float> randomVector(size_t n, unsigned seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

/// A realistic first frame: normalised magnitudes, all equal to the global scale at frame 0
/// except where the spectrum is silent, with a few low bins cut off.
VectorXf firstFrame(int dim) {
  VectorXf z = VectorXf::Constant(dim, 0.5f);
  z.head(4).setZero();
  return z;
}

/// Later frames: a breathing harmonic pattern with events.
VectorXf frameAt(int dim, int t) {
  VectorXf z(dim);
  for (int k = 0; k < dim; ++k) {
    float m = 0.3f + 0.1f * std::fabs(std::sin(0.7f * k + 0.3f * t));
    if (k % 8 == 0) m += 1.0f + 0.3f * std::sin(0.05f * t);
    if (t % 11 == 5 && k == 20 + t % 50) m += 6.0f;
    z[k] = m;
  }
  return z;
}

class EveryTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(EveryTarget, KernelsAgreeWithPlainSums) {
  for (size_t n : {0, 1, 7, 8, 31, 33, 257, 1025}) {
    SCOPED_TRACE(n);
    const std::vector<float> a = randomVector(n, 1), b = randomVector(n, 2);
    const Exact dot = exactSum(n, [&](size_t i) { return double(a[i]) * b[i]; });
    EXPECT_TRUE(closeTo(kernels::dot(a.data(), b.data(), n), dot.sum, dot.size, 1e-6));

    const size_t count = 7, stride = n + 3;
    const std::vector<float> columns = randomVector(stride * count, 3), w = randomVector(count, 4);
    // Batched dot products are close to exact, and a column's sum does not depend on the
    // batch it is in (7 columns go in groups of 4 and 3; alone, in a group of 1).
    std::vector<float> batched(count);
    kernels::dots(columns.data(), stride, count, b.data(), n, batched.data());
    for (size_t j = 0; j < count; ++j) {
      const Exact column =
          exactSum(n, [&](size_t i) { return double(columns[j * stride + i]) * b[i]; });
      EXPECT_TRUE(closeTo(batched[j], column.sum, column.size, 1e-6)) << "column " << j;
      float alone = 0.0f;
      kernels::dots(columns.data() + j * stride, stride, 1, b.data(), n, &alone);
      EXPECT_EQ(batched[j], alone) << "column " << j;
    }

    std::vector<float> out(n);
    kernels::combine(columns.data(), stride, count, w.data(), n, out.data());
    for (size_t i = 0; i < n; ++i) {
      const Exact row =
          exactSum(count, [&](size_t j) { return double(columns[j * stride + i]) * w[j]; });
      ASSERT_TRUE(closeTo(out[i], row.sum, row.size, 1e-6)) << "row " << i;
    }

    // The soft threshold is exact: only the sum of squared changes is rounded.
    const std::vector<float> z = randomVector(n, 5), fitted = randomVector(n, 6);
    std::vector<float> sparse = randomVector(n, 7), residual(n);
    const std::vector<float> before = sparse;
    const float t = 0.3f;
    const float change =
        kernels::thresholdStep(z.data(), fitted.data(), sparse.data(), residual.data(), t, n);
    double changeExact = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const float e = z[i] - fitted[i];
      const float shrunk = e > t ? e - t : (e < -t ? e + t : 0.0f);
      ASSERT_EQ(sparse[i], shrunk) << i;
      ASSERT_EQ(residual[i], z[i] - shrunk) << i;
      changeExact += double(shrunk - before[i]) * (shrunk - before[i]);
    }
    EXPECT_TRUE(closeTo(change, changeExact, changeExact, 1e-6));
  }
}

TEST_P(EveryTarget, ObservationAndOutputSweepsAreTheScalarArithmetic) {
  // Bit for bit, on the edges each sweep has: a silent bin, a zero scale, parts whose squares
  // leave the float range, NaN, and a sparse value whose magnitude overflows.
  const float huge = 3e38f, tiny = 1e-30f, nan = std::nanf("");
  const size_t n = 37;
  std::vector<std::complex<float>> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = {std::sin(0.3f * i), std::cos(0.7f * i)};
  x[1] = {0.0f, 0.0f};
  x[3] = {huge, huge};
  x[5] = {tiny, -tiny};
  x[20] = {nan, 1.0f};
  std::vector<float> m(n), scale = randomVector(n, 8, 0.5f, 2.0f);
  scale[7] = 0.0f;
  scale[30] = 0.0f;
  kernels::magnitudes(x.data(), m.data(), n);
  for (size_t i = 0; i < n; ++i) {
    const float squared = x[i].real() * x[i].real() + x[i].imag() * x[i].imag();
    const float expected =
        squared >= FLT_MIN && squared <= FLT_MAX ? std::sqrt(squared) : std::abs(x[i]);
    ASSERT_TRUE(m[i] == expected || (std::isnan(m[i]) && std::isnan(expected))) << i;
  }

  for (bool first : {true, false}) {
    std::vector<float> observed = m, newScale = scale;
    kernels::observe(observed.data(), newScale.data(), first, 0.1f, 0.9f, 0.5f, n);
    for (size_t i = 0; i < n; ++i) {
      const float s = first || scale[i] == 0.0f ? m[i] : m[i] * 0.1f + scale[i] * 0.9f;
      const float normalized = (m[i] / s) * 0.5f;
      ASSERT_TRUE(newScale[i] == s || (std::isnan(s) && std::isnan(newScale[i]))) << i;
      ASSERT_EQ(observed[i], std::isfinite(normalized) ? normalized : 0.0f) << i;
    }
  }

  std::vector<float> sparse = randomVector(n, 9, -2.0f, 2.0f), out(n);
  sparse[2] = nan;
  sparse[4] = -0.0f;
  sparse[6] = huge;
  kernels::emit(sparse.data(), scale.data(), 2.0f, out.data(), n);
  for (size_t i = 0; i < n; ++i) {
    const float value = ((sparse[i] > 0.0f ? sparse[i] : 0.0f) * scale[i]) * 2.0f;
    ASSERT_EQ(out[i], std::isfinite(value) ? value : 0.0f) << i;
    ASSERT_FALSE(std::signbit(out[i])) << i;
  }
}

TEST_P(EveryTarget, FastUpdateStaysWithinRoundingOfTheReference) {
  // Same start, one update each way: the sparse parts agree to 2e-4 of the frame's peak. From
  // this random start the alternation runs to the pass cap, so the two roundings drift apart
  // over 101 passes: by 2e-5 to 5.5e-5 of the peak on the instruction sets tried.
  for (int dim : {13, 257}) {
    SCOPED_TRACE(dim);
    RobustPCA fast(dim, 10);
    std::srand(3);
    fast.initialize();
    RobustPCA reference(dim, 10);
    reference = fast;
    const VectorXf z = firstFrame(dim);
    std::ostringstream ignored;
    fast.updateFast(z.data(), &ignored);
    reference.updateReference(z.data(), &ignored);
    const float peak = z.cwiseAbs().maxCoeff();
    EXPECT_LE((fast.sparse - reference.sparse).cwiseAbs().maxCoeff(), 2e-4f * peak);
    // The random starting basis has nearly parallel columns, so the inverse of its Gram matrix
    // magnifies rounding: the basis agrees less closely than the sparse part does.
    EXPECT_LE((fast.basis - reference.basis).cwiseAbs().maxCoeff(),
              1e-3f * reference.basis.cwiseAbs().maxCoeff());
    EXPECT_EQ(fast.lowRank.size(), dim);
  }
}

TEST_P(EveryTarget, BothPathsLearnTheSameStream) {
  // Over a stream the two paths drift apart only by rounding; what they separate is the same.
  const int dim = 96;
  RobustPCA fast(dim, 4), reference(dim, 4);
  std::srand(11);
  fast.initialize();
  reference = fast;
  fast.lambda1 = fast.lambda2 = reference.lambda1 = reference.lambda2 = 1.0f / std::sqrt(96.0f);
  std::ostringstream ignored;
  float worst = 0.0f;
  for (int t = 0; t < 300; ++t) {
    const VectorXf z = frameAt(dim, t);
    fast.updateFast(z.data(), &ignored);
    reference.updateReference(z.data(), &ignored);
    if (t >= 100) worst = std::max(worst, (fast.sparse - reference.sparse).cwiseAbs().maxCoeff());
  }
  EXPECT_LE(worst, 1e-2f) << "events are about 6, so this is well below what separation decides";
}

TEST(RobustPCAKernels, SumsHaveTheSameShapeOn256And512BitVectors) {
  // AVX-512 holds two blocks of 8 lanes per vector; the sums must stay those AVX2 forms.
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  const auto has = [&](int64_t t) {
    return std::find(targets.begin(), targets.end(), t) != targets.end();
  };
  if (!has(HWY_AVX2) || !has(HWY_AVX3)) GTEST_SKIP() << "needs AVX2 and AVX3";
  for (size_t n : {7, 16, 31, 33, 250, 257}) {
    SCOPED_TRACE(n);
    const size_t count = 7;
    const std::vector<float> columns = randomVector(n * count, 3), x = randomVector(n, 2),
                             z = randomVector(n, 5), fitted = randomVector(n, 6);
    std::vector<std::vector<float>> results;
    for (const int64_t target : {HWY_AVX2, HWY_AVX3}) {
      hwy::SetSupportedTargetsForTest(target);
      std::vector<float> out(count), sparse = randomVector(n, 7), residual(n);
      kernels::dots(columns.data(), n, count, x.data(), n, out.data());
      out.push_back(
          kernels::thresholdStep(z.data(), fitted.data(), sparse.data(), residual.data(), 0.3f, n));
      results.push_back(out);
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_EQ(results[0], results[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(RobustPCAKernels, EveryTarget,
                         ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return std::string(hwy::TargetName(info.param));
                         });

}  // namespace

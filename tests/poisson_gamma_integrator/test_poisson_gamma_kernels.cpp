// The fast Poisson-Gamma arithmetic against the reference: the geometric means on every
// instruction set compiled into the binary, and a whole model over a long stream.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <boost/math/special_functions/digamma.hpp>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "PoissonGammaKernels.h"
#include "nimbusdale/PoissonGammaInference.h"

namespace {

namespace kernels = nimbusdale::kernels;

/// Distance in units in the last place between two positive finite floats.
int64_t ulpDistance(float a, float b) {
  int32_t ia, ib;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  return std::llabs(static_cast<int64_t>(ia) - static_cast<int64_t>(ib));
}

class EveryTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(EveryTarget, GeometricMeansWithinRoundingOfTheExponent) {
  // Log-spaced shapes from 0.1 to 1e7, an odd count so that the padded tail runs too. The
  // reference rounds digamma, then the difference, to float before its exponential, so its
  // error grows with |digamma - ln r|; the fast kernel is held to a few units of that rounding.
  std::vector<float> shapes;
  for (int i = 0; i <= 4001; ++i) shapes.push_back(0.1f * std::pow(1e8f, float(i) / 4001.0f));
  for (float rate : {1.0f, 2.0f, 0.37f, 1234.5f, 1e-20f, 3e15f}) {
    SCOPED_TRACE(rate);
    const float logRate = ::logf(rate);
    std::vector<float> fast(shapes.size());
    kernels::geometricMeans(shapes.data(), &logRate, 0, shapes.size(), fast.data());
    double worst = 0.0;
    float worstShape = 0.0f;
    for (size_t i = 0; i < shapes.size(); ++i) {
      const double exponent = boost::math::digamma<double>(shapes[i]) - double(logRate);
      const double units = std::abs(fast[i] / std::exp(exponent) - 1.0) /
                           (0x1p-24 * (1.0 + std::abs(exponent) + std::abs(logRate)));
      if (units > worst) {
        worst = units;
        worstShape = shapes[i];
      }
    }
    EXPECT_LE(worst, 8.0) << "at shape " << worstShape;
  }

  // One rate per value; shapes that are not positive give NaN, tiny ones a mean of 0.
  const std::vector<float> shape{0.5f, 3.0f, 0.0f, -1.0f, 40.0f, 1e-30f, 1e-40f};
  const std::vector<float> logRates{0.0f, 1.0f, 0.0f, 0.0f, -2.0f, -80.0f, 0.0f};
  std::vector<float> out(shape.size());
  kernels::geometricMeans(shape.data(), logRates.data(), 1, shape.size(), out.data());
  EXPECT_NEAR(out[1], std::exp(boost::math::digamma<double>(3.0) - 1.0), 1e-6);
  EXPECT_NEAR(out[4], std::exp(boost::math::digamma<double>(40.0) + 2.0), 1e-4);
  EXPECT_TRUE(std::isnan(out[2]));
  EXPECT_TRUE(std::isnan(out[3]));
  EXPECT_EQ(out[5], 0.0f);
  EXPECT_EQ(out[6], 0.0f);
}

TEST_P(EveryTarget, SharedShapeMeansAreThePlainMeansBitForBit) {
  // Mostly the common shape, the rest scattered, with tiny, negative and NaN shapes among them;
  // an odd count leaves a tail, and an all-common and an all-other array bracket the packing.
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> other(0.2f, 30.0f);
  std::bernoulli_distribution rare(0.35);
  const float common = 1.0f;
  std::vector<std::vector<float>> cases{std::vector<float>(77, common), {}};
  for (int i = 0; i < 77; ++i) cases[1].push_back(other(gen));
  std::vector<float> mixed(2057, common);
  for (float& x : mixed)
    if (rare(gen)) x = other(gen);
  mixed[3] = 1e-5f;
  mixed[40] = -2.0f;
  mixed[41] = std::nanf("");
  mixed[2056] = 7.0f;
  cases.push_back(mixed);
  for (const float logRate : {::logf(2.0f), 95.0f}) {
    for (const std::vector<float>& shapes : cases) {
      std::vector<float> plain(shapes.size()), shared(shapes.size());
      std::vector<float> scratch(kernels::sharedShapeScratch(shapes.size()));
      kernels::geometricMeans(shapes.data(), &logRate, 0, shapes.size(), plain.data());
      kernels::sharedShapeGeometricMeans(shapes.data(), common, logRate, shapes.size(),
                                         shared.data(), scratch.data());
      EXPECT_EQ(0, std::memcmp(plain.data(), shared.data(), plain.size() * sizeof(float)))
          << shapes.size() << " shapes at ln rate " << logRate;
    }
  }
}

TEST_P(EveryTarget, LogarithmsWithinOneUlpOfLogfAndExactWhereLogfIsSpecial) {
  // Rates across the float range, an odd count for the tail, and the values the vector path
  // leaves to logf: zero, negatives, subnormals, infinity and NaN.
  std::vector<float> x;
  for (int i = 0; i <= 3001; ++i) x.push_back(std::pow(10.0f, -37.0f + 74.0f * float(i) / 3001.0f));
  x.insert(x.begin() + 5, {0.0f, -2.0f, 1e-40f, HUGE_VALF, NAN, 1.0f});
  std::vector<float> out(x.size());
  kernels::logarithms(x.data(), x.size(), out.data());
  for (size_t i = 0; i < x.size(); ++i) {
    const float reference = ::logf(x[i]);
    SCOPED_TRACE(x[i]);
    if (!std::isfinite(reference) || x[i] < 1e-37f)
      EXPECT_EQ(std::memcmp(&out[i], &reference, sizeof reference), 0);
    else if (reference == 0.0f)
      EXPECT_EQ(out[i], 0.0f);
    else
      EXPECT_LE(ulpDistance(std::abs(out[i]), std::abs(reference)), 1);
  }
}

/// max |a - b| over the largest |b|, for equally sized arrays.
template <class A, class B>
double relativeGap(const A& a, const B& b) {
  double gap = 0.0, peak = 0.0;
  for (Eigen::Index i = 0; i < b.size(); ++i) {
    gap = std::max(gap, double(std::abs(a.data()[i] - b.data()[i])));
    peak = std::max(peak, double(std::abs(b.data()[i])));
  }
  return peak > 0.0 ? gap / peak : gap;
}

TEST_P(EveryTarget, FastStaysWithinRoundingOfTheReferenceOverAThousandFrames) {
  // A sparse-magnitude stream as the separation emits it: mostly small, zero below a floor, with
  // a loud harmonic event now and then.
  const int bins = 65, channels = 4;
  std::mt19937 gen(17);
  std::gamma_distribution<float> floor(0.6f, 0.05f);
  std::uniform_real_distribution<float> phase(-3.14159f, 3.14159f);
  nimbusdale::PoissonGammaModel fast(bins, channels), reference(bins, channels);
  Eigen::VectorXcf fastOut(bins), referenceOut(bins);
  std::ostringstream ignored;
  for (int t = 0; t < 1000; ++t) {
    Eigen::MatrixXf sparse(bins, channels);
    Eigen::MatrixXcf spec(bins, channels);
    for (int c = 0; c < channels; ++c)
      for (int f = 0; f < bins; ++f) {
        float v = floor(gen);
        if (v < 0.02f) v = 0.0f;
        if (t % 37 < 4 && f % 6 == 2) v += 1.5f + 0.1f * c;
        sparse(f, c) = v;
        spec(f, c) = std::polar(0.2f + v, phase(gen));
      }
    for (auto [model, out, arithmetic] :
         {std::tuple{&fast, &fastOut, nimbusdale::PoissonGammaArithmetic::Fast},
          std::tuple{&reference, &referenceOut, nimbusdale::PoissonGammaArithmetic::Reference}})
      nimbusdale::runPoissonGammaFrame(
          *model, 1.0f, nimbusdale::SparseFrameView(sparse.data(), bins, channels),
          nimbusdale::SpectrumFrameView(spec.data(), bins, channels),
          nimbusdale::OutputRowView(out->data(), bins), ignored, arithmetic);
  }
  EXPECT_LE(relativeGap(fastOut, referenceOut), 1e-5);
  EXPECT_LE(relativeGap(fast.binShape, reference.binShape), 1e-5);
  EXPECT_LE(relativeGap(fast.binRate, reference.binRate), 1e-5);
  EXPECT_LE(relativeGap(fast.binRatePrior, reference.binRatePrior), 1e-5);
  EXPECT_LE(relativeGap(fast.channelShape, reference.channelShape), 1e-5);
  EXPECT_LE(relativeGap(fast.elementShape, reference.elementShape), 1e-5);
  EXPECT_NEAR(fast.channelRate, reference.channelRate, 1e-5 * reference.channelRate);
}

INSTANTIATE_TEST_SUITE_P(PoissonGammaKernels, EveryTarget,
                         ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return std::string(hwy::TargetName(info.param));
                         });

}  // namespace

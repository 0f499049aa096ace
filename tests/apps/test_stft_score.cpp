// The tool's analysis/synthesis nodes and its scoring, on signals with known answers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "Enhancer.h"
#include "Score.h"
#include "StftNodes.h"

namespace {

using nimbusdale::app::score;
using nimbusdale::app::StftGeometry;
using nimbusdale::app::stftRoundTrip;

std::vector<float> noiseSignal(long n, int channels, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 0.3f);
  std::vector<float> x(static_cast<size_t>(n * channels));
  for (float& v : x) v = g(rng);
  return x;
}

float maxAbsError(const std::vector<float>& interleaved, int channels,
                  const std::vector<float>& mono) {
  float worst = 0.0f;
  for (size_t n = 0; n < mono.size(); ++n)
    worst = std::max(worst, std::fabs(interleaved[n * static_cast<size_t>(channels)] - mono[n]));
  return worst;
}

TEST(StftRoundTrip, GivesChannelZeroBackForEveryGeometry) {
  for (StftGeometry g : {StftGeometry{512, 128}, {512, 256}, {400, 160}, {511, 100}, {64, 32}}) {
    for (long n : {1L, 100L, 4000L, 16000L}) {
      const int channels = 3;
      const auto x = noiseSignal(n, channels, static_cast<unsigned>(n + g.length));
      const auto y = stftRoundTrip(x.data(), n, channels, g);
      ASSERT_EQ(static_cast<long>(y.size()), n);
      EXPECT_LE(maxAbsError(x, channels, y), 1e-4f) << g.length << "/" << g.hop << " n=" << n;
    }
  }
}

TEST(StftRoundTrip, RefusesGeometriesThatCannotReconstruct) {
  std::vector<float> x(100, 0.0f);
  for (StftGeometry g : {StftGeometry{1, 1}, {512, 0}, {512, 257}})
    EXPECT_THROW(stftRoundTrip(x.data(), 100, 1, g), std::invalid_argument);
}

TEST(Score, KnownRatiosAndAlignment) {
  const long n = 8000;
  std::vector<float> ref(n), est(n + 40);
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (float& v : ref) v = g(rng);
  // Estimate: the reference delayed by 25 samples, scaled by 0.5, plus noise at -20 dB.
  std::vector<float> noise(n);
  double noisePower = 0.0, refPower = 0.0;
  for (long i = 0; i < n; ++i) {
    noise[static_cast<size_t>(i)] = g(rng);
    noisePower += double(noise[static_cast<size_t>(i)]) * noise[static_cast<size_t>(i)];
    refPower += double(ref[static_cast<size_t>(i)]) * ref[static_cast<size_t>(i)];
  }
  const float k = float(std::sqrt(0.25 * refPower / noisePower / 100.0));
  for (long i = 0; i < n; ++i)
    est[static_cast<size_t>(i + 25)] =
        0.5f * ref[static_cast<size_t>(i)] + k * noise[static_cast<size_t>(i)];

  const auto s = score(ref.data(), n, est.data(), n + 40, 100);
  EXPECT_EQ(s.lag, 25);
  EXPECT_NEAR(s.siSdr, 20.0, 0.2);
  // Plain SDR punishes the gain: |s|^2 / |s - (0.5 s + e)|^2 is about 10 log10(1 / 0.26).
  EXPECT_NEAR(s.sdr, 10.0 * std::log10(1.0 / (0.25 + 0.0025)), 0.2);

  const auto identical = score(ref.data(), n, ref.data(), n, 10);
  EXPECT_EQ(identical.lag, 0);
  EXPECT_TRUE(std::isinf(identical.siSdr));
  EXPECT_THROW(score(ref.data(), 0, est.data(), n, 10), std::invalid_argument);
}

// The message score() refuses with, or "" when it scores.
std::string refusal(const std::vector<float>& reference, const std::vector<float>& estimate) {
  try {
    score(reference.data(), static_cast<long>(reference.size()), estimate.data(),
          static_cast<long>(estimate.size()), 10);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Score, RefusesUndefinedRatiosAndNonFiniteSamples) {
  std::vector<float> ref = noiseSignal(2000, 1, 11);
  const std::vector<float> zeros(2000, 0.0f), constant(2000, 0.25f);
  EXPECT_NE(refusal(ref, zeros).find("SI-SDR is undefined: the estimate is silent"),
            std::string::npos);
  // A constant has no power once its mean is removed: SI-SDR has nothing to scale.
  EXPECT_NE(refusal(ref, constant).find("the estimate is silent"), std::string::npos);
  EXPECT_NE(refusal(zeros, ref).find("SI-SDR is undefined: the reference is silent"),
            std::string::npos);

  std::vector<float> nan = ref, inf = ref;
  nan[1500] = std::numeric_limits<float>::quiet_NaN();
  inf[3] = -std::numeric_limits<float>::infinity();
  EXPECT_NE(refusal(ref, nan).find("the estimate holds nan at sample 1500"), std::string::npos)
      << refusal(ref, nan);
  EXPECT_NE(refusal(inf, ref).find("the reference holds -inf at sample 3"), std::string::npos)
      << refusal(inf, ref);

  // Still defined: a perfect estimate, and one at a gain with a DC offset.
  std::vector<float> offset = ref;
  for (float& v : offset) v = 3.0f * v + 0.5f;
  EXPECT_EQ(refusal(ref, ref), "");
  EXPECT_EQ(refusal(ref, offset), "");
  EXPECT_GT(score(ref.data(), 2000, offset.data(), 2000, 10).siSdr, 60.0);
}

}  // namespace

// The sparse-mask kernels on every instruction set compiled into the binary give the bits of the
// scalar arithmetic they stand for, tails and the values at the ends of the float range included.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "SparseMaskKernels.h"

namespace {

namespace kernels = nimbusdale::kernels;
constexpr float kInf = std::numeric_limits<float>::infinity();

class EveryTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

/// Magnitude-like values spread over the float range, with exact zeros, subnormals and huge ones
/// mixed in.
std::vector<float> spread(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> exponent(-44.0f, 38.0f), unit(0.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    const float u = unit(rng);
    x = u < 0.1f ? 0.0f : u < 0.5f ? unit(rng) * 4.0f : std::pow(10.0f, exponent(rng)) * unit(rng);
    if (!std::isfinite(x)) x = FLT_MAX;
  }
  return v;
}

TEST_P(EveryTarget, MagnitudesAreTheScalarSquareRootsAndFlagTheRangeEnds) {
  for (size_t n : {0u, 1u, 7u, 257u, 1000u}) {
    SCOPED_TRACE(n);
    std::vector<float> parts = spread(2 * n, 1);
    for (size_t i = 0; i < parts.size(); i += 3) parts[i] = -parts[i];
    std::vector<float> fast(n), scalar(n);
    bool outside = false;
    for (size_t k = 0; k < n; ++k) {
      const float squared = parts[2 * k] * parts[2 * k] + parts[2 * k + 1] * parts[2 * k + 1];
      outside |= !(squared >= FLT_MIN && squared <= FLT_MAX);
      scalar[k] = std::sqrt(squared);
    }
    EXPECT_EQ(kernels::magnitudes(parts.data(), fast.data(), n), outside);
    EXPECT_TRUE(sameBits(fast, scalar));
  }
  // Values that stay in range are not flagged, whatever the count.
  std::vector<float> ones(2 * 37, 1.0f), out(37);
  EXPECT_FALSE(kernels::magnitudes(ones.data(), out.data(), 37));
  EXPECT_EQ(out[36], std::sqrt(2.0f));
}

TEST_P(EveryTarget, PriorSnrsAreTheScalarArithmetic) {
  for (float alpha : {0.0f, 0.4f, 0.98f})
    for (size_t n : {0u, 3u, 257u, 1000u}) {
      SCOPED_TRACE(std::to_string(alpha) + ", " + std::to_string(n));
      const std::vector<float> a = spread(n, 2), previous = spread(n, 4);
      std::vector<float> s = spread(n, 3);
      for (size_t k = 0; k < n; k += 5) s[k] = a[k];  // residual exactly 0
      const float keep = 1.0f - alpha, inverseMu = 1.25f;
      std::vector<float> fast(n), scalar(n), fastLive(n, 1.0f), scalarLive(n, 1.0f);
      bool sounds = false;
      for (size_t k = 0; k < n; ++k) {
        scalar[k] = kernels::priorSnr(a[k], s[k], previous[k], alpha, keep, inverseMu);
        scalarLive[k] += a[k] > 0.0f ? 1.0f : 0.0f;
        sounds |= a[k] > 0.0f;
      }
      EXPECT_EQ(kernels::priorSnrs(a.data(), s.data(), previous.data(), alpha, keep, inverseMu,
                                   fast.data(), fastLive.data(), n),
                sounds);
      EXPECT_TRUE(sameBits(fast, scalar));
      EXPECT_TRUE(sameBits(fastLive, scalarLive));
      for (float x : fast) ASSERT_FALSE(std::isnan(x));
    }
  const std::vector<float> zeros(19, 0.0f);
  std::vector<float> xi(19), live(19, 0.0f);
  EXPECT_FALSE(kernels::priorSnrs(zeros.data(), zeros.data(), zeros.data(), 0.5f, 0.5f, 1.0f,
                                  xi.data(), live.data(), 19));
  EXPECT_EQ(xi, std::vector<float>(19, kInf));
  EXPECT_EQ(live, std::vector<float>(19, 0.0f));
}

TEST_P(EveryTarget, MediansAndWienerGainsAreTheScalarArithmetic) {
  for (size_t n : {0u, 5u, 257u}) {
    SCOPED_TRACE(n);
    std::vector<float> lower = spread(n, 5), upper = spread(n, 6);
    for (size_t k = 0; k < n; k += 7) upper[k] = kInf;
    std::vector<float> lo(n), hi(n);
    for (size_t k = 0; k < n; ++k) {
      lo[k] = std::min(lower[k], upper[k]);
      hi[k] = std::max(lower[k], upper[k]);
    }
    for (bool odd : {true, false}) {
      std::vector<float> fast(n), scalar(n);
      for (size_t k = 0; k < n; ++k) {
        const float xi = odd ? hi[k] : (lo[k] + hi[k]) * 0.5f;
        const float g = 1.0f / (1.0f + 1.0f / xi);
        scalar[k] = g > 0.03f ? g : 0.03f;
      }
      kernels::wienerGains(lo.data(), hi.data(), odd, 0.03f, fast.data(), n);
      EXPECT_TRUE(sameBits(fast, scalar)) << (odd ? "odd" : "even");
    }
    // Five rows and every live count from 0 to 5.
    std::vector<float> sorted = spread(5 * n, 7), live(n), fast(n), scalar(n);
    for (size_t k = 0; k < n; ++k) live[k] = static_cast<float>(k % 6);
    kernels::medians({sorted.data(), live.data(), 5, fast.data(), n});
    kernels::medianBins({sorted.data(), live.data(), 5, scalar.data(), n}, 0, n);
    EXPECT_TRUE(sameBits(fast, scalar));
  }
}

TEST_P(EveryTarget, SpatialSweepsAreTheScalarArithmetic) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  auto values = [&](size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = unit(rng);
    return v;
  };
  for (size_t n : {0u, 1u, 7u, 257u, 1000u}) {
    SCOPED_TRACE(n);
    const std::vector<float> ur = values(n), ui = values(n), rr = values(n), ri = values(n);
    std::vector<float> power = values(n), update(n);
    for (size_t k = 0; k < n; ++k) {
      power[k] = std::fabs(power[k]) + 0.5f;
      update[k] = k % 3 == 0 ? 0.0f : 1.0f;
    }

    // Three channels of magnitudes with bins silent in every channel, in some, and NaN.
    const size_t channels = 3;
    std::vector<float> a = values(channels * n);
    for (float& x : a) x = std::fabs(x);
    for (size_t k = 0; k < n; k += 4) a[k] = 0.0f;
    for (size_t k = 0; k < n; k += 8) a[n + k] = a[2 * n + k] = 0.0f;
    for (size_t k = 2; k < n; k += 5) a[n + k] = std::nanf("");
    const std::vector<float> spectra = values(2 * channels * n);
    std::vector<float> scaled[2][5];
    for (auto& rows : scaled) {
      for (int j = 0; j < 3; ++j) rows[j] = values(n);
      rows[3] = values(channels * n), rows[4] = values(channels * n);
    }
    const auto scalingRows = [&](std::vector<float>* v) {
      return kernels::ChannelScaling{a.data(),    spectra.data(), channels,    v[0].data(),
                                     v[1].data(), v[3].data(),    v[4].data(), v[2].data(),
                                     n};
    };
    kernels::scaleChannels(scalingRows(scaled[0]));
    kernels::scaleChannelBins(scalingRows(scaled[1]), 0, n);
    for (int j = 0; j < 5; ++j) EXPECT_TRUE(sameBits(scaled[0][j], scaled[1][j])) << "row " << j;

    // A zero a-row bin and a NaN b-power give `unknown`, and the match may land on aPower itself.
    std::vector<float> aRe = values(channels * n), aIm = values(channels * n),
                       bRe = values(channels * n), bIm = values(channels * n), bPower = power;
    for (size_t k = 0; k < n; k += 5)
      for (size_t c = 0; c < channels; ++c) aRe[c * n + k] = aIm[c * n + k] = 0.0f;
    for (size_t k = 2; k < n; k += 9) bPower[k] = std::nanf("");
    for (const bool inPlace : {false, true}) {
      std::vector<float> aPower[2] = {values(n), {}}, out[2] = {values(n), {}};
      aPower[1] = aPower[0], out[1] = out[0];
      const auto rows = [&](int i) {
        return kernels::MatchRows{aRe.data(), aIm.data(), bRe.data(), bIm.data(), channels, n,
                                  bPower.data(), aPower[i].data(),
                                  inPlace ? aPower[i].data() : out[i].data(), -1.0f, n};
      };
      kernels::matches(rows(0));
      kernels::matchBins(rows(1), 0, n);
      EXPECT_TRUE(sameBits(aPower[0], aPower[1]) && sameBits(out[0], out[1]));
    }
    // The three matches of a frame in one pass, a as noise and b as speech.
    const std::vector<float> uRe = values(channels * n), uIm = values(channels * n);
    std::vector<float> matched[2][5];
    for (auto& rows : matched)
      for (auto& row : rows) row = values(n);
    const auto directionRows = [&](std::vector<float>* v) {
      return kernels::DirectionMatchRows{aRe.data(),  aIm.data(),  bRe.data(),  bIm.data(),
                                         uRe.data(),  uIm.data(),  bPower.data(), channels,
                                         v[0].data(), v[1].data(), v[2].data(), v[3].data(),
                                         v[4].data(), n};
    };
    kernels::directionMatches(directionRows(matched[0]));
    kernels::directionMatchBins(directionRows(matched[1]), 0, n);
    for (int j = 0; j < 5; ++j) EXPECT_TRUE(sameBits(matched[0][j], matched[1][j])) << "row " << j;

    // The weights from those matches (values in [-1, 1]: some unknown), at two powers.
    for (const int power : {1, 3}) {
      std::vector<float> weights[2] = {values(n), values(n)};
      const auto weightRows = [&](int i) {
        return kernels::SpatialWeightRows{matched[0][2].data(), matched[0][3].data(),
                                          matched[0][4].data(), 0.01f, 0.3f, power,
                                          weights[i].data(), n};
      };
      kernels::spatialWeights(weightRows(0));
      kernels::spatialWeightBins(weightRows(1), 0, n);
      EXPECT_TRUE(sameBits(weights[0], weights[1])) << "power " << power;
    }

    // The reference channel's own row as both u and r, as the integration passes it.
    for (const bool own : {false, true}) {
      const float* r0 = own ? ur.data() : rr.data();
      const float* r1 = own ? ui.data() : ri.data();
      std::vector<float> hr = values(n), hi = values(n);
      std::vector<float> slowHr = hr, slowHi = hi;
      kernels::learnDirection(hr.data(), hi.data(), ur.data(), ui.data(), r0, r1, power.data(),
                              update.data(), 0.9f, 0.1f, n);
      for (size_t k = 0; k < n; ++k) {
        if (update[k] == 0.0f) continue;
        const float crossRe = (ur[k] * r0[k] + ui[k] * r1[k]) / power[k];
        const float crossIm = (ui[k] * r0[k] - ur[k] * r1[k]) / power[k];
        slowHr[k] = 0.9f * slowHr[k] + 0.1f * crossRe;
        slowHi[k] = 0.9f * slowHi[k] + 0.1f * crossIm;
      }
      EXPECT_TRUE(sameBits(hr, slowHr) && sameBits(hi, slowHi));
    }
  }
}

TEST_P(EveryTarget, BeamSweepsAreTheScalarArithmetic) {
  for (size_t n : {0u, 5u, 257u, 1000u}) {
    SCOPED_TRACE(n);
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const auto values = [&](size_t count) {
      std::vector<float> v(count);
      for (float& x : v) x = unit(rng) * 100.0f;
      return v;
    };
    // Rows with zeros, negatives and NaN where the beam must leave a bin uncovered.
    const auto mixed = [&](size_t count) {
      std::vector<float> v = values(count);
      for (size_t k = 0; k < count; k += 7) v[k] = 0.0f;
      for (size_t k = 3; k < count; k += 11) v[k] = -v[k];
      for (size_t k = 5; k < count; k += 13) v[k] = std::nanf("");
      return v;
    };
    // Three channels of rows, the reference the middle one; flags with zeros, NaN and
    // silent bins; two of the channels in the beam, out of order.
    const size_t channels = 3;
    const std::vector<float> xRe = values(channels * n), xIm = values(channels * n),
                             toUnits = values(n), refRe = values(n), refIm = values(n),
                             keep = values(n), take = values(n), largest = mixed(n),
                             noiseOnly = mixed(n), speech = mixed(n);
    std::vector<float> fast[8], slow[8];
    for (int j = 0; j < 6; ++j) slow[j] = fast[j] = values(channels * n);
    slow[6] = fast[6] = keep;
    slow[7] = fast[7] = take;
    for (const bool learnSpeech : {true, false}) {
      const auto learnRows = [&](std::vector<float>* v) {
        return kernels::BeamLearn{xRe.data(),  xIm.data(),  toUnits.data(), largest.data(),
                                  noiseOnly.data(), speech.data(), learnSpeech, channels, 1,
                                  0.9f,        0.1f,        v[6].data(),    v[7].data(),
                                  v[0].data(), v[1].data(), v[2].data(),    v[3].data(),
                                  v[4].data(), v[5].data(), n};
      };
      kernels::beamLearn(learnRows(fast));
      kernels::beamLearnBins(learnRows(slow), 0, n);
      for (int j = 0; j < 8; ++j) EXPECT_TRUE(sameBits(fast[j], slow[j])) << "row " << j;
    }

    const std::vector<float> own = mixed(n), mRe = mixed(channels * n);
    const int members[] = {2, 0};
    std::vector<float> outs[2] = {std::vector<float>(2 * n), std::vector<float>(2 * n)},
                       noises[2] = {std::vector<float>(n), std::vector<float>(n)},
                       reductions[2] = {std::vector<float>(n), std::vector<float>(n)};
    const auto steerRows = [&](int i) {
      return kernels::BeamSteer{xRe.data(), xIm.data(), toUnits.data(), mRe.data(),
                                fast[1].data(), fast[2].data(), slow[3].data(), slow[4].data(),
                                members, 2, own.data(), 0.01f, outs[i].data(),
                                noises[i].data(), reductions[i].data(), n};
    };
    kernels::beamSteer(steerRows(0));
    kernels::beamSteerBins(steerRows(1), 0, n);
    EXPECT_TRUE(sameBits(outs[0], outs[1]) && sameBits(noises[0], noises[1]) &&
                sameBits(reductions[0], reductions[1]));

    // The delay fit's phases: speech equal to noise in some bins (size 0), noise 0 in others,
    // zero and NaN powers.
    std::vector<float> phases[2][6];
    for (auto& rows : phases)
      for (auto& row : rows) row = std::vector<float>(n);
    std::vector<float> noiseRe = refRe, noiseIm = take;
    for (size_t k = 0; k < n; k += 6) noiseRe[k] = keep[k];
    for (size_t k = 3; k < n; k += 6) noiseRe[k] = noiseIm[k] = 0.0f;
    const auto phaseRows = [&](std::vector<float>* v) {
      return kernels::DelayPhases{keep.data(),  take.data(), noiseRe.data(), noiseIm.data(),
                                  own.data(),   mRe.data(),  v[0].data(),    v[1].data(),
                                  v[2].data(),  v[3].data(), v[4].data(),    v[5].data(),
                                  n};
    };
    const kernels::PhaseCounts fastCounts = kernels::delayPhases(phaseRows(phases[0]));
    const kernels::PhaseCounts slowCounts = kernels::delayPhaseBins(phaseRows(phases[1]), 0, n);
    EXPECT_EQ(fastCounts.talker, slowCounts.talker);
    EXPECT_EQ(fastCounts.noise, slowCounts.noise);
    for (int j = 0; j < 6; ++j) EXPECT_TRUE(sameBits(phases[0][j], phases[1][j])) << "row " << j;

    for (float alpha : {0.0f, 0.4f}) {
      std::vector<float> outs[2] = {values(2 * n), {}}, noises[2] = {mixed(n), {}},
                         gains[2] = {values(n), {}}, applied[2] = {values(n), {}};
      outs[1] = outs[0], noises[1] = noises[0], gains[1] = gains[0], applied[1] = applied[0];
      const std::vector<float> reduction = values(n), level = values(n);
      const auto gainRows = [&](int i) {
        return kernels::BeamGainRows{outs[i].data(),  noises[i].data(), reduction.data(),
                                     keep.data(),     toUnits.data(),   take.data(),
                                     refRe.data(),    level.data(),     alpha,
                                     1.0f - alpha,    1.25f,            0.03f,
                                     0.5f,            gains[i].data(),  applied[i].data(),
                                     n};
      };
      kernels::beamGains(gainRows(0));
      kernels::beamGainBins(gainRows(1), 0, n);
      EXPECT_TRUE(sameBits(outs[0], outs[1]) && sameBits(noises[0], noises[1]) &&
                  sameBits(gains[0], gains[1]) && sameBits(applied[0], applied[1]));
    }
  }
}

TEST_P(EveryTarget, TailLimitIsTheScalarArithmetic) {
  for (size_t n : {0u, 5u, 257u}) {
    SCOPED_TRACE(n);
    const std::vector<float> a = spread(n, 11), last = spread(n, 12), gain = spread(n, 13);
    std::vector<float> tailing(n);
    for (size_t k = 0; k < n; ++k) tailing[k] = k % 3 == 0 ? 1.0f : 0.0f;
    for (bool afterSpeech : {false, true}) {
      std::vector<float> fastGain = gain, fastTailing = tailing;
      std::vector<float> scalarGain = gain, scalarTailing = tailing;
      kernels::limitTails({a.data(), last.data(), fastGain.data(), fastTailing.data(), 0.7f,
                           afterSpeech, n});
      kernels::limitTailBins({a.data(), last.data(), scalarGain.data(), scalarTailing.data(),
                              0.7f, afterSpeech, n},
                             0, n);
      EXPECT_TRUE(sameBits(fastGain, scalarGain)) << afterSpeech;
      EXPECT_TRUE(sameBits(fastTailing, scalarTailing)) << afterSpeech;
    }
  }
}

TEST_P(EveryTarget, OutputGainsRowScalingAndTalkerCountsAreTheScalarArithmetic) {
  for (size_t n : {0u, 5u, 257u}) {
    SCOPED_TRACE(n);
    const std::vector<float> gain = spread(n, 21), spectrum = spread(2 * n, 22);
    const std::vector<float> beamOut = spread(2 * n, 23), units = spread(n, 24);
    std::vector<float> beamNoise = spread(n, 25);
    for (size_t k = 0; k < n; k += 4) beamNoise[k] = -beamNoise[k];
    for (bool beaming : {false, true}) {
      std::vector<float> fast(2 * n), scalar(2 * n);
      const kernels::GainRows rows{gain.data(), spectrum.data(), beamOut.data(), beamNoise.data(),
                                   units.data(), beaming,        nullptr,        n};
      kernels::GainRows into = rows;
      into.out = fast.data();
      kernels::applyGains(into);
      into.out = scalar.data();
      kernels::applyGainBins(into, 0, n);
      EXPECT_TRUE(sameBits(fast, scalar)) << beaming;
    }
    const std::vector<float> magnitudes = spread(3 * n, 26);
    std::vector<float> scaled(3 * n), expected(3 * n);
    kernels::scaleRows(gain.data(), magnitudes.data(), scaled.data(), 3, n);
    for (size_t i = 0; i < 3 * n; ++i) expected[i] = gain[i % n] * magnitudes[i];
    EXPECT_TRUE(sameBits(scaled, expected));

    // Flags and matches around each threshold, NaN among them.
    std::mt19937 rng(27);
    std::uniform_real_distribution<float> unit(-0.2f, 1.2f);
    std::vector<float> inverseScale(n), snr(n), taught(n), speechMatch(n), otherMatch(n),
        otherLikeness(n);
    for (size_t k = 0; k < n; ++k) {
      inverseScale[k] = k % 9 == 0 ? 0.0f : 1.0f;
      snr[k] = k % 13 == 0 ? std::nanf("") : 6.0f * unit(rng);
      taught[k] = std::floor(8.0f * unit(rng));
      speechMatch[k] = unit(rng), otherMatch[k] = unit(rng), otherLikeness[k] = unit(rng);
    }
    const kernels::TalkerRows talkers{inverseScale.data(), snr.data(),        taught.data(),
                                      speechMatch.data(),  otherMatch.data(), otherLikeness.data(),
                                      4.0f,                3.0f,              0.6f,
                                      0.5f,                0.7f,              n};
    kernels::TalkerCounts inOrder;
    kernels::talkerCountBins(talkers, 0, n, inOrder);
    const kernels::TalkerCounts counts = kernels::talkerCounts(talkers);
    EXPECT_EQ(counts.speaking, inOrder.speaking);
    EXPECT_EQ(counts.strayed, inOrder.strayed);
    EXPECT_EQ(counts.tellable, inOrder.tellable);
    EXPECT_EQ(counts.alone, inOrder.alone);
    if (n == 257) {
      EXPECT_GT(inOrder.alone, 0u);
    }
  }
}

TEST_P(EveryTarget, CountsPowersAndTheTalkerLockAreTheScalarArithmetic) {
  for (size_t n : {0u, 5u, 257u}) {
    SCOPED_TRACE(n);
    std::vector<float> s = spread(4 * n, 31), a = spread(4 * n, 32);
    for (size_t i = 0; i < s.size(); i += 3) s[i] = -s[i];
    std::vector<float> fast(n), scalar(n);
    kernels::countBothPositive(s.data(), a.data(), fast.data(), 4, n);
    kernels::countBothPositiveBins(s.data(), a.data(), scalar.data(), 4, n, 0, n);
    EXPECT_TRUE(sameBits(fast, scalar));
    EXPECT_EQ(kernels::sumSquares(a.data(), fast.data(), 4, n),
              kernels::sumSquareBins(a.data(), scalar.data(), 4, n, 0, n));
    EXPECT_TRUE(sameBits(fast, scalar));

    std::mt19937 rng(33);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> speech(n), taught(n), speechMatch(n);
    for (size_t k = 0; k < n; ++k) {
      speech[k] = unit(rng) < 0.6f ? 1.0f : 0.0f;
      taught[k] = std::floor(6.0f * unit(rng));
      speechMatch[k] = unit(rng);
    }
    for (bool talking : {false, true}) {
      std::vector<float> fastSpeech = speech, fastTaught = taught, fastOther(n, 2.0f);
      std::vector<float> slowSpeech = speech, slowTaught = taught, slowOther(n, 2.0f);
      const bool any = kernels::lockSpeech({fastSpeech.data(), fastTaught.data(),
                                            fastOther.data(), speechMatch.data(), 4.0f, 0.6f,
                                            talking, n});
      EXPECT_EQ(any, kernels::lockBins({slowSpeech.data(), slowTaught.data(), slowOther.data(),
                                        speechMatch.data(), 4.0f, 0.6f, talking, n},
                                       0, n));
      if (n == 257) {
        EXPECT_EQ(any, talking);
      }
      EXPECT_TRUE(sameBits(fastSpeech, slowSpeech) && sameBits(fastTaught, slowTaught) &&
                  sameBits(fastOther, slowOther));
    }
  }
}

// Frames whose alignment lies anywhere, exactly at the threshold (where only the sums in order
// can tell), or is not a number: the lanes' answer is always the answer in order.
TEST_P(EveryTarget, BeamStraysGivesTheAnswerOfTheSumsInOrder) {
  constexpr size_t kChannels = 5, kBins = 203;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f), angle(-3.1f, 3.1f);
  int strayed = 0;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<float> re(kChannels * kBins), im(re.size()), sr(re.size()), si(re.size());
    std::vector<float> largest(kBins), noiseOnly(kBins), speech(kBins);
    std::vector<unsigned char> member(kChannels);
    for (size_t k = 0; k < kBins; ++k) {
      largest[k] = unit(rng) > -0.8f ? 1.0f : 0.0f;
      noiseOnly[k] = unit(rng) > 0.6f ? 1.0f : 0.0f;
      speech[k] = unit(rng) > -0.5f ? 1.0f : 0.0f;
    }
    for (size_t c = 0; c < kChannels; ++c) member[c] = c == 0 || unit(rng) > -0.3f;
    // Steering vectors a fixed angle off x = u_c conj(u_r). From trial 20 on, the angle puts each
    // term's part along them at half its size, the threshold itself, but for rounding.
    const float offset = trial < 20 ? angle(rng) : 1.04719755f;
    for (size_t i = 0; i < re.size(); ++i) re[i] = unit(rng), im[i] = unit(rng);
    for (size_t i = 0; i < re.size(); ++i) {
      const size_t k = i % kBins;
      const float phase = std::atan2(im[i] * re[k] - re[i] * im[k], re[i] * re[k] + im[i] * im[k]);
      sr[i] = std::cos(phase + offset);
      si[i] = std::sin(phase + offset);
    }
    if (trial >= 50) re[kBins + static_cast<size_t>(trial)] = std::nanf("");
    const kernels::BeamAlignment rows{re.data(),      im.data(),     sr.data(),        si.data(),
                                      largest.data(), noiseOnly.data(), speech.data(),
                                      member.data(),  kChannels,     0,                kBins,
                                      0.5f};
    const bool inOrder = kernels::beamStraysInOrder(rows);
    EXPECT_EQ(kernels::beamStrays(rows), inOrder);
    strayed += inOrder;
  }
  EXPECT_GT(strayed, 5);
  EXPECT_LT(strayed, 55);
}

INSTANTIATE_TEST_SUITE_P(SparseMaskKernels, EveryTarget,
                         ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return std::string(hwy::TargetName(info.param));
                         });

}  // namespace

// SparseMaskIntegration on synthetic frames whose gains are known in closed form: the Wiener gain
// of the channels' median a priori SNR, its decision-directed smoothing over frames, the floor,
// the channels left out, the spatial term, the talker lock, the transient hold, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <vector>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SparseMaskIntegration.h"

namespace {

using cfloat = std::complex<float>;
using nimbusdale::SparseMaskIntegration;
using nimbusdale::SparseMaskSettings;

SparseMaskSettings settings(int channels, int bins, float alpha = 0.0f, float mu = 1.0f,
                            float floor = 0.0f) {
  SparseMaskSettings s;
  s.numChannels = channels;
  s.numBins = bins;
  s.snrSmoothing = alpha;
  s.noiseOverestimation = mu;
  s.gainFloor = floor;
  // The closed forms below are those of the rule without the spatial term, the transient hold
  // and the tail's limit.
  s.spatialWeight = 0;
  s.transientSpread = 1.0f;
  s.tailDecay = 0.0f;
  return s;
}

// One frame through `mask`; the spectrum's values are real and positive unless given.
std::vector<cfloat> run(SparseMaskIntegration& mask, const std::vector<cfloat>& spectrum,
                        const std::vector<float>& sparse) {
  const int bins = mask.settings().numBins;
  std::vector<cfloat> out(static_cast<size_t>(bins), cfloat(-7, -7));
  mask.checkInputs(sparse.data(), spectrum.data());
  mask.process(sparse.data(), spectrum.data(), out.data());
  return out;
}

float wiener(float xi) {
  return xi / (1.0f + xi);
}

TEST(SparseMaskIntegration, WienerGainOfTheMedianSnrOnChannelZero) {
  // Bin 0: magnitude 3 in every channel with sparse parts 2, 1, 1.5: residuals 1, 2, 1.5 and
  // xi_c = 4, 0.25, 1; the median is 1, so the gain is 1/2. Bin 1: xi_c = 1/9 for every channel.
  SparseMaskIntegration mask(settings(3, 2));
  const std::vector<cfloat> spectrum{cfloat(0, 3), cfloat(-2.4f, 3.2f), cfloat(3, 0),
                                     cfloat(4, 0), cfloat(0, 3),        cfloat(0, -4)};
  const std::vector<float> sparse{2, 1, 1, 1, 1.5f, 1};
  const auto out = run(mask, spectrum, sparse);
  EXPECT_FLOAT_EQ(mask.gains()[0], 0.5f);
  EXPECT_FLOAT_EQ(mask.gains()[1], wiener(1.0f / 9.0f));
  // Channel 0's complex value times the gain: its phase, and its fine structure, pass through.
  EXPECT_EQ(out[0], cfloat(0, 1.5f));
  EXPECT_FLOAT_EQ(out[1].real(), -2.4f * wiener(1.0f / 9.0f));
  EXPECT_FLOAT_EQ(out[1].imag(), 3.2f * wiener(1.0f / 9.0f));
}

TEST(SparseMaskIntegration, AnEvenCountTakesTheMeanOfTheMiddleTwo) {
  // xi_c = 4, 0.25, 1, 9: the middle two are 1 and 4.
  SparseMaskIntegration mask(settings(4, 1));
  run(mask, {cfloat(3), cfloat(3), cfloat(3), cfloat(4)}, {2, 1, 1.5f, 3});
  EXPECT_FLOAT_EQ(mask.gains()[0], wiener(2.5f));
}

TEST(SparseMaskIntegration, NoiseOverestimationDividesTheSnr) {
  SparseMaskIntegration mask(settings(1, 1, 0.0f, 4.0f));
  run(mask, {cfloat(3)}, {2});  // (2 / 1)^2 / 4 = 1
  EXPECT_FLOAT_EQ(mask.gains()[0], 0.5f);
}

TEST(SparseMaskIntegration, DecisionDirectedSnrUsesTheLastFramesCleanEstimate) {
  // Frame 1 has no clean estimate yet: A = 3, S = 2, xi = 0.4 * 4 = 1.6, and its clean estimate
  // is G * 3. Frame 2: A = 5, S = 1, so N = 4 and xi = 0.6 (G * 3 / 4)^2 + 0.4 (1 / 4)^2.
  SparseMaskIntegration mask(settings(1, 1, 0.6f));
  run(mask, {cfloat(3)}, {2});
  const float first = wiener(0.4f * 4.0f);
  EXPECT_FLOAT_EQ(mask.gains()[0], first);
  run(mask, {cfloat(0, 5)}, {1});
  const float carried = first * 3.0f / 4.0f;
  EXPECT_FLOAT_EQ(mask.gains()[0], wiener(0.6f * carried * carried + 0.4f * (0.25f * 0.25f)));
  // Without the smoothing the second frame stands alone.
  SparseMaskIntegration plain(settings(1, 1, 0.0f));
  run(plain, {cfloat(3)}, {2});
  EXPECT_FLOAT_EQ(plain.gains()[0], 0.8f);
  run(plain, {cfloat(0, 5)}, {1});
  EXPECT_FLOAT_EQ(plain.gains()[0], wiener(1.0f / 16.0f));
}

TEST(SparseMaskIntegration, TheFloorBoundsTheGainFromBelow) {
  SparseMaskIntegration mask(settings(1, 3, 0.0f, 1.0f, 0.1f));
  // No sparse part: xi = 0 and the gain is the floor; all of it sparse: xi = inf, gain 1.
  const auto out = run(mask, {cfloat(2), cfloat(3), cfloat(4)}, {0, 3, 5});
  EXPECT_EQ(mask.gains(), (std::vector<float>{0.1f, 1.0f, 1.0f}));
  EXPECT_EQ(out[0], cfloat(0.2f, 0));
  EXPECT_EQ(out[2], cfloat(4, 0));
}

TEST(SparseMaskIntegration, ChannelsThatHearNothingAreLeftOut) {
  // Channel 1 is dead. With it counted as xi = 0, the lower middle of (4, 0, 0.25) would be
  // 0.25; left out, the median of (4, 0.25) is their mean.
  SparseMaskIntegration mask(settings(3, 1));
  run(mask, {cfloat(3), cfloat(0), cfloat(3)}, {2, 0, 1});
  EXPECT_FLOAT_EQ(mask.gains()[0], wiener(2.125f));
  EXPECT_EQ(mask.referenceChannel(), 0);
}

TEST(SparseMaskIntegration, ADeadChannelZeroGivesTheGainToTheFirstLiveOne) {
  // Channel 0's whole frame is 0: the gain goes on channel 1, or the output would be silent.
  SparseMaskIntegration mask(settings(3, 2));
  const auto out = run(mask, {cfloat(0), cfloat(0), cfloat(0, 3), cfloat(4), cfloat(3), cfloat(2)},
                       {0, 0, 2, 2, 1, 1});
  EXPECT_EQ(mask.referenceChannel(), 1);
  EXPECT_FLOAT_EQ(out[0].imag(), 3.0f * mask.gains()[0]);
  EXPECT_FLOAT_EQ(out[1].real(), 4.0f * mask.gains()[1]);
  // A zero bin of channel 0 in a frame that is not all zero stays channel 0's.
  run(mask, {cfloat(0), cfloat(1), cfloat(3), cfloat(4), cfloat(3), cfloat(2)}, {0, 0, 2, 2, 1, 1});
  EXPECT_EQ(mask.referenceChannel(), 0);
}

TEST(SparseMaskIntegration, SilenceAndExtremesGiveFiniteBoundedOutput) {
  const float big = std::numeric_limits<float>::max();
  const float tiny = std::numeric_limits<float>::denorm_min();
  for (float alpha : {0.0f, 0.98f}) {
    SCOPED_TRACE(alpha);
    SparseMaskIntegration mask(settings(2, 4, alpha, 1e-30f, 0.0f));
    const std::vector<std::vector<cfloat>> spectra{
        std::vector<cfloat>(8, cfloat(0)),  // digital silence
        {cfloat(big), cfloat(tiny), cfloat(1e-20f), cfloat(0, -big), cfloat(big), cfloat(tiny),
         cfloat(1e-20f), cfloat(3)},
        {cfloat(tiny), cfloat(big), cfloat(0), cfloat(1), cfloat(tiny), cfloat(big), cfloat(1),
         cfloat(0)},
    };
    const std::vector<std::vector<float>> sparses{
        std::vector<float>(8, 0.0f),
        {big, 0, 1e-20f, 0, 0, tiny, 5e-21f, big},
        {0, big, 7, 0.5f, tiny, 0, 0, 1},
    };
    for (int frame = 0; frame < 6; ++frame) {
      const auto out = run(mask, spectra[frame % 3], sparses[frame % 3]);
      for (int k = 0; k < 4; ++k) {
        const cfloat x = spectra[frame % 3][static_cast<size_t>(mask.referenceChannel() * 4 + k)];
        ASSERT_TRUE(std::isfinite(out[k].real()) && std::isfinite(out[k].imag()))
            << "frame " << frame << ", bin " << k;
        ASSERT_TRUE(mask.gains()[k] >= 0.0f && mask.gains()[k] <= 1.0f);
        ASSERT_LE(std::abs(out[k].real()), std::abs(x.real()));
        ASSERT_LE(std::abs(out[k].imag()), std::abs(x.imag()));
      }
    }
  }
}

// Two channels, one bin: channel 1 is channel 0 turned by `phase`, both of magnitude `level`.
std::vector<cfloat> pointSource(float level, float phase) {
  return {cfloat(level, 0), std::polar(level, phase)};
}

TEST(SparseMaskIntegration, SpatialTermLowersTheNoiseDirectionAndRaisesTheSpeechDirection) {
  // Noise arrives with channel 1 turned by +1 rad, speech by -1 rad. The noise direction is
  // learnt from frames with no sparse part, the speech direction from frames with xi = 81.
  // A test frame has xi = 1 (Wiener gain 1/2): matching the noise direction, m_n = 1 and
  // m_s = cos^2(1) drive it to about 3e-6; matching the speech direction, to about 1 - 3e-6.
  const float noise = 1.0f, speech = -1.0f;
  for (int weight : {0, 1, 3}) {
    SCOPED_TRACE(weight);
    SparseMaskSettings s = settings(2, 1);
    s.spatialWeight = weight;
    SparseMaskIntegration mask(s);
    // Before anything is learnt the spatial term leaves xi alone.
    run(mask, pointSource(1, noise), {0.5f, 0.5f});
    EXPECT_FLOAT_EQ(mask.gains()[0], 0.5f);
    for (int frame = 0; frame < 600; ++frame) {
      run(mask, pointSource(1, noise), {0, 0});
      run(mask, pointSource(2, speech), {1.8f, 1.8f});
    }
    // Gains of test frames, each after the same learning, level 1 and then 1e30 (the directions
    // do not depend on the level, and nothing overflows).
    for (float level : {1.0f, 1e30f}) {
      SparseMaskIntegration noiseTest = mask, speechTest = mask;
      run(noiseTest, pointSource(level, noise), {0.5f * level, 0.5f * level});
      run(speechTest, pointSource(level, speech), {0.5f * level, 0.5f * level});
      if (weight == 0) {
        EXPECT_FLOAT_EQ(noiseTest.gains()[0], 0.5f);
        EXPECT_FLOAT_EQ(speechTest.gains()[0], 0.5f);
      } else {
        const float ratio = (1.0f - std::cos(1.0f) * std::cos(1.0f) + 0.01f) / 0.01f;
        EXPECT_NEAR(noiseTest.gains()[0], wiener(std::pow(ratio, -float(weight))), 1e-3f);
        EXPECT_NEAR(speechTest.gains()[0], wiener(std::pow(ratio, float(weight))), 1e-3f);
        EXPECT_LT(noiseTest.gains()[0], 0.05f);
        EXPECT_GT(speechTest.gains()[0], 0.95f);
      }
    }
  }
}

TEST(SparseMaskIntegration, SpatialTermStaysOutWhereItCannotTellTheDirectionsApart) {
  // Speech and noise from the same direction: the two matches are equal and xi is unchanged.
  // One channel has no direction at all; a silent bin teaches nothing.
  SparseMaskSettings s = settings(2, 1);
  SparseMaskIntegration same(s);
  for (int frame = 0; frame < 200; ++frame) {
    run(same, pointSource(1, 0.7f), {0, 0});
    run(same, pointSource(2, 0.7f), {1.8f, 1.8f});
    run(same, pointSource(0, 0), {0, 0});
  }
  run(same, pointSource(1, 0.7f), {0.5f, 0.5f});
  EXPECT_NEAR(same.gains()[0], 0.5f, 1e-3f);

  SparseMaskSettings mono = settings(1, 1);
  mono.spatialWeight = 8;
  SparseMaskIntegration one(mono);
  for (int frame = 0; frame < 20; ++frame) run(one, {cfloat(2)}, {frame % 2 ? 1.8f : 0.0f});
  run(one, {cfloat(1)}, {0.5f});
  EXPECT_FLOAT_EQ(one.gains()[0], 0.5f);
}

TEST(SparseMaskIntegration, TheTalkerLockKeepsTheTalkerHeardFirstAndLowersAnother) {
  // Four channels, 32 bins, two talkers as point sources with their own delays (in samples of the
  // 62-sample frame) and steady noise from a third direction. The target talks first; then the
  // other talker talks alone, at the same level and SNR (xi = 81 in every bin, gain 0.988).
  const int channels = 4, bins = 32;
  const auto phases = [&](const std::vector<float>& delays, int c, int k) {
    return -2.0f * float(M_PI) * k * delays[static_cast<size_t>(c)] / (2 * (bins - 1));
  };
  const std::vector<float> targetDelays{0, 1, 2, 3}, otherDelays{0, 5, -2, 6};
  const auto source = [&](const std::vector<float>& delays, float level) {
    std::vector<cfloat> x;
    for (int c = 0; c < channels; ++c)
      for (int k = 0; k < bins; ++k) x.push_back(std::polar(level, phases(delays, c, k)));
    return x;
  };
  const auto target = source(targetDelays, 2), other = source(otherDelays, 2);
  const auto noise = source({0, -3, 4, -1}, 1);
  const std::vector<float> speaking(channels * bins, 1.8f), quiet(channels * bins, 0.0f);
  for (int lock : {0, 25}) {
    SCOPED_TRACE(lock);
    SparseMaskSettings s = settings(channels, bins);
    s.spatialWeight = 3;
    s.talkerLock = lock;
    s.beamCoherence = 1.0f;  // the mask's own gain: the beam has its own tests
    SparseMaskIntegration mask(s);
    for (int frame = 0; frame < 100; ++frame) {
      run(mask, noise, quiet);
      run(mask, target, speaking);
    }
    for (int frame = 0; frame < 100; ++frame) {
      run(mask, noise, quiet);
      run(mask, other, speaking);
    }
    // Without the lock one speech direction follows whoever talks, and the other talker passes.
    // With it, the other talker is lowered in every bin where the two directions differ (a match
    // below 1/2); where they are alike no direction can tell them apart.
    for (int k = 0; k < bins; ++k) {
      cfloat dot = 0;
      for (int c = 0; c < channels; ++c)
        dot += std::polar(1.0f, phases(otherDelays, c, k) - phases(targetDelays, c, k));
      if (std::norm(dot) / (channels * channels) >= 0.5f) continue;
      SCOPED_TRACE(k);
      if (lock == 0)
        EXPECT_GT(mask.gains()[static_cast<size_t>(k)], 0.9f);
      else
        EXPECT_LT(mask.gains()[static_cast<size_t>(k)], 0.01f);
    }
    // The target, back, passes in every bin (without the lock, the speech direction has moved
    // to the other talker, and the target is lowered where they differ).
    run(mask, noise, quiet);
    run(mask, target, speaking);
    if (lock > 0) {
      for (float g : mask.gains()) EXPECT_GT(g, 0.9f);
    }
  }
}

TEST(SparseMaskIntegration, TheTransientHoldKeepsAnImpulseFromGrowingTheOutput) {
  // Four bins at magnitude 1 (gain 1/2 each), then an event that lifts every bin by 20 dB and is
  // nearly all sparse: without the hold the gains jump to about 1; with it each bin's output
  // grows by at most 2 a frame while the event builds up, and by 1.2 after.
  SparseMaskSettings s = settings(1, 4);
  s.transientSpread = 0.5f;
  SparseMaskIntegration held(s);
  const auto frame = [](float a, float b, float c, float d) {
    return std::vector<cfloat>{cfloat(a), cfloat(b), cfloat(c), cfloat(d)};
  };
  const auto half = [](const std::vector<cfloat>& x) {  // xi = 1 in every bin
    std::vector<float> sparse;
    for (const cfloat& v : x) sparse.push_back(v.real() / 2);
    return sparse;
  };
  const auto event = [](const std::vector<cfloat>& x) {  // xi = 361 in every bin
    std::vector<float> sparse;
    for (const cfloat& v : x) sparse.push_back(v.real() * 0.95f);
    return sparse;
  };
  run(held, frame(1, 1, 1, 1), half(frame(1, 1, 1, 1)));
  auto out = run(held, frame(10, 10, 10, 10), event(frame(10, 10, 10, 10)));
  EXPECT_FLOAT_EQ(out[0].real(), 1.0f);
  EXPECT_FLOAT_EQ(held.gains()[3], 0.1f);
  // The frame after is held whatever it does; two frames on, a bin whose power rises by more
  // than 1.5 (bin 0) or falls back to within 3 dB of its level before the onset (bin 2) is let
  // go, and one that rises less is let go if it stands within 20 dB of that level (bin 1) and
  // still held if above (bin 3).
  out = run(held, frame(12, 8, 8, 10), event(frame(12, 8, 8, 10)));
  EXPECT_FLOAT_EQ(out[0].real(), 2.0f);
  EXPECT_FLOAT_EQ(out[1].real(), 2.0f);
  out = run(held, frame(15, 9, 1.2f, 11), event(frame(15, 9, 1.2f, 11)));
  EXPECT_NEAR(held.gains()[0], wiener(361.0f), 1e-5f);
  EXPECT_NEAR(held.gains()[1], wiener(361.0f), 1e-5f);
  EXPECT_NEAR(held.gains()[2], wiener(361.0f), 1e-5f);
  EXPECT_FLOAT_EQ(out[3].real(), 2.4f);

  // Half the bins rising is not an onset; nor is sound after digital silence.
  for (const bool silenceFirst : {false, true}) {
    SparseMaskIntegration quiet(s);
    const auto before = silenceFirst ? frame(0, 0, 0, 0) : frame(1, 1, 1, 1);
    run(quiet, before, half(before));
    const auto after = silenceFirst ? frame(10, 10, 10, 10) : frame(10, 10, 1, 1);
    run(quiet, after, event(after));
    EXPECT_NEAR(quiet.gains()[0], wiener(361.0f), 1e-5f);
  }
  // A burst in one bin every 10 frames: the fourth is held, the third (with only two before it)
  // is not.
  SparseMaskIntegration paced(s);
  for (int count = 0; count <= 40; ++count) {
    const bool burst = count % 10 == 0 && count > 0;
    const auto x = burst ? frame(10, 1, 1, 1) : frame(1, 1, 1, 1);
    run(paced, x, burst ? event(x) : half(x));
    if (count == 30) {
      EXPECT_NEAR(paced.gains()[0], wiener(361.0f), 1e-5f);
    }
  }
  EXPECT_FLOAT_EQ(paced.gains()[0], 0.1f);

  // With TRANSIENT_SPREAD 1 there is no hold.
  SparseMaskIntegration off(settings(1, 4));
  run(off, frame(1, 1, 1, 1), half(frame(1, 1, 1, 1)));
  run(off, frame(10, 10, 10, 10), event(frame(10, 10, 10, 10)));
  EXPECT_NEAR(off.gains()[0], wiener(361.0f), 1e-5f);
}

TEST(SparseMaskIntegration, TheTailsLimitLetsTheOutputFadeAfterSpeechOnly) {
  // After speech (every bin nearly all sparse, gain about 1) the split counts everything as
  // noise, so the mask's own gain is 0. A tail fading by 3 dB a frame passes whole; a level
  // that holds fades by the limit's 2 dB a frame.
  SparseMaskSettings s = settings(1, 2);
  s.tailDecay = 2.0f;
  SparseMaskIntegration mask(s);
  const std::vector<float> none{0.0f, 0.0f};
  for (int frame = 0; frame < 3; ++frame) run(mask, {cfloat(1), cfloat(1)}, {0.999f, 0.999f});
  float fading = 1.0f, last = std::abs(run(mask, {cfloat(1), cfloat(1)}, {0.999f, 0.999f})[1]);
  for (int frame = 0; frame < 10; ++frame) {
    fading *= std::pow(10.0f, -3.0f / 20.0f);
    const auto out = run(mask, {cfloat(fading), cfloat(1)}, none);
    EXPECT_FLOAT_EQ(std::abs(out[0]), fading) << frame;
    EXPECT_NEAR(std::abs(out[1]) / last, std::pow(10.0f, -2.0f / 20.0f), 1e-5f) << frame;
    last = std::abs(out[1]);
  }

  // A frame of noise whose one peak passed (a quarter of the power) starts no tail.
  s.numBins = 4;
  SparseMaskIntegration noise(s);
  const std::vector<cfloat> level(4, cfloat(1));
  run(noise, level, {0.999f, 0.0f, 0.0f, 0.0f});
  EXPECT_GT(noise.gains()[0], 0.99f);
  run(noise, level, {0.0f, 0.0f, 0.0f, 0.0f});
  for (float g : noise.gains()) EXPECT_EQ(g, 0.0f);
}

TEST(SparseMaskIntegration, RefusesWhatTheNodeRefuses) {
  SparseMaskIntegration mask(settings(2, 2));
  const std::vector<cfloat> spectrum(4, cfloat(1, 1));
  const std::vector<float> sparse(4, 0.5f);
  auto refusal = [&](std::vector<cfloat> x, std::vector<float> s) -> std::string {
    try {
      mask.checkInputs(s.data(), x.data());
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(refusal(spectrum, sparse), "");
  auto withSparse = [&](int at, float v) {
    auto s = sparse;
    s[static_cast<size_t>(at)] = v;
    return s;
  };
  auto withSpectrum = [&](int at, cfloat v) {
    auto x = spectrum;
    x[static_cast<size_t>(at)] = v;
    return x;
  };
  EXPECT_EQ(refusal(spectrum, withSparse(3, -1.0f)),
            "input SPARSE holds -1 at channel 1, bin 1; values must be finite and non-negative");
  EXPECT_EQ(refusal(spectrum, withSparse(2, NAN)).rfind("input SPARSE holds nan at channel 1", 0),
            0u);
  // Every channel of the spectrum is read, so every channel is checked.
  EXPECT_EQ(refusal(withSpectrum(3, cfloat(INFINITY, 0)), sparse),
            "input SPEC holds (inf,0) at channel 1, bin 1; every value must have a finite "
            "magnitude");
  EXPECT_EQ(refusal(spectrum, withSparse(0, -0.0f)), "");
}

TEST(SparseMaskIntegration, SettingsComeFromTheNodeParameters) {
  nimbusdale::ParameterValues values(nimbusdale::kSparseMaskIntegratorType);
  values.set("NUM_CHANNEL", 3);
  values.set("LENGTH", 511);
  values.set("SNR_SMOOTHING", 0.25f);
  values.set("NOISE_OVERESTIMATION", 2.0f);
  values.set("GAIN_FLOOR", 0.125f);
  values.set("SPATIAL_WEIGHT", 5);
  values.set("SPATIAL_SMOOTHING", 0.5f);
  values.set("TRANSIENT_RISE", 9.0f);
  values.set("TRANSIENT_SPREAD", 0.25f);
  values.set("TALKER_LOCK", 40);
  values.set("BEAM_COHERENCE", 0.5f);
  values.set("TAIL_DECAY", 3.0f);
  const SparseMaskSettings s = SparseMaskSettings::fromParameters(values);
  EXPECT_EQ(s.numChannels, 3);
  EXPECT_EQ(s.numBins, 256);
  EXPECT_EQ(s.snrSmoothing, 0.25f);
  EXPECT_EQ(s.noiseOverestimation, 2.0f);
  EXPECT_EQ(s.gainFloor, 0.125f);
  EXPECT_EQ(s.spatialWeight, 5);
  EXPECT_EQ(s.spatialSmoothing, 0.5f);
  EXPECT_EQ(s.transientRise, 9.0f);
  EXPECT_EQ(s.transientSpread, 0.25f);
  EXPECT_EQ(s.talkerLock, 40);
  EXPECT_EQ(s.beamCoherence, 0.5f);
  EXPECT_EQ(s.tailDecay, 3.0f);
  values.set("SNR_SMOOTHING", 1.0f);
  try {
    SparseMaskSettings::fromParameters(values);
    ADD_FAILURE() << "SNR_SMOOTHING 1 accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "parameter SNR_SMOOTHING is 1; it must lie from 0 up to, but not including, 1");
  }
  EXPECT_THROW(SparseMaskIntegration(settings(0, 4)), std::invalid_argument);
  EXPECT_THROW(SparseMaskIntegration(settings(1, 4, 0.0f, 0.0f)), std::invalid_argument);
  EXPECT_THROW(SparseMaskIntegration(settings(1, 4, 0.0f, 1.0f, 1.5f)), std::invalid_argument);
}

}  // namespace

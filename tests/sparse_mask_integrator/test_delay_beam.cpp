// DelayBeam on synthetic point sources with known delays: the fit finds each channel's delay,
// the beam passes the talker unchanged and nulls a point-source noise, and channels it cannot
// steer (dead, or hearing the talker incoherently) stay out. Then the mask integrator with the
// beam on: bounded, finite output at the ends of the float range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "DelayBeam.h"
#include "nimbusdale/SparseMaskIntegration.h"

namespace {

using cfloat = std::complex<float>;
constexpr int kBins = 257;  // LENGTH 512
constexpr float kPi = 3.14159265f;

// One frame, C x F: the talker S delayed by talker[c] samples, the noise N by noise[c] samples
// and scaled by gain[c], and a faint independent hiss; `scramble` channels hear the talker with
// a random phase in every bin (incoherent with the reference), `blur` channels hear it as well
// as an independent sound as loud (as in a reverberant room).
struct Scene {
  std::vector<float> talker, noise, gain;
  std::vector<int> scramble = {}, dead = {}, blur = {};
  std::mt19937 random{7};

  std::vector<cfloat> frame(float speech, float noiseLevel) {
    const int channels = static_cast<int>(talker.size());
    std::uniform_real_distribution<float> turn(-kPi, kPi);
    std::normal_distribution<float> hiss(0.0f, 1e-3f);
    std::vector<cfloat> x(static_cast<size_t>(channels) * kBins);
    for (int k = 0; k < kBins; ++k) {
      const cfloat s = std::polar(speech, turn(random)), n = std::polar(noiseLevel, turn(random));
      const float w = 2.0f * kPi * static_cast<float>(k) / 512.0f;
      for (int c = 0; c < channels; ++c) {
        const bool scrambled = std::count(scramble.begin(), scramble.end(), c) > 0;
        const cfloat heard = scrambled ? std::polar(speech, turn(random))
                                       : s * std::polar(1.0f, -w * talker[static_cast<size_t>(c)]);
        cfloat v = heard + gain[static_cast<size_t>(c)] * n *
                               std::polar(1.0f, -w * noise[static_cast<size_t>(c)]) +
                   cfloat(hiss(random), hiss(random));
        if (std::count(blur.begin(), blur.end(), c) > 0) v += std::polar(speech, turn(random));
        if (std::count(dead.begin(), dead.end(), c) > 0) v = 0.0f;
        x[static_cast<size_t>(c) * kBins + k] = v;
      }
    }
    return x;
  }
};

std::vector<float> loudest(const std::vector<cfloat>& x, int channels) {
  std::vector<float> most(kBins, 0.0f);
  for (int c = 0; c < channels; ++c)
    for (int k = 0; k < kBins; ++k)
      most[static_cast<size_t>(k)] =
          std::max(most[static_cast<size_t>(k)], std::abs(x[static_cast<size_t>(c) * kBins + k]));
  return most;
}

// A frame as the beam takes it: scaled by each bin's largest magnitude, parts apart.
struct Units {
  std::vector<float> re, im, largest;
  Units(const std::vector<cfloat>& x, int channels) : largest(loudest(x, channels)) {
    for (size_t i = 0; i < x.size(); ++i) {
      const float most = largest[i % kBins];
      re.push_back(most > 0.0f ? x[i].real() / most : 0.0f);
      im.push_back(most > 0.0f ? x[i].imag() / most : 0.0f);
    }
  }
};

// Noise-only and speech frames in turn, as the mask integrator flags them; the noise is
// `noiseInSpeech` times louder in the speech frames.
void teach(nimbusdale::DelayBeam& beam, Scene& scene, int frames, float noiseInSpeech = 1.0f) {
  const int channels = static_cast<int>(scene.talker.size());
  const std::vector<float> on(kBins, 1.0f), off(kBins, 0.0f);
  for (int t = 0; t < frames; ++t) {
    const bool speech = t % 2 == 1;
    const auto x = scene.frame(speech ? 10.0f : 0.0f, speech ? noiseInSpeech : 1.0f);
    const Units u(x, channels);
    beam.follow(u.largest.data(), 0);
    beam.learn(u.re.data(), u.im.data(), u.largest.data(), speech ? off.data() : on.data(),
               speech ? on.data() : off.data());
  }
}

TEST(DelayBeam, FitsTheTalkersDelaysPassesTheTalkerAndNullsTheNoise) {
  Scene scene{{0.0f, 2.0f, -3.0f, 1.5f}, {0.0f, 5.0f, -1.0f, 4.25f}, {1.0f, 0.9f, 1.1f, 1.0f}};
  nimbusdale::DelayBeam beam(4, kBins, 0.98f, 0.8f);
  teach(beam, scene, 600);
  for (int c = 1; c < 4; ++c) {
    EXPECT_EQ(beam.delay(c), scene.talker[static_cast<size_t>(c)]) << "channel " << c;
    EXPECT_TRUE(beam.joined(c)) << "channel " << c;
  }
  ASSERT_TRUE(beam.steering());

  std::vector<float> out(2 * kBins), noise(kBins), reduction(kBins);
  double talkerError = 0.0, talkerPower = 0.0, noiseLeft = 0.0, noiseIn = 0.0;
  for (int t = 0; t < 20; ++t) {
    const bool speech = t % 2 == 1;
    const auto x = scene.frame(speech ? 1.0f : 0.0f, speech ? 0.0f : 1.0f);
    const Units u(x, 4);
    beam.follow(u.largest.data(), 0);
    beam.steer(u.re.data(), u.im.data(), out.data(), noise.data(), reduction.data());
    for (int k = 1; k < kBins; ++k) {
      ASSERT_GT(noise[static_cast<size_t>(k)], 0.0f) << "bin " << k;
      const float scale = beam.unit(k);
      const cfloat z(out[2 * static_cast<size_t>(k)] * scale,
                     out[2 * static_cast<size_t>(k) + 1] * scale);
      const cfloat x0 = x[static_cast<size_t>(k)];
      if (speech) {
        talkerError += std::norm(z - x0);
        talkerPower += std::norm(x0);
      } else {
        noiseLeft += std::norm(z);
        noiseIn += std::norm(x0);
      }
    }
  }
  // Distortionless toward the talker (the delays are exact); the noise's point source nulled
  // down to the loading and the hiss.
  EXPECT_LT(talkerError / talkerPower, 1e-4);
  EXPECT_LT(noiseLeft / noiseIn, 1e-2);
}

TEST(DelayBeam, AnotherVoiceLaterDoesNotMoveTheDelays) {
  Scene scene{{0.0f, 2.0f, -3.0f, 1.5f}, {0.0f, 5.0f, -1.0f, 4.25f}, {1.0f, 0.9f, 1.1f, 1.0f}};
  nimbusdale::DelayBeam beam(4, kBins, 0.98f, 0.8f);
  teach(beam, scene, 600);
  ASSERT_TRUE(beam.steering());
  // The talker falls silent and another, elsewhere, takes over the frames flagged as speech.
  Scene other{{0.0f, -4.0f, 5.0f, -2.0f}, {0.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
  teach(beam, other, 600);
  for (int c = 1; c < 4; ++c)
    EXPECT_EQ(beam.delay(c), scene.talker[static_cast<size_t>(c)]) << "channel " << c;
}

TEST(DelayBeam, SteersSoonAfterAStartThatHeardOnlyTheNoise) {
  // At the start the mask takes the noise for speech until it has learnt it: the first fits
  // see only the noise. The talker's delays must still be found within a few fits of each
  // channel once it speaks, and a channel that hears the talker blurred must not join on the
  // coherence of the talker's few frames meanwhile.
  Scene scene{{0.0f, 2.0f, -3.0f, 1.5f, 0.5f, -1.0f, 3.0f, -2.5f},
              {0.0f, 5.0f, -1.0f, 4.25f, -6.0f, 7.0f, -4.0f, 6.5f},
              std::vector<float>(8, 1.0f)};
  scene.blur = {7};
  nimbusdale::DelayBeam beam(8, kBins, 0.98f, 0.8f);
  const std::vector<float> on(kBins, 1.0f), off(kBins, 0.0f);
  for (int t = 0; t < 90; ++t) {
    const bool talks = t >= 30, noiseOnly = talks && t % 2 == 0;
    const auto x = scene.frame(talks && !noiseOnly ? 10.0f : 0.0f, 1.0f);
    const Units u(x, 8);
    beam.follow(u.largest.data(), 0);
    beam.learn(u.re.data(), u.im.data(), u.largest.data(), noiseOnly ? on.data() : off.data(),
               noiseOnly ? off.data() : on.data());
    if (t >= 45) {
      ASSERT_FALSE(beam.joined(7)) << "frame " << t;
    }
  }
  for (int c = 1; c < 7; ++c) {
    EXPECT_EQ(beam.delay(c), scene.talker[static_cast<size_t>(c)]) << "channel " << c;
    EXPECT_TRUE(beam.joined(c)) << "channel " << c;
  }
}

TEST(DelayBeam, ChannelsItCannotSteerStayOut) {
  Scene scene{{0.0f, 2.0f, -3.0f, 1.0f}, {0.0f, 5.0f, -1.0f, 4.0f}, {1.0f, 1.0f, 1.0f, 1.0f}};
  scene.scramble = {2};
  scene.dead = {3};
  nimbusdale::DelayBeam beam(4, kBins, 0.98f, 0.8f);
  teach(beam, scene, 600);
  EXPECT_TRUE(beam.joined(1));
  EXPECT_FALSE(beam.joined(2));
  EXPECT_FALSE(beam.joined(3));

  // A noise that swells whenever speech is flagged (a drill's sweeping harmonics pass for
  // speech) teaches the talker's statistics its own delays: the fit finds the noise, which
  // the noise-only frames give away. Any speech coherence would do here.
  Scene swelling{{0.0f, 2.0f, -3.0f, 1.0f}, {0.0f, -6.0f, 5.0f, -8.0f}, {1.0f, 1.0f, 1.0f, 1.0f}};
  nimbusdale::DelayBeam fooled(4, kBins, 0.98f, 0.0f);
  teach(fooled, swelling, 600, 10.5f);
  for (int c = 1; c < 4; ++c) {
    EXPECT_NEAR(fooled.delay(c), swelling.noise[static_cast<size_t>(c)], 0.5f) << "channel " << c;
    EXPECT_FALSE(fooled.joined(c)) << "channel " << c;
  }
}

TEST(DelayBeam, TheMaskWithTheBeamStaysFiniteAndBoundedAtTheEndsOfTheRange) {
  nimbusdale::SparseMaskSettings settings;
  settings.numChannels = 3;
  settings.numBins = kBins;
  settings.transientSpread = 1.0f;  // speech and noise frames take turns: no onsets held
  nimbusdale::SparseMaskIntegration mask(settings);
  Scene scene{{0.0f, 2.0f, -1.0f}, {0.0f, 4.0f, 3.0f}, {1.0f, 1.0f, 1.0f}};
  std::vector<cfloat> out(kBins);
  std::vector<float> sparse(3 * kBins);
  int steered = 0;
  for (int t = 0; t < 700; ++t) {
    // Speech frames are all sparse, noise frames all residual; then the ends of the range.
    const bool speech = t % 2 == 1;
    auto x = scene.frame(speech ? 10.0f : 0.0f, 1.0f);
    const float scale = t < 600 ? 1.0f : t % 3 == 0 ? FLT_MAX / 40.0f : t % 3 == 1 ? 1e-30f : 1.0f;
    for (auto& v : x) v *= scale;
    for (size_t i = 0; i < x.size(); ++i) sparse[i] = speech ? std::abs(x[i]) : 0.0f;
    mask.checkInputs(sparse.data(), x.data());
    mask.process(sparse.data(), x.data(), out.data());
    const auto most = loudest(x, 3);
    for (int k = 0; k < kBins; ++k) {
      const cfloat o = out[static_cast<size_t>(k)];
      const cfloat masked = mask.gains()[static_cast<size_t>(k)] * x[static_cast<size_t>(k)];
      steered += t < 600 && std::abs(o - masked) > 1e-3f * std::abs(x[static_cast<size_t>(k)]);
      ASSERT_TRUE(std::isfinite(o.real()) && std::isfinite(o.imag())) << t << ", bin " << k;
      ASSERT_LE(std::abs(o), most[static_cast<size_t>(k)] * 1.0001f) << t << ", bin " << k;
    }
  }
  EXPECT_GT(steered, 0) << "the beam never steered";
}

}  // namespace

// SparseMaskIntegrator created by type name from the loaded plug-in: in a small network behind
// MultiRobustPCA, alone on replayed frames, and refusing what it cannot take.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>

#include "nimbusdale/SparseMaskIntegration.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;

constexpr int kChannels = 4, kLength = 30, kBins = 16;

FD::ParameterSet maskParams(int channels, int length, float alpha = 0.5f, float mu = 1.0f,
                            float floor = 0.05f) {
  return nodeParams(nimbusdale::kSparseMaskIntegratorType,
                    {{"NUM_CHANNEL", intParam(channels)},
                     {"LENGTH", intParam(length)},
                     {"SNR_SMOOTHING", floatParam(alpha)},
                     {"NOISE_OVERESTIMATION", floatParam(mu)},
                     {"GAIN_FLOOR", floatParam(floor)},
                     {"SPATIAL_WEIGHT", intParam(3)},
                     {"SPATIAL_SMOOTHING", floatParam(0.98f)}});
}

nimbusdale::SparseMaskSettings maskSettings(int channels, int length) {
  nimbusdale::SparseMaskSettings s;
  s.numChannels = channels;
  s.numBins = nimbusdale::binsFromLength(length);
  s.snrSmoothing = 0.5f;
  s.noiseOverestimation = 1.0f;
  s.gainFloor = 0.05f;
  return s;
}

/// A steady hum on every 4th bin, a floor, and an event every 9th frame; channel `dead` is all
/// zeros, and every channel is zero before frame `silentUntil`.
std::vector<cfloat> frameAt(int t, int dead = -1, int silentUntil = 0) {
  std::vector<cfloat> values;
  for (int c = 0; c < kChannels; ++c)
    for (int k = 0; k < kBins; ++k) {
      float m = 0.2f + 0.05f * std::fabs(std::sin(1.7f * k + 0.3f * c + 0.9f * t));
      if (k % 4 == 1) m += 2.0f;
      if (t % 9 == 4 && (k == 6 || k == 7)) m += 5.0f;
      const bool zero = c == dead || t < silentUntil;
      values.push_back(zero ? cfloat(0, 0) : std::polar(m, 0.4f * k - 0.2f * c + t));
    }
  return values;
}

struct Chain {
  FD::RCPtr<FrameSource> source;
  FD::RCPtr<FD::Node> rpca;
  FD::RCPtr<FD::Node> mask;
};

Chain makeChain(int dead = -1, int silentUntil = 0) {
  loadPlugin();
  Chain chain;
  chain.source = FD::RCPtr<FrameSource>(new FrameSource("spectrum", [=](int t) {
    return complexFrame(kChannels, kBins, frameAt(t, dead, silentUntil));
  }));
  std::srand(1);
  chain.rpca = FD::registry::createNode(
      "MultiRobustPCA", "separation",
      nodeParams(nimbusdale::kMultiRobustPCAType, {{"NUM_CHANNEL", intParam(kChannels)},
                                                   {"LENGTH", intParam(kLength)},
                                                   {"CUTOFF_FREQ", floatParam(100.0f)},
                                                   {"SAMPLING_RATE", intParam(8000)},
                                                   {"GLOBAL_SCALE", floatParam(0.5f)},
                                                   {"LAMBDA", floatParam(1.0f)},
                                                   {"SCALE_UPDATE_RATIO", floatParam(0.05f)},
                                                   {"MAX_LANK", intParam(3)},
                                                   {"EPSILON", floatParam(1e-3f)}}));
  chain.mask =
      FD::registry::createNode("SparseMaskIntegrator", "mask", maskParams(kChannels, kLength));
  chain.rpca->connectToNode("INPUT", chain.source.get(), "OUTPUT");
  chain.mask->connectToNode("SPEC", chain.source.get(), "OUTPUT");
  chain.mask->connectToNode("SPARSE", chain.rpca.get(), "OUTPUT");
  return chain;
}

// Pulls frame t, keeping the estimators' notices off the test's output.
FD::RCPtr<ComplexFrame> pull(FD::Node& node, int t) {
  std::ostringstream ignored;
  std::streambuf* saved = std::cout.rdbuf(ignored.rdbuf());
  FD::RCPtr<ComplexFrame> out = node.getOutput(0, t);
  std::cout.rdbuf(saved);
  return out;
}

TEST(SparseMaskIntegrator, BehindTheSeparationItIsTheCoreAndKeepsChannelZerosPhase) {
  Chain chain = makeChain();
  nimbusdale::SparseMaskIntegration core(maskSettings(kChannels, kLength));
  float eventGain = 0, floorGain = 0;
  for (int t = 0; t < 40; ++t) {
    auto out = pull(*chain.mask, t);
    ASSERT_EQ(out->nrows(), 1);
    ASSERT_EQ(out->ncols(), kBins);
    FD::RCPtr<RealFrame> sparse = chain.rpca->getOutput(0, t);
    const std::vector<cfloat> spectrum = frameAt(t);
    std::vector<cfloat> expected(kBins);
    core.process((*sparse)[0], spectrum.data(), expected.data());
    ASSERT_EQ(std::memcmp((*out)[0], expected.data(), sizeof(cfloat) * kBins), 0) << "frame " << t;
    for (int k = 0; k < kBins; ++k) {
      // A real gain between the floor and 1 on channel 0's value.
      const cfloat ratio = (*out)(0, k) / spectrum[static_cast<size_t>(k)];
      ASSERT_NEAR(ratio.imag(), 0.0f, 1e-5f);
      ASSERT_GE(ratio.real(), 0.05f - 1e-6f);
      ASSERT_LE(ratio.real(), 1.0f + 1e-6f);
    }
    if (t == 22) {  // the third event: a fourth at the same pace would be held as impulses
      eventGain = std::abs((*out)(0, 6)) / std::abs(spectrum[6]);
      floorGain = std::abs((*out)(0, 3)) / std::abs(spectrum[3]);
    }
  }
  // The events stand out against the hum they share no bin with: the gain passes them and cuts
  // the floor between the hum lines.
  EXPECT_GT(eventGain, 4 * floorGain);
}

TEST(SparseMaskIntegrator, LeadingSilenceAndADeadChannelGiveFiniteSoundingOutput) {
  for (int dead : {-1, 0, 2}) {
    SCOPED_TRACE(dead);
    Chain chain = makeChain(dead, 10);
    double energy = 0.0;
    for (int t = 0; t < 60; ++t) {
      auto out = pull(*chain.mask, t);
      for (int k = 0; k < kBins; ++k) {
        const cfloat v = (*out)(0, k);
        ASSERT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag()))
            << "frame " << t << ", bin " << k;
        if (t < 10) {
          ASSERT_EQ(v, cfloat(0, 0)) << "silence in, silence out";
        }
        energy += std::norm(v);
      }
    }
    EXPECT_GT(energy, 1.0) << "the output after the silence is not silent";
  }
}

TEST(SparseMaskIntegrator, RefusesFramesOfTheWrongShapeOrWithValuesItCannotTake) {
  loadPlugin();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    FD::ObjectRef spec, sparse;
    const char* says;
  };
  const std::vector<cfloat> good(6, cfloat(1, 1));
  std::vector<cfloat> badSpec = good;
  badSpec[4] = cfloat(0, inf);  // channel 2: every channel is read, so every channel is checked
  for (const Case& c : {
           Case{complexFrame(3, 2, good), realFrame(2, 2), "input SPARSE frame is 2 x 2"},
           Case{complexFrame(3, 1, good), realFrame(3, 1), "input SPEC frame is 3 x 1"},
           Case{complexFrame(3, 2, good), realFrame(3, 2, {1, 1, 1, -2, 1, 1}),
                "input SPARSE holds -2 at channel 1, bin 1; values must be finite and "
                "non-negative"},
           Case{complexFrame(3, 2, good), realFrame(3, 2, {NAN}), "input SPARSE holds nan"},
           Case{complexFrame(3, 2, badSpec), realFrame(3, 2),
                "input SPEC holds (0,inf) at channel 2, bin 0; every value must have a finite "
                "magnitude"},
       }) {
    SCOPED_TRACE(c.says);
    FD::RCPtr<FD::Node> node =
        FD::registry::createNode("SparseMaskIntegrator", "mask", maskParams(3, 2));
    auto spec = replaySource("spec", {c.spec});
    auto sparse = replaySource("sparse", {c.sparse});
    node->connectToNode("SPEC", spec.get(), "OUTPUT");
    node->connectToNode("SPARSE", sparse.get(), "OUTPUT");
    for (int attempt = 0; attempt < 2; ++attempt) {
      const std::string msg = hostErrorMessage<FD::NodeException>([&] { node->getOutput(0, 0); });
      EXPECT_EQ(msg.rfind("SparseMaskIntegrator 'mask': ", 0), 0u) << msg;
      EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
    }
  }
}

TEST(SparseMaskIntegrator, RefusesParametersOutsideTheirRules) {
  loadPlugin();
  auto refusal = [](FD::ParameterSet params) {
    return hostErrorMessage<FD::NodeException>(
        [&] { FD::registry::createNode("SparseMaskIntegrator", "mask", params); });
  };
  EXPECT_EQ(refusal(maskParams(4, 512, 1.0f)),
            "SparseMaskIntegrator 'mask': parameter SNR_SMOOTHING is 1; it must lie from 0 up to, "
            "but not including, 1");
  EXPECT_EQ(refusal(maskParams(4, 512, 0.5f, 0.0f)),
            "SparseMaskIntegrator 'mask': parameter NOISE_OVERESTIMATION is 0; it must be "
            "positive and finite, with a finite reciprocal");
  EXPECT_EQ(refusal(maskParams(4, 512, 0.5f, 1.0f, -0.5f)),
            "SparseMaskIntegrator 'mask': parameter GAIN_FLOOR is -0.5; it must lie between 0 and "
            "1");
  FD::ParameterSet weight = maskParams(4, 512);
  weight.add("SPATIAL_WEIGHT", intParam(9));
  EXPECT_EQ(refusal(weight),
            "SparseMaskIntegrator 'mask': parameter SPATIAL_WEIGHT is 9; it must lie between 0 "
            "and 8");
  EXPECT_TRUE(expectHostError<FD::CastException<float>>([] {
    FD::registry::createNode("SparseMaskIntegrator", "mask",
                             makeParams({{"NUM_CHANNEL", intParam(4)},
                                         {"LENGTH", intParam(512)},
                                         {"SNR_SMOOTHING", intParam(0)},
                                         {"NOISE_OVERESTIMATION", floatParam(1)},
                                         {"GAIN_FLOOR", floatParam(0)}}));
  }));
}

}  // namespace

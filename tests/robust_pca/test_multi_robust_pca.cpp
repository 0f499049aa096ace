// MultiRobustPCA created by type name from the loaded plug-in, fed by a source node. Where exact
// values matter, the output is checked against RobustPCA estimators set up the way the node's
// draws leave them, fed magnitudes formed as the node forms them.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>

#include "ToolboxNode.h"
#include "nimbusdale/RobustPCA.h"
#include "nimbusdale/SpectrumMagnitude.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;
using Eigen::VectorXf;
using nimbusdale::RobustPCA;

struct NodeSetup {
  int channels = 2;
  int length = 8;  // 5 bins
  float cutoffFreq = 0.0f;
  int samplingRate = 800;
  float globalScale = 2.0f;
  float lambda = 1.0f;
  float scaleUpdateRatio = 0.5f;
  int maxRank = 2;
  float epsilon = 1e-4f;

  int bins() const { return nimbusdale::binsFromLength(length); }
  FD::ParameterSet params() const {
    nimbusdale::ParameterValues values(nimbusdale::kMultiRobustPCAType);
    values.set("NUM_CHANNEL", channels);
    values.set("LENGTH", length);
    values.set("CUTOFF_FREQ", cutoffFreq);
    values.set("SAMPLING_RATE", samplingRate);
    values.set("GLOBAL_SCALE", globalScale);
    values.set("LAMBDA", lambda);
    values.set("SCALE_UPDATE_RATIO", scaleUpdateRatio);
    values.set("MAX_LANK", maxRank);
    values.set("EPSILON", epsilon);
    return nimbusdale::hostParameters(values);
  }
};

struct Net {
  FD::RCPtr<FD::Node> node;
  FD::RCPtr<FrameSource> source;
  FD::RCPtr<RealFrame> pull(int count) { return node->getOutput(0, count); }
};

/// A node built right after srand(1), fed frame `count` = gen(count).
Net makeNet(const NodeSetup& setup, FrameSource::Generator gen) {
  loadPlugin();
  Net net;
  std::srand(1);
  net.node = FD::registry::createNode("MultiRobustPCA", "rpca", setup.params());
  net.source = FD::RCPtr<FrameSource>(new FrameSource("source", std::move(gen)));
  net.node->connectToNode("INPUT", net.source.get(), "OUTPUT");
  return net;
}

/// Steady harmonic hum (every 4th bin, slowly breathing) over a low floor, with a loud event at
/// bin 3 + (t % 5) * 4 + 2 on every 9th frame. Magnitudes differ per channel.
cfloat humAndEvents(int channel, int bin, int t) {
  float magnitude = 0.1f + 0.05f * std::fabs(std::sin(1.7f * bin + 0.3f * channel + 0.9f * t));
  if (bin % 4 == 0) magnitude += (1.0f + 0.1f * channel) * (1.0f + 0.2f * std::sin(0.05f * t));
  if (t % 9 == 4 && bin == 5 + (t % 5) * 4) magnitude += 5.0f;
  return std::polar(magnitude, 0.7f * bin + 1.3f * t + channel);
}

FrameSource::Generator streamOf(int channels, int bins) {
  return [channels, bins](int t) {
    std::vector<cfloat> values;
    for (int c = 0; c < channels; ++c)
      for (int k = 0; k < bins; ++k) values.push_back(humAndEvents(c, k, t));
    return complexFrame(channels, bins, values);
  };
}

/// Estimators as a node of `setup` left them after srand(1): the first round of draws (one per
/// copy) is skipped and the second round initialises them, channel by channel.
std::vector<RobustPCA> referenceEstimators(const NodeSetup& setup) {
  const int dim = setup.bins(), rank = setup.maxRank;
  std::srand(1);
  for (int i = 0; i < setup.channels * (dim * rank + rank + dim); ++i) std::rand();
  std::vector<RobustPCA> estimators;
  estimators.reserve(static_cast<size_t>(setup.channels));
  const float sparsity =
      static_cast<float>((1.0 / std::sqrt(static_cast<double>(dim))) * setup.lambda);
  for (int c = 0; c < setup.channels; ++c) {
    estimators.emplace_back(dim, rank);
    estimators.back().initialize();
    estimators.back().lambda1 = estimators.back().lambda2 = sparsity;
    estimators.back().epsilon = setup.epsilon;
  }
  return estimators;
}

/// Checks the node's first output frame: channel c's estimator must have seen observations[c],
/// and the output is its positive sparse part times `scale` (per bin) over GLOBAL_SCALE.
void expectFirstFrameFromObservations(const NodeSetup& setup, const RealFrame& out,
                                      const std::vector<VectorXf>& observations,
                                      const std::vector<std::vector<float>>& scale) {
  std::vector<RobustPCA> reference = referenceEstimators(setup);
  ASSERT_EQ(out.nrows(), setup.channels);
  ASSERT_EQ(out.ncols(), setup.bins());
  for (int c = 0; c < setup.channels; ++c) {
    std::ostringstream ignored;
    std::streambuf* saved = std::cout.rdbuf(ignored.rdbuf());
    reference[static_cast<size_t>(c)].update(observations[static_cast<size_t>(c)]);
    std::cout.rdbuf(saved);
    for (int k = 0; k < setup.bins(); ++k) {
      const float s = reference[static_cast<size_t>(c)].sparse[k];
      const float expected =
          (std::max(s, 0.0f) * scale[static_cast<size_t>(c)][static_cast<size_t>(k)]) *
          (1.0f / setup.globalScale);
      EXPECT_EQ(out(c, k), expected) << "channel " << c << ", bin " << k;
    }
  }
}

/// Both frames have the same shape and the same bits.
::testing::AssertionResult bitIdentical(const RealFrame& a, const RealFrame& b) {
  if (a.nrows() != b.nrows() || a.ncols() != b.ncols())
    return ::testing::AssertionFailure() << "shapes differ";
  if (std::memcmp(a[0], b[0], sizeof(float) * static_cast<size_t>(a.size())) != 0)
    return ::testing::AssertionFailure() << "values differ";
  return ::testing::AssertionSuccess();
}

bool allFinite(const RealFrame& frame) {
  for (size_t i = 0; i < frame.size(); ++i)
    if (!std::isfinite(frame[0][i])) return false;
  return true;
}

TEST(MultiRobustPCADraws, EstimatorsAreInitialisedTwiceInChannelOrder) {
  NodeSetup setup;  // 2 channels, 5 bins, rank 2: 17 draws per initialisation
  Net net = makeNet(setup, streamOf(setup.channels, setup.bins()));
  std::srand(1);
  for (int i = 0; i < 4 * 17; ++i) std::rand();
  const int expectedNext = std::rand();
  // makeNet seeded before creating the node; the node drew exactly four stretches.
  std::srand(1);
  FD::registry::createNode("MultiRobustPCA", "again", setup.params());
  EXPECT_EQ(std::rand(), expectedNext);

  // In frame 0 every bin with a non-zero magnitude is observed as exactly GLOBAL_SCALE.
  auto out = net.pull(0);
  std::vector<VectorXf> observations(2, VectorXf::Constant(setup.bins(), setup.globalScale));
  std::vector<std::vector<float>> scale(2);
  for (int c = 0; c < 2; ++c)
    for (int k = 0; k < setup.bins(); ++k)
      scale[c].push_back(nimbusdale::spectrumMagnitude(humAndEvents(c, k, 0)));
  expectFirstFrameFromObservations(setup, *out, observations, scale);
}

TEST(MultiRobustPCAFrames, BinsBelowTheCutoffAreObservedAsZero) {
  // 257 bins, cut-off 25 of 800: trunc(257 * 25 / 400) = 16 bins; at 400, all of them.
  for (auto [cutoff, zeroBins] : {std::pair{25.0f, 16}, {400.0f, 257}, {0.0f, 0}}) {
    NodeSetup setup;
    setup.channels = 1;
    setup.length = 512;
    setup.maxRank = 3;
    setup.cutoffFreq = cutoff;
    Net net = makeNet(setup, streamOf(1, 257));
    std::ostringstream ignored;
    std::streambuf* saved = std::cout.rdbuf(ignored.rdbuf());
    auto out = net.pull(0);
    std::cout.rdbuf(saved);
    VectorXf observation = VectorXf::Constant(257, setup.globalScale);
    observation.head(zeroBins).setZero();
    std::vector<float> scale;
    for (int k = 0; k < 257; ++k)
      scale.push_back(nimbusdale::spectrumMagnitude(humAndEvents(0, k, 0)));
    SCOPED_TRACE(cutoff);
    expectFirstFrameFromObservations(setup, *out, {observation}, {scale});
  }
}

TEST(MultiRobustPCAFrames, AFirstFrameOtherThanCountZeroSeedsTheZeroScale) {
  // First computed count 3: the scale is still 0, so it is seeded from this frame as frame 0
  // would seed it, and each bin is observed as GLOBAL_SCALE (not 1 / SCALE_UPDATE_RATIO times
  // that, as a blend into the zero scale would give).
  NodeSetup setup;
  Net net = makeNet(setup, streamOf(setup.channels, setup.bins()));
  auto out = net.pull(3);
  std::vector<VectorXf> observations(2, VectorXf::Constant(setup.bins(), setup.globalScale));
  std::vector<std::vector<float>> scale(2);
  for (int c = 0; c < 2; ++c)
    for (int k = 0; k < setup.bins(); ++k)
      scale[c].push_back(nimbusdale::spectrumMagnitude(humAndEvents(c, k, 3)));
  expectFirstFrameFromObservations(setup, *out, observations, scale);
}

TEST(MultiRobustPCAFrames, SilenceInFrameZeroDoesNotSilenceTheChannel) {
  // Channel 0 is digital silence at bins 1 and 6 in frame 0: its scale there is 0.
  NodeSetup setup;
  setup.length = 16;  // 9 bins
  auto silentAtFirst = [](int c, int k, int t) {
    return t == 0 && c == 0 && (k == 1 || k == 6) ? cfloat(0, 0) : humAndEvents(c, k, t);
  };
  Net net = makeNet(setup, [&](int t) {
    std::vector<cfloat> values;
    for (int c = 0; c < 2; ++c)
      for (int k = 0; k < 9; ++k) values.push_back(silentAtFirst(c, k, t));
    return complexFrame(2, 9, values);
  });
  auto first = net.pull(0);
  std::vector<VectorXf> observations(2, VectorXf::Constant(9, setup.globalScale));
  observations[0][1] = observations[0][6] = 0.0f;
  std::vector<std::vector<float>> scale(2);
  for (int c = 0; c < 2; ++c)
    for (int k = 0; k < 9; ++k)
      scale[c].push_back(nimbusdale::spectrumMagnitude(silentAtFirst(c, k, 0)));
  expectFirstFrameFromObservations(setup, *first, observations, scale);

  // Channel 0 keeps working: the event at bin 5 in frame 40 comes out of it.
  for (int t = 1; t < 40; ++t) ASSERT_TRUE(allFinite(*net.pull(t))) << "frame " << t;
  auto event = net.pull(40);
  EXPECT_GT((*event)(0, 5), 1.0f);
  EXPECT_GT((*event)(0, 5), 10 * std::max((*event)(0, 4), (*event)(0, 6)));
}

TEST(MultiRobustPCAFrames, NoChannelsGiveAnEmptyFrame) {
  NodeSetup setup;
  setup.channels = 0;
  Net net = makeNet(setup, [](int t) { return complexFrame(t == 1 ? 1 : 0, 5); });
  auto out = net.pull(0);
  EXPECT_EQ(out->nrows(), 0);
  EXPECT_EQ(out->ncols(), 5);
  std::string msg = hostErrorMessage<FD::NodeException>([&] { net.pull(1); });
  EXPECT_NE(msg.find("input INPUT frame is 1 x 5; expected NUM_CHANNEL x bins = 0 x 5"),
            std::string::npos)
      << msg;
}

TEST(MultiRobustPCAFrames, RefusedFramesChangeNothing) {
  NodeSetup setup;  // 2 x 5
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    int rows, cols;
    int badIndex;  // -1: shape only
    cfloat badValue;
    const char* says;
  };
  for (const Case& c : {
           Case{3, 5, -1, {}, "input INPUT frame is 3 x 5; expected NUM_CHANNEL x bins = 2 x 5"},
           Case{2, 4, -1, {}, "frame is 2 x 4"},
           Case{5, 2, -1, {}, "frame is 5 x 2"},
           Case{2, 5, 7, {NAN, 0}, "input INPUT holds (nan,0) at channel 1, bin 2"},
           Case{2, 5, 0, {1, -inf}, "holds (1,-inf) at channel 0, bin 0"},
           Case{2, 5, 9, {3e38f, 3e38f}, "holds (3e+38,3e+38) at channel 1, bin 4"},
       }) {
    SCOPED_TRACE(c.says);
    auto good = streamOf(2, 5);
    auto gen = [&](int t) {
      if (t != 1) return good(t);
      if (c.badIndex < 0) return complexFrame(c.rows, c.cols);
      FD::RCPtr<ComplexFrame> frame = good(t);
      std::vector<cfloat> values((*frame)[0], (*frame)[0] + frame->size());
      values[static_cast<size_t>(c.badIndex)] = c.badValue;
      return complexFrame(2, 5, values);
    };
    Net seen = makeNet(setup, gen);
    Net never = makeNet(setup, good);
    seen.pull(0);
    never.pull(0);
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto e = expectHostError<FD::NodeException>([&] { seen.pull(1); });
      ASSERT_TRUE(e);
      EXPECT_EQ(e->nodeName(), "rpca");
      EXPECT_NE(e->message().find("MultiRobustPCA 'rpca': "), std::string::npos) << e->message();
      EXPECT_NE(e->message().find(c.says), std::string::npos) << e->message();
    }
    EXPECT_TRUE(bitIdentical(*seen.pull(2), *never.pull(2)));
  }
}

TEST(MultiRobustPCAFrames, OutputIsTheSameOnOneOrTwoThreads) {
  NodeSetup setup;
  setup.channels = 3;  // an uneven split over two threads
  setup.length = 64;
  setup.maxRank = 4;
  std::vector<FD::RCPtr<RealFrame>> outputs[2];
  for (int threads : {1, 2}) {
    omp_set_num_threads(threads);
    Net net = makeNet(setup, streamOf(3, 33));
    for (int t = 0; t < 30; ++t) outputs[threads - 1].push_back(net.pull(t));
  }
  for (int t = 0; t < 30; ++t)
    EXPECT_TRUE(bitIdentical(*outputs[0][t], *outputs[1][t])) << "frame " << t;
}

TEST(MultiRobustPCAParameters, RefusesUnusableValuesBeforeAnyDraw) {
  loadPlugin();
  struct Case {
    const char* name;
    FD::ObjectRef value;
    const char* says;
  };
  const std::vector<Case> cases = {
      // The rule relating two parameters is the node's own code; the others come from the
      // table (checked for every type by the table-driven tests), one of each kind here.
      {"CUTOFF_FREQ", floatParam(-0.5f),
       "parameter CUTOFF_FREQ is -0.5; it must lie between 0 and "
       "SAMPLING_RATE / 2 = 400"},
      {"CUTOFF_FREQ", floatParam(400.5f), "parameter CUTOFF_FREQ is 400.5"},
      {"CUTOFF_FREQ", floatParam(NAN), "parameter CUTOFF_FREQ is nan"},
      {"GLOBAL_SCALE", floatParam(1e-40f),
       "parameter GLOBAL_SCALE is 9.99995e-41; it must be positive and finite, with a "
       "finite reciprocal"},
      {"LAMBDA", floatParam(NAN), "parameter LAMBDA is nan"},
      {"MAX_LANK", intParam(0), "parameter MAX_LANK is 0; it must be at least 1"},
  };
  std::srand(5);
  const int next = std::rand();
  for (const Case& c : cases) {
    FD::ParameterSet params = NodeSetup().params();
    params.add(c.name, c.value);
    std::srand(5);
    std::string msg = hostErrorMessage<FD::NodeException>(
        [&] { FD::registry::createNode("MultiRobustPCA", "rpca", params); });
    EXPECT_EQ(msg.rfind(std::string("MultiRobustPCA 'rpca': ") + c.says, 0), 0u) << msg;
    EXPECT_EQ(std::rand(), next) << c.name << ": a refused node must not draw";
  }

  // Typed reads: no conversion between int and float; a missing name is the host's error.
  FD::ParameterSet params = NodeSetup().params();
  params.add("LENGTH", floatParam(512));
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>(
                [&] { FD::registry::createNode("MultiRobustPCA", "rpca", params); }),
            "Cast error: Trying to cast ObjectRef (float) into int");
  params = NodeSetup().params();
  params.add("EPSILON", intParam(0));
  EXPECT_TRUE(expectHostError<FD::CastException<float>>(
      [&] { FD::registry::createNode("MultiRobustPCA", "rpca", params); }));
  params = NodeSetup().params();
  params.erase("MAX_LANK");
  std::string missing = hostErrorMessage<FD::GeneralException>(
      [&] { FD::registry::createNode("MultiRobustPCA", "rpca", params); });
  EXPECT_NE(missing.find("MAX_LANK"), std::string::npos) << missing;

  // The edges of each range are accepted.
  for (auto [name, value] : std::vector<std::pair<const char*, FD::ObjectRef>>{
           {"NUM_CHANNEL", intParam(0)},
           {"LENGTH", intParam(-1)},
           {"CUTOFF_FREQ", floatParam(400.0f)},
           {"LAMBDA", floatParam(0.0f)},
           {"SCALE_UPDATE_RATIO", floatParam(0.0f)},
           {"SCALE_UPDATE_RATIO", floatParam(1.0f)},
           {"EPSILON", floatParam(0.0f)},
       }) {
    params = NodeSetup().params();
    params.add(name, value);
    EXPECT_NO_THROW(FD::registry::createNode("MultiRobustPCA", "rpca", params)) << name;
  }
}

TEST(MultiRobustPCANetwork, SourceThroughRobustPCAIntoMedianIntegrator) {
  // Three channels hear the same hum and events; the median integrator keeps what is sparse.
  loadPlugin();
  NodeSetup setup;
  setup.channels = 3;
  setup.length = 64;  // 33 bins
  setup.maxRank = 3;
  Net net = makeNet(setup, streamOf(3, 33));
  FD::RCPtr<FD::Node> median = FD::registry::createNode(
      "MedianIntegrator", "median",
      nodeParams(nimbusdale::kMedianIntegratorType,
                 {{"NUM_CHANNEL", intParam(3)}, {"LENGTH", intParam(64)}}));
  median->connectToNode("SPEC", net.source.get(), "OUTPUT");
  median->connectToNode("SPARSE", net.node.get(), "OUTPUT");

  double eventEnergy = 0, otherEnergy = 0;
  for (int t = 0; t < 120; ++t) {
    FD::RCPtr<ComplexFrame> out = median->getOutput(0, t);
    FD::RCPtr<RealFrame> sparse = net.node->getOutput(0, t);
    ASSERT_EQ(out->nrows(), 1);
    ASSERT_EQ(out->ncols(), 33);
    for (int k = 0; k < 33; ++k) {
      float values[3] = {(*sparse)(0, k), (*sparse)(1, k), (*sparse)(2, k)};
      std::sort(values, values + 3);
      const cfloat spec0 = humAndEvents(0, k, t);
      EXPECT_TRUE(nearComplex((*out)(0, k), spec0 / std::abs(spec0) * values[1], 1e-5f));
      if (t < 60) continue;
      const bool event = t % 9 == 4 && k == 5 + (t % 5) * 4;
      (event ? eventEnergy : otherEnergy) += std::norm((*out)(0, k));
    }
  }
  EXPECT_GT(eventEnergy / (eventEnergy + otherEnergy), 0.9)
      << "after warm-up the chain passes the events and holds back the hum";
}

}  // namespace

// A node type of the test's own, written the way a new integrator of the toolbox would be: a
// table, a core with its own arithmetic (a mean across channels), and the integrator node shell.
// The base declares its ports and reads its parameters from the table, refuses unusable frames
// naming the channel and bin, and stores the output through the buffer calculate() receives.
#include <cmath>
#include <limits>
#include <vector>

#include "IntegratorNode.h"
#include "nimbusdale/SpectrumMagnitude.h"
#include "test_support.h"

namespace nimbusdale {
namespace {

constexpr PortSpec kMeanPorts[] = {
    node_tables::kSpectrumToIntegrate,
    {"SPARSE", PortKind::Input, FrameType::Magnitudes, "sparse magnitudes, NUM_CHANNEL x bins",
     FrameValues::FiniteNonNegative, false, "values must be finite and non-negative"},
    {"OUTPUT", PortKind::Output, FrameType::Spectrum,
     "mean magnitude with channel 0's phase, 1 x bins"},
};
constexpr ParameterSpec kMeanParameters[] = {node_tables::kIntegratorChannels,
                                             node_tables::kLength};
constexpr NodeType kMeanIntegratorType{
    "MeanIntegrator", "Mean across channels, with channel 0's phase.",
    kMeanPorts,       std::size(kMeanPorts),
    kMeanParameters,  std::size(kMeanParameters)};

struct MeanSettings {
  int channels = 1, bins = 0;
  static MeanSettings fromParameters(const ParameterValues& values) {
    return {values.intValue("NUM_CHANNEL"), binsFromLength(values.intValue("LENGTH"))};
  }
};

class MeanIntegration {
 public:
  using Settings = MeanSettings;
  explicit MeanIntegration(const MeanSettings& settings) : s(settings) {}

  void process(const float* sparse, const std::complex<float>* spec, std::complex<float>* out,
               std::ostream*) {
    for (int f = 0; f < s.bins; ++f) {
      float mean = 0.0f;
      for (int c = 0; c < s.channels; ++c)
        mean += sparse[c * s.bins + f] / static_cast<float>(s.channels);
      out[f] = withPhaseOf(mean, spec[f]);
    }
  }

 private:
  MeanSettings s;
};

using MeanIntegrator = IntegratorNode<kMeanIntegratorType, MeanIntegration>;

[[maybe_unused]] const int meanIntegratorRegistered =
    registerNodeType<MeanIntegrator>(kMeanIntegratorType);

}  // namespace
}  // namespace nimbusdale

namespace {

using namespace nimbusdale_test;

struct MeanNet {
  FD::RCPtr<FD::Node> node;
  FD::RCPtr<FrameSource> spec, sparse;
  FD::RCPtr<ComplexFrame> pull(int count) { return node->getOutput(0, count); }
};

MeanNet makeNet(int channels, int length, std::vector<FD::ObjectRef> specs,
                std::vector<FD::ObjectRef> sparses) {
  MeanNet net;
  net.node = FD::registry::createNode(
      "MeanIntegrator", "mean",
      makeParams({{"NUM_CHANNEL", intParam(channels)}, {"LENGTH", intParam(length)}}));
  net.spec = replaySource("spec", std::move(specs));
  net.sparse = replaySource("sparse", std::move(sparses));
  net.node->connectToNode("SPEC", net.spec.get(), "OUTPUT");
  net.node->connectToNode("SPARSE", net.sparse.get(), "OUTPUT");
  return net;
}

TEST(ToolboxNode, ANewNodeIsItsTableAndItsArithmetic) {
  // Two channels, three bins (LENGTH 4): channel 0's spectrum 3 + 4i, -2i and silence.
  MeanNet net = makeNet(2, 4, {complexFrame(2, 3, {{3, 4}, {0, -2}, {0, 0}, {9, 9}, {9, 9}})},
                        {realFrame(2, 3, {4, 1, 2, 16, 3, 4})});
  auto out = net.pull(0);
  ASSERT_EQ(out->nrows(), 1);
  ASSERT_EQ(out->ncols(), 3);
  EXPECT_EQ((*out)(0, 0), cfloat(6, 8)) << "mean 10 with the phase of 3 + 4i";
  EXPECT_EQ((*out)(0, 1), cfloat(0, -2)) << "mean 2 with the phase of -2i";
  EXPECT_EQ((*out)(0, 2), cfloat(3, 0)) << "silence has no phase: the mean as a real value";
  EXPECT_EQ(out.get(), net.pull(0).get()) << "stored in the buffer, not computed again";
}

TEST(ToolboxNode, RefusalsNameTheNodeThePortAndTheValue) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<cfloat> spec;
    std::vector<float> sparse;
    const char* says;
  };
  for (const Case& c : {
           Case{{},
                {0, 0, 0, 0, 0, -1},
                "input SPARSE holds -1 at channel 1, bin 2; values must "
                "be finite and non-negative"},
           Case{{{1, inf}},
                {},
                "input SPEC holds (1,inf) at channel 0, bin 0; channel 0 values "
                "must have a finite magnitude"},
       }) {
    MeanNet net = makeNet(2, 4, {complexFrame(2, 3, c.spec)}, {realFrame(2, 3, c.sparse)});
    for (int attempt = 0; attempt < 2; ++attempt)
      EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { net.pull(0); }),
                std::string("MeanIntegrator 'mean': ") + c.says)
          << "a refused frame is not stored";
  }
  // Channel 1 of SPEC is never read, so it is not checked.
  MeanNet channelOne =
      makeNet(2, 4, {complexFrame(2, 3, {{1, 0}, {1, 0}, {1, 0}, {NAN, 0}})}, {realFrame(2, 3)});
  EXPECT_EQ((*channelOne.pull(0))(0, 0), cfloat(0, 0));

  MeanNet shape = makeNet(2, 4, {complexFrame(2, 3)}, {realFrame(3, 2)});
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { shape.pull(0); }),
            "MeanIntegrator 'mean': input SPARSE frame is 3 x 2; expected NUM_CHANNEL x bins = 2 "
            "x 3");

  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { makeNet(0, 4, {}, {}); }),
            "MeanIntegrator 'mean': parameter NUM_CHANNEL is 0; it must be at least 1");
  EXPECT_TRUE(expectHostError<FD::CastException<int>>([&] {
    FD::registry::createNode("MeanIntegrator", "mean",
                             makeParams({{"NUM_CHANNEL", intParam(2)}, {"LENGTH", floatParam(4)}}));
  }));
}

}  // namespace

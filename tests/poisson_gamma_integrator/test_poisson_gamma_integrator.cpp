// PoissonGammaIntegrator created by type name from the loaded plug-in, fed by source nodes.
#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "nimbusdale/PoissonGammaInference.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;

constexpr const char* kTypeName = "PoissonGammaIntegrator";

FD::ParameterSet pgParams(int channels, int length, float scale) {
  return nodeParams(nimbusdale::kPoissonGammaIntegratorType, {{"NUM_CHANNEL", intParam(channels)},
                                                              {"LENGTH", intParam(length)},
                                                              {"GLOBAL_SCALE", floatParam(scale)}});
}

struct PgNet {
  FD::RCPtr<FD::Node> node;
  FD::RCPtr<FrameSource> spec;
  FD::RCPtr<FrameSource> sparse;

  /// Output frame `count`, with what the node printed while computing it.
  FD::RCPtr<ComplexFrame> pull(int count, std::string* printed = nullptr) {
    testing::internal::CaptureStdout();
    FD::RCPtr<ComplexFrame> out;
    try {
      out = node->getOutput(0, count);
    } catch (...) {
      std::string text = testing::internal::GetCapturedStdout();
      if (printed) *printed = text;
      throw;
    }
    std::string text = testing::internal::GetCapturedStdout();
    if (printed) *printed = text;
    return out;
  }
};

PgNet makeNet(int channels, int length, float scale, std::vector<FD::ObjectRef> specFrames,
              std::vector<FD::ObjectRef> sparseFrames) {
  loadPlugin();
  PgNet net;
  net.node = FD::registry::createNode(kTypeName, "pg", pgParams(channels, length, scale));
  net.spec = replaySource("spec", std::move(specFrames));
  net.sparse = replaySource("sparse", std::move(sparseFrames));
  net.node->connectToNode("SPEC", net.spec.get(), "OUTPUT");
  net.node->connectToNode("SPARSE", net.sparse.get(), "OUTPUT");
  return net;
}

/// Channel-major C x F values, as the host frames hold them.
struct FrameData {
  std::vector<cfloat> spec;
  std::vector<float> sparse;
};

FrameData randomData(int channels, int bins, unsigned seed) {
  std::mt19937 gen(seed);
  std::exponential_distribution<float> magnitude(0.5f);
  std::uniform_real_distribution<float> phase(-3.0f, 3.0f);
  FrameData d;
  for (int i = 0; i < channels * bins; ++i) {
    d.spec.push_back(std::polar(0.5f + magnitude(gen), phase(gen)));
    d.sparse.push_back(magnitude(gen));
  }
  return d;
}

/// Both frames hold the same values, bit for bit.
::testing::AssertionResult sameFrame(const ComplexFrame& a, const ComplexFrame& b) {
  if (a.nrows() != b.nrows() || a.ncols() != b.ncols())
    return ::testing::AssertionFailure() << "shapes differ";
  for (size_t i = 0; i < a.ncols(); ++i)
    if (a(0, i) != b(0, i))
      return ::testing::AssertionFailure() << "bin " << i << ": " << a(0, i) << " vs " << b(0, i);
  return ::testing::AssertionSuccess();
}

TEST(PoissonGammaIntegrator, NodeRunsTheInferenceOnChannelMajorFrames) {
  // Three frames of 3 channels x 5 bins through two nodes, and through the inference directly
  // on the same data: all three agree exactly, lines included.
  const int C = 3, length = 8, F = 5;
  std::vector<FrameData> data;
  std::vector<FD::ObjectRef> spec, sparse;
  for (unsigned i = 0; i < 3; ++i) {
    data.push_back(randomData(C, F, 40 + i));
    spec.push_back(complexFrame(C, F, data.back().spec));
    sparse.push_back(realFrame(C, F, data.back().sparse));
  }
  PgNet a = makeNet(C, length, 1.25f, spec, sparse);
  PgNet b = makeNet(C, length, 1.25f, spec, sparse);
  nimbusdale::PoissonGammaModel model(F, C);
  for (int count = 0; count < 3; ++count) {
    SCOPED_TRACE(count);
    std::string printedA, printedB;
    auto outA = a.pull(count, &printedA);
    auto outB = b.pull(count, &printedB);
    ASSERT_EQ(outA->nrows(), 1);
    ASSERT_EQ(outA->ncols(), F);
    EXPECT_TRUE(sameFrame(*outA, *outB));
    EXPECT_EQ(printedA, printedB);

    std::vector<cfloat> direct(F);
    std::ostringstream lines;
    const FrameData& d = data[static_cast<size_t>(count)];
    nimbusdale::runPoissonGammaFrame(model, 1.25f,
                                     nimbusdale::SparseFrameView(d.sparse.data(), F, C),
                                     nimbusdale::SpectrumFrameView(d.spec.data(), F, C),
                                     nimbusdale::OutputRowView(direct.data(), F), lines);
    for (int f = 0; f < F; ++f) EXPECT_EQ((*outA)(0, f), direct[static_cast<size_t>(f)]);
    EXPECT_EQ(printedA, lines.str());
  }
  // A repeated request is answered from the buffer: no new lines, no state change.
  std::string printed;
  a.pull(2, &printed);
  EXPECT_EQ(printed, "");
}

TEST(PoissonGammaIntegrator, BinCountFollowsLength) {
  for (auto [length, bins] : {std::pair{512, 257}, {511, 256}, {0, 1}, {1, 1}, {-1, 1}}) {
    PgNet net = makeNet(2, length, 1.0f, {complexFrame(2, bins)}, {realFrame(2, bins)});
    auto out = net.pull(0);
    EXPECT_EQ(out->nrows(), 1);
    EXPECT_EQ(out->ncols(), bins) << "LENGTH " << length;
  }
}

/// Frames 0 and 2 good, frame 1 as given. One node sees 0, the bad 1, then 2; another sees
/// only 0 and 2. Equal outputs at 2 show the refusal left the state exactly as it was.
struct RefusalCase {
  const char* what;
  FD::ObjectRef spec1, sparse1;
};

void expectRefusalKeepsState(const RefusalCase& c, const std::vector<std::string>& mustMention) {
  SCOPED_TRACE(c.what);
  const int C = 2, F = 3;
  std::vector<FD::ObjectRef> spec, sparse;
  for (unsigned i = 0; i < 3; ++i) {
    FrameData d = randomData(C, F, 60 + i);
    spec.push_back(complexFrame(C, F, d.spec));
    sparse.push_back(realFrame(C, F, d.sparse));
  }
  PgNet clean = makeNet(C, 4, 2.0f, spec, sparse);
  spec[1] = c.spec1;
  sparse[1] = c.sparse1;
  PgNet refused = makeNet(C, 4, 2.0f, spec, sparse);

  refused.pull(0);
  clean.pull(0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string printed;
    auto e = expectHostError<FD::NodeException>([&] { refused.pull(1, &printed); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->nodeName(), "pg");
    const std::string msg = e->message();
    EXPECT_EQ(msg.rfind("PoissonGammaIntegrator 'pg': ", 0), 0u) << msg;
    for (const std::string& part : mustMention)
      EXPECT_NE(msg.find(part), std::string::npos) << msg << " lacks " << part;
    EXPECT_EQ(printed, "") << "lines printed for a refused frame";
  }
  EXPECT_TRUE(sameFrame(*refused.pull(2), *clean.pull(2)));
}

TEST(PoissonGammaIntegrator, RefusedSparseValuesLeaveTheStateAsItWas) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Bad {
    float value;
    const char* printed;
  };
  for (const Bad& bad : {Bad{-0.5f, "-0.5"}, Bad{NAN, "nan"}, Bad{inf, "inf"}, Bad{-inf, "-inf"}}) {
    std::vector<float> values = {1, 2, 3, 4, 5, 6};
    values[4] = bad.value;  // channel 1, bin 1
    expectRefusalKeepsState(
        {bad.printed, complexFrame(2, 3), realFrame(2, 3, values)},
        {std::string("input SPARSE holds ") + bad.printed + " at channel 1, bin 1"});
  }
}

TEST(PoissonGammaIntegrator, FramesOfTheWrongShapeLeaveTheStateAsItWas) {
  expectRefusalKeepsState({"short SPEC", complexFrame(1, 3), realFrame(2, 3)},
                          {"input SPEC", "1 x 3", "2 x 3"});
  expectRefusalKeepsState({"wide SPARSE", complexFrame(2, 3), realFrame(2, 4)},
                          {"input SPARSE", "2 x 4", "2 x 3"});
  expectRefusalKeepsState({"transposed SPARSE", complexFrame(2, 3), realFrame(3, 2)},
                          {"input SPARSE", "3 x 2"});
}

TEST(PoissonGammaIntegrator, CountsTooLargeForTheModelLeaveTheStateAsItWas) {
  // Finite but past what single precision carries through the updates. The zero-filled frame
  // stored before the inference is taken back, so the retry fails again instead of reading it.
  expectRefusalKeepsState(
      {"huge SPARSE", complexFrame(2, 3), realFrame(2, 3, {1, 2, 3e20f, 4, 5, 6})},
      {"input SPARSE", "3e+20", "GLOBAL_SCALE 2", "overflow"});
}

TEST(PoissonGammaIntegrator, WrongFrameTypeIsRefusedNamingThePort) {
  PgNet net = makeNet(1, 0, 1.0f, {realFrame(1, 1)}, {realFrame(1, 1)});
  EXPECT_NE(hostErrorMessage<FD::NodeException>([&] { net.pull(0); }).find("input SPEC got a"),
            std::string::npos);
  PgNet swapped = makeNet(1, 0, 1.0f, {complexFrame(1, 1)}, {complexFrame(1, 1)});
  EXPECT_NE(hostErrorMessage<FD::NodeException>([&] {
              swapped.pull(0);
            }).find("input SPARSE got a Matrix<complex<float>>; it takes a Matrix<float>"),
            std::string::npos);
}

TEST(PoissonGammaIntegrator, CountTheBufferRefusesLeavesTheStateAsItWas) {
  std::vector<FD::ObjectRef> spec, sparse;
  for (unsigned i = 0; i < 4; ++i) {
    FrameData d = randomData(2, 2, 80 + i);
    spec.push_back(complexFrame(2, 2, d.spec));
    sparse.push_back(realFrame(2, 2, d.sparse));
  }
  PgNet late = makeNet(2, 2, 1.0f, spec, sparse);
  PgNet clean = makeNet(2, 2, 1.0f, spec, sparse);
  // Let the sources hold old counts, so that only the node's own store refuses count 1.
  for (FD::RCPtr<FrameSource> src : {late.spec, late.sparse}) {
    src->request(0, makeParams({{"LOOKBACK", intParam(4)}}));
    src->initialize();
  }
  late.pull(0);
  late.pull(2);
  clean.pull(0);
  clean.pull(2);
  std::string printed;
  EXPECT_TRUE(expectHostError<FD::BufferException>([&] { late.pull(1, &printed); }));
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(sameFrame(*late.pull(3), *clean.pull(3)));
}

TEST(PoissonGammaIntegrator, ParametersAreTypedAndChecked) {
  loadPlugin();
  auto create = [](FD::ParameterSet params) { FD::registry::createNode(kTypeName, "pg", params); };
  auto withParam = [](const char* name, FD::ObjectRef value) {
    FD::ParameterSet params = pgParams(2, 512, 1.0f);
    params.add(name, value);
    return params;
  };
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>(
                [&] { create(withParam("NUM_CHANNEL", floatParam(2))); }),
            "Cast error: Trying to cast ObjectRef (float) into int");
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>(
                [&] { create(withParam("LENGTH", floatParam(512))); }),
            "Cast error: Trying to cast ObjectRef (float) into int");
  EXPECT_EQ(hostErrorMessage<FD::CastException<float>>(
                [&] { create(withParam("GLOBAL_SCALE", intParam(1))); }),
            "Cast error: Trying to cast ObjectRef (int) into float");
  std::string missing = hostErrorMessage<FD::GeneralException>([&] {
    create(makeParams({{"NUM_CHANNEL", intParam(2)}, {"LENGTH", intParam(512)}}));
  });
  EXPECT_NE(missing.find("GLOBAL_SCALE"), std::string::npos) << missing;

  auto refusal = [&](int channels, int length, float scale) {
    return hostErrorMessage<FD::NodeException>([&] { create(pgParams(channels, length, scale)); });
  };
  const std::string prefix = "PoissonGammaIntegrator 'pg': parameter ";
  EXPECT_EQ(refusal(0, 512, 1.0f), prefix + "NUM_CHANNEL is 0; it must be at least 1");
  EXPECT_EQ(refusal(-3, 512, 1.0f), prefix + "NUM_CHANNEL is -3; it must be at least 1");
  EXPECT_EQ(refusal(2, -2, 1.0f),
            prefix + "LENGTH is -2; it must give LENGTH / 2 + 1 >= 1 bins (LENGTH >= -1)");
  const float inf = std::numeric_limits<float>::infinity();
  // 1e-45 is positive and finite, but every count underflows and the output's division by it
  // overflows: each frame would come out NaN.
  for (auto [scale, shown] : {std::pair{0.0f, "0"},
                              {-2.0f, "-2"},
                              {NAN, "nan"},
                              {inf, "inf"},
                              {1e-45f, "1.4013e-45"},
                              {1e-31f, "1e-31"},
                              {1e31f, "1e+31"}})
    EXPECT_EQ(refusal(2, 512, scale), prefix + "GLOBAL_SCALE is " + shown +
                                          "; it must lie between 1e-30 and 1e+30 (beyond them the "
                                          "model's counts or its output overflow or underflow)");
}

TEST(PoissonGammaIntegrator, NonFiniteChannelZeroSpectrumIsRefusedBeforeAnythingChanges) {
  const float inf = std::numeric_limits<float>::infinity();
  const float huge = std::numeric_limits<float>::max();
  for (cfloat bad : {cfloat(NAN, 0.0f), cfloat(0.0f, inf), cfloat(huge, huge)}) {
    SCOPED_TRACE(bad);
    std::vector<cfloat> spec(2 * 5, cfloat(1.0f, 1.0f));
    spec[3] = bad;
    PgNet net = makeNet(2, 8, 1.0f, {complexFrame(2, 5, spec), complexFrame(2, 5)},
                        {realFrame(2, 5, std::vector<float>(10, 1.0f)), realFrame(2, 5)});
    PgNet clean = makeNet(2, 8, 1.0f, {complexFrame(2, 5), complexFrame(2, 5)},
                          {realFrame(2, 5), realFrame(2, 5)});
    const std::string msg = hostErrorMessage<FD::NodeException>([&] { net.pull(0); });
    EXPECT_NE(msg.find("input SPEC holds"), std::string::npos) << msg;
    EXPECT_NE(msg.find("at channel 0, bin 3"), std::string::npos) << msg;
    // Other channels are never read, so a non-finite value there is no reason to refuse.
    EXPECT_TRUE(sameFrame(*net.pull(1), *clean.pull(1))) << "the refused frame left a trace";
  }
}

TEST(PoissonGammaIntegrator, EdgesOfTheScaleRangeGiveFiniteOutput) {
  const int channels = 3, length = 16, bins = 9;
  for (float scale : {1e-30f, 1e30f}) {
    SCOPED_TRACE(scale);
    std::vector<FD::ObjectRef> specs, sparses;
    for (int t = 0; t < 6; ++t) {
      std::vector<cfloat> spec;
      std::vector<float> sparse;
      for (int i = 0; i < channels * bins; ++i) {
        const float magnitude = (t % 2 ? 1e-3f : 1e3f) * (1.0f + 0.1f * float(i % 7));
        spec.push_back(std::polar(magnitude, 0.3f * float(i)));
        sparse.push_back(i % 5 == 0 ? 0.0f : magnitude);
      }
      specs.push_back(complexFrame(channels, bins, spec));
      sparses.push_back(realFrame(channels, bins, sparse));
    }
    PgNet net = makeNet(channels, length, scale, specs, sparses);
    for (int t = 0; t < 6; ++t) {
      const auto out = net.pull(t);
      for (size_t i = 0; i < out->size(); ++i)
        ASSERT_TRUE(std::isfinite(std::abs((*out)[0][i]))) << "frame " << t << ", bin " << i;
    }
  }
}

}  // namespace

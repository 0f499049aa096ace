// MedianIntegrator created by type name from the loaded plug-in, fed by source nodes.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "test_support.h"

namespace {

using namespace nimbusdale_test;

struct MedianNet {
  FD::RCPtr<FD::Node> node;
  FD::RCPtr<FrameSource> spec;
  FD::RCPtr<FrameSource> sparse;

  FD::RCPtr<ComplexFrame> pull(int count) { return node->getOutput(0, count); }
};

FD::ParameterSet medianParams(int channels, int length) {
  return nodeParams(nimbusdale::kMedianIntegratorType,
                    {{"NUM_CHANNEL", intParam(channels)}, {"LENGTH", intParam(length)}});
}

MedianNet makeNet(int channels, int length, std::vector<FD::ObjectRef> specFrames,
                  std::vector<FD::ObjectRef> sparseFrames) {
  loadPlugin();
  MedianNet net;
  net.node = FD::registry::createNode("MedianIntegrator", "median", medianParams(channels, length));
  net.spec = replaySource("spec", std::move(specFrames));
  net.sparse = replaySource("sparse", std::move(sparseFrames));
  net.node->connectToNode("SPEC", net.spec.get(), "OUTPUT");
  net.node->connectToNode("SPARSE", net.sparse.get(), "OUTPUT");
  return net;
}

TEST(MedianIntegrator, MedianTakesTheLowerMiddleAndChannelZeroPhase) {
  // Two bins. Bin 0: channel 0's spectrum is 3 + 4i; bin 1: -5i.
  struct Case {
    int channels;
    std::vector<float> bin0;
    float median;
  };
  for (const Case& c : {Case{1, {7}, 7}, Case{4, {3, 1, 4, 2}, 2}, Case{5, {5, 1, 4, 2, 3}, 3},
                        Case{2, {-10, 0}, -10}}) {
    std::vector<cfloat> spec(static_cast<size_t>(2 * c.channels), cfloat(100, 100));
    spec[0] = cfloat(3, 4);
    spec[1] = cfloat(0, -5);
    std::vector<float> sparse;
    for (float v : c.bin0) {
      sparse.push_back(v);
      sparse.push_back(2 * v);  // bin 1 holds twice bin 0
    }
    MedianNet net = makeNet(c.channels, 2, {complexFrame(c.channels, 2, spec)},
                            {realFrame(c.channels, 2, sparse)});
    auto out = net.pull(0);
    ASSERT_EQ(out->nrows(), 1);
    ASSERT_EQ(out->ncols(), 2);
    SCOPED_TRACE(c.channels);
    EXPECT_TRUE(nearComplex((*out)(0, 0), cfloat(0.6f * c.median, 0.8f * c.median), 1e-5f));
    EXPECT_TRUE(nearComplex((*out)(0, 1), cfloat(0, -2 * c.median), 1e-5f));
  }
}

TEST(MedianIntegrator, MedianOfFewAndOfManyChannels) {
  // Few channels are sorted by insertion, many by a selection: both must find the lower median.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  for (int channels : {2, 3, 8, 16, 17, 33}) {
    SCOPED_TRACE(channels);
    const int bins = 6;
    std::vector<float> sparse(static_cast<size_t>(channels * bins));
    for (float& v : sparse) v = u(rng);
    sparse[static_cast<size_t>(bins)] = sparse[0];  // a tie across channels
    MedianNet net =
        makeNet(channels, 2 * (bins - 1),
                {complexFrame(channels, bins, std::vector<cfloat>(channels * bins, cfloat(1, 0)))},
                {realFrame(channels, bins, sparse)});
    auto out = net.pull(0);
    for (int k = 0; k < bins; ++k) {
      std::vector<float> column;
      for (int c = 0; c < channels; ++c)
        column.push_back(sparse[static_cast<size_t>(c * bins + k)]);
      std::sort(column.begin(), column.end());
      EXPECT_EQ((*out)(0, k).real(), column[static_cast<size_t>((channels - 1) / 2)])
          << "bin " << k;
    }
  }
}

TEST(MedianIntegrator, OtherSpectrumChannelsNeverMatter) {
  std::vector<float> sparse = {1, 5, 9};
  auto run = [&](cfloat otherRows) {
    MedianNet net = makeNet(3, 0, {complexFrame(3, 1, {cfloat(0, 2), otherRows, otherRows})},
                            {realFrame(3, 1, sparse)});
    return (*net.pull(0))(0, 0);
  };
  EXPECT_EQ(run(cfloat(0, 0)), run(cfloat(-3, 8)));
  EXPECT_EQ(run(cfloat(1, 1)), cfloat(0, 5));
}

TEST(MedianIntegrator, SilentBinKeepsTheMedianAsMagnitude) {
  MedianNet net = makeNet(3, 2, {complexFrame(3, 2, {cfloat(0, 0), cfloat(0, -0.0f)})},
                          {realFrame(3, 2, {4, 0.5f, 2, 1, 3, 3})});
  auto out = net.pull(0);
  EXPECT_EQ((*out)(0, 0), cfloat(3, 0));
  EXPECT_EQ((*out)(0, 1), cfloat(1, 0));
  EXPECT_FALSE(std::isnan((*out)(0, 0).real()));
}

TEST(MedianIntegrator, FramesAreIndependentOfCountOrder) {
  std::vector<FD::ObjectRef> spec, sparse;
  for (int i = 0; i < 3; ++i) {
    spec.push_back(complexFrame(2, 1, {cfloat(1, 0), cfloat(0, 0)}));
    sparse.push_back(realFrame(2, 1, {float(i + 1), float(i + 10)}));
  }
  MedianNet net = makeNet(2, 1, spec, sparse);
  EXPECT_EQ((*net.pull(2))(0, 0), cfloat(3, 0));
  MedianNet fresh = makeNet(2, 1, spec, sparse);
  EXPECT_EQ((*fresh.pull(0))(0, 0), cfloat(1, 0));
  EXPECT_EQ((*fresh.pull(2))(0, 0), cfloat(3, 0));
}

TEST(MedianIntegrator, BinCountFollowsLength) {
  for (auto [length, bins] : {std::pair{512, 257}, {511, 256}, {0, 1}, {-2, 0}, {-3, 0}}) {
    MedianNet net = makeNet(2, length, {complexFrame(2, bins)}, {realFrame(2, bins)});
    auto out = net.pull(0);
    EXPECT_EQ(out->nrows(), 1);
    EXPECT_EQ(out->ncols(), bins) << "LENGTH " << length;
  }
}

TEST(MedianIntegrator, RejectsFramesOfTheWrongShapeWithoutStoringOutput) {
  struct Case {
    int specRows, specCols, sparseRows, sparseCols;
    const char* port;
    const char* shape;
  };
  for (const Case& c :
       {Case{3, 257, 4, 257, "SPEC", "3 x 257"}, Case{4, 257, 4, 256, "SPARSE", "4 x 256"},
        Case{4, 257, 257, 4, "SPARSE", "257 x 4"}}) {
    MedianNet net = makeNet(4, 512, {complexFrame(c.specRows, c.specCols)},
                            {realFrame(c.sparseRows, c.sparseCols)});
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto e = expectHostError<FD::NodeException>([&] { net.pull(0); });
      ASSERT_TRUE(e);
      const std::string msg = e->message();
      EXPECT_EQ(e->nodeName(), "median");
      EXPECT_NE(msg.find("MedianIntegrator 'median'"), std::string::npos) << msg;
      EXPECT_NE(msg.find(std::string("input ") + c.port), std::string::npos) << msg;
      EXPECT_NE(msg.find(c.shape), std::string::npos) << msg;
      EXPECT_NE(msg.find("4 x 257"), std::string::npos) << msg;
    }
  }
}

TEST(MedianIntegrator, RejectsNonFiniteInputsWithoutStoringOutput) {
  const float inf = std::numeric_limits<float>::infinity();
  const float huge = std::numeric_limits<float>::max();
  struct Case {
    std::vector<cfloat> spec;
    std::vector<float> sparse;
    const char* says;
  };
  const std::vector<cfloat> goodSpec(8, cfloat(1, 1));
  const std::vector<float> goodSparse{1, 2, 3, 4, 5, 6, 7, 8};
  auto specWith = [&](int at, cfloat v) {
    auto s = goodSpec;
    s[static_cast<size_t>(at)] = v;
    return s;
  };
  auto sparseWith = [&](int at, float v) {
    auto s = goodSparse;
    s[static_cast<size_t>(at)] = v;
    return s;
  };
  for (const Case& c : {
           Case{goodSpec, sparseWith(4, NAN), "input SPARSE holds nan at channel 2, bin 0"},
           Case{goodSpec, sparseWith(3, inf), "input SPARSE holds inf at channel 1, bin 1"},
           Case{goodSpec, sparseWith(0, -inf), "input SPARSE holds -inf at channel 0, bin 0"},
           Case{specWith(1, cfloat(NAN, 0)), goodSparse,
                "input SPEC holds (nan,0) at channel 0, bin 1"},
           Case{specWith(0, cfloat(0, inf)), goodSparse,
                "input SPEC holds (0,inf) at channel 0, bin 0"},
           Case{specWith(1, cfloat(huge, huge)), goodSparse, "at channel 0, bin 1"},
       }) {
    SCOPED_TRACE(c.says);
    MedianNet net = makeNet(4, 2, {complexFrame(4, 2, c.spec)}, {realFrame(4, 2, c.sparse)});
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::string msg = hostErrorMessage<FD::NodeException>([&] { net.pull(0); });
      EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
    }
  }
  // Channels other than 0 of the spectrum never reach the output, so they are not checked.
  MedianNet net = makeNet(4, 2, {complexFrame(4, 2, specWith(5, cfloat(NAN, inf)))},
                          {realFrame(4, 2, goodSparse)});
  EXPECT_TRUE(nearComplex((*net.pull(0))(0, 0), cfloat(3, 3) / std::sqrt(2.0f), 1e-5f));
}

TEST(MedianIntegrator, LoudFiniteInputGivesFiniteOutput) {
  // Re(s) * m overflows here; the result must still be m with the phase of s.
  const float m = 1e30f;
  const std::vector<cfloat> spec{cfloat(3e20f, 4e20f), cfloat(-1e38f, 0), cfloat(3, 4)};
  const std::vector<float> sparse{m, m, 2.0f};
  MedianNet net = makeNet(1, 4, {complexFrame(1, 3, spec)}, {realFrame(1, 3, sparse)});
  auto out = net.pull(0);
  EXPECT_FLOAT_EQ((*out)(0, 0).real(), 0.6f * m);
  EXPECT_FLOAT_EQ((*out)(0, 0).imag(), 0.8f * m);
  EXPECT_FLOAT_EQ((*out)(0, 1).real(), -m);
  EXPECT_EQ((*out)(0, 1).imag(), 0.0f);
  // Where nothing overflows the rounding is (part * m) / |s|, as always.
  EXPECT_EQ((*out)(0, 2), cfloat((3.0f * 2.0f) / 5.0f, (4.0f * 2.0f) / 5.0f));
}

TEST(MedianIntegrator, WrongFrameTypeIsRefusedNamingThePort) {
  MedianNet net = makeNet(1, 0, {realFrame(1, 1)}, {realFrame(1, 1)});
  const std::string msg = hostErrorMessage<FD::NodeException>([&] { net.pull(0); });
  EXPECT_NE(msg.find("input SPEC got a Matrix<float>; it takes a Matrix<complex<float>>"),
            std::string::npos)
      << msg;
}

TEST(MedianIntegrator, ParametersAreTypedAndChecked) {
  loadPlugin();
  auto create = [](FD::ParameterSet params) {
    FD::registry::createNode("MedianIntegrator", "median", params);
  };
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>([&] {
              create(makeParams({{"NUM_CHANNEL", floatParam(4)}, {"LENGTH", intParam(512)}}));
            }),
            "Cast error: Trying to cast ObjectRef (float) into int");
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>([&] {
              create(makeParams({{"NUM_CHANNEL", intParam(4)}, {"LENGTH", floatParam(512)}}));
            }),
            "Cast error: Trying to cast ObjectRef (float) into int");
  std::string missing = hostErrorMessage<FD::GeneralException>([&] {
    create(makeParams({{"NUM_CHANNEL", intParam(4)}}));
  });
  EXPECT_NE(missing.find("LENGTH"), std::string::npos) << missing;

  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { create(medianParams(0, 512)); }),
            "MedianIntegrator 'median': parameter NUM_CHANNEL is 0; it must be at least 1");
  std::string length = hostErrorMessage<FD::NodeException>([&] { create(medianParams(2, -4)); });
  EXPECT_NE(length.find("parameter LENGTH is -4"), std::string::npos) << length;
}

}  // namespace

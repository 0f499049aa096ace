// MultiSTFT and OverlapAddSynthesis created by type name from the audio library: each channel's
// transform is the STFT core's, synthesis of the transforms gives the signal back, and frames
// come in order (a count of 0 starts a new signal, as when a host starts an iterator over).
#include <cmath>
#include <vector>

#include "Stft.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;

constexpr int kLength = 16, kHop = 4;

FD::RCPtr<FD::Node> create(const std::string& type, FD::ParameterSet params) {
  loadAudioPlugin();
  return FD::registry::createNode(type, type, params);
}

FD::RCPtr<FD::Node> stft(int channels) {
  return create("MultiSTFT",
                nodeParams(nimbusdale::kMultiSTFTType,
                           {{"NUM_CHANNEL", intParam(channels)}, {"LENGTH", intParam(kLength)}}));
}

FD::RCPtr<FD::Node> synthesis(int hop = kHop) {
  return create("OverlapAddSynthesis",
                nodeParams(nimbusdale::kOverlapAddSynthesisType,
                           {{"LENGTH", intParam(kLength)}, {"HOP", intParam(hop)}}));
}

// Frame t of a mono signal as the audio-file source frames it: kLength samples from
// t * kHop - (kLength - kHop) on, 0 outside the signal.
FD::ObjectRef signalFrame(const std::vector<float>& x, int t) {
  std::vector<float> frame(kLength, 0.0f);
  for (int i = 0; i < kLength; ++i) {
    const long n = long(t) * kHop - (kLength - kHop) + i;
    if (n >= 0 && n < long(x.size())) frame[size_t(i)] = x[size_t(n)];
  }
  return realFrame(1, kLength, frame);
}

TEST(MultiSTFT, EachChannelIsTheWindowedTransformOfItsRow) {
  std::vector<float> samples(2 * kLength);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(0.37f * float(i)) + 0.1f;
  auto node = stft(2);
  auto source = replaySource("frames", {realFrame(2, kLength, samples)});
  node->connectToNode("INPUT", source.get(), "OUTPUT");
  FD::RCPtr<ComplexFrame> out = asMatrix<cfloat>(node->getOutput(0, 0));
  ASSERT_EQ(out->nrows(), 2u);
  ASSERT_EQ(out->ncols(), size_t(kLength / 2 + 1));
  nimbusdale::StftAnalysis analysis(kLength);
  std::vector<cfloat> expected(kLength / 2 + 1);
  for (int c = 0; c < 2; ++c) {
    analysis.transform(samples.data() + c * kLength, expected.data());
    for (int f = 0; f <= kLength / 2; ++f) EXPECT_EQ((*out)(size_t(c), size_t(f)), expected[f]);
  }
}

TEST(StftAnalysis, AnInterleavedChannelGivesTheTransformOfItsRow) {
  std::vector<float> rows(3 * kLength), interleaved(3 * kLength);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = std::cos(0.61f * float(i)) - 0.2f;
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < kLength; ++i) interleaved[size_t(i * 3 + c)] = rows[size_t(c * kLength + i)];
  nimbusdale::StftAnalysis analysis(kLength);
  std::vector<cfloat> expected(kLength / 2 + 1), strided(kLength / 2 + 1);
  for (int c = 0; c < 3; ++c) {
    analysis.transform(rows.data() + c * kLength, expected.data());
    analysis.transform(interleaved.data() + c, 3, strided.data());
    EXPECT_EQ(strided, expected) << "channel " << c;
  }
}

TEST(OverlapAddSynthesis, GivesTheAnalysedSignalBackAsItBecomesFinal) {
  std::vector<float> x(203);
  for (size_t n = 0; n < x.size(); ++n) x[n] = 0.5f * std::sin(0.05f * float(n * n % 97));
  const nimbusdale::StftGeometry geometry{kLength, kHop};
  const int frames = int(geometry.frameCount(long(x.size())));

  auto analysis = stft(1);
  auto node = synthesis();
  auto source =
      FD::RCPtr<FrameSource>(new FrameSource("frames", [&](int t) { return signalFrame(x, t); }));
  analysis->connectToNode("INPUT", source.get(), "OUTPUT");
  node->connectToNode("INPUT", analysis.get(), "OUTPUT");
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<float> y;
    for (int t = 0; t < frames; ++t) {
      FD::RCPtr<RealFrame> block = asMatrix<float>(node->getOutput(0, t));
      ASSERT_EQ(block->nrows(), 1u);
      // Frame t makes final the samples before its end less the window's overlap.
      EXPECT_EQ(long(y.size() + block->ncols()), std::max(0L, long(t + 1) * kHop - kLength + kHop));
      y.insert(y.end(), (*block)[0], (*block)[0] + block->ncols());
    }
    ASSERT_GE(y.size(), x.size());
    for (size_t n = 0; n < x.size(); ++n) EXPECT_NEAR(y[n], x[n], 2e-6f) << "sample " << n;
    // The host starts its iterator over: it resets the nodes' buffers and counts from 0 again.
    for (auto* n : {static_cast<FD::Node*>(source.get()), analysis.get(), node.get()}) n->reset();
  }
}

TEST(OverlapAddSynthesis, RefusesAHopTheWindowCannotCoverAndFramesOutOfOrder) {
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([] { synthesis(9); }),
            "OverlapAddSynthesis 'OverlapAddSynthesis': parameter HOP is 9; it must lie between "
            "1 and LENGTH / 2 = 8");
  auto node = synthesis();
  auto source = replaySource(
      "frames", std::vector<FD::ObjectRef>(3, complexFrame(1, kLength / 2 + 1, {{1, 0}})));
  node->connectToNode("INPUT", source.get(), "OUTPUT");
  node->getOutput(0, 0);
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { node->getOutput(0, 2); }),
            "OverlapAddSynthesis 'OverlapAddSynthesis': frame 2 came out of order; frames are "
            "added in order, and frame 1 is next");
  auto narrow = replaySource("narrow", {complexFrame(1, 4)});
  auto other = synthesis();
  other->connectToNode("INPUT", narrow.get(), "OUTPUT");
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { other->getOutput(0, 0); }),
            "OverlapAddSynthesis 'OverlapAddSynthesis': input INPUT frame is 1 x 4; expected at "
            "least one row of LENGTH / 2 + 1 = 9 bins");
}

}  // namespace

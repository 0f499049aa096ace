// SparseSeparation, the host-free work of the MultiRobustPCA node: the node is exactly this core,
// the notices and the summary agree, and neither the thread count nor the notice stream changes
// a bit of the output.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "ChannelPool.h"
#include "ToolboxNode.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/SparseSeparation.h"
#include "nimbusdale/SpectrumMagnitude.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;
using nimbusdale::SeparationSettings;
using nimbusdale::SparseSeparation;

constexpr int kChannels = 3, kLength = 30, kBins = 16, kRate = 8000;

/// A breathing hum on every 3rd bin over a floor, with an event every 7th frame.
std::vector<cfloat> frameAt(int t) {
  std::vector<cfloat> values;
  for (int c = 0; c < kChannels; ++c)
    for (int k = 0; k < kBins; ++k) {
      float m = 0.1f + 0.05f * std::fabs(std::sin(1.3f * k + 0.7f * c + 0.4f * t));
      if (k % 3 == 0) m += 1.0f + 0.2f * std::sin(0.1f * t + c);
      if (t % 7 == 3 && k == 2 + t % 11) m += 4.0f;
      values.push_back(std::polar(m, 0.5f * k + t + c));
    }
  return values;
}

// The node and the core are set up from the same parameter values.
nimbusdale::ParameterValues parameters() {
  nimbusdale::ParameterValues values(nimbusdale::kMultiRobustPCAType);
  values.set("NUM_CHANNEL", kChannels);
  values.set("LENGTH", kLength);
  values.set("CUTOFF_FREQ", 500.0f);
  values.set("SAMPLING_RATE", kRate);
  values.set("GLOBAL_SCALE", 0.5f);
  values.set("LAMBDA", 1.0f);
  values.set("SCALE_UPDATE_RATIO", 0.1f);
  values.set("MAX_LANK", 3);
  values.set("EPSILON", 1e-4f);
  return values;
}

SeparationSettings settings() {
  return SeparationSettings::fromParameters(parameters());
}

FD::ParameterSet nodeParams() {
  return nimbusdale::hostParameters(parameters());
}

long lineCount(const std::string& text) {
  return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

TEST(SparseSeparation, SettingsFollowTheNodeParameters) {
  const SeparationSettings s =
      SeparationSettings::fromParameters(2, 512, 25.0f, 800, 2.0f, 1.0f, 0.5f, 4, 1e-3f);
  EXPECT_EQ(s.numBins, 257);
  EXPECT_EQ(s.cutoffBins, 16) << "trunc(257 * 25 / 400)";
  EXPECT_EQ(SeparationSettings::fromParameters(2, 511, 400.0f, 800, 2.0f, 1.0f, 0.5f, 4, 1e-3f)
                .cutoffBins,
            256)
      << "a cut-off at half the rate leaves every bin out";
  try {
    SeparationSettings::fromParameters(2, 512, 25.0f, 800, 2.0f, 1.0f, 0.5f, 0, 1e-3f);
    ADD_FAILURE() << "MAX_LANK 0 accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "parameter MAX_LANK is 0; it must be at least 1");
  }
  SeparationSettings bad = settings();
  bad.cutoffBins = kBins + 1;
  EXPECT_THROW(SparseSeparation{bad}, std::invalid_argument);

  // The defaults are the node table's typical values, nothing of their own.
  const SeparationSettings defaults,
      typical = SeparationSettings::fromParameters(
          nimbusdale::ParameterValues(nimbusdale::kMultiRobustPCAType));
  EXPECT_EQ(std::tie(defaults.numChannels, defaults.numBins, defaults.cutoffBins, defaults.maxRank),
            std::tie(typical.numChannels, typical.numBins, typical.cutoffBins, typical.maxRank));
  EXPECT_EQ(
      std::tie(defaults.globalScale, defaults.lambda, defaults.scaleUpdateRatio, defaults.epsilon),
      std::tie(typical.globalScale, typical.lambda, typical.scaleUpdateRatio, typical.epsilon));
}

TEST(SparseSeparation, NodeIsTheCoreBitForBit) {
  loadPlugin();
  std::srand(1);
  FD::RCPtr<FD::Node> node = FD::registry::createNode("MultiRobustPCA", "rpca", nodeParams());
  auto source = FD::RCPtr<FrameSource>(
      new FrameSource("source", [](int t) { return complexFrame(kChannels, kBins, frameAt(t)); }));
  node->connectToNode("INPUT", source.get(), "OUTPUT");
  std::srand(1);
  SparseSeparation core(settings());

  for (int t = 0; t < 40; ++t) {
    testing::internal::CaptureStdout();
    FD::RCPtr<RealFrame> fromNode = node->getOutput(0, t);
    const long nodeLines = lineCount(testing::internal::GetCapturedStdout());

    const std::vector<cfloat> in = frameAt(t);
    std::vector<float> out(kChannels * kBins);
    std::ostringstream notices;
    const auto summary = core.process(in.data(), t == 0, out.data(), &notices);
    const long coreLines = lineCount(notices.str());
    ASSERT_EQ(std::memcmp((*fromNode)[0], out.data(), out.size() * sizeof(float)), 0)
        << "frame " << t;
    EXPECT_EQ(summary.notConverged, coreLines) << "frame " << t;
    EXPECT_EQ(nodeLines, coreLines) << "frame " << t;
  }
}

TEST(SparseSeparation, ThreadCountBlocksAndNoticeStreamChangeNoBit) {
  const int defaultTeam = omp_get_max_threads();
  std::vector<float> outputs[3];
  long notConverged[3] = {0, 0, 0};
  for (int run = 0; run < 3; ++run) {
    std::srand(7);
    SparseSeparation core(settings());
    for (int t = 0; t < 25; ++t) {
      const std::vector<cfloat> in = frameAt(t);
      std::vector<float> out(kChannels * kBins);
      std::ostringstream notices;
      // Run 0: one thread; run 1: two threads; run 2: the default team and no notices at all.
      const int threads = run == 0 ? 1 : run == 1 ? 2 : 0;
      notConverged[run] +=
          core.process(in.data(), t == 0, out.data(), run == 2 ? nullptr : &notices, threads)
              .notConverged;
      outputs[run].insert(outputs[run].end(), out.begin(), out.end());
    }
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0], outputs[2]);
  EXPECT_EQ(notConverged[0], notConverged[1]);
  EXPECT_EQ(notConverged[0], notConverged[2]);
  EXPECT_EQ(omp_get_max_threads(), defaultTeam) << "the thread count is per call, not global";

  // The same 25 frames in blocks of 1, 7, 16 and 1 frames on two threads.
  std::srand(7);
  SparseSeparation blocks(settings());
  std::vector<float> blocked;
  long blockedNotConverged = 0;
  int t = 0;
  for (const int frames : {1, 7, 16, 1}) {
    std::vector<float> out(static_cast<size_t>(frames) * kChannels * kBins);
    for (int i = 0; i < frames; ++i)
      blocks.magnitudes(frameAt(t + i).data(), out.data() + size_t(i) * kChannels * kBins);
    std::vector<nimbusdale::SeparationSummary> summaries(static_cast<size_t>(frames));
    // Blocks of 7 frames start, leave the helpers at work, and finish later.
    if (frames == 7) {
      blocks.startBlock(out.data(), frames, t == 0, summaries.data(), 2);
      blocks.finishBlock();
    } else {
      blocks.processBlock(out.data(), frames, t == 0, summaries.data(), 2);
    }
    for (const auto& summary : summaries) {
      blockedNotConverged += summary.notConverged;
      EXPECT_LE(summary.slowestPasses, summary.passes);
      EXPECT_GE(long(summary.slowestPasses) * kChannels, summary.passes);
    }
    blocked.insert(blocked.end(), out.begin(), out.end());
    t += frames;
  }
  EXPECT_EQ(outputs[0], blocked);
  EXPECT_EQ(notConverged[0], blockedNotConverged);
}

TEST(SparseSeparation, CheckFrameNamesTheValueChannelAndBin) {
  std::srand(1);
  SparseSeparation core(settings());
  std::vector<cfloat> in = frameAt(0);
  std::vector<float> magnitudes(in.size());
  EXPECT_NO_THROW(core.checkFrame(in.data()));
  EXPECT_TRUE(core.magnitudes(in.data(), magnitudes.data()));
  // magnitudes() refuses what checkFrame() refuses: here a modulus beyond the float range.
  in[7] = cfloat(3e38f, 3e38f);
  EXPECT_FALSE(core.magnitudes(in.data(), magnitudes.data()));
  EXPECT_THROW(core.checkFrame(in.data()), std::invalid_argument);
  in[7] = frameAt(0)[7];
  in[static_cast<size_t>(2 * kBins + 5)] = cfloat(NAN, 1.0f);
  EXPECT_FALSE(core.magnitudes(in.data(), magnitudes.data()));
  try {
    core.checkFrame(in.data());
    ADD_FAILURE() << "NaN accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "input INPUT holds (nan,1) at channel 2, bin 5; every value must have a finite "
                 "magnitude");
  }
}

// Digital silence before a recording (exact zeros in every channel) must not change how the
// recording is separated: the estimators start learning, and the running scale starts, at the
// first frame that is not silent, as they would have at frame 0 without the silence. A silent
// start used to wipe each estimator's basis (it never learnt again, so everything came out as
// sparse) and left the scale at SCALE_UPDATE_RATIO x the first magnitudes.
TEST(SparseSeparation, LeadingSilenceSeparatesTheRestAsIfItWereNotThere) {
  const int silentFrames = 5;
  const std::vector<cfloat> silence(kChannels * kBins, cfloat(0, 0));
  std::srand(3);
  SparseSeparation withSilence(settings());
  std::srand(3);
  SparseSeparation without(settings());
  for (int t = 0; t < silentFrames; ++t) {
    std::vector<float> out(kChannels * kBins, -1.0f);
    std::ostringstream notices;
    const auto summary = withSilence.process(silence.data(), t == 0, out.data(), &notices);
    EXPECT_EQ(out, std::vector<float>(kChannels * kBins, 0.0f)) << "frame " << t;
    EXPECT_EQ(summary.notConverged, 0);
    EXPECT_EQ(notices.str(), "");
  }
  for (int t = 0; t < 40; ++t) {
    const std::vector<cfloat> in = frameAt(t);
    std::vector<float> late(kChannels * kBins), plain(kChannels * kBins);
    withSilence.process(in.data(), false, late.data(), nullptr);
    without.process(in.data(), t == 0, plain.data(), nullptr);
    ASSERT_EQ(late, plain) << "frame " << t << " after the silence";
  }
  EXPECT_TRUE(withSilence.magnitudeScale() == without.magnitudeScale());
}

// A dead channel (all zeros throughout) emits zeros and leaves the other channels as they are.
TEST(SparseSeparation, ADeadChannelEmitsZerosAndChangesNoOtherChannel) {
  std::srand(5);
  SparseSeparation dead(settings());
  std::srand(5);
  SparseSeparation live(settings());
  for (int t = 0; t < 30; ++t) {
    std::vector<cfloat> in = frameAt(t);
    std::vector<float> withDead(kChannels * kBins), normal(kChannels * kBins);
    live.process(in.data(), t == 0, normal.data(), nullptr);
    std::fill(in.begin() + kBins, in.begin() + 2 * kBins, cfloat(0, 0));  // channel 1
    dead.process(in.data(), t == 0, withDead.data(), nullptr);
    for (int i = 0; i < kChannels * kBins; ++i) {
      ASSERT_TRUE(std::isfinite(withDead[static_cast<size_t>(i)]));
      if (i / kBins == 1)
        ASSERT_EQ(withDead[static_cast<size_t>(i)], 0.0f) << "frame " << t << ", bin " << i;
      else
        ASSERT_EQ(withDead[static_cast<size_t>(i)], normal[static_cast<size_t>(i)])
            << "frame " << t << ", channel " << i / kBins << ", bin " << i % kBins;
    }
  }
}

// A bin that is exactly 0 when the scale is seeded takes its scale from the first frame that
// reaches it, not ratio x that magnitude; bins seeded at frame 0 blend as always.
TEST(SparseSeparation, ABinSilentAtTheStartIsSeededWhenItFirstSounds) {
  std::srand(1);
  SparseSeparation core(settings());
  const int bin = 7;
  std::vector<cfloat> first = frameAt(0);
  first[static_cast<size_t>(bin)] = cfloat(0, 0);  // channel 0
  std::vector<float> out(kChannels * kBins);
  core.process(first.data(), true, out.data(), nullptr);
  EXPECT_EQ(core.magnitudeScale()(bin, 0), 0.0f);
  const std::vector<cfloat> second = frameAt(1);
  core.process(second.data(), false, out.data(), nullptr);
  const float ratio = settings().scaleUpdateRatio;
  EXPECT_EQ(core.magnitudeScale()(bin, 0), nimbusdale::spectrumMagnitude(second[bin]));
  EXPECT_EQ(core.magnitudeScale()(bin, 1),
            nimbusdale::spectrumMagnitude(second[kBins + bin]) * ratio +
                nimbusdale::spectrumMagnitude(first[kBins + bin]) * (1.0f - ratio));
  EXPECT_EQ(core.observations()(bin, 0), settings().globalScale);
}

}  // namespace

namespace {

// Runs a trial of `chooser` in which a frame on one thread takes `one` seconds and on the largest
// team `more`; returns the team it keeps afterwards.
int afterTrial(nimbusdale::TeamChooser& chooser, int most, double one, double more) {
  for (int f = 0; f < nimbusdale::TeamChooser::kTrialFrames; ++f) {
    const int team = chooser.next(most);
    chooser.record(team, team == 1 ? one : more);
  }
  return chooser.next(most);
}

TEST(TeamChooser, KeepsTheFasterTeamAndTriesAgain) {
  nimbusdale::TeamChooser chooser;
  EXPECT_EQ(afterTrial(chooser, 2, 1.0, 0.6), 2);
  for (int f = 0; f < nimbusdale::TeamChooser::kKeptFrames; ++f) {
    ASSERT_EQ(chooser.next(2), 2);
    chooser.record(2, 0.6);
  }
  // The machine got busy: the next trial finds one thread faster.
  EXPECT_EQ(afterTrial(chooser, 2, 1.0, 1.4), 1);
  EXPECT_EQ(chooser.next(1), 1) << "one thread is all there is";
}

}  // namespace

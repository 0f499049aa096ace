// The pipeline fed block by block: whatever the blocks, the samples handed out equal the
// whole-signal run bit for bit, leave as soon as they are final, and a refused block loses
// nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "StreamEnhancer.h"

namespace {

namespace app = nimbusdale::app;
using app::NodeImplementation;

constexpr int kRate = 16000;

/// Hum with harmonics, a little noise and a tone burst, different in each channel, interleaved.
std::vector<float> recording(long samples, int channels) {
  std::vector<float> x(static_cast<size_t>(samples * channels));
  unsigned noise = 12345;
  for (long i = 0; i < samples; ++i) {
    const double t = double(i) / kRate;
    const double burst = (t > 0.1 && t < 0.2) ? 0.3 * std::sin(2 * M_PI * 1200 * t) : 0.0;
    for (int c = 0; c < channels; ++c) {
      double hum = 0.0;
      for (int k = 1; k <= 5; ++k) hum += 0.1 / k * std::sin(2 * M_PI * 120 * k * t + 0.4 * c);
      noise = noise * 1664525u + 1013904223u;
      x[static_cast<size_t>(i * channels + c)] =
          float(hum + burst + 0.01 * (double(noise >> 8) / double(1 << 24) - 0.5));
    }
  }
  return x;
}

app::EnhanceOptions options(int length, int hop, const char* integrator = "median") {
  app::EnhanceOptions o;
  o.set("length", length);
  o.set("hop", hop);
  o.set("max_rank", 4);
  o.integrator = app::integratorNamed(integrator);
  return o;
}

/// Feeds `x` in blocks of `block` samples (the last one shorter) and finishes.
std::vector<float> streamed(
    const std::vector<float>& x, int channels, long block, const app::EnhanceOptions& o,
    NodeImplementation nodes = NodeImplementation::LinkedCores,
    app::StreamEnhancer::Handout handout = app::StreamEnhancer::Handout::Prompt) {
  app::StreamEnhancer stream(channels, kRate, o, nodes);
  std::vector<float> out;
  const long samples = static_cast<long>(x.size()) / channels;
  for (long at = 0; at < samples; at += block) {
    const long n = std::min(block, samples - at);
    stream.push(x.data() + at * channels, n, out, handout);
    EXPECT_EQ(stream.samplesOut(), static_cast<long>(out.size()));
    // Nothing waits longer than a frame length for its input.
    if (handout == app::StreamEnhancer::Handout::Prompt) {
      EXPECT_GE(stream.samplesOut(), stream.samplesIn() - stream.latencySamples() + 1);
    }
  }
  stream.finish(out);
  EXPECT_EQ(stream.samplesOut(), samples);
  return out;
}

std::vector<float> whole(const std::vector<float>& x, int channels, const app::EnhanceOptions& o,
                         NodeImplementation nodes = NodeImplementation::LinkedCores) {
  return app::enhance(x.data(), static_cast<long>(x.size()) / channels, channels, kRate, o, nullptr,
                      nullptr, {}, nodes);
}

/// Equal to the bit, NaN and signed zeros included.
::testing::AssertionResult sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0)
      return ::testing::AssertionFailure() << "sample " << i << ": " << a[i] << " and " << b[i];
  return ::testing::AssertionSuccess();
}

TEST(StreamEnhancer, AnyBlockingGivesTheWholeRunBitForBit) {
  struct Case {
    int length, hop, channels;
    long samples;
  };
  // Shorter than a hop, than a frame, exact multiples of the hop, and ragged ends.
  for (const Case& c : {Case{256, 64, 2, 0}, Case{256, 64, 2, 1}, Case{256, 64, 3, 63},
                        Case{256, 64, 1, 200}, Case{256, 128, 2, 256}, Case{512, 160, 4, 3200},
                        Case{512, 160, 2, 4801}, Case{64, 16, 2, 2000}, Case{1024, 256, 3, 5000}}) {
    SCOPED_TRACE(::testing::Message() << c.length << "/" << c.hop << ", " << c.channels
                                      << " channels, " << c.samples << " samples");
    const std::vector<float> x = recording(c.samples, c.channels);
    const app::EnhanceOptions o = options(c.length, c.hop);
    const std::vector<float> expected = whole(x, c.channels, o);
    for (long block : {1L, 7L, long(c.hop), 1000L, c.samples + 1}) {
      SCOPED_TRACE(::testing::Message() << "blocks of " << block);
      EXPECT_TRUE(sameBits(streamed(x, c.channels, block, o), expected));
    }
  }
}

TEST(StreamEnhancer, ABatchedHandoutHoldsFramesBackAndHandsOutTheSameSamples) {
  const std::vector<float> x = recording(24000, 3);
  app::EnhanceOptions o = options(256, 64);
  o.threads = 2;
  const std::vector<float> expected = whole(x, 3, o);
  for (long block : {7L, 1000L, 4096L}) {
    SCOPED_TRACE(::testing::Message() << "blocks of " << block);
    EXPECT_TRUE(sameBits(streamed(x, 3, block, o, NodeImplementation::LinkedCores,
                                  app::StreamEnhancer::Handout::Batched),
                         expected));
  }
  // With two threads the last blocks' frames wait for the next push, or for finish().
  app::StreamEnhancer stream(3, kRate, o, NodeImplementation::LinkedCores);
  std::vector<float> out;
  stream.push(x.data(), 12000, out, app::StreamEnhancer::Handout::Batched);
  EXPECT_LT(stream.samplesOut(), 12000 - stream.latencySamples() - 64 * 64);
  EXPECT_GT(stream.samplesOut(), 0);
}

TEST(StreamEnhancer, BothIntegratorsAndThePluginStreamAsTheyRunWhole) {
  const std::vector<float> x = recording(6000, 3);
  for (const char* integrator : {"median", "poisson-gamma"}) {
    SCOPED_TRACE(integrator);
    const app::EnhanceOptions o = options(512, 160, integrator);
    const std::vector<float> expected = whole(x, 3, o, NodeImplementation::Plugin);
    EXPECT_TRUE(sameBits(streamed(x, 3, 333, o, NodeImplementation::Plugin), expected));
    EXPECT_TRUE(sameBits(streamed(x, 3, 160, o, NodeImplementation::LinkedCores), expected));
  }
}

TEST(StreamEnhancer, ARefusedBlockLosesNothingAndTheStreamGoesOn) {
  const int channels = 2;
  const std::vector<float> x = recording(3000, channels);
  const app::EnhanceOptions o = options(256, 64);
  app::StreamEnhancer stream(channels, kRate, o, NodeImplementation::LinkedCores);
  std::vector<float> out;
  stream.push(x.data(), 1000, out);
  const size_t handed = out.size();

  std::vector<float> bad(x.begin() + 2000, x.begin() + 2200);
  bad[2 * 17 + 1] = NAN;
  try {
    stream.push(bad.data(), 100, out);
    FAIL() << "a NaN was taken";
  } catch (const std::invalid_argument& e) {
    // Numbered from the start of the stream.
    EXPECT_NE(std::string(e.what()).find("sample 1017 of channel 1"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(out.size(), handed);
  EXPECT_EQ(stream.samplesIn(), 1000);

  stream.push(x.data() + 2000, 2000, out);
  stream.finish(out);
  EXPECT_TRUE(sameBits(out, whole(x, channels, o)));
  EXPECT_THROW(stream.push(x.data(), 1, out), std::logic_error);
  EXPECT_THROW(stream.finish(out), std::logic_error);
}

TEST(StreamEnhancer, CountsAndRefusalsMatchTheWholeRun) {
  const std::vector<float> x = recording(4000, 2);
  const app::EnhanceOptions o = options(256, 64);
  app::EnhanceStats expected;
  app::enhance(x.data(), 4000, 2, kRate, o, &expected, nullptr, {}, NodeImplementation::Plugin);
  app::StreamEnhancer stream(2, kRate, o, NodeImplementation::Plugin);
  std::vector<float> out;
  stream.push(x.data(), 4000, out);
  stream.finish(out);
  const app::EnhanceStats got = stream.stats();
  EXPECT_EQ(got.frames, expected.frames);
  EXPECT_EQ(got.estimatorUpdates, expected.estimatorUpdates);
  EXPECT_EQ(got.notConverged, expected.notConverged);
  EXPECT_EQ(got.diagnosticLines, expected.diagnosticLines);

  // Silence in, silence out is not flagged; the options are checked as enhance() checks them.
  app::StreamEnhancer quiet(2, kRate, o, NodeImplementation::LinkedCores);
  const std::vector<float> zeros(2 * 1000, 0.0f);
  quiet.push(zeros.data(), 1000, out);
  quiet.finish(out);
  EXPECT_FALSE(quiet.stats().silentOutput);
  app::EnhanceOptions bad = o;
  bad.set("hop", 0);
  EXPECT_THROW(app::StreamEnhancer(2, kRate, bad), std::invalid_argument);
  EXPECT_THROW(app::StreamEnhancer(0, kRate, o), std::invalid_argument);
}

}  // namespace

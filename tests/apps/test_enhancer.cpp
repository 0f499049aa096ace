// The enhancement pipeline: the plug-in and the linked cores give the same bits, and signals and
// options the run cannot turn into a meaningful finite output are refused before any node runs.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "Enhancer.h"

namespace {

namespace app = nimbusdale::app;
using app::NodeImplementation;

constexpr int kRate = 16000, kChannels = 3;

/// A hum with harmonics in every channel and a tone burst in the middle, interleaved.
std::vector<float> humAndBurst(float seconds, float level = 1.0f) {
  const long n = static_cast<long>(seconds * kRate);
  std::vector<float> x(static_cast<size_t>(n * kChannels));
  for (long i = 0; i < n; ++i) {
    const double t = double(i) / kRate;
    const double burst = (t > 0.2 && t < 0.3) ? 0.3 * std::sin(2 * M_PI * 1200 * t) : 0.0;
    for (int c = 0; c < kChannels; ++c) {
      double hum = 0.0;
      for (int k = 1; k <= 6; ++k) hum += 0.1 / k * std::sin(2 * M_PI * 120 * k * t + 0.4 * c);
      x[static_cast<size_t>(i * kChannels + c)] = level * float(hum + burst);
    }
  }
  return x;
}

app::EnhanceOptions smallOptions() {
  app::EnhanceOptions o;
  o.set("length", 256);
  o.set("hop", 64);
  o.set("max_rank", 4);
  return o;
}

std::vector<float> run(const std::vector<float>& x, const app::EnhanceOptions& o,
                       NodeImplementation nodes, app::EnhanceStats* stats = nullptr) {
  return app::enhance(x.data(), static_cast<long>(x.size()) / kChannels, kChannels, kRate, o, stats,
                      nullptr, {}, nodes);
}

std::string refusal(const std::vector<float>& x, const app::EnhanceOptions& o) {
  try {
    run(x, o, NodeImplementation::LinkedCores);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted";
  return "";
}

TEST(Enhancer, PluginAndLinkedCoresGiveTheSameBits) {
  const std::vector<float> x = humAndBurst(0.5f);
  const int defaultTeam = omp_get_max_threads();
  for (const char* integrator : {"median", "poisson-gamma", "mask"})
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(integrator) + ", threads " + std::to_string(threads));
      app::EnhanceOptions o = smallOptions();
      o.integrator = app::integratorNamed(integrator);
      o.threads = threads;
      app::EnhanceStats fromPlugin, fromCores;
      const std::vector<float> a = run(x, o, NodeImplementation::Plugin, &fromPlugin);
      const std::vector<float> b = run(x, o, NodeImplementation::LinkedCores, &fromCores);
      EXPECT_EQ(a, b);
      EXPECT_EQ(fromPlugin.notConverged, fromCores.notConverged);
      EXPECT_EQ(fromPlugin.diagnosticLines, fromCores.diagnosticLines);
      EXPECT_FALSE(fromCores.silentOutput);
      EXPECT_EQ(omp_get_max_threads(), defaultTeam) << "a run's thread count must not outlive it";
    }
}

// A recording that starts with digital silence and whose channel 0 is dead: the mask goes on the
// first channel that sounds, so the output is finite and not silent.
TEST(Enhancer, LeadingSilenceAndADeadChannelZeroStillGiveTheBurst) {
  std::vector<float> x = humAndBurst(0.5f);
  const long silent = kRate / 10;
  for (size_t i = 0; i < x.size(); ++i)
    if (i % kChannels == 0 || static_cast<long>(i / kChannels) < silent) x[i] = 0.0f;
  app::EnhanceOptions o = smallOptions();
  o.integrator = nimbusdale::Integrator::Mask;
  app::EnhanceStats stats;
  const std::vector<float> y = run(x, o, NodeImplementation::LinkedCores, &stats);
  EXPECT_FALSE(stats.silentOutput);
  double burst = 0.0, before = 0.0;
  for (size_t n = 0; n < y.size(); ++n) {
    ASSERT_TRUE(std::isfinite(y[n])) << "sample " << n;
    const double t = double(n) / kRate;
    if (t > 0.22 && t < 0.28) burst += double(y[n]) * y[n];
    if (static_cast<long>(n) < silent - o.length()) before += double(y[n]) * y[n];
  }
  EXPECT_EQ(before, 0.0) << "silence in, silence out";
  EXPECT_GT(burst / (0.06 * kRate), 0.1 * 0.3 * 0.3 / 2) << "the burst comes through";
}

TEST(Enhancer, LoudSignalsUpToTheLimitGiveFiniteOutput) {
  std::vector<float> x = humAndBurst(0.5f);
  float peak = 0.0f;
  for (float v : x) peak = std::max(peak, std::fabs(v));
  for (float& v : x) v *= app::kMaxSampleMagnitude / peak;
  for (int i = 0; i < 300; ++i)
    x[static_cast<size_t>(4000 * kChannels + i)] = app::kMaxSampleMagnitude;
  for (const char* integrator : {"median", "poisson-gamma", "mask"}) {
    SCOPED_TRACE(integrator);
    app::EnhanceOptions o = smallOptions();
    o.integrator = app::integratorNamed(integrator);
    for (float y : run(x, o, NodeImplementation::Plugin)) ASSERT_TRUE(std::isfinite(y));
  }
  x[static_cast<size_t>(7 * kChannels + 2)] = 1.5f * app::kMaxSampleMagnitude;
  const std::string loud = refusal(x, smallOptions());
  EXPECT_NE(loud.find("sample 7 of channel 2 is 1.5e+12"), std::string::npos) << loud;
  EXPECT_NE(loud.find("beyond +-1e+12"), std::string::npos) << loud;

  x[static_cast<size_t>(5 * kChannels + 1)] = std::numeric_limits<float>::infinity();
  const std::string inf = refusal(x, smallOptions());
  EXPECT_NE(inf.find("sample 5 of channel 1 is inf"), std::string::npos) << inf;
}

TEST(Enhancer, OptionsThatCannotGiveAMeaningfulRunAreRefusedWithTheReason) {
  const std::vector<float> x = humAndBurst(0.1f);
  struct Case {
    void (*set)(app::EnhanceOptions&);
    const char* says;
  };
  const std::vector<Case> cases = {
      {[](app::EnhanceOptions& o) { o.set("length", 1048576); }, "length must be at most 16384"},
      {[](app::EnhanceOptions& o) { o.set("max_rank", 1000); }, "max-rank must be at most 64"},
      {[](app::EnhanceOptions& o) { o.threads = 1000; }, "threads must be at most 256"},
      {[](app::EnhanceOptions& o) { o.set("global_scale", 1e-38f); }, "output is silent"},
      {[](app::EnhanceOptions& o) { o.set("global_scale", NAN); }, "global-scale must lie between"},
      {[](app::EnhanceOptions& o) { o.set("cutoff_freq", 8000.0f); },
       "cutoff-freq 8000 Hz leaves no bin for the robust PCA"},
  };
  for (const Case& c : cases) {
    app::EnhanceOptions o = smallOptions();
    c.set(o);
    const std::string msg = refusal(x, o);
    EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
  }
}

TEST(Enhancer, ASilentOutputFromALiveInputIsReported) {
  const std::vector<float> x = humAndBurst(0.3f);
  app::EnhanceOptions o = smallOptions();
  o.integrator = nimbusdale::Integrator::Median;  // the median of all thresholded away is 0
  o.set("lambda_", 1e6f);                         // thresholds everything away
  app::EnhanceStats stats;
  run(x, o, NodeImplementation::LinkedCores, &stats);
  EXPECT_TRUE(stats.silentOutput);
  const std::vector<float> silence(x.size(), 0.0f);
  run(silence, smallOptions(), NodeImplementation::LinkedCores, &stats);
  EXPECT_FALSE(stats.silentOutput) << "silence in, silence out is no surprise";
}

}  // namespace

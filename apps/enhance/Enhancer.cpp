#include "Enhancer.h"

#include <dlfcn.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "Chain.h"

namespace nimbusdale::app {
namespace {

void requirePositiveFinite(float value, const char* option) {
  if (!(std::isfinite(value) && value > 0.0f))
    throw std::invalid_argument(std::string(option) + " must be positive and finite, not " +
                                std::to_string(value));
}

template <class V>
void requireAtMost(V value, V limit, const char* option, const char* why) {
  if (value <= limit) return;
  std::ostringstream text;
  text << option << " must be at most " << limit << " (" << why << "), not " << value;
  throw std::invalid_argument(text.str());
}

}  // namespace

Integrator integratorNamed(const std::string& name) {
  std::string names;
  for (const IntegratorName& entry : kIntegrators) {
    if (name == entry.name) return entry.integrator;
    const bool last = &entry == std::end(kIntegrators) - 1;
    names += (names.empty() ? "" : last ? " or " : ", ") + std::string(entry.name);
  }
  throw std::invalid_argument("integrator must be " + names + ", not '" + name + "'");
}

void EnhanceOptions::validate() const {
  StftGeometry{length(), hop()}.validate();
  requireAtMost(length(), kMaxLength, "length", "longer frames only slow the run down");
  requireAtMost(nodes.intValue("max_rank"), kMaxRank, "max-rank",
                "the cost of each frame grows with its square");
  if (threads < 0)
    throw std::invalid_argument("threads must be 0 (default) or more, not " +
                                std::to_string(threads));
  requireAtMost(threads, kMaxThreads, "threads", "more threads than channels only wait");
  const float globalScale = nodes.floatValue("global_scale");
  if (!(globalScale >= kMinGlobalScale && globalScale <= kMaxGlobalScale)) {
    std::ostringstream text;
    text << "global-scale must lie between " << kMinGlobalScale << " and " << kMaxGlobalScale
         << " (below, the normalised magnitudes sit under the sparsity threshold and the output "
            "is silent; above, nothing is thresholded away), not "
         << globalScale;
    throw std::invalid_argument(text.str());
  }
  if (integrator == Integrator::PoissonGamma)
    requirePositiveFinite(nodes.floatValue("pg_global_scale"), "pg-global-scale");
}

void EnhanceOptions::validate(int sampleRate) const {
  validate();
  if (sampleRate < 1)
    throw std::invalid_argument("sample rate must be positive, not " + std::to_string(sampleRate));
  const float cutoffFreq = nodes.floatValue("cutoff_freq");
  if (std::isfinite(cutoffFreq) && cutoffFreq >= 0.5f * static_cast<float>(sampleRate)) {
    std::ostringstream text;
    text << "cutoff-freq " << cutoffFreq << " Hz leaves no bin for the robust PCA, so the output "
         << "would be silent: it must lie below half the sample rate, " << 0.5 * sampleRate
         << " Hz";
    throw std::invalid_argument(text.str());
  }
}

std::mutex& randomDrawLock() {
  static std::mutex lock;
  return lock;
}

namespace {

// `path` with links and dots resolved, or as it is where it does not exist.
std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  const std::string result = real ? real : path;
  std::free(real);
  return result;
}

}  // namespace

std::string defaultToolboxPath() {
  // The host library this program runs on says where it runs from: a program of the build tree
  // runs on the build's and uses the plug-in built beside it; an installed one runs on the
  // installed one and uses the plug-in installed with it, wherever the tree was installed.
  Dl_info host{};
  if (!dladdr(reinterpret_cast<void*>(&FD::Toolbox::load), &host) || !host.dli_fname)
    return NIMBUSDALE_BUILD_PLUGIN_PATH;
  const std::string library = resolved(host.dli_fname);
  if (library == resolved(NIMBUSDALE_BUILD_HOST_LIBRARY)) return NIMBUSDALE_BUILD_PLUGIN_PATH;
  return resolved(library.substr(0, library.find_last_of('/') + 1) +
                  NIMBUSDALE_PLUGIN_FROM_HOST_LIBRARY);
}

void loadToolbox(const std::string& path) {
  hostCall([&] { FD::Toolbox::load(path); });
}

void checkChannels(int channels) {
  if (channels < 1 || channels > kMaxChannels)
    throw std::invalid_argument("the signal has " + std::to_string(channels) +
                                " channels; the enhancement takes 1 to " +
                                std::to_string(kMaxChannels));
}

std::vector<float> enhance(const float* interleaved, long samples, int channels, int sampleRate,
                           const EnhanceOptions& options, EnhanceStats* stats,
                           std::ostream* diagnostics, const ProgressFn& progress,
                           NodeImplementation implementation) {
  options.validate(sampleRate);
  checkChannels(channels);
  if (samples < 0) throw std::invalid_argument("negative sample count");
  checkSignal(interleaved, samples, channels);
  const StftGeometry geometry{options.length(), options.hop()};
  const bool plugin = implementation == NodeImplementation::Plugin;

  std::unique_ptr<ThreadCountScope> threadCount;
  if (plugin) threadCount = std::make_unique<ThreadCountScope>(options.threads);
  FD::RCPtr<StftSource> source(
      new StftSource("analysis", interleaved, samples, channels, geometry));
  FD::RCPtr<OverlapAddSink> sink(new OverlapAddSink("synthesis", samples, geometry));
  const auto chain = withinMemory(channels, options, [&] {
    return std::make_unique<Chain>(options, channels, sampleRate, implementation, diagnostics,
                                   source.get());
  });
  std::vector<float> out = hostCall([&] {
    sink->connectToNode("INPUT", chain->output(), "OUTPUT");
    source->initialize();
    chain->initialize();
    sink->initialize();
    const long frames = geometry.frameCount(samples);
    for (long t = 0; t < frames; ++t) {
      sink->getOutput(0, static_cast<int>(t));
      if (progress) progress(t + 1, frames);
    }
    if (stats) {
      stats->frames = frames;
      stats->estimatorUpdates = frames * channels;
    }
    return sink->result();
  });
  if (stats) {
    std::cout.flush();
    stats->notConverged = chain->notConverged();
    stats->passes = chain->passes();
    stats->slowestPasses = chain->slowestPasses();
    stats->diagnosticLines = chain->lines();
    const bool inputSilent = std::all_of(interleaved, interleaved + samples * channels,
                                         [](float x) { return x == 0.0f; });
    const bool outputSilent =
        std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; });
    stats->silentOutput = outputSilent && !inputSilent;
  }
  return out;
}

std::vector<float> stftRoundTrip(const float* interleaved, long samples, int channels,
                                 StftGeometry geometry) {
  geometry.validate();
  return hostCall([&] {
    FD::RCPtr<StftSource> source(
        new StftSource("analysis", interleaved, samples, channels, geometry));
    FD::RCPtr<OverlapAddSink> sink(new OverlapAddSink("synthesis", samples, geometry));
    sink->connectToNode("INPUT", source.get(), "OUTPUT");
    for (long t = 0; t < geometry.frameCount(samples); ++t) sink->getOutput(0, static_cast<int>(t));
    return sink->result();
  });
}

}  // namespace nimbusdale::app

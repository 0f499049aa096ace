#include "Enhancer.h"

#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "DiagnosticsCapture.h"

namespace nimbusdale::app {
namespace {

void requirePositiveFinite(float value, const char* option) {
  if (!(std::isfinite(value) && value > 0.0f))
    throw std::invalid_argument(std::string(option) + " must be positive and finite, not " +
                                std::to_string(value));
}

}  // namespace

void EnhanceOptions::validate() const {
  if (integrator != "median" && integrator != "poisson-gamma")
    throw std::invalid_argument("integrator must be median or poisson-gamma, not '" + integrator +
                                "'");
  StftGeometry{length, hop}.validate();
  if (threads < 0)
    throw std::invalid_argument("threads must be 0 (default) or more, not " +
                                std::to_string(threads));
  if (integrator == "poisson-gamma") requirePositiveFinite(pgGlobalScale, "pg-global-scale");
}

std::string defaultToolboxPath() {
  const char* built = NIMBUSDALE_BUILD_PLUGIN_PATH;
  if (access(built, R_OK) == 0) return built;
  return NIMBUSDALE_INSTALLED_PLUGIN_PATH;
}

void loadToolbox(const std::string& path) {
  hostCall([&] { FD::Toolbox::load(path); });
}

std::vector<float> enhance(const float* interleaved, long samples, int channels, int sampleRate,
                           const EnhanceOptions& options, EnhanceStats* stats,
                           std::ostream* diagnostics, const ProgressFn& progress) {
  options.validate();
  if (channels < 1)
    throw std::invalid_argument("the signal needs at least one channel, not " +
                                std::to_string(channels));
  if (samples < 0) throw std::invalid_argument("negative sample count");
  if (sampleRate < 1)
    throw std::invalid_argument("sample rate must be positive, not " + std::to_string(sampleRate));
  const StftGeometry geometry{options.length, options.hop};
  loadToolbox(options.toolbox.empty() ? defaultToolboxPath() : options.toolbox);
  if (options.threads > 0) omp_set_num_threads(options.threads);

  DiagnosticsCapture capture(diagnostics);
  std::vector<float> out = hostCall([&] {
    FD::ParameterSet separation;
    separation.add("NUM_CHANNEL", FD::Int::alloc(channels));
    separation.add("LENGTH", FD::Int::alloc(options.length));
    separation.add("CUTOFF_FREQ", FD::Float::alloc(options.cutoffFreq));
    separation.add("SAMPLING_RATE", FD::Int::alloc(sampleRate));
    separation.add("GLOBAL_SCALE", FD::Float::alloc(options.globalScale));
    separation.add("LAMBDA", FD::Float::alloc(options.lambda));
    separation.add("SCALE_UPDATE_RATIO", FD::Float::alloc(options.scaleUpdateRatio));
    separation.add("MAX_LANK", FD::Int::alloc(options.maxRank));
    separation.add("EPSILON", FD::Float::alloc(options.epsilon));
    std::srand(options.seed);
    FD::RCPtr<FD::Node> rpca = FD::registry::createNode("MultiRobustPCA", "separation", separation);

    FD::ParameterSet integration;
    integration.add("NUM_CHANNEL", FD::Int::alloc(channels));
    integration.add("LENGTH", FD::Int::alloc(options.length));
    std::string integratorType = "MedianIntegrator";
    if (options.integrator == "poisson-gamma") {
      integratorType = "PoissonGammaIntegrator";
      integration.add("GLOBAL_SCALE", FD::Float::alloc(options.pgGlobalScale));
    }
    FD::RCPtr<FD::Node> integrator =
        FD::registry::createNode(integratorType, "integration", integration);

    FD::RCPtr<StftSource> source(
        new StftSource("analysis", interleaved, samples, channels, geometry));
    FD::RCPtr<OverlapAddSink> sink(new OverlapAddSink("synthesis", samples, geometry));
    rpca->connectToNode("INPUT", source.get(), "OUTPUT");
    integrator->connectToNode("SPEC", source.get(), "OUTPUT");
    integrator->connectToNode("SPARSE", rpca.get(), "OUTPUT");
    sink->connectToNode("INPUT", integrator.get(), "OUTPUT");
    for (FD::Node* node : {static_cast<FD::Node*>(source.get()), rpca.get(), integrator.get(),
                           static_cast<FD::Node*>(sink.get())})
      node->initialize();

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
    stats->notConverged = capture.notConverged();
    stats->diagnosticLines = capture.lines();
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

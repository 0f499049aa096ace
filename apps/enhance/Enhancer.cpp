#include "Enhancer.h"

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

#include "DiagnosticsCapture.h"
#include "median_integrator/MedianIntegration.h"
#include "poisson_gamma_integrator/PoissonGammaInference.h"
#include "robust_pca/SparseSeparation.h"

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

// OpenMP's thread count is a per-thread setting (its data environment): changed for this run on
// the calling thread and restored afterwards.
class ThreadCountScope {
 public:
  explicit ThreadCountScope(int threads) : saved(omp_get_max_threads()) {
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~ThreadCountScope() { omp_set_num_threads(saved); }
  ThreadCountScope(const ThreadCountScope&) = delete;
  ThreadCountScope& operator=(const ThreadCountScope&) = delete;

 private:
  int saved;
};

// The separation and the chosen integration on the linked cores, as one host node from the
// analysis spectrum to the integrated spectrum. It mirrors the plug-in's node shells, keeps its
// diagnostic lines to itself, and names refusals the way those nodes do.
class LinkedCoresNode : public FD::BufferedNode {
 public:
  LinkedCoresNode(const EnhanceOptions& options, int channels, int sampleRate, std::ostream* copy)
      : FD::BufferedNode("linked-cores", FD::ParameterSet()),
        separation(separationSettings(options, channels, sampleRate)),
        poissonGamma(options.integrator == "poisson-gamma"),
        pgScale(options.pgGlobalScale),
        model(0, 0),
        threads(options.threads),
        copy(copy) {
    inputID = addInput("INPUT");
    outputID = addOutput("OUTPUT");
    if (poissonGamma) {
      try {
        checkPoissonGammaScale(pgScale);
      } catch (const std::invalid_argument& e) {
        throw NodeError(std::string("PoissonGammaIntegrator 'integration': ") + e.what());
      }
      model = PoissonGammaModel(separation.settings().numBins, channels);
    }
    sparse.resize(static_cast<size_t>(channels) *
                  static_cast<size_t>(separation.settings().numBins));
  }

  void calculate(int, int count, FD::Buffer&) override {
    FD::RCPtr<FD::Matrix<std::complex<float>>> spec = getInput(inputID, count);
    const int channels = separation.settings().numChannels, bins = separation.settings().numBins;
    try {
      separation.checkFrame((*spec)[0]);
    } catch (const std::invalid_argument& e) {
      throw NodeError(std::string("MultiRobustPCA 'separation': input INPUT ") + e.what());
    }
    auto* result = new FD::Matrix<std::complex<float>>(1, bins);
    (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);

    const SeparationSummary summary =
        separation.process((*spec)[0], count == 0, sparse.data(), nullptr, threads);
    notConverged += summary.notConverged;
    for (int i = 0; i < summary.notConverged; ++i) writeLine("not converged\n");

    if (!poissonGamma) {
      try {
        checkMedianInputs(sparse.data(), (*spec)[0], channels, bins);
      } catch (const std::invalid_argument& e) {
        throw NodeError(std::string("MedianIntegrator 'integration': ") + e.what());
      }
      integrateMedian(sparse.data(), (*spec)[0], channels, bins, (*result)[0], scratch);
      return;
    }
    const SparseFrameView sparseView(sparse.data(), bins, channels);
    std::ostringstream lines;
    try {
      runPoissonGammaFrame(model, pgScale, sparseView,
                           SpectrumFrameView((*spec)[0], bins, channels),
                           OutputRowView((*result)[0], bins), lines);
    } catch (const std::overflow_error&) {
      (*outputs[outputID].buffer)[count] = FD::ObjectRef();
      throw NodeError("PoissonGammaIntegrator 'integration': " +
                      tooLargeForTheModel(sparseView, pgScale));
    }
    writeLine(lines.str());
  }

  long notConverged = 0;
  long lines = 0;

 private:
  static SeparationSettings separationSettings(const EnhanceOptions& o, int channels,
                                               int sampleRate) {
    try {
      return SeparationSettings::fromParameters(channels, o.length, o.cutoffFreq, sampleRate,
                                                o.globalScale, o.lambda, o.scaleUpdateRatio,
                                                o.maxRank, o.epsilon);
    } catch (const std::invalid_argument& e) {
      throw NodeError(std::string("MultiRobustPCA 'separation': ") + e.what());
    }
  }

  void writeLine(const std::string& text) {
    lines += std::count(text.begin(), text.end(), '\n');
    if (copy) *copy << text;
  }

  int inputID = 0, outputID = 0;
  SparseSeparation separation;
  bool poissonGamma;
  float pgScale;
  PoissonGammaModel model;
  int threads;
  std::ostream* copy;
  std::vector<float> sparse;
  std::vector<float> scratch;
};

// The network of one run: analysis source, the nodes, overlap-add sink.
struct Network {
  FD::RCPtr<StftSource> source;
  std::vector<FD::RCPtr<FD::Node>> nodes;
  FD::RCPtr<OverlapAddSink> sink;

  void initialize() {
    source->initialize();
    for (auto& node : nodes) node->initialize();
    sink->initialize();
  }
};

}  // namespace

void EnhanceOptions::validate() const {
  if (integrator != "median" && integrator != "poisson-gamma")
    throw std::invalid_argument("integrator must be median or poisson-gamma, not '" + integrator +
                                "'");
  StftGeometry{length, hop}.validate();
  requireAtMost(length, kMaxLength, "length", "longer frames only slow the run down");
  requireAtMost(maxRank, kMaxRank, "max-rank", "the cost of each frame grows with its square");
  if (threads < 0)
    throw std::invalid_argument("threads must be 0 (default) or more, not " +
                                std::to_string(threads));
  requireAtMost(threads, kMaxThreads, "threads", "more threads than channels only wait");
  if (!(globalScale >= kMinGlobalScale && globalScale <= kMaxGlobalScale)) {
    std::ostringstream text;
    text << "global-scale must lie between " << kMinGlobalScale << " and " << kMaxGlobalScale
         << " (below, the normalised magnitudes sit under the sparsity threshold and the output "
            "is silent; above, nothing is thresholded away), not "
         << globalScale;
    throw std::invalid_argument(text.str());
  }
  if (integrator == "poisson-gamma") requirePositiveFinite(pgGlobalScale, "pg-global-scale");
}

void EnhanceOptions::validate(int sampleRate) const {
  validate();
  if (sampleRate < 1)
    throw std::invalid_argument("sample rate must be positive, not " + std::to_string(sampleRate));
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

void checkSignal(const float* interleaved, long samples, int channels) {
  const long values = samples * channels;
  for (long i = 0; i < values; ++i) {
    const float x = interleaved[i];
    if (std::isfinite(x) && std::fabs(x) <= kMaxSampleMagnitude) continue;
    std::ostringstream text;
    text << "sample " << i / channels << " of channel " << i % channels << " is " << x;
    if (std::isfinite(x))
      text << "; samples beyond +-" << kMaxSampleMagnitude
           << " (full scale is 1) would overflow single precision inside the enhancement";
    else
      text << ": the signal holds a non-finite value";
    throw std::invalid_argument(text.str());
  }
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
                           std::ostream* diagnostics, const ProgressFn& progress,
                           NodeImplementation implementation) {
  options.validate(sampleRate);
  if (channels < 1)
    throw std::invalid_argument("the signal needs at least one channel, not " +
                                std::to_string(channels));
  if (samples < 0) throw std::invalid_argument("negative sample count");
  checkSignal(interleaved, samples, channels);
  const StftGeometry geometry{options.length, options.hop};
  const bool plugin = implementation == NodeImplementation::Plugin;
  if (plugin) loadToolbox(options.toolbox.empty() ? defaultToolboxPath() : options.toolbox);

  std::unique_ptr<ThreadCountScope> threadCount;
  std::unique_ptr<DiagnosticsCapture> capture;
  if (plugin) {
    threadCount = std::make_unique<ThreadCountScope>(options.threads);
    capture = std::make_unique<DiagnosticsCapture>(diagnostics);
  }
  LinkedCoresNode* cores = nullptr;
  std::vector<float> out = hostCall([&] {
    Network net;
    net.source =
        FD::RCPtr<StftSource>(new StftSource("analysis", interleaved, samples, channels, geometry));
    net.sink = FD::RCPtr<OverlapAddSink>(new OverlapAddSink("synthesis", samples, geometry));
    if (plugin) {
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
      FD::RCPtr<FD::Node> rpca;
      {
        std::lock_guard<std::mutex> draws(randomDrawLock());
        std::srand(options.seed);
        rpca = FD::registry::createNode("MultiRobustPCA", "separation", separation);
      }
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
      rpca->connectToNode("INPUT", net.source.get(), "OUTPUT");
      integrator->connectToNode("SPEC", net.source.get(), "OUTPUT");
      integrator->connectToNode("SPARSE", rpca.get(), "OUTPUT");
      net.sink->connectToNode("INPUT", integrator.get(), "OUTPUT");
      net.nodes = {rpca, integrator};
    } else {
      FD::RCPtr<LinkedCoresNode> node;
      {
        std::lock_guard<std::mutex> draws(randomDrawLock());
        std::srand(options.seed);
        node = FD::RCPtr<LinkedCoresNode>(
            new LinkedCoresNode(options, channels, sampleRate, diagnostics));
      }
      cores = node.get();
      node->connectToNode("INPUT", net.source.get(), "OUTPUT");
      net.sink->connectToNode("INPUT", node.get(), "OUTPUT");
      net.nodes = {node};
    }
    net.initialize();

    const long frames = geometry.frameCount(samples);
    for (long t = 0; t < frames; ++t) {
      net.sink->getOutput(0, static_cast<int>(t));
      if (progress) progress(t + 1, frames);
    }
    if (stats) {
      stats->frames = frames;
      stats->estimatorUpdates = frames * channels;
      if (cores) {
        stats->notConverged = cores->notConverged;
        stats->diagnosticLines = cores->lines;
      }
    }
    return net.sink->result();
  });
  if (capture) {
    std::cout.flush();
    if (stats) {
      stats->notConverged = capture->notConverged();
      stats->diagnosticLines = capture->lines();
    }
  }
  if (stats) {
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

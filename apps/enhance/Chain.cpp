#include "Chain.h"

#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/net_types.h>

#include "ChainParameters.h"
#include "DiagnosticsCapture.h"
#include "nimbusdale/MedianIntegration.h"
#include "nimbusdale/PoissonGammaInference.h"
#include "nimbusdale/SparseMaskIntegration.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale::app {

ThreadCountScope::ThreadCountScope(int threads) : saved(omp_get_max_threads()) {
  if (threads > 0) omp_set_num_threads(threads);
}

ThreadCountScope::~ThreadCountScope() {
  omp_set_num_threads(saved);
}

// The separation and the chosen integration on the linked cores, as one host node from the
// analysis spectrum to the integrated spectrum. It mirrors the plug-in's node shells, keeps its
// diagnostic lines to itself, and names refusals the way those nodes do.
class LinkedCoresNode : public FD::BufferedNode {
 public:
  LinkedCoresNode(const EnhanceOptions& options, int channels, int sampleRate, std::ostream* copy)
      : FD::BufferedNode("linked-cores", FD::ParameterSet()),
        separation(separationSettings(options, channels, sampleRate)),
        poissonGamma(options.integrator == "poisson-gamma"),
        sparseMask(options.integrator == "mask"),
        pgScale(options.pgGlobalScale),
        model(0, 0),
        threads(options.threads),
        copy(copy) {
    inputID = addInput("INPUT");
    outputID = addOutput("OUTPUT");
    // The integrator refuses what the plug-in's node of that type would.
    const ParameterValues integration = integrationParameters(options, channels);
    try {
      integration.check();
    } catch (const std::invalid_argument& e) {
      throw NodeError(std::string(integration.type().name) + " 'integration': " + e.what());
    }
    if (poissonGamma) model = PoissonGammaModel(separation.settings().numBins, channels);
    if (sparseMask)
      mask =
          std::make_unique<SparseMaskIntegration>(SparseMaskSettings::fromParameters(integration));
    sparse.resize(static_cast<size_t>(channels) *
                  static_cast<size_t>(separation.settings().numBins));
  }

  void calculate(int, int count, FD::Buffer&) override {
    FD::RCPtr<FD::Matrix<std::complex<float>>> spec = getInput(inputID, count);
    const int channels = separation.settings().numChannels, bins = separation.settings().numBins;
    try {
      separation.checkFrame((*spec)[0]);
    } catch (const std::invalid_argument& e) {
      throw NodeError(std::string(kMultiRobustPCAType.name) + " 'separation': " + e.what());
    }
    auto* result = new FD::Matrix<std::complex<float>>(1, bins);
    (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);

    const SeparationSummary summary =
        separation.process((*spec)[0], count == 0, sparse.data(), nullptr, threads);
    notConverged += summary.notConverged;
    for (int i = 0; i < summary.notConverged; ++i) writeLine("not converged\n");

    if (sparseMask) {
      try {
        mask->checkInputs(sparse.data(), (*spec)[0]);
      } catch (const std::invalid_argument& e) {
        throw NodeError(std::string(kSparseMaskIntegratorType.name) +
                        " 'integration': " + e.what());
      }
      mask->process(sparse.data(), (*spec)[0], (*result)[0]);
      return;
    }
    if (!poissonGamma) {
      try {
        checkMedianInputs(sparse.data(), (*spec)[0], channels, bins);
      } catch (const std::invalid_argument& e) {
        throw NodeError(std::string(kMedianIntegratorType.name) + " 'integration': " + e.what());
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
      throw NodeError(std::string(kPoissonGammaIntegratorType.name) +
                      " 'integration': " + tooLargeForTheModel(sparseView, pgScale));
    }
    writeLine(lines.str());
  }

  long notConverged = 0;
  long lines = 0;

 private:
  static SeparationSettings separationSettings(const EnhanceOptions& o, int channels,
                                               int sampleRate) {
    try {
      return SeparationSettings::fromParameters(separationParameters(o, channels, sampleRate));
    } catch (const std::invalid_argument& e) {
      throw NodeError(std::string(kMultiRobustPCAType.name) + " 'separation': " + e.what());
    }
  }

  void writeLine(const std::string& text) {
    lines += std::count(text.begin(), text.end(), '\n');
    if (copy) *copy << text;
  }

  int inputID = 0, outputID = 0;
  SparseSeparation separation;
  bool poissonGamma;
  bool sparseMask;
  float pgScale;
  PoissonGammaModel model;
  std::unique_ptr<SparseMaskIntegration> mask;
  int threads;
  std::ostream* copy;
  std::vector<float> sparse;
  std::vector<float> scratch;
};

Chain::Chain(const EnhanceOptions& options, int channels, int sampleRate,
             NodeImplementation implementation, std::ostream* diagnostics, FD::Node* source) {
  if (implementation == NodeImplementation::LinkedCores) {
    FD::RCPtr<LinkedCoresNode> node;
    {
      std::lock_guard<std::mutex> draws(randomDrawLock());
      std::srand(options.seed);
      node = FD::RCPtr<LinkedCoresNode>(
          new LinkedCoresNode(options, channels, sampleRate, diagnostics));
    }
    cores = node.get();
    node->connectToNode("INPUT", source, "OUTPUT");
    nodes = {node};
    return;
  }
  loadToolbox(options.toolbox.empty() ? defaultToolboxPath() : options.toolbox);
  capture = std::make_unique<DiagnosticsCapture>(diagnostics);
  const FD::ParameterSet separation =
      hostParameters(separationParameters(options, channels, sampleRate));
  FD::RCPtr<FD::Node> rpca;
  {
    std::lock_guard<std::mutex> draws(randomDrawLock());
    std::srand(options.seed);
    rpca = hostCall([&] {
      return FD::registry::createNode(kMultiRobustPCAType.name, "separation", separation);
    });
  }
  const ParameterValues integration = integrationParameters(options, channels);
  hostCall([&] {
    FD::RCPtr<FD::Node> integrator = FD::registry::createNode(
        integration.type().name, "integration", hostParameters(integration));
    rpca->connectToNode("INPUT", source, "OUTPUT");
    integrator->connectToNode("SPEC", source, "OUTPUT");
    integrator->connectToNode("SPARSE", rpca.get(), "OUTPUT");
    nodes = {rpca, integrator};
  });
}

Chain::~Chain() {
  if (capture) std::cout.flush();
}

void Chain::initialize() {
  hostCall([&] {
    for (auto& node : nodes) node->initialize();
  });
}

long Chain::notConverged() const {
  return capture ? capture->notConverged() : cores->notConverged;
}

long Chain::lines() const {
  return capture ? capture->lines() : cores->lines;
}

}  // namespace nimbusdale::app

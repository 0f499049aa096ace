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

#include "DiagnosticsCapture.h"
#include "ToolboxNode.h"
#include "nimbusdale/Integrators.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale::app {

ThreadCountScope::ThreadCountScope(int threads) : saved(omp_get_max_threads()) {
  if (threads > 0) omp_set_num_threads(threads);
}

ThreadCountScope::~ThreadCountScope() {
  omp_set_num_threads(saved);
}

namespace {

// The node names the chain gives its two nodes, in refusals as in a network.
constexpr const char* kSeparationName = "separation";
constexpr const char* kIntegrationName = "integration";

// Runs `fn`, turning a core's refusal into the NodeError the plug-in's node of `type` would raise.
template <class F>
auto refusedAs(const NodeType& type, const char* nodeName, F&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const std::invalid_argument& e) {
    throw NodeError(nodeRefusal(type, nodeName, e.what()));
  }
}

}  // namespace

// The separation and the chosen integration on the linked cores, as one host node from the
// analysis spectrum to the integrated spectrum. It keeps its diagnostic lines to itself, and
// refuses what the plug-in's nodes would, in their words.
class LinkedCoresNode : public FD::BufferedNode {
 public:
  LinkedCoresNode(const EnhanceOptions& options, int channels, int sampleRate, std::ostream* copy)
      : FD::BufferedNode("linked-cores", FD::ParameterSet()),
        separation(refusedAs(kMultiRobustPCAType, kSeparationName,
                             [&] {
                               return SeparationSettings::fromParameters(
                                   options.separationParameters(channels, sampleRate));
                             })),
        integration(
            refusedAs(options.integratorType(), kIntegrationName,
                      [&] { return makeIntegration(options.integrationParameters(channels)); })),
        threads(options.threads),
        copy(copy) {
    inputID = addInput("INPUT");
    outputID = addOutput("OUTPUT");
    sparse.resize(static_cast<size_t>(channels) *
                  static_cast<size_t>(separation.settings().numBins));
  }

  void calculate(int, int count, FD::Buffer&) override {
    FD::RCPtr<FD::Matrix<std::complex<float>>> spec = getInput(inputID, count);
    refusedAs(kMultiRobustPCAType, kSeparationName, [&] { separation.checkFrame((*spec)[0]); });
    auto* result = new FD::Matrix<std::complex<float>>(1, separation.settings().numBins);
    (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);

    const SeparationSummary summary =
        separation.process((*spec)[0], count == 0, sparse.data(), nullptr, threads);
    notConverged += summary.notConverged;
    passes += summary.passes;
    lines += summary.notConverged;
    if (copy)
      for (int i = 0; i < summary.notConverged; ++i) *copy << "not converged\n";

    const NodeType& type = integration->type();
    refusedAs(type, kIntegrationName, [&] { integration->checkInputs(sparse.data(), (*spec)[0]); });
    try {
      lines += integration->process(sparse.data(), (*spec)[0], (*result)[0], copy).diagnosticLines;
    } catch (const std::invalid_argument& e) {
      (*outputs[outputID].buffer)[count] = FD::ObjectRef();
      throw NodeError(nodeRefusal(type, kIntegrationName, e.what()));
    }
  }

  long notConverged = 0;
  long passes = 0;
  long lines = 0;

 private:
  int inputID = 0, outputID = 0;
  SparseSeparation separation;
  std::unique_ptr<Integration> integration;
  int threads;
  std::ostream* copy;
  std::vector<float> sparse;
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
      hostParameters(options.separationParameters(channels, sampleRate));
  FD::RCPtr<FD::Node> rpca;
  {
    std::lock_guard<std::mutex> draws(randomDrawLock());
    std::srand(options.seed);
    rpca = hostCall([&] {
      return FD::registry::createNode(kMultiRobustPCAType.name, kSeparationName, separation);
    });
  }
  const ParameterValues integration = options.integrationParameters(channels);
  hostCall([&] {
    FD::RCPtr<FD::Node> integrator = FD::registry::createNode(
        integration.type().name, kIntegrationName, hostParameters(integration));
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

long Chain::passes() const {
  return capture ? -1 : cores->passes;
}

long Chain::lines() const {
  return capture ? capture->lines() : cores->lines;
}

}  // namespace nimbusdale::app

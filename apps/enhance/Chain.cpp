#include "Chain.h"

#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/net_types.h>

#include "DiagnosticsCapture.h"
#include "StftNodes.h"
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
// refuses what the plug-in's nodes would, in their words. With more than one thread it separates
// the frames the source already holds a block at a time, each thread taking whole channels, so
// that the threads meet once a block. A block is integrated, frame by frame and in order, on the
// calling thread while the helpers separate the block after it.
class LinkedCoresNode : public FD::BufferedNode {
 public:
  LinkedCoresNode(const EnhanceOptions& options, int channels, int sampleRate, std::ostream* copy,
                  FD::Node* source)
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
        source(dynamic_cast<StftSource*>(source)),
        copy(copy),
        frameSize(static_cast<size_t>(channels) *
                  static_cast<size_t>(separation.settings().numBins)) {
    inputID = addInput("INPUT");
    outputID = addOutput("OUTPUT");
    for (Block* block : {&current, &ahead}) block->reserve(blockLimit(), frameSize);
  }

  void calculate(int, int count, FD::Buffer&) override {
    if (count < current.start || count >= current.start + current.frames) advance(count);
    const int t = count - current.start;
    if (current.results[t].isNil() && current.refusals[t].empty()) integrateFrame(t);
    if (!current.refusals[t].empty())
      throw NodeError(nodeRefusal(integration->type(), kIntegrationName, current.refusals[t]));
    (*outputs[outputID].buffer)[count] = current.results[t];
  }

  long notConverged = 0;
  long passes = 0;
  long lines = 0;

 private:
  // Frames separated together, with what the integration made of each.
  struct Block {
    std::vector<std::complex<float>> spectra;
    std::vector<float> sparse;
    std::vector<SeparationSummary> summaries;
    std::vector<FD::ObjectRef> results;   // null until the frame is integrated
    std::vector<std::string> refusals;    // the integration's refusal of a frame, if any
    int start = 0;
    int frames = 0;

    void reserve(int most, size_t frameSize) {
      spectra.resize(static_cast<size_t>(most) * frameSize);
      sparse.resize(static_cast<size_t>(most) * frameSize);
      summaries.resize(static_cast<size_t>(most));
      results.resize(static_cast<size_t>(most));
      refusals.resize(static_cast<size_t>(most));
    }
  };

  // Frames a block may hold: one where a single thread would gain nothing from blocks.
  int blockLimit() const {
    const int team = threads > 0 ? threads : omp_get_max_threads();
    return team > 1 && source ? kBlockFrames : 1;
  }

  // Makes frame `count` the start of the current block (the block separated ahead, or a new one)
  // and integrates that block, alongside the separation of the block after it where the source
  // already holds its frames.
  void advance(int count) {
    if (ahead.frames > 0 && ahead.start == count) {
      std::swap(current, ahead);
    } else {
      gather(current, count, true);
      separate(current, nullptr);
    }
    ahead.frames = 0;
    const std::function<void()> integrateBlock = [this] {
      for (int t = 0; t < current.frames; ++t)
        if (!integrateFrame(t)) break;
    };
    if (blockLimit() > 1 && gather(ahead, current.start + current.frames, false))
      separate(ahead, integrateBlock);
    else
      integrateBlock();
  }

  // Fills `block` with frame `count` and the frames after it that the source already holds, up
  // to the block limit and short of the first one the separation refuses, which is refused at
  // its own count: here if it is the block's first frame and `refuseFirst`, else when it is
  // pulled. Returns whether the block holds a frame.
  bool gather(Block& block, int count, bool refuseFirst) {
    block.start = count;
    block.frames = 0;
    const int held = source ? source->framesHeld(count, blockLimit()) : 1;
    // The block's first frame is pulled even if not held yet: the pull fetches or refuses it.
    const int wanted = refuseFirst ? std::max(1, held) : held;
    int frames = 0;
    for (; frames < wanted; ++frames) {
      FD::RCPtr<FD::Matrix<std::complex<float>>> spec = getInput(inputID, count + frames);
      if (frames == 0 && refuseFirst) {
        refusedAs(kMultiRobustPCAType, kSeparationName, [&] { separation.checkFrame((*spec)[0]); });
      } else {
        try {
          separation.checkFrame((*spec)[0]);
        } catch (const std::invalid_argument&) {
          break;
        }
      }
      std::copy((*spec)[0], (*spec)[0] + frameSize,
                block.spectra.begin() + static_cast<long>(frames) * static_cast<long>(frameSize));
    }
    block.frames = frames;
    for (int t = 0; t < frames; ++t) {
      block.results[static_cast<size_t>(t)] = FD::ObjectRef();
      block.refusals[static_cast<size_t>(t)].clear();
    }
    return frames > 0;
  }

  void separate(Block& block, const std::function<void()>& alongside) {
    const bool first = block.start == 0;
    if (block.frames == 1 && !alongside)
      block.summaries[0] =
          separation.process(block.spectra.data(), first, block.sparse.data(), nullptr, threads);
    else
      separation.processBlock(block.spectra.data(), block.frames, first, block.sparse.data(),
                              block.summaries.data(), threads, alongside);
  }

  // Integrates frame `t` of the current block, after its share of the separation's notices.
  // Returns false if the integration refused it.
  bool integrateFrame(int t) {
    const size_t i = static_cast<size_t>(t);
    const SeparationSummary& summary = current.summaries[i];
    notConverged += summary.notConverged;
    passes += summary.passes;
    lines += summary.notConverged;
    if (copy)
      for (int k = 0; k < summary.notConverged; ++k) *copy << "not converged\n";

    auto* result = new FD::Matrix<std::complex<float>>(1, separation.settings().numBins);
    FD::ObjectRef kept(result);
    // No integrator refuses what reaches it here for want of a check: the spectrum passed the
    // separation's, which is as strict as any integrator's, and the separation's output is
    // finite and never negative. So the integrator's own check, a second pass over every value,
    // is left out.
    try {
      lines += integration
                   ->process(current.sparse.data() + i * frameSize,
                             current.spectra.data() + i * frameSize, (*result)[0], copy)
                   .diagnosticLines;
    } catch (const std::invalid_argument& e) {
      current.refusals[i] = e.what();
      return false;
    }
    current.results[i] = kept;
    return true;
  }

  static constexpr int kBlockFrames = 32;

  int inputID = 0, outputID = 0;
  SparseSeparation separation;
  std::unique_ptr<Integration> integration;
  int threads;
  StftSource* source;
  std::ostream* copy;
  size_t frameSize;
  Block current;  // the block whose frames are being pulled
  Block ahead;    // the block after it, separated while `current` was integrated
};

Chain::Chain(const EnhanceOptions& options, int channels, int sampleRate,
             NodeImplementation implementation, std::ostream* diagnostics, FD::Node* source) {
  if (implementation == NodeImplementation::LinkedCores) {
    FD::RCPtr<LinkedCoresNode> node;
    {
      std::lock_guard<std::mutex> draws(randomDrawLock());
      std::srand(options.seed);
      node = FD::RCPtr<LinkedCoresNode>(
          new LinkedCoresNode(options, channels, sampleRate, diagnostics, source));
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

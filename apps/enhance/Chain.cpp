#include "Chain.h"

#include <omp.h>

#include <algorithm>
#include <cstdlib>
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
// that the threads meet once a block. While the calling thread integrates a block frame by frame,
// goes on with the rest of the chain and analyses the block after next, the helpers already
// separate the next one, and the one after it once that is done.
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
    for (Block* block : {&current, &ahead, &next}) block->reserve(blockLimit(), frameSize);
  }

  ~LinkedCoresNode() override {
    // The helpers may still be writing the block ahead.
    try {
      separation.finishBlock();
    } catch (...) {
    }
  }

  void calculate(int, int count, FD::Buffer&) override {
    if (count < current.start || count >= current.start + current.frames) advance(count);
    const size_t t = static_cast<size_t>(count - current.start);
    const SeparationSummary& summary = current.summaries[t];
    notConverged += summary.notConverged;
    passes += summary.passes;
    slowestPasses += summary.slowestPasses;
    lines += summary.notConverged;
    if (copy)
      for (int i = 0; i < summary.notConverged; ++i) *copy << "not converged\n";

    auto* result = new FD::Matrix<std::complex<float>>(1, separation.settings().numBins);
    (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);
    // No integrator refuses what reaches it here for want of a check: the spectrum passed the
    // separation's, which is as strict as any integrator's, and the separation's output is
    // finite and never negative. So the integrator's own check, a second pass over every value,
    // is left out.
    const NodeType& type = integration->type();
    try {
      lines += integration
                   ->process(current.sparse.data() + t * frameSize, current.spectra[t],
                             (*result)[0], copy)
                   .diagnosticLines;
    } catch (const std::invalid_argument& e) {
      (*outputs[outputID].buffer)[count] = FD::ObjectRef();
      throw NodeError(nodeRefusal(type, kIntegrationName, e.what()));
    }
    startNextEarly();
  }

  // Frames past the one pulled that the node separates ahead when the source holds them: the
  // rest of the current block, the block ahead and the one after it.
  int framesAhead() const { return blockLimit() > 1 ? 3 * kBlockFrames : 0; }

  long notConverged = 0;
  long passes = 0;
  long slowestPasses = 0;
  long lines = 0;

 private:
  // Frames separated together: the source's spectra, held rather than copied, their
  // magnitudes and then their sparse parts, and their summaries.
  struct Block {
    std::vector<FD::RCPtr<FD::Matrix<std::complex<float>>>> held;
    std::vector<const std::complex<float>*> spectra;  // the first row of each held matrix
    std::vector<float> sparse;
    std::vector<SeparationSummary> summaries;
    int start = 0;
    int frames = 0;

    void reserve(int most, size_t frameSize) {
      held.resize(static_cast<size_t>(most));
      spectra.resize(static_cast<size_t>(most));
      sparse.resize(static_cast<size_t>(most) * frameSize);
      summaries.resize(static_cast<size_t>(most));
    }
  };

  // Frames a block may hold: one where a single thread would gain nothing from blocks.
  int blockLimit() const {
    const int team = threads > 0 ? threads : omp_get_max_threads();
    return team > 1 && source ? kBlockFrames : 1;
  }

  // Once the helpers have separated the block ahead while this thread still integrates, they
  // go on with the block after it, if gathered, rather than wait for this thread's next block.
  void startNextEarly() {
    if (!aheadStarted || nextStarted || next.frames == 0 || !separation.blockDone()) return;
    if (next.start != ahead.start + ahead.frames) return;
    separation.finishBlock();
    separation.startBlock(next.sparse.data(), next.frames, false, next.summaries.data(), threads);
    nextStarted = true;
  }

  // Makes frame `count` the first of the current block: the block separated ahead, once it is
  // finished, or a new one. Then starts the helpers on the block after it, unless they already
  // work on it, and, while they work, gathers the block after that, as far as the source already
  // holds their frames.
  void advance(int count) {
    const bool wasAhead = aheadStarted && ahead.start == count;
    const bool nextRunning = nextStarted;
    aheadStarted = nextStarted = false;
    // With the block after it running, the block ahead is finished already.
    if (!nextRunning) separation.finishBlock();
    if (wasAhead) {
      std::swap(current, ahead);
    } else {
      separation.finishBlock();
      next.frames = 0;
      gather(current, count, true);
      separation.processBlock(current.sparse.data(), current.frames, count == 0,
                              current.summaries.data(), threads);
    }
    if (blockLimit() == 1) return;
    const int following = current.start + current.frames;
    bool aheadRunning = false;
    if (next.frames > 0 && next.start == following) {
      std::swap(ahead, next);
      aheadRunning = nextRunning;
    } else {
      separation.finishBlock();
      if (!gather(ahead, following, false)) return;
    }
    if (!aheadRunning)
      separation.startBlock(ahead.sparse.data(), ahead.frames, false, ahead.summaries.data(),
                            threads);
    aheadStarted = true;
    gather(next, ahead.start + ahead.frames, false);
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
      // The magnitudes, taken here while the spectrum is fresh in this thread's cache, tell
      // whether the separation takes the frame: only a refused one is checked value by value,
      // for the message.
      float* magnitudes = block.sparse.data() + static_cast<size_t>(frames) * frameSize;
      if (!separation.magnitudes((*spec)[0], magnitudes)) {
        if (frames > 0 || !refuseFirst) break;
        refusedAs(kMultiRobustPCAType, kSeparationName, [&] { separation.checkFrame((*spec)[0]); });
      }
      block.spectra[static_cast<size_t>(frames)] = (*spec)[0];
      block.held[static_cast<size_t>(frames)] = spec;
    }
    block.frames = frames;
    return frames > 0;
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
  Block ahead;    // the block after it, which the helpers separate meanwhile
  Block next;     // the block after that, gathered; the helpers take it once `ahead` is done
  bool aheadStarted = false, nextStarted = false;
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

long Chain::slowestPasses() const {
  return capture ? -1 : cores->slowestPasses;
}

int Chain::framesAhead() const {
  return capture ? 0 : cores->framesAhead();
}

long Chain::lines() const {
  return capture ? capture->lines() : cores->lines;
}

}  // namespace nimbusdale::app

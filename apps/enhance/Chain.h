// The nodes between the analysis source and the synthesis sink of an enhancement run, built the
// same way for a whole signal and for a stream.
#ifndef NIMBUSDALE_APPS_CHAIN_H
#define NIMBUSDALE_APPS_CHAIN_H

#include <iosfwd>
#include <memory>
#include <vector>

#include <flowdesigner/Node.h>

#include "Enhancer.h"

namespace nimbusdale::app {

class DiagnosticsCapture;
class LinkedCoresNode;

/// OpenMP's thread count is a per-thread setting (its data environment): changed for a scope on
/// the calling thread and restored afterwards.
class ThreadCountScope {
 public:
  explicit ThreadCountScope(int threads);
  ~ThreadCountScope();
  ThreadCountScope(const ThreadCountScope&) = delete;
  ThreadCountScope& operator=(const ThreadCountScope&) = delete;

 private:
  int saved;
};

/// The separation and the chosen integration, reading the spectrum that `source`'s OUTPUT
/// gives. With NodeImplementation::Plugin the plug-in is loaded, its nodes are created by type
/// name, and std::cout is captured while the chain exists; with LinkedCores one node runs the
/// linked cores. The estimators are seeded under randomDrawLock(). Throws what enhance() throws
/// for options the nodes refuse.
class Chain {
 public:
  Chain(const EnhanceOptions& options, int channels, int sampleRate,
        NodeImplementation implementation, std::ostream* diagnostics, FD::Node* source);
  ~Chain();
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  /// The node whose OUTPUT is the integrated 1 x bins spectrum.
  FD::Node* output() const { return nodes.back().get(); }
  void initialize();
  /// Counts so far of "not converged" notices and of every diagnostic line.
  long notConverged() const;
  /// Inner passes of every estimator update so far; -1 for the plug-in, whose nodes do not say.
  long passes() const;
  /// Inner passes of each frame's slowest channel, summed over frames (what channels run in
  /// lockstep would cost); -1 for the plug-in.
  long slowestPasses() const;
  long lines() const;
  /// Input frames past the one pulled that the chain would separate ahead, on other threads,
  /// if the source already held them; 0 where it works frame by frame.
  int framesAhead() const;
  bool plugin() const { return capture != nullptr; }

 private:
  std::unique_ptr<DiagnosticsCapture> capture;
  std::vector<FD::RCPtr<FD::Node>> nodes;
  LinkedCoresNode* cores = nullptr;
};

}  // namespace nimbusdale::app

#endif

// MultiRobustPCA: per channel, an online robust PCA separates each frame's magnitude spectrum into
// a slowly learnt low-rank part and a sparse part, and emits the sparse magnitudes.
#ifndef NIMBUSDALE_MULTI_ROBUST_PCA_H
#define NIMBUSDALE_MULTI_ROBUST_PCA_H

#include <string>

#include "ToolboxNode.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale {

/// Ports and parameters as kMultiRobustPCAType declares them: input INPUT (NUM_CHANNEL x bins
/// complex), output OUTPUT (NUM_CHANNEL x bins float), with bins = LENGTH / 2 + 1. One RobustPCA
/// per channel, fed the channel's magnitudes divided by a running per-bin scale, times
/// GLOBAL_SCALE, with the bins below CUTOFF_FREQ set to 0; OUTPUT is the positive part of its
/// sparse vector scaled back to magnitudes (SparseSeparation does the work). State (estimators,
/// running scale) lasts as long as the node, a host reset included, and expects one calculate()
/// per count, in increasing order; count 0 starts the running scale again.
class MultiRobustPCA : public ToolboxNode {
 public:
  /// Reads and checks every parameter before any estimator draws its starting point.
  MultiRobustPCA(std::string nodeName, FD::ParameterSet params);
  ~MultiRobustPCA() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  const int inputID;
  const int outputID;
  SparseSeparation separation;
  const int numChannels;
  const int numBins;
};

}  // namespace nimbusdale

#endif

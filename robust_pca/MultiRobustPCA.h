// MultiRobustPCA: per channel, an online robust PCA separates each frame's magnitude spectrum into
// a slowly learnt low-rank part and a sparse part, and emits the sparse magnitudes.
#ifndef NIMBUSDALE_MULTI_ROBUST_PCA_H
#define NIMBUSDALE_MULTI_ROBUST_PCA_H

#include <string>

#include "host.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale {

/// Input INPUT (NUM_CHANNEL x bins complex), output OUTPUT (NUM_CHANNEL x bins float), with
/// bins = LENGTH / 2 + 1. One RobustPCA per channel, fed the channel's magnitudes divided by a
/// running per-bin scale, times GLOBAL_SCALE, with the bins below CUTOFF_FREQ set to 0; OUTPUT
/// is the positive part of its sparse vector scaled back to magnitudes (SparseSeparation does
/// the work). Channels run in one OpenMP region per frame. State (estimators, running scale)
/// lasts as long as the node and expects one calculate() per count, in increasing order.
class MultiRobustPCA : public FD::BufferedNode {
 public:
  static constexpr const char* typeName = "MultiRobustPCA";

  /// Reads NUM_CHANNEL, LENGTH, CUTOFF_FREQ, SAMPLING_RATE, GLOBAL_SCALE, LAMBDA,
  /// SCALE_UPDATE_RATIO, MAX_LANK and EPSILON, and refuses values it cannot work with before
  /// any estimator draws its starting point.
  MultiRobustPCA(std::string nodeName, FD::ParameterSet params);
  ~MultiRobustPCA() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  static SeparationSettings readSettings(const FD::Node& node, const FD::ParameterSet& params);
  /// Checks the INPUT frame (shape, finite magnitudes) before anything is stored or updated.
  void requireUsableInput(const ComplexFrame& input) const;

  int inputID;
  int outputID;
  int numChannels;
  int numBins;
  SparseSeparation separation;
};

}  // namespace nimbusdale

#endif

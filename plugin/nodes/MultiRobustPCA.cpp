// MultiRobustPCA: per channel, an online robust PCA separates each frame's magnitude spectrum into
// a slowly learnt low-rank part and a sparse part, and emits the sparse magnitudes.
#include <iostream>
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

MultiRobustPCA::MultiRobustPCA(std::string nodeName, FD::ParameterSet params)
    : ToolboxNode(nodeName, params, kMultiRobustPCAType),
      inputID(port("INPUT")),
      outputID(port("OUTPUT")),
      // Every parameter is read and checked (by the base) before any estimator exists: the
      // estimators draw from the process-wide rand(), and a refused node must leave that
      // sequence alone. CUTOFF_FREQ against SAMPLING_RATE is the one rule left to check.
      separation(refusing([this] { return SeparationSettings::fromParameters(values); })),
      numChannels(separation.settings().numChannels),
      numBins(separation.settings().numBins) {
  // Eigen's process-wide settings are read here, on one thread, before any frame runs in
  // parallel.
  Eigen::initParallel();
}

MultiRobustPCA::~MultiRobustPCA() = default;

void MultiRobustPCA::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<ComplexFrame> input = inputFrame<ComplexFrame>(inputID, count);
  // A value whose magnitude is not finite would poison the running scale and the estimator for
  // good: refuse the frame before anything is stored or updated.
  requireFrameShape(inputID, *input, numChannels, numBins);
  requireFrameValues(inputID, *input, numChannels, numBins);

  // Stored before it is filled; a count the buffer refuses frees it, with nothing yet changed.
  FD::RCPtr<RealFrame> result = storeNewFrame<RealFrame>(out, count, numChannels, numBins);
  separation.process(frameData(*input), count == 0, frameData(*result), &std::cout);
}

namespace {

const int multiRobustPCARegistered = registerNodeType<MultiRobustPCA>(kMultiRobustPCAType);

}  // namespace
}  // namespace nimbusdale

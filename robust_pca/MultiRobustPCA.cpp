#include "MultiRobustPCA.h"

#include <iostream>

namespace nimbusdale {

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

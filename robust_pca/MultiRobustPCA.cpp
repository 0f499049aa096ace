#include "MultiRobustPCA.h"

#include <iostream>
#include <stdexcept>

namespace nimbusdale {

MultiRobustPCA::MultiRobustPCA(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      inputID(addInput("INPUT")),
      outputID(addOutput("OUTPUT")),
      // Every parameter is read and checked before any estimator exists: the estimators draw
      // from the process-wide rand(), and a refused node must leave that sequence alone.
      separation(readSettings(*this, params)) {
  numChannels = separation.settings().numChannels;
  numBins = separation.settings().numBins;

  // Eigen's process-wide settings are read here, on one thread, before any frame runs in
  // parallel.
  Eigen::initParallel();
}

MultiRobustPCA::~MultiRobustPCA() = default;

SeparationSettings MultiRobustPCA::readSettings(const FD::Node& node,
                                                const FD::ParameterSet& params) {
  ParameterReader reader(node, typeName, params);
  const int channels = reader.readInt("NUM_CHANNEL");
  const int length = reader.readInt("LENGTH");
  const float cutoffFreq = reader.readFloat("CUTOFF_FREQ");
  const int samplingRate = reader.readInt("SAMPLING_RATE");
  const float globalScale = reader.readFloat("GLOBAL_SCALE");
  const float lambda = reader.readFloat("LAMBDA");
  const float ratio = reader.readFloat("SCALE_UPDATE_RATIO");
  const int maxRank = reader.readInt("MAX_LANK");
  const float epsilon = reader.readFloat("EPSILON");
  try {
    return SeparationSettings::fromParameters(channels, length, cutoffFreq, samplingRate,
                                              globalScale, lambda, ratio, maxRank, epsilon);
  } catch (const std::invalid_argument& e) {
    failNode(node, typeName, e.what());
  }
}

void MultiRobustPCA::requireUsableInput(const ComplexFrame& input) const {
  requireFrameShape(*this, typeName, "INPUT", input, numChannels, numBins);
  try {
    separation.checkFrame(frameData(input));
  } catch (const std::invalid_argument& e) {
    failNode(*this, typeName, std::string("input INPUT ") + e.what());
  }
}

void MultiRobustPCA::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<ComplexFrame> input = getInput(inputID, count);
  requireUsableInput(*input);

  // Stored before it is filled; a count the buffer refuses frees it, with nothing yet changed.
  RealFrame* result = new RealFrame(numChannels, numBins);
  FD::ObjectRef stored(result);
  (*outputs[outputID].buffer)[count] = stored;

  separation.process(frameData(*input), count == 0, frameData(*result), &std::cout);
}

namespace {

const int multiRobustPCARegistered = registerNodeType<MultiRobustPCA>("MultiRobustPCA");

}  // namespace
}  // namespace nimbusdale

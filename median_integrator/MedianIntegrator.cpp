#include "MedianIntegrator.h"

#include <stdexcept>

#include "nimbusdale/MedianIntegration.h"

namespace nimbusdale {

MedianIntegrator::MedianIntegrator(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params) {
  specID = addInput("SPEC");
  sparseID = addInput("SPARSE");
  outputID = addOutput("OUTPUT");

  ParameterReader reader(*this, typeName, params);
  numChannels = reader.readInt("NUM_CHANNEL");
  reader.require(numChannels >= 1, "NUM_CHANNEL", numChannels, "be at least 1");
  int length = reader.readInt("LENGTH");
  reader.require(binsFromLength(length) >= 0, "LENGTH", length,
                 "give LENGTH / 2 + 1 >= 0 bins (LENGTH >= -3)");
  numBins = binsFromLength(length);
}

MedianIntegrator::~MedianIntegrator() = default;

void MedianIntegrator::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<ComplexFrame> spec = getInput(specID, count);
  FD::RCPtr<RealFrame> sparse = getInput(sparseID, count);
  requireFrameShape(*this, typeName, "SPEC", *spec, numChannels, numBins);
  requireFrameShape(*this, typeName, "SPARSE", *sparse, numChannels, numBins);
  try {
    checkMedianInputs(frameData(*sparse), frameData(*spec), numChannels, numBins);
  } catch (const std::invalid_argument& e) {
    failNode(*this, typeName, e.what());
  }

  ComplexFrame* result = new ComplexFrame(1, numBins);
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);
  std::vector<float> scratch;
  integrateMedian(frameData(*sparse), frameData(*spec), numChannels, numBins, frameData(*result),
                  scratch);
}

namespace {

const int medianIntegratorRegistered = registerNodeType<MedianIntegrator>("MedianIntegrator");

}  // namespace
}  // namespace nimbusdale

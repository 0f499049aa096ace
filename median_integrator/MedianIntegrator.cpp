#include "MedianIntegrator.h"

#include "nimbusdale/MedianIntegration.h"

namespace nimbusdale {

MedianIntegrator::MedianIntegrator(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params) {
  specID = declarePort(*this, nodeType, "SPEC");
  sparseID = declarePort(*this, nodeType, "SPARSE");
  outputID = declarePort(*this, nodeType, "OUTPUT");

  const ParameterValues values = readParameters(*this, nodeType, params);
  numChannels = values.intValue("NUM_CHANNEL");
  numBins = binsFromLength(values.intValue("LENGTH"));
}

MedianIntegrator::~MedianIntegrator() = default;

void MedianIntegrator::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<ComplexFrame> spec = getInput(specID, count);
  FD::RCPtr<RealFrame> sparse = getInput(sparseID, count);
  requireIntegratorInputs(*this, nodeType, *spec, *sparse, numChannels, numBins);

  FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
  integrateMedian(frameData(*sparse), frameData(*spec), numChannels, numBins, frameData(*result),
                  scratch);
}

namespace {

const int medianIntegratorRegistered = registerNodeType<MedianIntegrator>(kMedianIntegratorType);

}  // namespace
}  // namespace nimbusdale

#include "MedianIntegrator.h"

#include "nimbusdale/MedianIntegration.h"

namespace nimbusdale {

MedianIntegrator::MedianIntegrator(std::string nodeName, FD::ParameterSet params)
    : IntegratorNode(nodeName, params, kMedianIntegratorType) {}

MedianIntegrator::~MedianIntegrator() = default;

void MedianIntegrator::calculate(int, int count, FD::Buffer& out) {
  const Inputs in = checkedInputs(count);
  FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
  integrateMedian(frameData(*in.sparse), frameData(*in.spec), numChannels, numBins,
                  frameData(*result), scratch);
}

namespace {

const int medianIntegratorRegistered = registerNodeType<MedianIntegrator>(kMedianIntegratorType);

}  // namespace
}  // namespace nimbusdale

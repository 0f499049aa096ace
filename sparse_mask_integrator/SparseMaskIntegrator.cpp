#include "SparseMaskIntegrator.h"

namespace nimbusdale {
namespace {

SparseMaskSettings settingsOf(const FD::Node& node, const FD::ParameterSet& params) {
  return SparseMaskSettings::fromParameters(
      readParameters(node, kSparseMaskIntegratorType, params));
}

}  // namespace

SparseMaskIntegrator::SparseMaskIntegrator(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params),
      specID(declarePort(*this, nodeType, "SPEC")),
      sparseID(declarePort(*this, nodeType, "SPARSE")),
      outputID(declarePort(*this, nodeType, "OUTPUT")),
      mask(refusing(*this, nodeType,
                    [&] { return SparseMaskIntegration(settingsOf(*this, params)); })) {
  numChannels = mask.settings().numChannels;
  numBins = mask.settings().numBins;
}

SparseMaskIntegrator::~SparseMaskIntegrator() = default;

void SparseMaskIntegrator::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<ComplexFrame> spec = getInput(specID, count);
  FD::RCPtr<RealFrame> sparse = getInput(sparseID, count);
  requireIntegratorInputs(*this, nodeType, *spec, *sparse, numChannels, numBins);

  FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
  mask.process(frameData(*sparse), frameData(*spec), frameData(*result));
}

namespace {

const int sparseMaskIntegratorRegistered =
    registerNodeType<SparseMaskIntegrator>(kSparseMaskIntegratorType);

}  // namespace
}  // namespace nimbusdale

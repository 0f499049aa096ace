#include "SparseMaskIntegrator.h"

namespace nimbusdale {

SparseMaskIntegrator::SparseMaskIntegrator(std::string nodeName, FD::ParameterSet params)
    : IntegratorNode(nodeName, params, kSparseMaskIntegratorType), mask(refusing([this] {
        return SparseMaskIntegration(SparseMaskSettings::fromParameters(values));
      })) {}

SparseMaskIntegrator::~SparseMaskIntegrator() = default;

void SparseMaskIntegrator::calculate(int, int count, FD::Buffer& out) {
  const Inputs in = checkedInputs(count);
  FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
  mask.process(frameData(*in.sparse), frameData(*in.spec), frameData(*result));
}

namespace {

const int sparseMaskIntegratorRegistered =
    registerNodeType<SparseMaskIntegrator>(kSparseMaskIntegratorType);

}  // namespace
}  // namespace nimbusdale

#include "PoissonGammaIntegrator.h"

#include <iostream>
#include <stdexcept>

namespace nimbusdale {

PoissonGammaIntegrator::PoissonGammaIntegrator(std::string nodeName, FD::ParameterSet params)
    : IntegratorNode(nodeName, params, kPoissonGammaIntegratorType),
      globalScale(values.floatValue("GLOBAL_SCALE")),
      model(numBins, numChannels) {}

PoissonGammaIntegrator::~PoissonGammaIntegrator() = default;

void PoissonGammaIntegrator::calculate(int, int count, FD::Buffer& out) {
  // A count the model cannot take would make the inference fail midway through its updates;
  // refuse the whole frame while the state is still untouched.
  const Inputs in = checkedInputs(count);

  // The row-major C x F frames seen as column-major F x C: one column per channel.
  SparseFrameView sparseView(frameData(*in.sparse), numBins, numChannels);
  SpectrumFrameView specView(frameData(*in.spec), numBins, numChannels);

  FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
  try {
    runPoissonGammaFrame(model, globalScale, sparseView, specView,
                         OutputRowView(frameData(*result), numBins), std::cout);
  } catch (const std::overflow_error&) {
    // The model refused the frame and kept its state; take back the zero-filled frame too, so
    // that a later request for this count computes it instead of reading zeros as a result.
    withdrawFrame(out, count);
    fail(tooLargeForTheModel(sparseView, globalScale));
  }
}

namespace {

const int poissonGammaIntegratorRegistered =
    registerNodeType<PoissonGammaIntegrator>(kPoissonGammaIntegratorType);

}  // namespace
}  // namespace nimbusdale

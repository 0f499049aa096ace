#include "PoissonGammaIntegrator.h"

#include <cmath>
#include <iostream>
#include <stdexcept>

namespace nimbusdale {

PoissonGammaIntegrator::PoissonGammaIntegrator(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params) {
  specID = addInput("SPEC");
  sparseID = addInput("SPARSE");
  outputID = addOutput("OUTPUT");

  ParameterReader reader(*this, typeName, params);
  numChannels = reader.readInt("NUM_CHANNEL");
  reader.require(numChannels >= 1, "NUM_CHANNEL", numChannels, "be at least 1");
  int length = reader.readInt("LENGTH");
  reader.require(length >= 0, "LENGTH", length, "be at least 0");
  numBins = binsFromLength(length);
  globalScale = reader.readFloat("GLOBAL_SCALE");
  try {
    checkPoissonGammaScale(globalScale);
  } catch (const std::invalid_argument& e) {
    failNode(*this, typeName, e.what());
  }

  model = PoissonGammaModel(numBins, numChannels);
}

PoissonGammaIntegrator::~PoissonGammaIntegrator() = default;

void PoissonGammaIntegrator::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<ComplexFrame> spec = getInput(specID, count);
  FD::RCPtr<RealFrame> sparse = getInput(sparseID, count);
  requireFrameShape(*this, typeName, "SPEC", *spec, numChannels, numBins);
  requireFrameShape(*this, typeName, "SPARSE", *sparse, numChannels, numBins);

  // The row-major C x F frames seen as column-major F x C: one column per channel.
  SparseFrameView sparseView(frameData(*sparse), numBins, numChannels);
  SpectrumFrameView specView(frameData(*spec), numBins, numChannels);

  // A count the model cannot take would make the inference fail midway through its updates;
  // refuse the whole frame while the state is still untouched.
  try {
    checkPoissonGammaInputs(sparseView, specView);
  } catch (const std::invalid_argument& e) {
    failNode(*this, typeName, e.what());
  }

  ComplexFrame* result = new ComplexFrame(1, numBins);
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);

  try {
    runPoissonGammaFrame(model, globalScale, sparseView, specView,
                         OutputRowView(frameData(*result), numBins), std::cout);
  } catch (const std::overflow_error&) {
    // The model refused the frame and kept its state; take back the zero-filled frame too, so
    // that a later request for this count computes it instead of reading zeros as a result.
    (*outputs[outputID].buffer)[count] = FD::ObjectRef();
    failNode(*this, typeName, tooLargeForTheModel(sparseView, globalScale));
  }
}

namespace {

const int poissonGammaIntegratorRegistered =
    registerNodeType<PoissonGammaIntegrator>("PoissonGammaIntegrator");

}  // namespace
}  // namespace nimbusdale

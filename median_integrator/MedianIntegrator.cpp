#include "MedianIntegrator.h"

#include <algorithm>
#include <cmath>

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

  const float* sparseData = frameData(*sparse);
  // std::sort needs a strict weak order, which a NaN breaks (and can make it read out of range).
  for (long i = 0; i < sparse->size(); ++i)
    if (std::isnan(sparseData[i]))
      failNode(*this, typeName,
               "input SPARSE holds NaN at channel " + std::to_string(i / numBins) + ", bin " +
                   std::to_string(i % numBins));

  ComplexFrame* result = new ComplexFrame(1, numBins);
  (*outputs[outputID].buffer)[count] = FD::ObjectRef(result);

  const std::complex<float>* specRow0 = frameData(*spec);
  std::complex<float>* out = frameData(*result);
  std::vector<float> scratch(static_cast<size_t>(numChannels));
  const long medianPos = (numChannels - 1) / 2;
  for (int bin = 0; bin < numBins; ++bin) {
    for (int ch = 0; ch < numChannels; ++ch)
      scratch[static_cast<size_t>(ch)] = sparseData[static_cast<long>(ch) * numBins + bin];
    std::sort(scratch.begin(), scratch.end());
    const float m = scratch[static_cast<size_t>(medianPos)];

    const std::complex<float> s = specRow0[bin];
    const float a = std::abs(s);
    if (a == 0.0f) {
      // Silence has no phase; keep the magnitude rather than emit 0/0.
      out[bin] = std::complex<float>(m, 0.0f);
    } else {
      out[bin] = std::complex<float>((s.real() * m) / a, (s.imag() * m) / a);
    }
  }
}

namespace {

const int medianIntegratorRegistered = registerNodeType<MedianIntegrator>("MedianIntegrator");

}  // namespace
}  // namespace nimbusdale

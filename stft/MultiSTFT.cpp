#include "MultiSTFT.h"

namespace nimbusdale {

MultiSTFT::MultiSTFT(std::string nodeName, FD::ParameterSet params)
    : ToolboxNode(nodeName, params, kMultiSTFTType),
      inputID(port("INPUT")),
      numChannels(values.intValue("NUM_CHANNEL")),
      length(values.intValue("LENGTH")),
      analysis(length) {}

MultiSTFT::~MultiSTFT() = default;

void MultiSTFT::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<RealFrame> in = inputFrame<RealFrame>(inputID, count);
  requireFrameShape(inputID, *in, numChannels, length);
  requireFrameValues(inputID, *in, numChannels, length);
  FD::RCPtr<ComplexFrame> spectrum =
      storeNewFrame<ComplexFrame>(out, count, numChannels, binsFromLength(length));
  for (int c = 0; c < numChannels; ++c)
    analysis.transform((*in)[static_cast<size_t>(c)], (*spectrum)[static_cast<size_t>(c)]);
}

namespace {

const int multiSTFTRegistered = registerNodeType<MultiSTFT>(kMultiSTFTType);

}  // namespace
}  // namespace nimbusdale

// MultiSTFT: the short-time Fourier transform of every channel of a frame of samples.
#include <string>

#include "Stft.h"
#include "ToolboxNode.h"

namespace nimbusdale {

/// Ports and parameters as kMultiSTFTType declares them: input INPUT (NUM_CHANNEL x LENGTH
/// samples), output OUTPUT (NUM_CHANNEL x bins complex, bins = LENGTH / 2 + 1), each row the
/// real FFT of the input row times a periodic Hann window. Keeps no state between frames.
class MultiSTFT : public ToolboxNode {
 public:
  MultiSTFT(std::string nodeName, FD::ParameterSet params);
  ~MultiSTFT() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  const int inputID;
  const int numChannels;
  const int length;
  StftAnalysis analysis;
};

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

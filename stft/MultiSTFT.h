// MultiSTFT: the short-time Fourier transform of every channel of a frame of samples.
#ifndef NIMBUSDALE_MULTI_STFT_H
#define NIMBUSDALE_MULTI_STFT_H

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

}  // namespace nimbusdale

#endif

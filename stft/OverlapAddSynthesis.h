// OverlapAddSynthesis: a spectrum frame by frame back into samples, by weighted overlap-add.
#ifndef NIMBUSDALE_OVERLAP_ADD_SYNTHESIS_H
#define NIMBUSDALE_OVERLAP_ADD_SYNTHESIS_H

#include <memory>
#include <string>
#include <vector>

#include "Stft.h"
#include "ToolboxNode.h"

namespace nimbusdale {

/// Ports and parameters as kOverlapAddSynthesisType declares them: input INPUT (at least 1 x
/// bins complex, row 0 read), output OUTPUT (1 x n samples: those frame `count` made final, in
/// the analysed recording's time). Frames must come in order from count 0; a count of 0 after
/// others (the host starting an iterator over) starts a new signal.
class OverlapAddSynthesis : public ToolboxNode {
 public:
  OverlapAddSynthesis(std::string nodeName, FD::ParameterSet params);
  ~OverlapAddSynthesis() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  const int inputID;
  const StftGeometry geometry;
  std::unique_ptr<OverlapAdd> synthesis;
  std::vector<float> final;
};

}  // namespace nimbusdale

#endif

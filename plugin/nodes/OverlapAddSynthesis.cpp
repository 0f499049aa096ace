// OverlapAddSynthesis: a spectrum frame by frame back into samples, by weighted overlap-add.
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

OverlapAddSynthesis::OverlapAddSynthesis(std::string nodeName, FD::ParameterSet params)
    : ToolboxNode(nodeName, params, kOverlapAddSynthesisType),
      inputID(port("INPUT")),
      geometry(refusing([this] {
        return geometryOfParameters(values.intValue("LENGTH"), values.intValue("HOP"));
      })),
      synthesis(new OverlapAdd(geometry)) {}

OverlapAddSynthesis::~OverlapAddSynthesis() = default;

void OverlapAddSynthesis::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<ComplexFrame> in = inputFrame<ComplexFrame>(inputID, count);
  const int bins = geometry.bins();
  if (in->nrows() < 1 || in->ncols() != static_cast<size_t>(bins))
    fail("input INPUT frame is " + std::to_string(in->nrows()) + " x " +
         std::to_string(in->ncols()) +
         "; expected at least one row of LENGTH / 2 + 1 = " + std::to_string(bins) + " bins");
  requireFrameValues(inputID, *in, 1, bins);
  if (count == 0 && synthesis->frames() > 0) synthesis.reset(new OverlapAdd(geometry));
  if (count != synthesis->frames())
    fail("frame " + std::to_string(count) + " came out of order; frames are added in order, and " +
         "frame " + std::to_string(synthesis->frames()) + " is next");

  FD::RCPtr<RealFrame> block = storeNewFrame<RealFrame>(out, count, 1, 0);
  synthesis->add(frameData(*in));
  final.clear();
  synthesis->takeFinal(final);
  block->resize(1, final.size());
  std::copy(final.begin(), final.end(), frameData(*block));
}

namespace {

const int overlapAddSynthesisRegistered =
    registerNodeType<OverlapAddSynthesis>(kOverlapAddSynthesisType);

}  // namespace
}  // namespace nimbusdale

// Node base that computes each frame once and keeps recent frames in per-output buffers.
#ifndef FLOWDESIGNER_BUFFEREDNODE_H
#define FLOWDESIGNER_BUFFEREDNODE_H

#include <vector>

#include "Buffer.h"
#include "Node.h"

namespace FD {

struct OutputCacheInfo {
  RCPtr<Buffer> buffer;
  int lookBack = 0;
  int lookAhead = 0;
};

class BufferedNode : public Node {
 public:
  BufferedNode(std::string nodeName, const ParameterSet& params);
  ~BufferedNode() override;

  int addInput(const std::string& inputName) override;
  int addOutput(const std::string& outputName) override;
  /// Answers from the buffer when frame `count` is held; otherwise calls calculate() once and
  /// returns what it stored. A calculate() that stores nothing throws a new NodeException.
  ObjectRef getOutput(int output_id, int count) override;
  void request(int outputID, const ParameterSet& req) override;
  void initialize() override;
  /// Empties the output buffers, as the host does when an iterator starts over.
  void reset() override;

  /// Computes frame `count` and stores it in `out` (the buffer of `output_id`).
  virtual void calculate(int output_id, int count, Buffer& out) = 0;

 protected:
  std::vector<OutputCacheInfo> outputs;
};

}  // namespace FD

#endif

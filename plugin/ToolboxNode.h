// The one place the toolbox's nodes reach the host framework. A node derives from ToolboxNode,
// which declares the ports of its node table and reads and checks the table's parameters, and
// gives it what every node does with a frame: fetch it typed, refuse what the port does not
// admit, store the output. What is left in the node is its core. The headers named here exist
// with the same names, signatures and access rules in FlowDesigner and in the bundled stand-in,
// so the node sources build against either unchanged.
#ifndef NIMBUSDALE_PLUGIN_TOOLBOX_NODE_H
#define NIMBUSDALE_PLUGIN_TOOLBOX_NODE_H

#include <complex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Buffer.h"
#include "BufferedNode.h"
#include "Matrix.h"
#include "ObjectRef.h"
#include "net_types.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale {

using ComplexFrame = FD::Matrix<std::complex<float>>;
using RealFrame = FD::Matrix<float>;

/// Start of a frame's row-major array (row 0), valid for empty frames too.
template <class T>
T* frameData(FD::Matrix<T>& frame) {
  return frame[0];
}
template <class T>
const T* frameData(const FD::Matrix<T>& frame) {
  return frame[0];
}

/// Base of every node of the toolbox.
class ToolboxNode : public FD::BufferedNode {
 public:
  ~ToolboxNode() override;

  const NodeType& nodeType() const { return table; }

  /// The host's, after noting that the node is built: refusals from here on name the node to
  /// the host as well as in their message.
  FD::ObjectRef getOutput(int output_id, int count) override;

 protected:
  /// Declares the ports of `type` in the table's order (inputs, then outputs), then reads every
  /// parameter of `type` from `params` in the table's order, each as its host type, and refuses
  /// the first value its own rule does not admit. A missing parameter throws the host's
  /// exception for it, a value of another type the host's cast exception, and an empty one or
  /// one out of range a NodeException "<Type> '<name>': parameter X is V; it must ...". Rules
  /// relating parameters are the node's to check.
  ToolboxNode(const std::string& nodeName, const FD::ParameterSet& params, const NodeType& type);

  /// The id of port `name` of the table (inputs and outputs are numbered apart, as the host
  /// does). A name the table does not have is a std::logic_error.
  int port(std::string_view name) const;

  /// Throws a new FD::NodeException "<Type> '<node name>': <detail>". While the node is being
  /// built the exception names no node object to the host: FlowDesigner prints the node it names
  /// after the failed constructor has destroyed it.
  [[noreturn]] void fail(const std::string& detail);

  /// Runs `fn`, turning a refusal of a host-free core (std::invalid_argument) into the node's.
  template <class F>
  auto refusing(F&& fn) -> decltype(fn()) {
    try {
      return fn();
    } catch (const std::invalid_argument& e) {
      fail(e.what());
    }
  }

  /// Frame `count` of input `inputID`. Refuses a missing frame or an object of another type,
  /// naming the port and what it got.
  template <class Frame>
  FD::RCPtr<Frame> inputFrame(int inputID, int count) {
    FD::ObjectRef object = getInput(inputID, count);
    Frame* frame = dynamic_cast<Frame*>(object.get());
    if (!frame) refuseInputObject(inputID, object.get());
    frame->ref();
    return FD::RCPtr<Frame>(frame);
  }

  /// The value of type T (an int, a bool) on input `inputID` at `count`; refuses anything else,
  /// naming the port.
  template <class T>
  T inputValue(int inputID, int count) {
    FD::ObjectRef object = getInput(inputID, count);
    auto* boxed = dynamic_cast<FD::GenericType<T>*>(object.get());
    if (!boxed) refuseInputObject(inputID, object.get());
    return boxed->val();
  }

  /// The buffer of output `outputID`, for a node that fills all its outputs in one calculate().
  FD::Buffer& outputBuffer(int outputID) { return *outputs[static_cast<size_t>(outputID)].buffer; }

  /// Refuses the frame on input `inputID` unless it is exactly rows x cols.
  template <class T>
  void requireFrameShape(int inputID, const FD::Matrix<T>& frame, int rows, int cols) {
    if (frame.nrows() == static_cast<size_t>(rows) && frame.ncols() == static_cast<size_t>(cols))
      return;
    fail(frameShapeRefusal(inputSpec(inputID).name, static_cast<long>(frame.nrows()),
                           static_cast<long>(frame.ncols()), rows, cols));
  }

  /// Refuses a channels x bins frame on input `inputID` holding a value the port's requirement
  /// in the table does not admit, naming the first: "input P holds V at channel c, bin f; ...".
  /// Only channel 0 is scanned for a port that reads only it. The shape must have been checked.
  template <class T>
  void requireFrameValues(int inputID, const FD::Matrix<T>& frame, int channels, int bins) {
    const PortSpec& spec = inputSpec(inputID);
    const long bad = firstRefusedValue(spec, frameData(frame), channels, bins);
    if (bad >= 0) fail(valueRefusal(spec, frameData(frame)[bad], bad, bins));
  }

  /// Creates the rows x cols frame a calculate() call emits and stores it at `count` of `out`,
  /// the buffer calculate() received, before it is filled. A count the buffer refuses throws the
  /// host's BufferException and frees the frame. A new complex frame is zero-filled.
  template <class Frame>
  static FD::RCPtr<Frame> storeNewFrame(FD::Buffer& out, int count, int rows, int cols) {
    FD::RCPtr<Frame> frame(new Frame(static_cast<size_t>(rows), static_cast<size_t>(cols)));
    out[count] = FD::ObjectRef(frame);
    return frame;
  }

  /// Takes back the frame stored at `count` of `out` by a call that then failed, so that a later
  /// request for that count computes it again instead of reading an unfinished frame.
  static void withdrawFrame(FD::Buffer& out, int count) { out[count] = FD::ObjectRef(); }

  const PortSpec& inputSpec(int inputID) const;

 private:
  ParameterValues readParameters(const FD::ParameterSet& params);
  [[noreturn]] void refuseInputObject(int inputID, FD::Object* object);

  const NodeType& table;
  std::vector<int> portIDs;  // in the table's order
  bool built = false;        // getOutput() has been called

 protected:
  /// The parameter values the constructor read and checked (after the ports were declared).
  const ParameterValues values;
};

/// The host's parameter set holding `values`, each boxed as its host type: what a network
/// document gives a node, for programs that build nodes themselves.
inline FD::ParameterSet hostParameters(const ParameterValues& values) {
  FD::ParameterSet params;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const ParameterSpec& p = values.spec(i);
    if (p.type == HostType::Int)
      params.add(p.name, FD::ObjectRef(FD::Int::alloc(values.intValue(i))));
    else if (p.type == HostType::Float)
      params.add(p.name, FD::ObjectRef(FD::Float::alloc(values.floatValue(i))));
    else {
      FD::String* text = new FD::String();
      text->assign(values.stringValue(i));
      params.add(p.name, FD::ObjectRef(text));
    }
  }
  return params;
}

/// Registers `T` under the table's type name with a null icon; returns the sum of the host's two
/// results.
template <class T>
int registerNodeType(const NodeType& type) {
  FD::_NodeFactory* factory = new FD::NodeFactory<T>(type.name);
  int added = FD::Node::addFactory(type.name, factory);
  return added + FD::Node::addXPM(type.name, nullptr);
}

}  // namespace nimbusdale

#endif

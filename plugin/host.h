// The one place the nodes reach the host framework: its headers, plus what every node does with
// them. A node declares its ports and reads its parameters from its table (NodeTypes.h), refuses
// input frames it cannot take, stores its output frame, and may give magnitudes the phase of
// channel 0 of a spectrum; what is left in the node is its own arithmetic. Node sources include
// nothing else of the host.
#ifndef NIMBUSDALE_PLUGIN_HOST_H
#define NIMBUSDALE_PLUGIN_HOST_H

#include <complex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Buffer.h"
#include "BufferedNode.h"
#include "Matrix.h"
#include "net_types.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

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

/// Frame bins from the analysis length: LENGTH / 2 + 1, truncating toward zero.
inline int binsFromLength(int length) {
  return length / 2 + 1;
}

/// Throws a new FD::NodeException "<type> '<node name>': <detail>".
[[noreturn]] void failNode(const FD::Node& node, const NodeType& type, const std::string& detail);

/// Runs `fn`, turning a refusal of a host-free core (std::invalid_argument) into the node's.
template <class F>
auto refusing(const FD::Node& node, const NodeType& type, F&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const std::invalid_argument& e) {
    failNode(node, type, e.what());
  }
}

// ----------------------------------------------------------------------------------------------
// Construction

/// Declares port `name` of `type` on `node`, as an input or an output as the table says, and
/// returns its id. A name the table does not have is a std::logic_error.
int declarePort(FD::Node& node, const NodeType& type, std::string_view name);

/// Reads every parameter of `type` from `params` in the table's order, each as its host type (a
/// value of the other type throws the host's cast exception, a missing one the host's "Missing
/// parameter" error), then refuses the first value its own rule does not admit: "<type> '<node
/// name>': parameter X is V; it must ...". Rules relating parameters are the node's to check.
ParameterValues readParameters(const FD::Node& node, const NodeType& type,
                               const FD::ParameterSet& params);

/// Registers `T` under the table's type name with a null icon; returns the sum of the host's two
/// results.
template <class T>
int registerNodeType(const NodeType& type) {
  FD::_NodeFactory* factory = new FD::NodeFactory<T>(type.name);
  int added = FD::Node::addFactory(type.name, factory);
  return added + FD::Node::addXPM(type.name, nullptr);
}

// ----------------------------------------------------------------------------------------------
// Each frame

/// Refuses the frame on input `port` unless it is exactly rows x cols.
template <class T>
void requireFrameShape(const FD::Node& node, const NodeType& type, const char* port,
                       const FD::Matrix<T>& frame, int rows, int cols) {
  if (frame.nrows() == rows && frame.ncols() == cols) return;
  failNode(node, type, frameShapeRefusal(port, frame.nrows(), frame.ncols(), rows, cols));
}

/// Refuses a channels x bins frame on input `port` holding a value the port's requirement in the
/// table does not admit, naming the first: "input P holds V at channel c, bin f; ...". Only
/// channel 0 is scanned for a port that reads only it. The shape must have been checked.
template <class T>
void requireFrameValues(const FD::Node& node, const NodeType& type, const char* port,
                        const FD::Matrix<T>& frame, int channels, int bins) {
  const PortSpec& spec = type.port(port);
  const long bad = firstRefusedValue(spec, frameData(frame), channels, bins);
  if (bad >= 0) failNode(node, type, valueRefusal(spec, frameData(frame)[bad], bad, bins));
}

/// The integrators' inputs: SPEC (complex) and SPARSE (real), each channels x bins, checked for
/// shape and then for values (SPARSE first) before the node's state changes, so a refused frame
/// leaves the node as if it had never arrived.
inline void requireIntegratorInputs(const FD::Node& node, const NodeType& type,
                                    const FD::Matrix<std::complex<float>>& spec,
                                    const FD::Matrix<float>& sparse, int channels, int bins) {
  requireFrameShape(node, type, "SPEC", spec, channels, bins);
  requireFrameShape(node, type, "SPARSE", sparse, channels, bins);
  requireFrameValues(node, type, "SPARSE", sparse, channels, bins);
  requireFrameValues(node, type, "SPEC", spec, channels, bins);
}

/// Creates the rows x cols frame a calculate() call emits and stores it at `count` of `out`, the
/// buffer calculate() received, before it is filled. A count the buffer refuses throws the
/// host's BufferException and frees the frame. A new complex frame is zero-filled.
template <class Frame>
FD::RCPtr<Frame> storeNewFrame(FD::Buffer& out, int count, int rows, int cols) {
  FD::RCPtr<Frame> frame(new Frame(rows, cols));
  out[count] = FD::ObjectRef(frame);
  return frame;
}

/// Takes back the frame stored at `count` of `out` by a call that then failed, so that a later
/// request for that count computes it again instead of reading an unfinished frame.
inline void withdrawFrame(FD::Buffer& out, int count) {
  out[count] = FD::ObjectRef();
}

/// Row 0 of `result` (1 x bins): bin f gets magnitudes[f] with the phase of channel 0 of `spec`,
/// each part formed as (part * m) / |s| (see withPhaseOf()); a bin where channel 0 is exactly 0
/// has no phase and gets m + 0i. A node whose output must keep another rounding order keeps its
/// own code.
inline void phaseFromChannelZero(const float* magnitudes, const ComplexFrame& spec, int bins,
                                 ComplexFrame& result) {
  const std::complex<float>* channelZero = frameData(spec);
  std::complex<float>* row = frameData(result);
  for (int f = 0; f < bins; ++f) row[f] = withPhaseOf(magnitudes[f], channelZero[f]);
}

}  // namespace nimbusdale

#endif

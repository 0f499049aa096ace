// The one place the nodes reach the host framework: its headers, plus the checks every node
// shares (parameters, frame shapes). Node sources include nothing else of the host.
#ifndef NIMBUSDALE_PLUGIN_HOST_H
#define NIMBUSDALE_PLUGIN_HOST_H

#include <complex>
#include <sstream>
#include <string>

#include "Buffer.h"
#include "BufferedNode.h"
#include "Matrix.h"
#include "net_types.h"

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
[[noreturn]] void failNode(const FD::Node& node, const char* typeName, const std::string& detail);

/// Reads a node's parameters in the order asked and refuses values the node cannot work with,
/// naming the parameter and the value. Typed reads throw the host's cast exception unchanged.
class ParameterReader {
 public:
  ParameterReader(const FD::Node& node, const char* typeName, const FD::ParameterSet& params)
      : node(node), typeName(typeName), params(params) {}

  int readInt(const char* name) const { return FD::dereference_cast<int>(params.get(name)); }
  float readFloat(const char* name) const { return FD::dereference_cast<float>(params.get(name)); }

  /// Refuses `value` of parameter `name` unless `ok`; `requirement` completes "it must ...".
  template <class V>
  void require(bool ok, const char* name, V value, const std::string& requirement) const {
    if (ok) return;
    std::ostringstream detail;
    detail << "parameter " << name << " is " << value << "; it must " << requirement;
    failNode(node, typeName, detail.str());
  }

 private:
  const FD::Node& node;
  const char* typeName;
  const FD::ParameterSet& params;
};

/// Refuses a frame on input `port` unless it is exactly rows x cols.
template <class T>
void requireFrameShape(const FD::Node& node, const char* typeName, const char* port,
                       const FD::Matrix<T>& frame, int rows, int cols) {
  if (frame.nrows() == rows && frame.ncols() == cols) return;
  failNode(node, typeName,
           std::string("input ") + port + " frame is " + std::to_string(frame.nrows()) + " x " +
               std::to_string(frame.ncols()) + "; expected NUM_CHANNEL x bins = " +
               std::to_string(rows) + " x " + std::to_string(cols));
}

/// Registers `T` under `typeName` with a null icon; returns the sum of the host's two results.
template <class T>
int registerNodeType(const char* typeName) {
  FD::_NodeFactory* factory = new FD::NodeFactory<T>(typeName);
  int added = FD::Node::addFactory(typeName, factory);
  return added + FD::Node::addXPM(typeName, nullptr);
}

}  // namespace nimbusdale

#endif

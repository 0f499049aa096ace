// Dataflow node base, node factories and the registration entry points a toolbox calls.
#ifndef FLOWDESIGNER_NODE_H
#define FLOWDESIGNER_NODE_H

#include <string>
#include <utility>
#include <vector>

#include "Object.h"
#include "ParameterSet.h"

namespace FD {

class Node;

/// One input port: its name and the upstream node output feeding it.
struct NodeInput {
  std::string name;
  Node* node = nullptr;
  int outputID = -1;
};

/// Creates nodes of one registered type.
class _NodeFactory {
 public:
  explicit _NodeFactory(std::string typeName) : name(std::move(typeName)) {}
  virtual const std::string& getName() { return name; }
  virtual Node* Create(const std::string& nodeName, const ParameterSet& params) = 0;
  virtual ~_NodeFactory() = default;

 protected:
  std::string name;
};

template <class T>
class NodeFactory : public _NodeFactory {
 public:
  explicit NodeFactory(std::string typeName) : _NodeFactory(std::move(typeName)) {}
  Node* Create(const std::string& nodeName, const ParameterSet& params) override {
    return new T(nodeName, params);
  }
};

/// A node's access rules and signatures follow FlowDesigner's: ports are declared from the
/// node's own constructor (addInput and addOutput are protected here; BufferedNode makes them
/// public), and getName() is not const.
class Node : public Object {
 public:
  Node(std::string nodeName, const ParameterSet& params);
  ~Node() override;

  std::string getName() { return name; }
  const ParameterSet& getParameters() const { return parameters; }

  /// Feeds input `in` of this node from output `out` of `inNode`. Unknown port names throw.
  virtual void connectToNode(const std::string& in, Node* inNode, const std::string& out);
  void connectToNode(int in, Node* inNode, int out);

  std::vector<NodeInput>& getInputs() { return inputs; }
  const std::vector<NodeInput>& getInputs() const { return inputs; }
  const std::vector<std::string>& getOutputNames() const { return outputNames; }
  /// Port id of an input or output by name; throws a new NodeException if there is none.
  int translateInput(const std::string& inputName);
  int translateOutput(const std::string& outputName);

  /// Frame `count` of output `output_id`.
  virtual ObjectRef getOutput(int output_id, int count) = 0;
  /// Frame `count` from the node connected to input `inputID`; an unconnected input throws.
  ObjectRef getInput(int inputID, int count);
  virtual void initialize();
  /// Forgets computed frames (BufferedNode empties its buffers); a node's own state is its own.
  virtual void reset();
  /// A downstream request for output `outputID`; LOOKBACK and LOOKAHEAD (ints) widen its window.
  virtual void request(int outputID, const ParameterSet& req);

  static int addFactory(const std::string& typeName, _NodeFactory* factory);
  static int addXPM(const std::string& typeName, char** xpm);

 protected:
  /// Declares an input port; returns its id (0, 1, ... in declaration order).
  virtual int addInput(const std::string& inputName);
  /// Declares an output port; returns its id.
  virtual int addOutput(const std::string& outputName);

  std::string name;
  ParameterSet parameters;
  std::vector<NodeInput> inputs;
  std::vector<std::string> outputNames;
};

}  // namespace FD

#endif

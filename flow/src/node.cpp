#include <algorithm>

#include "flowdesigner/BufferedNode.h"
#include "flowdesigner/net_types.h"

namespace FD {
namespace {

std::string where(Node* node) {
  return "node " + node->getName() + ": ";
}

}  // namespace

Buffer::Buffer(int length) : slots(static_cast<size_t>(std::max(length, 1))) {}

bool Buffer::inWindow(int count) const {
  return count >= 0 && count <= currentPos && count > currentPos - getLength();
}

ObjectRef& Buffer::operator[](int count) {
  if (count < 0 || count <= currentPos - getLength())
    throw new BufferException(this, "trying to write to non-existing element", count);
  if (count > currentPos) {
    int first = std::max(currentPos + 1, count - getLength() + 1);
    for (int c = first; c <= count; ++c) slots[static_cast<size_t>(c % getLength())] = ObjectRef();
    currentPos = count;
  }
  return slots[static_cast<size_t>(count % getLength())];
}

const ObjectRef& Buffer::get(int count) const {
  if (!isValid(count))
    throw new BufferException(this, "trying to read non-existing element", count);
  return slots[static_cast<size_t>(count % getLength())];
}

bool Buffer::isValid(int count) const {
  return inWindow(count) && !slots[static_cast<size_t>(count % getLength())].isNil();
}

void Buffer::ensureLength(int length) {
  if (length <= getLength()) return;
  std::vector<ObjectRef> grown(static_cast<size_t>(length));
  for (int c = std::max(0, currentPos - getLength() + 1); c <= currentPos; ++c)
    grown[static_cast<size_t>(c % length)] = slots[static_cast<size_t>(c % getLength())];
  slots.swap(grown);
}

Node::Node(std::string nodeName, const ParameterSet& params)
    : name(std::move(nodeName)), parameters(params) {}

Node::~Node() = default;

int Node::addInput(const std::string& inputName) {
  for (const NodeInput& in : inputs)
    if (in.name == inputName)
      throw new NodeException(this, where(this) + "input " + inputName + " declared twice",
                              __FILE__, __LINE__);
  inputs.push_back(NodeInput{inputName, nullptr, -1});
  return static_cast<int>(inputs.size()) - 1;
}

int Node::addOutput(const std::string& outputName) {
  if (std::find(outputNames.begin(), outputNames.end(), outputName) != outputNames.end())
    throw new NodeException(this, where(this) + "output " + outputName + " declared twice",
                            __FILE__, __LINE__);
  outputNames.push_back(outputName);
  return static_cast<int>(outputNames.size()) - 1;
}

int Node::translateInput(const std::string& inputName) {
  for (size_t i = 0; i < inputs.size(); ++i)
    if (inputs[i].name == inputName) return static_cast<int>(i);
  throw new NodeException(this, where(this) + "unknown input " + inputName, __FILE__, __LINE__);
}

int Node::translateOutput(const std::string& outputName) {
  auto it = std::find(outputNames.begin(), outputNames.end(), outputName);
  if (it == outputNames.end())
    throw new NodeException(this, where(this) + "unknown output " + outputName, __FILE__, __LINE__);
  return static_cast<int>(it - outputNames.begin());
}

void Node::connectToNode(const std::string& in, Node* inNode, const std::string& out) {
  if (!inNode)
    throw new NodeException(this, where(this) + "input " + in + " connected to no node", __FILE__,
                            __LINE__);
  connectToNode(translateInput(in), inNode, inNode->translateOutput(out));
}

void Node::connectToNode(int in, Node* inNode, int out) {
  if (in < 0 || in >= static_cast<int>(inputs.size()))
    throw new NodeException(this, where(this) + "no input with id " + std::to_string(in), __FILE__,
                            __LINE__);
  if (!inNode)
    throw new NodeException(this,
                            where(this) + "input " + inputs[in].name + " connected to no node",
                            __FILE__, __LINE__);
  if (out < 0 || out >= static_cast<int>(inNode->outputNames.size()))
    throw new NodeException(inNode, where(inNode) + "no output with id " + std::to_string(out),
                            __FILE__, __LINE__);
  inputs[static_cast<size_t>(in)].node = inNode;
  inputs[static_cast<size_t>(in)].outputID = out;
}

ObjectRef Node::getInput(int inputID, int count) {
  if (inputID < 0 || inputID >= static_cast<int>(inputs.size()))
    throw new NodeException(this, where(this) + "no input with id " + std::to_string(inputID),
                            __FILE__, __LINE__);
  const NodeInput& in = inputs[static_cast<size_t>(inputID)];
  if (!in.node)
    throw new NodeException(this, where(this) + "input " + in.name + " is not connected", __FILE__,
                            __LINE__);
  return in.node->getOutput(in.outputID, count);
}

void Node::initialize() {
  for (const NodeInput& in : inputs)
    if (!in.node)
      throw new NodeException(this, where(this) + "input " + in.name + " is not connected",
                              __FILE__, __LINE__);
}

void Node::reset() {}

void Node::request(int, const ParameterSet&) {}

BufferedNode::BufferedNode(std::string nodeName, const ParameterSet& params)
    : Node(std::move(nodeName), params) {}

BufferedNode::~BufferedNode() = default;

int BufferedNode::addInput(const std::string& inputName) {
  return Node::addInput(inputName);
}

int BufferedNode::addOutput(const std::string& outputName) {
  int id = Node::addOutput(outputName);
  OutputCacheInfo info;
  info.buffer = RCPtr<Buffer>(new Buffer(1));
  outputs.push_back(info);
  return id;
}

ObjectRef BufferedNode::getOutput(int output_id, int count) {
  if (output_id < 0 || output_id >= static_cast<int>(outputs.size()))
    throw new NodeException(this, where(this) + "no output with id " + std::to_string(output_id),
                            __FILE__, __LINE__);
  Buffer& out = *outputs[static_cast<size_t>(output_id)].buffer;
  if (out.isValid(count)) return out.get(count);
  calculate(output_id, count, out);
  if (!out.isValid(count))
    throw new NodeException(this,
                            "calculate stored no frame " + std::to_string(count) + " on output " +
                                outputNames[static_cast<size_t>(output_id)],
                            __FILE__, __LINE__);
  return out.get(count);
}

void BufferedNode::request(int outputID, const ParameterSet& req) {
  if (outputID < 0 || outputID >= static_cast<int>(outputs.size()))
    throw new NodeException(this, where(this) + "no output with id " + std::to_string(outputID),
                            __FILE__, __LINE__);
  OutputCacheInfo& info = outputs[static_cast<size_t>(outputID)];
  if (req.exist("LOOKBACK"))
    info.lookBack = std::max(info.lookBack, dereference_cast<int>(req.get("LOOKBACK")));
  if (req.exist("LOOKAHEAD"))
    info.lookAhead = std::max(info.lookAhead, dereference_cast<int>(req.get("LOOKAHEAD")));
}

void BufferedNode::reset() {
  Node::reset();
  for (OutputCacheInfo& info : outputs)
    info.buffer = RCPtr<Buffer>(new Buffer(info.lookBack + info.lookAhead + 1));
}

void BufferedNode::initialize() {
  Node::initialize();
  for (OutputCacheInfo& info : outputs)
    info.buffer->ensureLength(info.lookBack + info.lookAhead + 1);
}

}  // namespace FD

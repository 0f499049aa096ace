#include "ToolboxNode.h"

namespace nimbusdale {

ToolboxNode::ToolboxNode(const std::string& nodeName, const FD::ParameterSet& params,
                         const NodeType& type)
    : FD::BufferedNode(nodeName, params),
      table(type),
      portIDs([this, &type] {
        std::vector<int> ids;
        for (const PortSpec* p = type.ports; p != type.portsEnd(); ++p)
          ids.push_back(p->kind == PortKind::Input ? addInput(p->name) : addOutput(p->name));
        return ids;
      }()),
      values(readParameters(params)) {}

ToolboxNode::~ToolboxNode() = default;

ParameterValues ToolboxNode::readParameters(const FD::ParameterSet& params) {
  ParameterValues read(table);
  for (std::size_t i = 0; i < read.size(); ++i) {
    const ParameterSpec& p = table.parameters[i];
    FD::ObjectRef value = params.get(p.name);
    // A network document that leaves a value empty hands the node a nil object.
    if (!value.get())
      fail(std::string("parameter ") + p.name + " has no value; it must be given (" +
           (p.type == HostType::Int ? "an int" : "a ") +
           (p.type == HostType::Int ? "" : hostTypeName(p.type)) + ") and " + p.rule.requirement);
    switch (p.type) {
      case HostType::Int:
        read.set(i, FD::dereference_cast<int>(value));
        break;
      case HostType::Float:
        read.set(i, FD::dereference_cast<float>(value));
        break;
      case HostType::String:
        read.set(i, std::string(FD::object_cast<FD::String>(value)));
        break;
    }
  }
  const std::string refusal = read.firstRefusal();
  if (!refusal.empty()) fail(refusal);
  return read;
}

int ToolboxNode::port(std::string_view name) const {
  const PortSpec& spec = table.port(name);
  return portIDs[static_cast<std::size_t>(&spec - table.ports)];
}

FD::ObjectRef ToolboxNode::getOutput(int output_id, int count) {
  built = true;
  return FD::BufferedNode::getOutput(output_id, count);
}

void ToolboxNode::fail(const std::string& detail) {
  throw new FD::NodeException(built ? this : nullptr, nodeRefusal(table, getName(), detail),
                              __FILE__, __LINE__);
}

const PortSpec& ToolboxNode::inputSpec(int inputID) const {
  // Inputs come first in the table, in declaration order.
  if (inputID < 0 || static_cast<std::size_t>(inputID) >= table.portCount ||
      table.ports[inputID].kind != PortKind::Input)
    throw std::logic_error("no input with that id");
  return table.ports[inputID];
}

void ToolboxNode::refuseInputObject(int inputID, FD::Object* object) {
  const PortSpec& spec = inputSpec(inputID);
  fail(std::string("input ") + spec.name + " got " +
       (object ? "a " + object->className() : std::string("no object")) + "; it takes a " +
       frameTypeName(spec.frame));
}

}  // namespace nimbusdale

#include "host.h"

namespace nimbusdale {

void failNode(const FD::Node& node, const NodeType& type, const std::string& detail) {
  throw new FD::NodeException(
      &node, std::string(type.name) + " '" + node.getName() + "': " + detail, __FILE__, __LINE__);
}

int declarePort(FD::Node& node, const NodeType& type, std::string_view name) {
  const PortSpec& port = type.port(name);
  return port.kind == PortKind::Input ? node.addInput(port.name) : node.addOutput(port.name);
}

ParameterValues readParameters(const FD::Node& node, const NodeType& type,
                               const FD::ParameterSet& params) {
  ParameterValues values(type);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const ParameterSpec& p = type.parameters[i];
    const FD::ObjectRef value = params.get(p.name);
    if (p.type == HostType::Int)
      values.set(i, FD::dereference_cast<int>(value));
    else
      values.set(i, FD::dereference_cast<float>(value));
  }
  const std::string refusal = values.firstRefusal();
  if (!refusal.empty()) failNode(node, type, refusal);
  return values;
}

}  // namespace nimbusdale

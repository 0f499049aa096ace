// The toolbox's node descriptions, as a host reads them: ports and parameters of each node type,
// from the "nimbusdale.def" file installed beside the toolbox libraries.
#ifndef NIMBUSDALE_APPS_NODECATALOG_H
#define NIMBUSDALE_APPS_NODECATALOG_H

#include <string>
#include <vector>

namespace nimbusdale::app {

struct PortEntry {
  std::string name, frameType, meaning;
};

struct ParameterEntry {
  std::string name, type;
  std::string value;  ///< the default a host gives a network that leaves it out; "" for none
  std::string meaning;
};

struct NodeEntry {
  std::string type, category, library, description;
  std::vector<PortEntry> inputs, outputs;
  std::vector<ParameterEntry> parameters;
};

/// The descriptions beside the toolbox library at `toolboxPath`. Throws std::runtime_error when
/// the file is missing or is not a <Definitions> document of <NodeClass> entries.
std::vector<NodeEntry> readNodeCatalog(const std::string& toolboxPath);

/// Path of the descriptions that belong to the toolbox library at `toolboxPath`.
std::string catalogPathFor(const std::string& toolboxPath);

}  // namespace nimbusdale::app

#endif

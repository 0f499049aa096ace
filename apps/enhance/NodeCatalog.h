// The plug-in's node catalog: ports and parameters of each node type, read from the
// "nimbusdale.nodes" file installed beside the plug-in.
#ifndef NIMBUSDALE_APPS_NODECATALOG_H
#define NIMBUSDALE_APPS_NODECATALOG_H

#include <string>
#include <vector>

namespace nimbusdale::app {

struct PortEntry {
  std::string name, frameType, meaning;
};

struct ParameterEntry {
  std::string name, type, typical, meaning;
};

struct NodeEntry {
  std::string type;
  std::vector<PortEntry> inputs, outputs;
  std::vector<ParameterEntry> parameters;
};

/// The catalog beside the plug-in at `toolboxPath`. Throws std::runtime_error when the file is
/// missing or a line does not parse (naming the line).
std::vector<NodeEntry> readNodeCatalog(const std::string& toolboxPath);

/// Path of the catalog that belongs to the plug-in at `toolboxPath`.
std::string catalogPathFor(const std::string& toolboxPath);

}  // namespace nimbusdale::app

#endif

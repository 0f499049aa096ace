// Queries on what toolboxes registered, and creation of nodes by type name. These are the
// stand-in's own; a toolbox itself only calls the registration entry points of Node and Object.
#ifndef FLOWDESIGNER_REGISTRY_H
#define FLOWDESIGNER_REGISTRY_H

#include <string>
#include <vector>

#include "Node.h"

namespace FD {

struct ModuleVersionRecord {
  std::string module;
  std::string build;
  std::string version;
};

struct NodeTypeRecord {
  std::string name;
  _NodeFactory* factory = nullptr;
  char** icon = nullptr;
};

/// One registration call, in the order the calls were made.
struct RegistrationEvent {
  enum Kind { ModuleVersion, Factory, Icon };
  Kind kind;
  std::string name;
};

namespace registry {

std::vector<ModuleVersionRecord> moduleVersions();
/// Registered node types, in the order their factories were added.
std::vector<NodeTypeRecord> nodeTypes();
std::vector<RegistrationEvent> events();
/// The factory registered under `typeName`, or null.
_NodeFactory* findFactory(const std::string& typeName);
/// A new node of type `typeName` built by its factory. An unknown type throws a new
/// GeneralException; the node's own constructor may throw as well.
RCPtr<Node> createNode(const std::string& typeName, const std::string& nodeName,
                       const ParameterSet& params);

}  // namespace registry
}  // namespace FD

#endif

#include "InfoCommand.h"

#include <flowdesigner/Registry.h>

#include <iostream>
#include <stdexcept>
#include <vector>

#include "Enhancer.h"
#include "NodeCatalog.h"
#include "RunOptions.h"

namespace nimbusdale::app {

void addInfoOptions(CLI::App* info, InfoCommand& cmd) {
  info->add_option("--toolbox", cmd.toolbox, "plug-in library to load")->check(kNonEmptyPath);
}

int runInfo(const InfoCommand& cmd) {
  const std::string toolbox = cmd.toolbox.empty() ? defaultToolboxPath() : toolboxFile(cmd.toolbox);
  const size_t eventsBefore = FD::registry::events().size();
  loadToolbox(toolbox);
  bool versionRecord = false, nodeType = false;
  const std::vector<FD::RegistrationEvent> events = FD::registry::events();
  for (size_t i = eventsBefore; i < events.size(); ++i) {
    versionRecord |= events[i].kind == FD::RegistrationEvent::ModuleVersion;
    nodeType |= events[i].kind == FD::RegistrationEvent::Factory;
  }
  if (!versionRecord || !nodeType)
    throw std::runtime_error(toolbox + " registers " +
                             (!versionRecord && !nodeType
                                  ? "no module version record and no node type"
                              : versionRecord ? "no node type"
                                              : "no module version record") +
                             ": not a FlowDesigner toolbox");
  std::cout << "toolbox " << toolbox << "\n";
  for (const auto& v : FD::registry::moduleVersions())
    std::cout << "module " << v.module << " version " << v.version << " build " << v.build << "\n";
  std::vector<NodeEntry> catalog;
  try {
    catalog = readNodeCatalog(toolbox);
  } catch (const std::runtime_error& e) {
    std::cerr << "nimbusdale: " << e.what() << "; ports and parameters not shown\n";
  }
  for (const auto& type : FD::registry::nodeTypes()) {
    std::cout << "node " << type.name << "\n";
    for (const auto& entry : catalog) {
      if (entry.type != type.name) continue;
      for (const auto& p : entry.inputs)
        std::cout << "  input     " << p.name << " : " << p.frameType << " - " << p.meaning << "\n";
      for (const auto& p : entry.outputs)
        std::cout << "  output    " << p.name << " : " << p.frameType << " - " << p.meaning << "\n";
      for (const auto& p : entry.parameters)
        std::cout << "  parameter " << p.name << " : " << p.type
                  << (p.value.empty() ? std::string(" (no default)") : " = " + p.value) << " - "
                  << p.meaning << "\n";
    }
  }
  return 0;
}

}  // namespace nimbusdale::app

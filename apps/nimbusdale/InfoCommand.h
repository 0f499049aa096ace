// `nimbusdale info`: what a toolbox registers, its node types' ports and parameters.
#ifndef NIMBUSDALE_APPS_INFOCOMMAND_H
#define NIMBUSDALE_APPS_INFOCOMMAND_H

#include <CLI/CLI.hpp>
#include <string>

namespace nimbusdale::app {

struct InfoCommand {
  std::string toolbox;  ///< empty: the installed plug-in
};

/// The options of `info`, stored into `cmd`.
void addInfoOptions(CLI::App* app, InfoCommand& cmd);

/// Loads the toolbox and lists its module versions and node types on standard output, with
/// each type's ports and parameters from the node catalog when it can be read. Returns 0; throws
/// std::runtime_error naming the file when it is missing or registers no module version record
/// or no node type.
int runInfo(const InfoCommand& cmd);

}  // namespace nimbusdale::app

#endif

// Writes the node catalog that is installed beside the plug-in, from the node tables, at build
// time: write_node_catalog OUTPUT_FILE PLUGIN_FILE_NAME.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace {

using namespace nimbusdale;

std::string catalog(const std::string& pluginFile) {
  std::ostringstream out;
  out << "# Node catalog of " << pluginFile
      << ", installed beside it: what a host shows of each node type.\n"
         "# Written by the build from the plug-in's node tables.\n"
         "#   node <type>\n"
         "#   input|output <port> <frame type> | <meaning>\n"
         "#   parameter <name> <int|float> <typical value> | <meaning [unit]; valid values>\n"
         "# bins = LENGTH / 2 + 1 (integer division).\n";
  for (const NodeType* type : kNodeTypes) {
    out << "node " << type->name << "\n";
    for (const PortSpec* p = type->ports; p != type->portsEnd(); ++p)
      out << (p->kind == PortKind::Input ? "input " : "output ") << p->name << " "
          << frameTypeName(p->frame) << " | " << describePort(*p) << "\n";
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p)
      out << "parameter " << p->name << " " << (p->type == HostType::Int ? "int" : "float") << " "
          << typicalText(*p) << " | " << describeParameter(*p) << "\n";
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " OUTPUT_FILE PLUGIN_FILE_NAME\n";
    return 2;
  }
  const std::string path = argv[1];
  // Written beside and renamed into place, so a failed run never leaves half a catalog.
  const std::string partial = path + ".partial";
  {
    std::ofstream file(partial, std::ios::trunc);
    file << catalog(argv[2]);
    file.close();
    if (!file) {
      std::cerr << argv[0] << ": cannot write " << partial << "\n";
      std::remove(partial.c_str());
      return 1;
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    std::cerr << argv[0] << ": cannot rename " << partial << " to " << path << "\n";
    std::remove(partial.c_str());
    return 1;
  }
  return 0;
}

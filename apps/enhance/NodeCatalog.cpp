#include "NodeCatalog.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <stdexcept>

namespace nimbusdale::app {
namespace {

using boost::property_tree::ptree;

std::string property(const ptree& node, const char* name) {
  return node.get<std::string>(std::string("<xmlattr>.") + name, "");
}

}  // namespace

std::string catalogPathFor(const std::string& toolboxPath) {
  const size_t slash = toolboxPath.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : toolboxPath.substr(0, slash);
  return dir + "/nimbusdale.def";
}

std::vector<NodeEntry> readNodeCatalog(const std::string& toolboxPath) {
  const std::string path = catalogPathFor(toolboxPath);
  ptree doc;
  try {
    boost::property_tree::read_xml(path, doc);
  } catch (const boost::property_tree::xml_parser_error&) {
    throw std::runtime_error("cannot read node descriptions " + path);
  }
  const auto root = doc.find("Definitions");
  if (root == doc.not_found() || doc.size() != 1)
    throw std::runtime_error(path + ": not a <Definitions> document");
  std::vector<NodeEntry> nodes;
  for (const auto& [tag, cls] : root->second) {
    if (tag != "NodeClass") continue;
    NodeEntry entry;
    entry.type = property(cls, "name");
    entry.category = property(cls, "category");
    entry.library = property(cls, "source");
    if (entry.type.empty()) throw std::runtime_error(path + ": a NodeClass without a name");
    for (const auto& [name, item] : cls) {
      if (name == "Input" || name == "Output")
        (name == "Input" ? entry.inputs : entry.outputs)
            .push_back(PortEntry{property(item, "name"), property(item, "type"), item.data()});
      else if (name == "Parameter")
        entry.parameters.push_back(ParameterEntry{property(item, "name"), property(item, "type"),
                                                  property(item, "value"), item.data()});
      else if (name == "Description")
        entry.description = item.data();
    }
    nodes.push_back(std::move(entry));
  }
  return nodes;
}

}  // namespace nimbusdale::app

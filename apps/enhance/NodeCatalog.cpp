#include "NodeCatalog.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <stdexcept>

namespace nimbusdale::app {
namespace {

std::string property(xmlNodePtr node, const char* name) {
  std::unique_ptr<xmlChar, void (*)(void*)> value(xmlGetProp(node, BAD_CAST name), xmlFree);
  return value ? reinterpret_cast<const char*>(value.get()) : "";
}

std::string content(xmlNodePtr node) {
  std::unique_ptr<xmlChar, void (*)(void*)> text(xmlNodeGetContent(node), xmlFree);
  return text ? reinterpret_cast<const char*>(text.get()) : "";
}

bool named(xmlNodePtr node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST name);
}

}  // namespace

std::string catalogPathFor(const std::string& toolboxPath) {
  const size_t slash = toolboxPath.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : toolboxPath.substr(0, slash);
  return dir + "/nimbusdale.def";
}

std::vector<NodeEntry> readNodeCatalog(const std::string& toolboxPath) {
  const std::string path = catalogPathFor(toolboxPath);
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
      xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeDoc);
  if (!doc) throw std::runtime_error("cannot read node descriptions " + path);
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  if (!root || !named(root, "Definitions"))
    throw std::runtime_error(path + ": not a <Definitions> document");
  std::vector<NodeEntry> nodes;
  for (xmlNodePtr cls = root->children; cls; cls = cls->next) {
    if (!named(cls, "NodeClass")) continue;
    NodeEntry entry;
    entry.type = property(cls, "name");
    entry.category = property(cls, "category");
    entry.library = property(cls, "source");
    if (entry.type.empty()) throw std::runtime_error(path + ": a NodeClass without a name");
    for (xmlNodePtr item = cls->children; item; item = item->next) {
      if (named(item, "Input") || named(item, "Output"))
        (named(item, "Input") ? entry.inputs : entry.outputs)
            .push_back(PortEntry{property(item, "name"), property(item, "type"), content(item)});
      else if (named(item, "Parameter"))
        entry.parameters.push_back(ParameterEntry{property(item, "name"), property(item, "type"),
                                                  property(item, "value"), content(item)});
      else if (named(item, "Description"))
        entry.description = content(item);
    }
    nodes.push_back(std::move(entry));
  }
  return nodes;
}

}  // namespace nimbusdale::app

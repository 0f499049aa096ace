#include "NodeCatalog.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nimbusdale::app {
namespace {

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

}  // namespace

std::string catalogPathFor(const std::string& toolboxPath) {
  const size_t slash = toolboxPath.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : toolboxPath.substr(0, slash);
  return dir + "/nimbusdale.nodes";
}

std::vector<NodeEntry> readNodeCatalog(const std::string& toolboxPath) {
  const std::string path = catalogPathFor(toolboxPath);
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read node catalog " + path);
  std::vector<NodeEntry> nodes;
  std::string raw;
  for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t bar = line.find('|');
    std::istringstream head(line.substr(0, bar));
    const std::string meaning = bar == std::string::npos ? "" : trim(line.substr(bar + 1));
    std::string kind, name, type, typical;
    head >> kind >> name;
    auto bad = [&](const std::string& why) {
      return std::runtime_error(path + ":" + std::to_string(lineNo) + ": " + why);
    };
    if (name.empty()) throw bad("missing name");
    if (kind == "node") {
      nodes.push_back(NodeEntry{name, {}, {}, {}});
      continue;
    }
    if (nodes.empty()) throw bad("'" + kind + "' before any node");
    if (kind == "input" || kind == "output") {
      if (!(head >> type)) throw bad("port without a frame type");
      (kind == "input" ? nodes.back().inputs : nodes.back().outputs)
          .push_back(PortEntry{name, type, meaning});
    } else if (kind == "parameter") {
      if (!(head >> type >> typical) || (type != "int" && type != "float"))
        throw bad("parameter needs a type (int or float) and a typical value");
      nodes.back().parameters.push_back(ParameterEntry{name, type, typical, meaning});
    } else {
      throw bad("unknown entry '" + kind + "'");
    }
  }
  return nodes;
}

}  // namespace nimbusdale::app

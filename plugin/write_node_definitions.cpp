// Writes the node descriptions a FlowDesigner host reads beside the toolbox libraries (a
// <Definitions> document of <NodeClass> entries, as the host's own libflow.def), from the node
// tables, at build time:
//   write_node_definitions OUTPUT_FILE PLUGIN_FILE_NAME AUDIO_PLUGIN_FILE_NAME
// Each class names the library that registers it as its source. A parameter given by the
// signal (channels, sampling rate, file names) has no default: a network that leaves it out is
// refused instead of running on a guess.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace {

using namespace nimbusdale;

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

template <class Types>
void writeClasses(std::ostream& out, const Types& types, const std::string& library) {
  for (const NodeType* type : types) {
    out << "  <NodeClass name=\"" << type->name << "\" category=\"" << escaped(type->category)
        << "\" source=\"" << escaped(library) << "\">\n";
    for (const PortSpec* p = type->ports; p != type->portsEnd(); ++p)
      out << "    <" << (p->kind == PortKind::Input ? "Input" : "Output") << " name=\"" << p->name
          << "\" type=\"" << escaped(frameTypeName(p->frame)) << "\">" << escaped(describePort(*p))
          << "</" << (p->kind == PortKind::Input ? "Input" : "Output") << ">\n";
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p)
      out << "    <Parameter name=\"" << p->name << "\" type=\"" << hostTypeName(p->type)
          << "\" value=\"" << (p->fromSignal ? "" : escaped(typicalText(*p))) << "\">"
          << escaped(describeParameter(*p)) << "</Parameter>\n";
    out << "    <Description>" << escaped(type->summary) << "</Description>\n";
    out << "  </NodeClass>\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: " << argv[0] << " OUTPUT_FILE PLUGIN_FILE_NAME AUDIO_PLUGIN_FILE_NAME\n";
    return 2;
  }
  std::ostringstream document;
  // The host takes the document's first node as its root: nothing, not even a comment, may
  // come before <Definitions>.
  document << "<?xml version=\"1.0\"?>\n<Definitions>\n";
  writeClasses(document, kNodeTypes, argv[2]);
  writeClasses(document, kAudioNodeTypes, argv[3]);
  document << "</Definitions>\n";

  const std::string path = argv[1];
  // Written beside and renamed into place, so a failed run never leaves half a file.
  const std::string partial = path + ".partial";
  {
    std::ofstream file(partial, std::ios::trunc);
    file << document.str();
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

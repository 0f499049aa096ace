// Writes, from the node tables at build time, the node descriptions a FlowDesigner host reads
// beside the toolbox libraries (a <Definitions> document of <NodeClass> entries, as the host's
// own libflow.def), or with --markdown the node reference docs/nodes.md:
//   write_node_definitions [--markdown] OUTPUT_FILE PLUGIN_NAME AUDIO_PLUGIN_NAME
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

// A table cell: a bar would end the cell, a line break the row.
std::string cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|')
      out += "\\|";
    else
      out += c == '\n' ? ' ' : c;
  }
  return out;
}

std::string code(const std::string& text) {
  return "`" + text + "`";
}

template <class Types>
void writeMarkdownTypes(std::ostream& out, const Types& types, const std::string& library) {
  out << "## Loaded from `" << library << "`\n";
  for (const NodeType* type : types) {
    out << "\n### " << type->name << "\n\n"
        << type->summary << "\n\nCategory `" << type->category << "`.\n\n";
    out << "| Port | Direction | Frame type | Meaning and value requirement |\n"
        << "|---|---|---|---|\n";
    for (const PortSpec* p = type->ports; p != type->portsEnd(); ++p)
      out << "| " << code(p->name) << " | " << (p->kind == PortKind::Input ? "input" : "output")
          << " | " << code(frameTypeName(p->frame)) << " | " << cell(describePort(*p)) << " |\n";
    out << "\n| Parameter | Type | Default | Unit | Meaning | Rule |\n"
        << "|---|---|---|---|---|---|\n";
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p) {
      const std::string typical = typicalText(*p);
      out << "| " << code(p->name) << " | " << hostTypeName(p->type) << " | "
          << (p->fromSignal || typical.empty() ? "none, required" : code(cell(typical))) << " |"
          << (*p->unit ? " " + cell(p->unit) + " |" : " |") << " " << cell(p->meaning) << " | must "
          << cell(p->rule.requirement) << " |\n";
    }
  }
}

void writeMarkdown(std::ostream& out, const std::string& plugin, const std::string& audioPlugin) {
  out << "<!-- Written by nimbusdale_write_node_definitions --markdown from\n"
         "     include/nimbusdale/NodeTypes.h; edit the tables, not this file. -->\n"
         "# Node types\n\n"
         "Every node type of the toolbox, with its ports and parameters as the nodes read and "
         "check them.\n\"Default\" is the value `nimbusdale.def` gives a host for a parameter "
         "a network leaves out,\nand the default of the tool's options and the Python module's "
         "keywords; \"none, required\" marks\na value the recording fixes (channels, sampling "
         "rate, file names), which has no default. A value\nthat breaks its rule is refused with "
         "\"parameter NAME is VALUE; it must RULE\". Spectrum frames have\nbins = LENGTH / 2 + 1 "
         "columns. What the nodes compute is in [algorithms.md](algorithms.md).\n\n";
  writeMarkdownTypes(out, kNodeTypes, plugin);
  out << "\n";
  writeMarkdownTypes(out, kAudioNodeTypes, audioPlugin);
}

}  // namespace

int main(int argc, char** argv) {
  const bool markdown = argc > 1 && std::string(argv[1]) == "--markdown";
  if (markdown) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::cerr << "usage: write_node_definitions [--markdown] OUTPUT_FILE PLUGIN_NAME "
                 "AUDIO_PLUGIN_NAME\n";
    return 2;
  }
  std::ostringstream document;
  if (markdown) {
    writeMarkdown(document, argv[2], argv[3]);
  } else {
    // The host takes the document's first node as its root: nothing, not even a comment, may
    // come before <Definitions>.
    document << "<?xml version=\"1.0\"?>\n<Definitions>\n";
    writeClasses(document, kNodeTypes, argv[2]);
    writeClasses(document, kAudioNodeTypes, argv[3]);
    document << "</Definitions>\n";
  }

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

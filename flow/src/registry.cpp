#include <dlfcn.h>

#include <mutex>

#include "flowdesigner/Registry.h"
#include "flowdesigner/Toolbox.h"

namespace FD {
namespace {

struct RegistryState {
  std::mutex lock;
  std::vector<ModuleVersionRecord> versions;
  std::vector<NodeTypeRecord> types;
  std::vector<RegistrationEvent> events;
};

// Never destroyed: factories registered by toolboxes stay reachable for the life of the process.
RegistryState& state() {
  static RegistryState* s = new RegistryState;
  return *s;
}

NodeTypeRecord* findType(RegistryState& s, const std::string& typeName) {
  for (NodeTypeRecord& t : s.types)
    if (t.name == typeName) return &t;
  return nullptr;
}

}  // namespace

int Object::setModuleVersion(std::string module, std::string build, std::string version) {
  RegistryState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.versions.push_back(ModuleVersionRecord{module, std::move(build), std::move(version)});
  s.events.push_back(RegistrationEvent{RegistrationEvent::ModuleVersion, module});
  return static_cast<int>(s.versions.size()) - 1;
}

int Node::addFactory(const std::string& typeName, _NodeFactory* factory) {
  RegistryState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.events.push_back(RegistrationEvent{RegistrationEvent::Factory, typeName});
  if (NodeTypeRecord* existing = findType(s, typeName)) {
    existing->factory = factory;
  } else {
    s.types.push_back(NodeTypeRecord{typeName, factory, nullptr});
  }
  return static_cast<int>(s.events.size()) - 1;
}

int Node::addXPM(const std::string& typeName, char** xpm) {
  RegistryState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.events.push_back(RegistrationEvent{RegistrationEvent::Icon, typeName});
  if (NodeTypeRecord* existing = findType(s, typeName)) {
    existing->icon = xpm;
  } else {
    s.types.push_back(NodeTypeRecord{typeName, nullptr, xpm});
  }
  return static_cast<int>(s.events.size()) - 1;
}

namespace registry {

std::vector<ModuleVersionRecord> moduleVersions() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().versions;
}

std::vector<NodeTypeRecord> nodeTypes() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().types;
}

std::vector<RegistrationEvent> events() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().events;
}

_NodeFactory* findFactory(const std::string& typeName) {
  std::lock_guard<std::mutex> guard(state().lock);
  NodeTypeRecord* t = findType(state(), typeName);
  return t ? t->factory : nullptr;
}

RCPtr<Node> createNode(const std::string& typeName, const std::string& nodeName,
                       const ParameterSet& params) {
  _NodeFactory* factory = findFactory(typeName);
  if (!factory)
    throw new GeneralException("no node type named " + typeName + " is registered", __FILE__,
                               __LINE__);
  return RCPtr<Node>(factory->Create(nodeName, params));
}

}  // namespace registry

void Toolbox::load(const std::string& path) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw new GeneralException(
        "cannot load toolbox " + path + ": " + (why ? why : "unknown loader error"), __FILE__,
        __LINE__);
  }
}

}  // namespace FD

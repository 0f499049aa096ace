// Node parameters: name -> boxed value.
#ifndef FLOWDESIGNER_PARAMETERSET_H
#define FLOWDESIGNER_PARAMETERSET_H

#include <map>
#include <string>

#include "Object.h"

namespace FD {

class ParameterSet : public std::map<std::string, ObjectRef> {
 public:
  /// The value stored under `name`. A missing name throws a new GeneralException naming it.
  ObjectRef get(std::string name) const;
  bool exist(const std::string& name) const { return find(name) != end(); }
  /// Stores `value` under `name`, replacing any earlier value.
  void add(const std::string& name, ObjectRef value) { (*this)[name] = std::move(value); }
};

}  // namespace FD

#endif

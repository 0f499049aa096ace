#include <complex>

#include "flowdesigner/Matrix.h"
#include "flowdesigner/Object.h"
#include "flowdesigner/ParameterSet.h"
#include "flowdesigner/net_types.h"

namespace FD {

Object::~Object() = default;

std::string Object::className() const {
  return demangle(typeid(*this).name());
}

void Object::printOn(std::ostream& out) const {
  out << "<" << className() << ">";
}

Conversion::Table& Conversion::conv_table() {
  static Table table;
  return table;
}

namespace detail {

Object* convertForView(Object* src, const std::type_info& target) {
  const Conversion::Table& table = Conversion::conv_table();
  auto from = table.find(std::type_index(typeid(*src)));
  if (from != table.end()) {
    auto to = from->second.find(std::type_index(target));
    if (to != from->second.end()) {
      src->ref();
      ObjectRef converted = to->second(ObjectRef(src));
      Object* result = converted.get();
      if (result) {
        result->ref();
        return result;
      }
    }
  }
  throw new GeneralException("cannot view " + src->className() + " as " + demangle(target.name()),
                             __FILE__, __LINE__);
}

}  // namespace detail

ObjectRef ParameterSet::get(std::string name) const {
  auto it = find(name);
  if (it == end()) throw new GeneralException("Missing parameter: " + name, __FILE__, __LINE__);
  return it->second;
}

template class GenericType<int>;
template class GenericType<float>;
template class GenericType<bool>;
template class GenericType<std::string>;
template class Matrix<float>;
template class Matrix<std::complex<float>>;

}  // namespace FD

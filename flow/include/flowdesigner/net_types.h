// Boxed scalar values and typed access to them.
#ifndef FLOWDESIGNER_NET_TYPES_H
#define FLOWDESIGNER_NET_TYPES_H

#include <string>
#include <utility>

#include "Object.h"

namespace FD {

/// A boxed value of type T, as parameters carry them.
template <class T>
class GenericType : public Object {
 public:
  GenericType() : value() {}
  explicit GenericType(T v) : value(std::move(v)) {}
  T& val() { return value; }
  const T& val() const { return value; }
  std::string className() const override { return TypeName<T>::name(); }
  void printOn(std::ostream& out) const override { out << value; }
  /// A new boxed value, ready to put in a ParameterSet.
  static ObjectRef alloc(T v) { return ObjectRef(new GenericType<T>(std::move(v))); }

 private:
  T value;
};

extern template class GenericType<int>;
extern template class GenericType<float>;
extern template class GenericType<bool>;
extern template class GenericType<std::string>;

using Int = GenericType<int>;
using Float = GenericType<float>;
using Bool = GenericType<bool>;
using String = GenericType<std::string>;

/// The value inside `ref`, which must be exactly a GenericType<T>: no conversion between int and
/// float. Anything else throws a new CastException<T> naming the value's type.
template <class T>
T& dereference_cast(const ObjectRef& ref) {
  if (!ref) throw new CastException<T>("nil");
  auto* boxed = dynamic_cast<GenericType<T>*>(ref.get());
  if (!boxed) throw new CastException<T>(ref->className());
  return boxed->val();
}

}  // namespace FD

#endif

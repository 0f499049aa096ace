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

 private:
  T value;
};

extern template class GenericType<int>;
extern template class GenericType<float>;
extern template class GenericType<bool>;
extern template class GenericType<std::string>;

/// A boxed C value, as the host makes them: alloc() gives a new object, not yet a handle.
template <class T>
class NetCType : public GenericType<T> {
 public:
  NetCType() : GenericType<T>(T()) {}
  explicit NetCType(T v) : GenericType<T>(std::move(v)) {}
  static NetCType* alloc(const T& v) { return new NetCType(v); }
};

using Int = NetCType<int>;
using Float = NetCType<float>;
using Bool = NetCType<bool>;

/// The host's string value: a std::string that is also an Object. Read it with
/// object_cast<String>, not dereference_cast.
class String : public std::string, public Object {
 public:
  String() = default;
  explicit String(const std::string& s) : std::string(s) {}
  std::string className() const override { return "string"; }
  void printOn(std::ostream& out) const override { out << static_cast<const std::string&>(*this); }
};

/// The value inside `ref`, which must be exactly a GenericType<T>: no conversion between int and
/// float. Anything else throws a new CastException<T> naming the value's type.
template <class T>
T& dereference_cast(const ObjectRef& ref) {
  if (!ref) throw new CastException<T>("nil");
  auto* boxed = dynamic_cast<GenericType<T>*>(ref.get());
  if (!boxed) throw new CastException<T>(ref->className());
  return boxed->val();
}

/// The object inside `ref` as a T (or a type derived from it); anything else, nil included,
/// throws a new CastException<T> naming the object's type.
template <class T>
T& object_cast(const ObjectRef& ref) {
  if (!ref) throw new CastException<T>("nil");
  T* typed = dynamic_cast<T*>(ref.get());
  if (!typed) throw new CastException<T>(ref->className());
  return *typed;
}

}  // namespace FD

#endif

// Readable type names for host messages ("float", "Matrix<complex<float>>").
#ifndef FLOWDESIGNER_TYPENAME_H
#define FLOWDESIGNER_TYPENAME_H

#include <complex>
#include <string>
#include <typeinfo>

namespace FD {

/// Demangled name of a C++ type, or the raw name when demangling fails.
std::string demangle(const char* mangled);

template <class T>
struct TypeName {
  static std::string name() { return demangle(typeid(T).name()); }
};

template <>
struct TypeName<int> {
  static std::string name() { return "int"; }
};
template <>
struct TypeName<float> {
  static std::string name() { return "float"; }
};
template <>
struct TypeName<double> {
  static std::string name() { return "double"; }
};
template <>
struct TypeName<bool> {
  static std::string name() { return "bool"; }
};
template <>
struct TypeName<std::string> {
  static std::string name() { return "string"; }
};
template <class T>
struct TypeName<std::complex<T>> {
  static std::string name() { return "complex<" + TypeName<T>::name() + ">"; }
};

}  // namespace FD

#endif

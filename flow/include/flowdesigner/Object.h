// Counted objects and the counted handle RCPtr<T>, with the host's conversion table.
#ifndef FLOWDESIGNER_OBJECT_H
#define FLOWDESIGNER_OBJECT_H

#include <atomic>
#include <iostream>
#include <map>
#include <string>
#include <typeindex>
#include <typeinfo>

#include "BaseException.h"

namespace FD {

/// Base of every counted host object. A new object holds one reference, owned by the first
/// RCPtr that takes it; when the count drops to zero, destroy() runs.
class Object {
 public:
  Object() : refCount(1) {}
  Object(const Object&) : refCount(1) {}
  Object& operator=(const Object&) { return *this; }
  virtual ~Object();

  void ref() { refCount.fetch_add(1, std::memory_order_relaxed); }
  void unref() {
    if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }
  int getRefCount() const { return refCount.load(std::memory_order_relaxed); }

  /// Called when the last reference goes; deletes the object.
  virtual void destroy() { delete this; }
  /// Readable run-time type name, as used in cast errors.
  virtual std::string className() const;
  virtual void printOn(std::ostream& out) const;

  /// Records a loaded module's version strings with the host. Returns the record's index.
  /// (FlowDesigner 0.10 has no such registry; toolboxes must load without it.)
  static int setModuleVersion(std::string module, std::string build, std::string version);

 private:
  std::atomic<int> refCount;
};

inline std::ostream& operator<<(std::ostream& out, const Object& obj) {
  obj.printOn(out);
  return out;
}

namespace detail {
// Looks up the conversion table for `src` to `target`; returns a new reference or throws.
Object* convertForView(Object* src, const std::type_info& target);
}  // namespace detail

/// Counted handle. Constructing from a raw pointer adopts the object's initial reference.
/// Constructing from a handle of another type gives a typed view: it accepts T or a type derived
/// from it, otherwise it tries Conversion::conv_table(), otherwise it throws a new
/// FD::GeneralException. A nil handle stays nil.
template <class T>
class RCPtr {
 public:
  using element_type = T;

  RCPtr() = default;
  /// Adopts a new object's initial reference. Explicit, as in the host: a raw pointer never
  /// becomes a handle by accident.
  explicit RCPtr(T* p) : ptr(p) {}
  RCPtr(const RCPtr& other) : ptr(other.ptr) {
    if (ptr) ptr->ref();
  }
  RCPtr(RCPtr&& other) noexcept : ptr(other.ptr) { other.ptr = nullptr; }
  template <class X>
  RCPtr(const RCPtr<X>& other) {  // NOLINT: typed views are implicit in the host API
    X* src = other.get();
    if (!src) return;
    if (T* typed = dynamic_cast<T*>(src)) {
      typed->ref();
      ptr = typed;
      return;
    }
    Object* converted = detail::convertForView(src, typeid(T));
    T* typed = dynamic_cast<T*>(converted);
    if (!typed) {
      std::string from = converted->className();
      converted->unref();
      throw new GeneralException("conversion produced " + from + ", not " + TypeName<T>::name(),
                                 __FILE__, __LINE__);
    }
    ptr = typed;
  }
  ~RCPtr() {
    if (ptr) ptr->unref();
  }

  RCPtr& operator=(const RCPtr& other) {
    RCPtr(other).swap(*this);
    return *this;
  }
  RCPtr& operator=(RCPtr&& other) noexcept {
    RCPtr(std::move(other)).swap(*this);
    return *this;
  }
  RCPtr& operator=(T* p) {
    RCPtr(p).swap(*this);
    return *this;
  }

  void swap(RCPtr& other) noexcept {
    T* tmp = ptr;
    ptr = other.ptr;
    other.ptr = tmp;
  }

  T* get() const { return ptr; }
  T& operator*() const { return *ptr; }
  T* operator->() const { return ptr; }
  bool isNil() const { return ptr == nullptr; }
  explicit operator bool() const { return ptr != nullptr; }

 private:
  T* ptr = nullptr;
};

using ObjectRef = RCPtr<Object>;

/// The host's table of conversions between object types, keyed by source then target type.
class Conversion {
 public:
  using conv_func = ObjectRef (*)(ObjectRef);
  using Table = std::map<std::type_index, std::map<std::type_index, conv_func>>;
  static Table& conv_table();
  /// Registers `func` to convert From objects into To objects. Returns 0.
  template <class From, class To>
  static int addConvFunction(conv_func func) {
    conv_table()[std::type_index(typeid(From))][std::type_index(typeid(To))] = func;
    return 0;
  }
};

}  // namespace FD

#endif

// Shared pieces of the Python module: NumPy argument checks and host frames over NumPy memory.
#ifndef NIMBUSDALE_PYTHON_COMMON_H
#define NIMBUSDALE_PYTHON_COMMON_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale::python {

namespace py = pybind11;
using cfloat = std::complex<float>;

template <class T>
const char* dtypeName();
template <>
inline const char* dtypeName<float>() {
  return "float32";
}
template <>
inline const char* dtypeName<cfloat>() {
  return "complex64";
}

/// `obj` as a C-contiguous array of T with `ndim` dimensions. The dtype must be T exactly
/// (TypeError otherwise); a contiguous array is used as it is, another layout is copied.
template <class T>
py::array_t<T, py::array::c_style> requireArray(const py::handle& obj, const char* what, int ndim,
                                                const char* shapeHint) {
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(std::string(what) + " must be a NumPy array of " + dtypeName<T>() +
                         ", not " + std::string(py::str(py::type::of(obj).attr("__name__"))));
  py::array a = py::reinterpret_borrow<py::array>(obj);
  if (!py::isinstance<py::array_t<T>>(a))
    throw py::type_error(std::string(what) + " must have dtype " + dtypeName<T>() + ", not " +
                         std::string(py::str(a.dtype())) + " (convert with .astype(numpy." +
                         dtypeName<T>() + "))");
  if (a.ndim() != ndim)
    throw py::value_error(std::string(what) + " must be " + std::to_string(ndim) + "-D " +
                          shapeHint + ", not " + std::to_string(a.ndim()) + "-D");
  return py::array_t<T, py::array::c_style>::ensure(a);
}

/// A path argument as the file system takes it, accepted as open() accepts one: str, bytes or
/// os.PathLike (str encoded as os.fsencode does). An embedded NUL raises ValueError, as the os
/// functions raise it, instead of cutting the path short.
inline std::string filePath(const py::object& path, const char* what) {
  const py::module_ os = py::module_::import("os");
  const std::string encoded = py::bytes(os.attr("fsencode")(os.attr("fspath")(path)));
  if (encoded.find('\0') != std::string::npos)
    throw py::value_error(std::string("embedded null byte in the ") + what + " path");
  return encoded;
}

/// Runs `fn` with the GIL released and `lock` held: how every bound object serialises its own
/// calls. The lock is only ever taken without the GIL, so a thread waiting for it never blocks
/// another that needs the GIL to finish. `fn` must not touch Python objects.
template <class F>
auto exclusively(std::mutex& lock, F&& fn) -> decltype(fn()) {
  py::gil_scoped_release release;
  std::lock_guard<std::mutex> guard(lock);
  return fn();
}

/// A float32 array of the given shape, filled by `fill(data)` without the GIL (under `lock`).
template <class T, class F>
py::array_t<T> filledArray(std::vector<py::ssize_t> shape, std::mutex& lock, F&& fill) {
  py::array_t<T> a(shape);
  T* data = a.mutable_data();
  exclusively(lock, [&] { fill(data); });
  return a;
}

/// The Python keyword of a node parameter (its table's, else its lower-case name), kept for the
/// life of the process as pybind11's argument names must be.
inline const char* keywordOf(const ParameterSpec& p) {
  static std::map<const ParameterSpec*, std::string> keywords;  // only touched with the GIL
  auto it = keywords.find(&p);
  if (it == keywords.end()) it = keywords.emplace(&p, pythonKeyword(p)).first;
  return it->second.c_str();
}

void init_robust_pca(py::module_& m);
void init_nodes(py::module_& m);
void init_enhance(py::module_& m);
void init_stream(py::module_& m);
/// enhance_file, the batch pieces and nimbusdale.distributed (with the tool's file library).
void init_batch(py::module_& m);

}  // namespace nimbusdale::python

#endif

// Shared pieces of the Python module: NumPy argument checks and host frames over NumPy memory.
#ifndef NIMBUSDALE_PYTHON_COMMON_H
#define NIMBUSDALE_PYTHON_COMMON_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <string>

#include <flowdesigner/Matrix.h>

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

/// Host frame over rows x cols elements of a NumPy array, which it keeps alive.
template <class T>
class ArrayFrame : public FD::Matrix<T> {
 public:
  ArrayFrame(int rows, int cols, T* data, const py::handle& owner)
      : FD::Matrix<T>(rows, cols, data), owner(owner.ptr()) {
    Py_INCREF(this->owner);
  }
  // The host may drop the frame while the GIL is released.
  void destroy() override {
    PyObject* o = owner;
    delete this;
    py::gil_scoped_acquire gil;
    Py_DECREF(o);
  }

 private:
  PyObject* owner;
};

/// NumPy view of a host frame's data, keeping the frame alive.
template <class T>
py::array frameArray(const FD::ObjectRef& frame, std::vector<py::ssize_t> shape) {
  FD::RCPtr<FD::Matrix<T>> m = frame;
  auto* keep = new FD::ObjectRef(frame);
  py::capsule base(keep, [](void* p) { delete static_cast<FD::ObjectRef*>(p); });
  return py::array_t<T>(shape, (*m)[0], base);
}

void init_robust_pca(py::module_& m);
void init_nodes(py::module_& m);
void init_enhance(py::module_& m);

}  // namespace nimbusdale::python

#endif

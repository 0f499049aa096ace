// Row-major dense matrix frame.
#ifndef FLOWDESIGNER_MATRIX_H
#define FLOWDESIGNER_MATRIX_H

#include <complex>
#include <string>

#include "Object.h"

namespace FD {

/// A rows x cols frame stored as one contiguous row-major array: element (r, c) is at
/// r * cols + c. A new complex matrix starts zero-filled; a new float matrix starts unset.
template <class T>
class Matrix : public Object {
 public:
  Matrix() = default;
  /// Throws a new GeneralException for a negative dimension.
  Matrix(int rows, int cols) { allocate(rows, cols); }
  Matrix(const Matrix& other) : Object(other) {
    allocate(other.rows, other.cols);
    for (long i = 0; i < size(); ++i) data[i] = other.data[i];
  }
  Matrix& operator=(const Matrix& other) {
    if (this != &other) {
      Matrix tmp(other);
      swap(tmp);
    }
    return *this;
  }
  ~Matrix() override {
    if (owned) delete[] data;
  }

  int nrows() const { return rows; }
  int ncols() const { return cols; }
  long size() const { return static_cast<long>(rows) * cols; }
  T& operator()(int r, int c) { return data[static_cast<long>(r) * cols + c]; }
  const T& operator()(int r, int c) const { return data[static_cast<long>(r) * cols + c]; }
  /// Pointer to the first element of row r; row 0 is the start of the array.
  T* operator[](int r) { return data + static_cast<long>(r) * cols; }
  const T* operator[](int r) const { return data + static_cast<long>(r) * cols; }
  /// Reallocates to the new shape; the contents are not kept.
  void resize(int newRows, int newCols) {
    Matrix tmp(newRows, newCols);
    swap(tmp);
  }

  std::string className() const override { return "Matrix<" + TypeName<T>::name() + ">"; }
  void printOn(std::ostream& out) const override;

 protected:
  /// A frame over rows x cols elements stored elsewhere; the derived class keeps that storage
  /// alive for the frame's life. Host programs use it to hand their own arrays to nodes.
  Matrix(int rows, int cols, T* borrowed) : rows(rows), cols(cols), data(borrowed), owned(false) {}

 private:
  void allocate(int r, int c);
  void swap(Matrix& other) noexcept {
    std::swap(rows, other.rows);
    std::swap(cols, other.cols);
    std::swap(data, other.data);
    std::swap(owned, other.owned);
  }

  int rows = 0;
  int cols = 0;
  T* data = nullptr;
  bool owned = true;
};

template <class T>
void Matrix<T>::allocate(int r, int c) {
  if (r < 0 || c < 0)
    throw new GeneralException(
        "Matrix: negative shape " + std::to_string(r) + " x " + std::to_string(c), __FILE__,
        __LINE__);
  rows = r;
  cols = c;
  data = new T[static_cast<size_t>(r) * static_cast<size_t>(c)];
}

template <class T>
void Matrix<T>::printOn(std::ostream& out) const {
  out << "<Matrix<" << TypeName<T>::name() << "> " << rows << " " << cols;
  for (int r = 0; r < rows; ++r) {
    out << "\n";
    for (int c = 0; c < cols; ++c) out << " " << (*this)(r, c);
  }
  out << " >";
}

extern template class Matrix<float>;
extern template class Matrix<std::complex<float>>;

}  // namespace FD

#endif

// Row-major dense matrix frame.
#ifndef FLOWDESIGNER_MATRIX_H
#define FLOWDESIGNER_MATRIX_H

#include <complex>
#include <string>

#include "Object.h"

namespace FD {

/// A rows x cols frame stored as one contiguous row-major array: element (r, c) is at
/// r * cols + c. A new complex matrix starts zero-filled; a new float matrix starts unset.
/// Shapes are size_t, as in the host.
template <class T>
class Matrix : public Object {
 public:
  Matrix() = default;
  Matrix(size_t rows, size_t cols) { allocate(rows, cols); }
  Matrix(const Matrix& other) : Object(other) {
    allocate(other.rows, other.cols);
    for (size_t i = 0; i < size(); ++i) data[i] = other.data[i];
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

  size_t nrows() const { return rows; }
  size_t ncols() const { return cols; }
  size_t size() const { return rows * cols; }
  T& operator()(size_t r, size_t c) { return data[r * cols + c]; }
  const T& operator()(size_t r, size_t c) const { return data[r * cols + c]; }
  /// Pointer to the first element of row r; row 0 is the start of the array.
  T* operator[](size_t r) { return data + r * cols; }
  const T* operator[](size_t r) const { return data + r * cols; }
  /// Reallocates to the new shape; the contents are not kept.
  void resize(size_t newRows, size_t newCols) {
    Matrix tmp(newRows, newCols);
    swap(tmp);
  }

  std::string className() const override { return "Matrix<" + TypeName<T>::name() + ">"; }
  void printOn(std::ostream& out) const override;

 protected:
  /// A frame over rows x cols elements stored elsewhere; the derived class keeps that storage
  /// alive for the frame's life. Host programs use it to hand their own arrays to nodes.
  Matrix(size_t rows, size_t cols, T* borrowed)
      : rows(rows), cols(cols), data(borrowed), owned(false) {}

 private:
  void allocate(size_t r, size_t c);
  void swap(Matrix& other) noexcept {
    std::swap(rows, other.rows);
    std::swap(cols, other.cols);
    std::swap(data, other.data);
    std::swap(owned, other.owned);
  }

  size_t rows = 0;
  size_t cols = 0;
  T* data = nullptr;
  bool owned = true;
};

template <class T>
void Matrix<T>::allocate(size_t r, size_t c) {
  rows = r;
  cols = c;
  data = new T[r * c];
}

template <class T>
void Matrix<T>::printOn(std::ostream& out) const {
  out << "<Matrix<" << TypeName<T>::name() << "> " << rows << " " << cols;
  for (size_t r = 0; r < rows; ++r) {
    out << "\n";
    for (size_t c = 0; c < cols; ++c) out << " " << (*this)(r, c);
  }
  out << " >";
}

extern template class Matrix<float>;
extern template class Matrix<std::complex<float>>;

}  // namespace FD

#endif

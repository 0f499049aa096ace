// Host exception hierarchy. Every error crosses the host boundary as a pointer to a new object
// derived from FD::BaseException; whoever catches it deletes it.
#ifndef FLOWDESIGNER_BASEEXCEPTION_H
#define FLOWDESIGNER_BASEEXCEPTION_H

#include <iostream>
#include <string>

#include "TypeName.h"

namespace FD {

class Node;
class Buffer;

/// Base of every exception the host and its toolboxes throw (as `new`-ed pointers).
class BaseException {
 public:
  virtual ~BaseException();
  /// The human-readable message, without file or line.
  virtual std::string message() const = 0;
  /// Writes the message and an end of line to `out`.
  virtual void print(std::ostream& out = std::cerr);
  /// Kept for source compatibility with hosts that snapshot exceptions; does nothing here.
  virtual void freeze() {}
};

/// A plain error with the source location that raised it.
class GeneralException : public BaseException {
 public:
  GeneralException(std::string message, std::string file = "", int line = 0);
  std::string message() const override { return msg; }
  void print(std::ostream& out = std::cerr) override;
  const std::string& file() const { return srcFile; }
  int line() const { return srcLine; }

 private:
  std::string msg;
  std::string srcFile;
  int srcLine;
};

/// An error raised by a node, remembering which node raised it (the node may be null).
class NodeException : public BaseException {
 public:
  NodeException(Node* node, std::string message, const char* file, int line);
  std::string message() const override;
  const std::string& nodeName() const { return name; }
  const std::string& file() const { return srcFile; }
  int line() const { return srcLine; }

 private:
  std::string name;
  std::string msg;
  std::string srcFile;
  int srcLine;
};

/// A frame count that a buffer cannot hold.
class BufferException : public BaseException {
 public:
  BufferException(const Buffer* buffer, std::string message, int element);
  std::string message() const override { return msg; }
  void print(std::ostream& out = std::cerr) override;
  int element() const { return elem; }
  const Buffer* source() const { return buffer; }

 private:
  const Buffer* buffer;
  std::string msg;
  int elem;
};

/// A typed read of a boxed value whose run-time type is not T.
template <class T>
class CastException : public BaseException {
 public:
  explicit CastException(std::string valueType) : type(std::move(valueType)) {}
  std::string message() const override {
    return "Cast error: Trying to cast ObjectRef (" + type + ") into " + TypeName<T>::name();
  }
  const std::string& valueType() const { return type; }

 private:
  std::string type;
};

extern template class CastException<int>;
extern template class CastException<float>;
extern template class CastException<bool>;
extern template class CastException<std::string>;

}  // namespace FD

#endif

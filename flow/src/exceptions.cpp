#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "flowdesigner/BaseException.h"
#include "flowdesigner/Node.h"

namespace FD {

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> readable(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && readable ? std::string(readable.get()) : std::string(mangled);
}

BaseException::~BaseException() = default;

void BaseException::print(std::ostream& out) {
  out << message() << std::endl;
}

GeneralException::GeneralException(std::string message, std::string file, int line)
    : msg(std::move(message)), srcFile(std::move(file)), srcLine(line) {}

void GeneralException::print(std::ostream& out) {
  if (!srcFile.empty()) out << srcFile << ", line " << srcLine << ": ";
  out << msg << std::endl;
}

NodeException::NodeException(Node* node, std::string message, const char* file, int line)
    : name(node ? node->getName() : std::string("<unknown node>")),
      msg(std::move(message)),
      srcFile(file ? file : ""),
      srcLine(line) {}

// Defined here so the class's type information lives in this library alone, and catching it by
// type works across toolboxes and host programs built with hidden visibility.
std::string NodeException::message() const {
  return msg;
}

BufferException::BufferException(const Buffer* buf, std::string message, int element)
    : buffer(buf), msg(std::move(message)), elem(element) {}

void BufferException::print(std::ostream& out) {
  out << msg << " (element " << elem << ")" << std::endl;
}

template class CastException<int>;
template class CastException<float>;
template class CastException<bool>;
template class CastException<std::string>;

}  // namespace FD

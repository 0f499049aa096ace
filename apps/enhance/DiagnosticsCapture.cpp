#include "DiagnosticsCapture.h"

#include <iostream>

namespace nimbusdale::app {

DiagnosticsCapture::DiagnosticsCapture(std::ostream* copy)
    : copy(copy), saved(std::cout.rdbuf(this)) {}

DiagnosticsCapture::~DiagnosticsCapture() {
  std::cout.flush();
  std::cout.rdbuf(saved);
  if (!line.empty()) {
    ++lineCount;
    if (copy) *copy << line << '\n';
  }
  if (copy) copy->flush();
}

void DiagnosticsCapture::put(char ch) {
  if (ch != '\n') {
    line.push_back(ch);
    return;
  }
  ++lineCount;
  if (line == "not converged") ++notConvergedCount;
  if (copy) *copy << line << '\n';
  line.clear();
}

int DiagnosticsCapture::overflow(int ch) {
  if (ch == traits_type::eof()) return traits_type::not_eof(ch);
  std::lock_guard<std::mutex> guard(lock);
  put(static_cast<char>(ch));
  return ch;
}

std::streamsize DiagnosticsCapture::xsputn(const char* s, std::streamsize n) {
  std::lock_guard<std::mutex> guard(lock);
  for (std::streamsize i = 0; i < n; ++i) put(s[i]);
  return n;
}

}  // namespace nimbusdale::app

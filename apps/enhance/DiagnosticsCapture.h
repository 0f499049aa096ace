// Redirects std::cout while the nodes run, counting their lines and optionally keeping them.
#ifndef NIMBUSDALE_APPS_DIAGNOSTICSCAPTURE_H
#define NIMBUSDALE_APPS_DIAGNOSTICSCAPTURE_H

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace nimbusdale::app {

class DiagnosticsCapture : private std::streambuf {
 public:
  /// Starts capturing std::cout; lines are copied to `copy` when it is not null.
  explicit DiagnosticsCapture(std::ostream* copy);
  /// Restores std::cout.
  ~DiagnosticsCapture() override;
  DiagnosticsCapture(const DiagnosticsCapture&) = delete;
  DiagnosticsCapture& operator=(const DiagnosticsCapture&) = delete;

  long lines() const { return lineCount; }
  long notConverged() const { return notConvergedCount; }

 private:
  int overflow(int ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  void put(char ch);

  std::ostream* copy;
  std::streambuf* saved;
  std::mutex lock;
  std::string line;
  long lineCount = 0;
  long notConvergedCount = 0;
};

}  // namespace nimbusdale::app

#endif

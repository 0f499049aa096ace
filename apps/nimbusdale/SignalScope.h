// How `enhance`, `batch` and `live` take SIGINT, SIGTERM and the like while they run.
#ifndef NIMBUSDALE_APPS_SIGNALSCOPE_H
#define NIMBUSDALE_APPS_SIGNALSCOPE_H

#include <semaphore.h>

#include <initializer_list>
#include <vector>

namespace nimbusdale::app {

/// A POSIX semaphore. post() is async-signal-safe and never blocks, so signal handlers and a
/// JACK process callback may call it; one thread waits.
class Semaphore {
 public:
  Semaphore();
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void post();
  void wait();
  /// Waits at most `seconds`, or until a post() or a signal handler interrupts the wait.
  void waitFor(double seconds);

 private:
  sem_t sem;
};

/// While it exists, the given signals are taken by a handler that counts them, keeps which they
/// were and posts `wake`; when it goes, the handlers it replaced are back. The signal that makes
/// the count reach `passOn` (0: none does) is handed on to the handler the scope replaced, as if
/// the scope were gone, such as the output files' cleanup, which removes their temporary files
/// and lets the process die of that signal. One scope exists at a time.
///
/// The output files' handlers (see OutputFile.h) are installed first, so that they are the ones
/// replaced and handed on to: installed later, they would replace the scope's own.
class SignalScope {
 public:
  SignalScope(std::initializer_list<int> signals, int passOn = 0, Semaphore* wake = nullptr);
  ~SignalScope();
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

  /// Signals taken so far.
  int count() const;
  /// The `i`th signal taken, from 0; 0 for i >= count(). Only the last 16 are kept.
  int signal(int i) const;

 private:
  std::vector<int> signals;
};

}  // namespace nimbusdale::app

#endif

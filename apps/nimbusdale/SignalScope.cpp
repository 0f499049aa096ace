#include "SignalScope.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "OutputFile.h"

namespace nimbusdale::app {

Semaphore::Semaphore() {
  if (sem_init(&sem, 0, 0) != 0)
    throw std::system_error(errno, std::generic_category(), "sem_init");
}

Semaphore::~Semaphore() {
  sem_destroy(&sem);
}

void Semaphore::post() {
  sem_post(&sem);
}

void Semaphore::wait() {
  while (sem_wait(&sem) != 0 && errno == EINTR) {
  }
}

void Semaphore::waitFor(double seconds) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const long ns = until.tv_nsec + static_cast<long>(seconds * 1e9);
  until.tv_sec += ns / 1000000000L;
  until.tv_nsec = ns % 1000000000L;
  sem_clockwait(&sem, CLOCK_MONOTONIC, &until);
}

namespace {

// The scope's state, for the handler: plain atomics and tables written before the handlers go
// in, so the handler reads them without locks or allocation.
constexpr int kKept = 16;
std::atomic<bool> active{false};
std::atomic<int> received{0}, published{0};
std::atomic<int> taken[kKept];
std::atomic<Semaphore*> wakeUp{nullptr};
int passOnAt = 0;
struct sigaction replaced[NSIG];

// Only atomics, sigaction(), raise() and sem_post() here: all async-signal-safe.
extern "C" void takeSignal(int sig) {
  const int n = received.fetch_add(1) + 1;
  taken[(n - 1) % kKept].store(sig);
  published.fetch_add(1);
  // Blocked until this handler returns, then delivered to the handler put back.
  if (passOnAt > 0 && n >= passOnAt) {
    sigaction(sig, &replaced[sig], nullptr);
    raise(sig);
  }
  if (Semaphore* wake = wakeUp.load()) wake->post();
}

}  // namespace

SignalScope::SignalScope(std::initializer_list<int> signals, int passOn, Semaphore* wake)
    : signals(signals) {
  if (active.exchange(true)) throw std::logic_error("a signal scope exists already");
  installSignalCleanup();
  received.store(0);
  published.store(0);
  for (auto& sig : taken) sig.store(0);
  passOnAt = passOn;
  wakeUp.store(wake);
  struct sigaction action {};
  action.sa_handler = takeSignal;
  // Calls interrupted in other threads go on rather than fail with EINTR.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int sig : signals) sigaddset(&action.sa_mask, sig);
  for (int sig : signals) sigaction(sig, &action, &replaced[sig]);
}

SignalScope::~SignalScope() {
  for (int sig : signals) sigaction(sig, &replaced[sig], nullptr);
  wakeUp.store(nullptr);
  active.store(false);
}

int SignalScope::count() const {
  return published.load();
}

int SignalScope::signal(int i) const {
  return i >= 0 && i < count() ? taken[i % kKept].load() : 0;
}

}  // namespace nimbusdale::app

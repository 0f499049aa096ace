#include "ChannelPool.h"

#include <algorithm>
#include <chrono>

namespace nimbusdale {
namespace {

// How long an idle helper keeps checking for the next frame before it sleeps: frames come every
// few tens of microseconds in a busy stream, and waking a sleeper costs about as much.
constexpr std::chrono::microseconds kSpin{50};

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace

int TeamChooser::next(int largest) {
  if (largest <= 1) return 1;
  if (largest != most) {  // a new team size: try again
    most = largest;
    trying = true;
    frame = 0;
    seconds[0] = seconds[1] = 0.0;
  }
  if (trying) return frame % 2 == 0 ? 1 : most;
  return chosen;
}

void TeamChooser::record(int team, double elapsed) {
  if (most <= 1) return;
  ++frame;
  if (trying) {
    seconds[team == 1 ? 0 : 1] += elapsed;
    if (frame < kTrialFrames) return;
    chosen = seconds[1] < seconds[0] ? most : 1;
    trying = false;
  } else if (frame < kKeptFrames) {
    return;
  } else {
    trying = true;
  }
  frame = 0;
  seconds[0] = seconds[1] = 0.0;
}

ChannelPool::~ChannelPool() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
  }
  wake.notify_all();
  for (std::thread& helper : helpers) helper.join();
}

int ChannelPool::take(uint32_t frameNumber, int count) {
  uint64_t t = ticket.load(std::memory_order_acquire);
  for (;;) {
    if (static_cast<uint32_t>(t >> 32) != frameNumber) return -1;
    const int next = static_cast<int>(static_cast<uint32_t>(t));
    if (next >= count) return -1;
    if (ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
      return next;
  }
}

void ChannelPool::runChannel(const std::function<void(int)>& work, int channel) {
  try {
    work(channel);
  } catch (...) {
    std::lock_guard<std::mutex> guard(lock);
    if (!failure) failure = std::current_exception();
  }
  finished.fetch_add(1, std::memory_order_release);
}

void ChannelPool::run(int count, int threads, const std::function<void(int)>& work) {
  start(count, threads, work);
  finish();
}

void ChannelPool::start(int count, int threads, std::function<void(int)> work) {
  pending = std::move(work);
  pendingCount = count;
  const int wanted = std::min(threads, count) - 1;
  helped = wanted > 0;
  if (!helped) return;
  while (static_cast<int>(helpers.size()) < wanted) {
    const int index = static_cast<int>(helpers.size());
    helpers.emplace_back([this, index] { helperLoop(index); });
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    pendingFrame = ++frame;
    channels = count;
    participants = wanted;
    job = &pending;
    failure = nullptr;
    finished.store(0, std::memory_order_relaxed);
    ticket.store(static_cast<uint64_t>(pendingFrame) << 32, std::memory_order_release);
  }
  wake.notify_all();
}

void ChannelPool::finish() {
  if (!pending) return;
  const int count = pendingCount;
  if (!helped) {
    const std::function<void(int)> work = std::move(pending);
    pending = nullptr;
    for (int c = 0; c < count; ++c) work(c);
    return;
  }
  for (int c; (c = take(pendingFrame, count)) >= 0;) runChannel(pending, c);
  // Only channels that a helper has taken are left; wait for those alone.
  for (int spins = 0; finished.load(std::memory_order_acquire) < count; ++spins) {
    if (spins < 1000)
      relax();
    else
      std::this_thread::yield();
  }

  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> guard(lock);
    job = nullptr;
    std::swap(error, failure);
  }
  // A helper that woke too late for this work holds no channel of it, so it is safe to drop.
  pending = nullptr;
  if (error) std::rethrow_exception(error);
}

void ChannelPool::helperLoop(int index) {
  uint32_t seen = 0;
  for (;;) {
    // A short spin first: the next frame of a busy stream usually comes before a sleep would pay.
    const auto until = std::chrono::steady_clock::now() + kSpin;
    while (static_cast<uint32_t>(ticket.load(std::memory_order_acquire) >> 32) == seen &&
           std::chrono::steady_clock::now() < until)
      for (int i = 0; i < 64; ++i) relax();

    uint32_t frameNumber;
    int count;
    const std::function<void(int)>* work;
    {
      std::unique_lock<std::mutex> guard(lock);
      wake.wait(guard, [&] { return stopping || frame != seen; });
      if (stopping) return;
      seen = frame;
      if (!job || index >= participants) continue;
      frameNumber = frame;
      count = channels;
      work = job;
    }
    // The frame may be over already: then take() finds no channel and `work` is never called.
    for (int c; (c = take(frameNumber, count)) >= 0;) runChannel(*work, c);
  }
}

}  // namespace nimbusdale

// Runs a frame's channels on the calling thread and on helper threads that sleep when idle. The
// caller takes channels too and waits only for channels a helper has actually started, so a
// helper that the system has not scheduled never holds a frame up: on a loaded machine more
// threads are never slower than one.
#ifndef NIMBUSDALE_CHANNEL_POOL_H
#define NIMBUSDALE_CHANNEL_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nimbusdale {

class ChannelPool {
 public:
  ChannelPool() = default;
  ~ChannelPool();
  ChannelPool(const ChannelPool&) = delete;
  ChannelPool& operator=(const ChannelPool&) = delete;

  /// Calls work(c) once for every c in [0, count), on this thread and up to threads - 1 helpers
  /// (started on first need and kept), and returns when every call has returned. Which thread
  /// runs which channel varies; each call must touch only its channel's data. The first
  /// exception a call throws is rethrown here once all calls have ended.
  void run(int count, int threads, const std::function<void(int)>& work);

  /// run() in two halves: start() hands the channels to the helpers and returns at once, so the
  /// caller can do other work meanwhile; finish() runs on this thread the channels no helper has
  /// taken, waits for the others and rethrows the first exception. With fewer than two threads
  /// every channel runs in finish(). finish() without a start() does nothing.
  void start(int count, int threads, std::function<void(int)> work);
  void finish();
  /// Whether every channel of the work start() handed out has returned, so that finish() will
  /// not wait: false while some channel is left or running, true with no work pending.
  bool done() const {
    return !pending || (helped && finished.load(std::memory_order_acquire) >= pendingCount);
  }

 private:
  void helperLoop(int index);
  // Takes the next channel of frame `frameNumber`, or -1 once that frame has no channel left.
  int take(uint32_t frameNumber, int count);
  // work(channel), keeping its first exception for run().
  void runChannel(const std::function<void(int)>& work, int channel);

  std::mutex lock;
  std::condition_variable wake;
  std::vector<std::thread> helpers;
  bool stopping = false;
  // Frame number (high 32 bits) and next channel (low 32 bits): a helper that wakes late for a
  // frame already finished fails to take a channel of the next one.
  std::atomic<uint64_t> ticket{0};
  std::atomic<int> finished{0};
  uint32_t frame = 0;  // under `lock`, with the three below
  int channels = 0;
  int participants = 0;  // helpers 0 .. participants - 1 take part in the current frame
  const std::function<void(int)>* job = nullptr;
  std::exception_ptr failure;
  // The work between start() and finish(), kept by the caller's thread.
  std::function<void(int)> pending;
  int pendingCount = 0;
  uint32_t pendingFrame = 0;
  bool helped = false;  // whether helpers take part in the pending work
};

/// The team size of a default run, chosen by timing it: a trial alternates one thread and the
/// largest team over a few frames, the faster is kept for a while, then tried again. A frame's
/// work may be too small to share (two cores, few channels), or the machine too busy, for more
/// threads to pay; the output is the same either way.
class TeamChooser {
 public:
  /// The team for the next frame, from 1 to `most`.
  int next(int most);
  /// The frame run with `team` (as next() gave it) took `seconds`.
  void record(int team, double seconds);

  static constexpr int kTrialFrames = 16;  ///< frames of a trial, half on each team
  static constexpr int kKeptFrames = 512;  ///< frames on the chosen team before the next trial

 private:
  int most = 1;
  int chosen = 1;
  int frame = 0;  // within the current trial, then within the kept stretch
  bool trying = true;
  double seconds[2] = {0.0, 0.0};  // of the trial's frames on one thread and on `most`
};

}  // namespace nimbusdale

#endif

#include "Live.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <jack/thread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ProgressLine.h"
#include "SignalScope.h"
#include "StreamEnhancer.h"

namespace nimbusdale::app {
namespace {

constexpr double kMaxLiveSeconds = 1e7;
constexpr double kMaxBufferSeconds = 600.0;
// Samples per channel the processing thread takes from the input ring per push: a backlog is
// worked off in pieces, so a stop is seen between them.
constexpr size_t kChunk = 1024;

// A single-producer single-consumer ring of float samples.
class Ring {
 public:
  explicit Ring(size_t samples) : rb(jack_ringbuffer_create((samples + 1) * sizeof(float))) {
    if (!rb) throw std::bad_alloc();
    jack_ringbuffer_mlock(rb);  // best effort: a ring that stays paged out only costs time
  }
  ~Ring() { jack_ringbuffer_free(rb); }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  size_t readable() const { return jack_ringbuffer_read_space(rb) / sizeof(float); }
  size_t writable() const { return jack_ringbuffer_write_space(rb) / sizeof(float); }
  void write(const float* x, size_t n) {
    jack_ringbuffer_write(rb, reinterpret_cast<const char*>(x), n * sizeof(float));
  }
  void read(float* x, size_t n) {
    jack_ringbuffer_read(rb, reinterpret_cast<char*>(x), n * sizeof(float));
  }
  void skip(size_t n) { jack_ringbuffer_read_advance(rb, n * sizeof(float)); }

 private:
  jack_ringbuffer_t* rb;
};

// JACK's own messages: none while opening (a refused server is reported once, by us), then
// prefixed.
extern "C" void silentJackMessage(const char*) {}
extern "C" void jackMessage(const char* message) {
  std::fprintf(stderr, "nimbusdale: JACK: %s\n", message);
}

std::string describeServer(const std::string& name) {
  return name.empty() ? "the default JACK server" : "JACK server '" + name + "'";
}

std::string openFailure(jack_status_t status) {
  if (status & JackServerFailed)
    return "it is not running or cannot be reached (nimbusdale never starts one)";
  if (status & JackVersionError) return "its protocol version differs from this client library's";
  if (status & JackShmFailure) return "its shared memory cannot be mapped";
  if (status & JackNameNotUnique) return "the client name is taken";
  if (status & JackInvalidOption) return "it refused the client's options";
  return "it refused the client (JACK status " + std::to_string(static_cast<unsigned>(status)) +
         ")";
}

// One live run: the JACK client, its rings and the processing thread. The process callback only
// moves samples between ports and rings and posts a semaphore; the processing thread runs the
// chain. Counters shared between them are atomics.
class LiveSession {
 public:
  explicit LiveSession(const LiveCommand& cmd) : cmd(cmd) {}
  ~LiveSession() { close(); }
  int run();

 private:
  // Process callback side.
  static int onProcess(jack_nframes_t n, void* self) {
    static_cast<LiveSession*>(self)->process(n);
    return 0;
  }
  static int onXrun(void* self) {
    static_cast<LiveSession*>(self)->xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  static int onBufferSize(jack_nframes_t n, void* self) {
    static_cast<LiveSession*>(self)->newPeriod(n);
    return 0;
  }
  static void onLatency(jack_latency_callback_mode_t mode, void* self) {
    static_cast<LiveSession*>(self)->reportLatency(mode);
  }
  static void onShutdown(jack_status_t, const char* reason, void* self);
  void process(jack_nframes_t n);
  void feedInput(jack_nframes_t n);
  void playOutput(float* out, size_t n);
  void newPeriod(jack_nframes_t n);
  void reportLatency(jack_latency_callback_mode_t mode);

  // Processing thread side.
  void processLoop();
  void runChain();
  void deliver(const std::vector<float>& out);

  // Main thread side.
  void open();
  void connect(const std::string& from, const std::string& to, const std::string& userPort,
               bool userIsSource);
  void stop();
  void close();
  void drawStatus(ProgressLine& line, bool waiting);
  void printSummary() const;

  const LiveCommand& cmd;
  jack_client_t* client = nullptr;
  std::string clientName;
  std::vector<jack_port_t*> inPorts;
  jack_port_t* outPort = nullptr;
  int rate = 0;
  long period = 0;  // at start
  long limit = 0;   // stream samples to take; 0: no limit
  std::unique_ptr<StreamEnhancer> chain;
  std::vector<std::unique_ptr<Ring>> inRings;
  std::unique_ptr<Ring> outRing;
  Semaphore dataReady, wake;
  std::thread worker;
  bool active = false;

  // Owned by the process callback.
  bool started = false, endNoticed = false;
  long callbackPeriod = 0;
  long fed = 0;          // stream samples that arrived, taken or lost
  long owed = 0;         // output samples to skip, played as silence while they were late
  long lostPending = 0;  // input samples lost to overruns whose output gap is still to come

  // Shared.
  std::atomic<bool> streaming{false}, stopping{false}, inputClosed{false}, outputComplete{false};
  std::atomic<bool> drained{false}, failed{false}, serverGone{false};
  std::atomic<long> latency{0}, extraSilence{0};
  std::atomic<long> overruns{0}, underruns{0}, xruns{0}, misses{0}, replaced{0};
  std::atomic<long> samplesIn{0}, frames{0}, notConverged{0}, updates{0};
  std::string failure;         // written by the processing thread before `failed`
  char shutdownReason[256]{};  // written by the shutdown callback before `serverGone`
};

void LiveSession::onShutdown(jack_status_t, const char* reason, void* self) {
  auto* s = static_cast<LiveSession*>(self);
  std::snprintf(s->shutdownReason, sizeof s->shutdownReason, "%s", reason ? reason : "");
  s->serverGone.store(true);
  s->wake.post();
}

void LiveSession::process(jack_nframes_t n) {
  float* out = static_cast<float*>(jack_port_get_buffer(outPort, n));
  if (!started) {
    // The stream starts in the first period with every input connected.
    bool connected = !stopping.load(std::memory_order_relaxed);
    for (jack_port_t* port : inPorts) connected = connected && jack_port_connected(port) > 0;
    if (!connected) {
      std::fill(out, out + n, 0.0f);
      return;
    }
    started = true;
    streaming.store(true, std::memory_order_relaxed);
  }
  feedInput(n);
  playOutput(out, n);
}

void LiveSession::feedInput(jack_nframes_t n) {
  if (inputClosed.load(std::memory_order_relaxed) || stopping.load(std::memory_order_relaxed))
    return;
  long take = n;
  if (limit > 0) take = std::min(take, limit - fed);
  size_t space = SIZE_MAX;
  for (const auto& ring : inRings) space = std::min(space, ring->writable());
  const long fits = std::min(take, static_cast<long>(space));
  if (fits < take) {
    overruns.fetch_add(1, std::memory_order_relaxed);
    lostPending += take - fits;
  }
  for (size_t c = 0; c < inPorts.size(); ++c)
    inRings[c]->write(static_cast<const float*>(jack_port_get_buffer(inPorts[c], n)), fits);
  fed += take;
  if (limit > 0 && fed >= limit) inputClosed.store(true, std::memory_order_release);
  dataReady.post();
}

void LiveSession::playOutput(float* out, size_t n) {
  // Loaded before the ring's fill: once it is set, the ring holds the whole tail.
  const bool complete = outputComplete.load(std::memory_order_acquire);
  size_t done = 0;
  // Silence added to the delay after the period grew.
  owed -= extraSilence.exchange(0, std::memory_order_relaxed);
  if (owed < 0) {
    done = std::min(n, static_cast<size_t>(-owed));
    std::fill(out, out + done, 0.0f);
    owed += static_cast<long>(done);
  }
  size_t available = outRing->readable();
  if (owed > 0) {
    const size_t late = std::min(available, static_cast<size_t>(owed));
    outRing->skip(late);
    owed -= static_cast<long>(late);
    available -= late;
  }
  const size_t take = std::min(n - done, available);
  outRing->read(out + done, take);
  done += take;
  if (done == n) return;
  std::fill(out + done, out + n, 0.0f);
  if (complete) {
    if (!endNoticed) {
      endNoticed = true;
      drained.store(true);
      wake.post();
    }
    return;
  }
  // The missing samples are played as silence; those that will still come are skipped then,
  // except for the gap that input lost to an overrun leaves anyway.
  underruns.fetch_add(1, std::memory_order_relaxed);
  const long gap = static_cast<long>(n - done);
  const long lost = std::min(gap, lostPending);
  lostPending -= lost;
  owed += gap - lost;
}

void LiveSession::newPeriod(jack_nframes_t n) {
  // A longer period needs that much more delay, added as silence, or every period would underrun.
  const long grow = static_cast<long>(n) - callbackPeriod;
  if (grow <= 0) return;
  callbackPeriod = n;
  latency.fetch_add(grow);
  extraSilence.fetch_add(grow);
}

void LiveSession::reportLatency(jack_latency_callback_mode_t mode) {
  // The chain delays everything by `latency` samples, on top of what is upstream or downstream.
  const jack_nframes_t delay = static_cast<jack_nframes_t>(latency.load());
  jack_latency_range_t range{};
  if (mode == JackCaptureLatency) {
    jack_latency_range_t widest{0, 0};
    bool first = true;
    for (jack_port_t* port : inPorts) {
      jack_port_get_latency_range(port, JackCaptureLatency, &range);
      widest.min = first ? range.min : std::min(widest.min, range.min);
      widest.max = first ? range.max : std::max(widest.max, range.max);
      first = false;
    }
    widest.min += delay;
    widest.max += delay;
    jack_port_set_latency_range(outPort, JackCaptureLatency, &widest);
  } else {
    jack_port_get_latency_range(outPort, JackPlaybackLatency, &range);
    range.min += delay;
    range.max += delay;
    for (jack_port_t* port : inPorts)
      jack_port_set_latency_range(port, JackPlaybackLatency, &range);
  }
}

void LiveSession::processLoop() {
  try {
    runChain();
  } catch (const std::exception& e) {
    failure = e.what();
    failed.store(true);
    wake.post();
  } catch (...) {
    failure = "the enhancement chain failed";
    failed.store(true);
    wake.post();
  }
}

void LiveSession::runChain() {
  const size_t channels = inRings.size();
  std::vector<float> block(kChunk * channels), one(kChunk), out;
  out.reserve(kChunk + static_cast<size_t>(cmd.options.length() + cmd.options.hop()));
  const double secondsPerFrame = double(cmd.options.hop()) / rate;
  for (;;) {
    dataReady.wait();
    if (stopping.load()) return;
    // Loaded before the rings' fill: once it is set, the rings hold the whole rest.
    const bool closed = inputClosed.load(std::memory_order_acquire);
    size_t available = SIZE_MAX;
    for (const auto& ring : inRings) available = std::min(available, ring->readable());
    while (available > 0 && !stopping.load()) {
      const size_t k = std::min(available, kChunk);
      long bad = 0;
      for (size_t c = 0; c < channels; ++c) {
        inRings[c]->read(one.data(), k);
        for (size_t i = 0; i < k; ++i) {
          float x = one[i];
          // A NaN or runaway sample from upstream would end the stream: it is heard as silence.
          if (!(std::fabs(x) <= kMaxSampleMagnitude)) {
            x = 0.0f;
            ++bad;
          }
          block[i * channels + c] = x;
        }
      }
      if (bad) replaced.fetch_add(bad, std::memory_order_relaxed);
      out.clear();
      const long framesBefore = chain->frames();
      const auto start = std::chrono::steady_clock::now();
      chain->push(block.data(), static_cast<long>(k), out);
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const long ran = chain->frames() - framesBefore;
      // Frames whose batch took longer than the audio they advance the stream by.
      if (ran > 0 && took > ran * secondsPerFrame) misses.fetch_add(ran, std::memory_order_relaxed);
      deliver(out);
      samplesIn.store(chain->samplesIn(), std::memory_order_relaxed);
      if (ran > 0) {
        const EnhanceStats s = chain->stats();
        frames.store(s.frames, std::memory_order_relaxed);
        updates.store(s.estimatorUpdates, std::memory_order_relaxed);
        notConverged.store(s.notConverged, std::memory_order_relaxed);
      }
      available -= k;
    }
    if (stopping.load()) return;
    if (closed) {
      out.clear();
      chain->finish(out);
      deliver(out);
      const EnhanceStats s = chain->stats();
      frames.store(s.frames);
      updates.store(s.estimatorUpdates);
      notConverged.store(s.notConverged);
      outputComplete.store(true, std::memory_order_release);
      return;
    }
  }
}

void LiveSession::deliver(const std::vector<float>& out) {
  const size_t fits = std::min(out.size(), outRing->writable());
  if (fits < out.size()) overruns.fetch_add(1, std::memory_order_relaxed);
  outRing->write(out.data(), fits);
}

void LiveSession::open() {
  const std::string server = describeServer(cmd.serverName);
  jack_status_t status{};
  jack_set_error_function(silentJackMessage);
  jack_set_info_function(silentJackMessage);
  int flags = JackNoStartServer;
  if (!cmd.serverName.empty()) flags |= JackServerName;
  client =
      cmd.serverName.empty()
          ? jack_client_open(cmd.clientName.c_str(), static_cast<jack_options_t>(flags), &status)
          : jack_client_open(cmd.clientName.c_str(), static_cast<jack_options_t>(flags), &status,
                             cmd.serverName.c_str());
  jack_set_error_function(jackMessage);
  if (!client) throw std::runtime_error("cannot connect to " + server + ": " + openFailure(status));
  clientName = jack_get_client_name(client);
  rate = static_cast<int>(jack_get_sample_rate(client));
  period = callbackPeriod = static_cast<long>(jack_get_buffer_size(client));

  chain = std::make_unique<StreamEnhancer>(cmd.channels, rate, cmd.options,
                                           NodeImplementation::LinkedCores);
  if (cmd.seconds > 0) limit = std::max(1L, std::lround(cmd.seconds * rate));

  // Output sample t can leave once input up to t + length is in (StreamEnhancer); the period
  // that brings that input is played out one period later, and a hop of slack absorbs the
  // uneven cost of periods holding one frame or two.
  latency.store(cmd.options.length() + cmd.options.hop() + period);
  const size_t ring = std::max<size_t>(static_cast<size_t>(std::ceil(cmd.bufferSeconds * rate)),
                                       4 * static_cast<size_t>(period));
  for (int c = 0; c < cmd.channels; ++c) inRings.push_back(std::make_unique<Ring>(ring));
  outRing =
      std::make_unique<Ring>(ring + static_cast<size_t>(latency.load() + 2 * cmd.options.length()));
  const std::vector<float> silence(static_cast<size_t>(latency.load()), 0.0f);
  outRing->write(silence.data(), silence.size());

  for (int c = 1; c <= cmd.channels; ++c) {
    const std::string name = "in_" + std::to_string(c);
    jack_port_t* port =
        jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!port)
      throw std::runtime_error("cannot register port " + clientName + ":" + name + " on " + server);
    inPorts.push_back(port);
  }
  outPort = jack_port_register(client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  if (!outPort)
    throw std::runtime_error("cannot register port " + clientName + ":out on " + server);

  jack_set_process_callback(client, onProcess, this);
  jack_set_xrun_callback(client, onXrun, this);
  jack_set_buffer_size_callback(client, onBufferSize, this);
  jack_set_latency_callback(client, onLatency, this);
  jack_on_info_shutdown(client, onShutdown, this);
}

void LiveSession::connect(const std::string& from, const std::string& to,
                          const std::string& userPort, bool userIsSource) {
  jack_port_t* port = jack_port_by_name(client, userPort.c_str());
  if (!port)
    throw std::runtime_error("no port named " + userPort + " on " + describeServer(cmd.serverName));
  const int needed = userIsSource ? JackPortIsOutput : JackPortIsInput;
  if (!(jack_port_flags(port) & needed))
    throw std::runtime_error("cannot connect " + from + " to " + to + ": " + userPort + " is not " +
                             (userIsSource ? "an output" : "an input") + " port");
  const int rc = jack_connect(client, from.c_str(), to.c_str());
  if (rc != 0 && rc != EEXIST)
    throw std::runtime_error("cannot connect " + from + " to " + to + " (JACK error " +
                             std::to_string(rc) + ")");
}

void LiveSession::stop() {
  stopping.store(true);
  if (active && !serverGone.load()) jack_deactivate(client);
  active = false;
  dataReady.post();
  if (worker.joinable()) worker.join();
}

void LiveSession::close() {
  stop();
  if (client) jack_client_close(client);
  client = nullptr;
}

void LiveSession::drawStatus(ProgressLine& line, bool waiting) {
  if (waiting) {
    std::string missing;
    for (size_t c = 0; c < inPorts.size(); ++c)
      if (jack_port_connected(inPorts[c]) == 0)
        missing += (missing.empty() ? "" : ", ") + std::string(jack_port_short_name(inPorts[c]));
    line.draw("nimbusdale: waiting for " + missing + " to be connected");
  } else {
    char text[256];
    std::snprintf(text, sizeof text,
                  "nimbusdale: %.1f s, %ld frames, %ld late, %ld overruns, %ld underruns, %ld "
                  "xruns, %ld not converged",
                  double(samplesIn.load()) / rate, frames.load(), misses.load(), overruns.load(),
                  underruns.load(), xruns.load(), notConverged.load());
    line.draw(text);
  }
}

void LiveSession::printSummary() const {
  const long samples = samplesIn.load(), delay = latency.load();
  std::fprintf(stderr,
               "nimbusdale: %.2f s of audio (%ld samples of %d channels at %d Hz), %ld frames\n",
               double(samples) / rate, samples, cmd.channels, rate, frames.load());
  std::fprintf(stderr, "nimbusdale: %ld deadline misses, %ld overruns, %ld underruns, %ld xruns\n",
               misses.load(), overruns.load(), underruns.load(), xruns.load());
  std::fprintf(stderr, "nimbusdale: %ld of %ld estimator updates did not converge\n",
               notConverged.load(), updates.load());
  std::fprintf(
      stderr,
      "nimbusdale: latency %ld samples (%.2f ms): frame length %d + hop %d + period %ld%s\n", delay,
      1e3 * delay / rate, cmd.options.length(), cmd.options.hop(),
      delay - cmd.options.length() - cmd.options.hop(),
      delay - cmd.options.length() - cmd.options.hop() > period ? " (the period grew)" : "");
  if (const long bad = replaced.load())
    std::fprintf(
        stderr,
        "nimbusdale: %ld input samples were not finite or beyond %g and were replaced by 0\n", bad,
        double(kMaxSampleMagnitude));
}

int LiveSession::run() {
  open();
  // SIGINT and SIGTERM end the stream as its end would, however many come.
  const SignalScope signals({SIGINT, SIGTERM}, 0, &wake);
  worker = std::thread([this] { processLoop(); });
  // On a realtime server the chain runs realtime too, just below the process callbacks, so that
  // ordinary load cannot starve it (best effort; its helper threads inherit this on creation).
  if (jack_is_realtime(client)) {
    const int priority = jack_client_real_time_priority(client) - 1;
    if (priority >= 1) jack_acquire_real_time_scheduling(worker.native_handle(), priority);
  }
  if (jack_activate(client) != 0)
    throw std::runtime_error("cannot activate client " + clientName + " on " +
                             describeServer(cmd.serverName));
  active = true;
  // The output first, so that whatever listens hears the stream from its start.
  const std::string out = clientName + ":out";
  if (!cmd.connectOut.empty()) connect(out, cmd.connectOut, cmd.connectOut, false);
  for (size_t c = 0; c < cmd.connectIn.size(); ++c) {
    const std::string in = clientName + ":in_" + std::to_string(c + 1);
    connect(cmd.connectIn[c], in, cmd.connectIn[c], true);
  }
  const long delay = latency.load();
  if (!cmd.quiet)
    std::fprintf(stderr,
                 "nimbusdale: live as %s on %s: %d inputs at %d Hz, period %ld, latency %ld "
                 "samples (%.2f ms)\n",
                 clientName.c_str(), describeServer(cmd.serverName).c_str(), cmd.channels, rate,
                 period, delay, 1e3 * delay / rate);

  ProgressLine status(!cmd.quiet);
  while (!signals.count() && !drained.load() && !failed.load() && !serverGone.load()) {
    if (status.shown()) drawStatus(status, !streaming.load());
    wake.waitFor(0.25);
  }
  stop();
  status.erase();
  if (!cmd.quiet) printSummary();
  if (failed.load()) throw std::runtime_error(failure);
  if (serverGone.load())
    throw std::runtime_error(
        describeServer(cmd.serverName) + " shut down" +
        (shutdownReason[0] ? std::string(": ") + shutdownReason : std::string()));
  return 0;
}

}  // namespace

void addLiveOptions(CLI::App* cmd, LiveCommand& live) {
  cmd->add_option("--channels", live.channels, "input ports in_1 .. in_N")
      ->required()
      ->check(CLI::Range(1, kMaxChannels));
  cmd->add_option("--client-name", live.clientName, "JACK client name")->capture_default_str();
  cmd->add_option("--server", live.serverName, "JACK server to join (default: the default server)");
  cmd->add_option("--connect-in", live.connectIn,
                  "port to connect to the next input, in_1 first (repeat once per input)")
      ->allow_extra_args(false);
  cmd->add_option("--connect-out", live.connectOut, "port to connect the enhanced output to");
  cmd->add_option("--duration", live.seconds,
                  "stop after this many seconds of audio, counted from the moment every input is "
                  "connected (0: at SIGINT/SIGTERM)")
      ->check(CLI::Range(0.0, kMaxLiveSeconds))
      ->capture_default_str();
  cmd->add_option("--buffer", live.bufferSeconds, "input ring buffer, seconds of audio")
      ->check(CLI::Range(0.01, kMaxBufferSeconds))
      ->capture_default_str();
  cmd->add_flag("-q,--quiet", live.quiet, "no status line and no summary");
}

int runLive(const LiveCommand& live) {
  if (live.channels < 1 || live.channels > kMaxChannels)
    throw std::invalid_argument("--channels " + std::to_string(live.channels) + ": give 1 to " +
                                std::to_string(kMaxChannels) + " input ports");
  if (live.connectIn.size() > static_cast<size_t>(live.channels))
    throw std::invalid_argument(std::to_string(live.connectIn.size()) + " --connect-in ports for " +
                                std::to_string(live.channels) + " inputs");
  if (!(live.seconds >= 0.0 && live.seconds <= kMaxLiveSeconds))
    throw std::invalid_argument("--duration: give 0 to " + std::to_string(long(kMaxLiveSeconds)) +
                                " seconds");
  if (!(live.bufferSeconds >= 0.01 && live.bufferSeconds <= kMaxBufferSeconds))
    throw std::invalid_argument("--buffer: give 0.01 to " +
                                std::to_string(long(kMaxBufferSeconds)) + " seconds");
  live.options.validate();
  LiveSession session(live);
  return session.run();
}

}  // namespace nimbusdale::app

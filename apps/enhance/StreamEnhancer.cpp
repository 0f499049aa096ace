#include "StreamEnhancer.h"

#include <algorithm>
#include <climits>
#include <iostream>
#include <stdexcept>
#include <string>

#include "Chain.h"

namespace nimbusdale::app {

struct StreamEnhancer::State {
  State(int channels, int sampleRate, const EnhanceOptions& options,
        NodeImplementation implementation, std::ostream* diagnostics)
      : options(options),
        channels(channels),
        sampleRate(sampleRate),
        geometry{options.length(), options.hop()},
        source(new StftSource("analysis", &window, geometry)),
        sink(new OverlapAddSink("synthesis", geometry)),
        chain(options, channels, sampleRate, implementation, diagnostics, source.get()) {
    window.channels = channels;
    hostCall([&] {
      sink->connectToNode("INPUT", chain.output(), "OUTPUT");
      source->initialize();
      chain.initialize();
      sink->initialize();
    });
  }

  // Runs frame `frame` through the network and hands out what became final.
  void run(long frame, std::vector<float>& out) {
    if (frame > INT_MAX)
      throw std::length_error("the stream is longer than the host's frame counter allows");
    window.data = input.data();
    window.first = inputFirst;
    window.count = received - inputFirst;
    hostCall([&] { sink->getOutput(0, static_cast<int>(frame)); });
    ++frames;
    const size_t before = out.size();
    sink->takeFinal(out);
    noteOutput(out, before);
  }

  void noteOutput(const std::vector<float>& out, size_t from) {
    for (size_t i = from; i < out.size() && outputSilent; ++i) outputSilent = out[i] == 0.0f;
  }

  // Keeps only the input from the start of the next frame on.
  void dropConsumed() {
    const long keepFrom = std::max(0L, geometry.frameStart(frames));
    const long drop = std::min(keepFrom, received) - inputFirst;
    // Compacting only once the dead part is a frame long, or half of what is held, keeps this
    // cheap per block.
    if (drop <= 0 || (drop < geometry.length && 2 * drop < received - inputFirst)) return;
    input.erase(input.begin(), input.begin() + drop * channels);
    inputFirst += drop;
  }

  // Any call after an error or after finish() is refused.
  void requireOpen(const char* call) const {
    if (failed)
      throw std::logic_error(std::string("StreamEnhancer::") + call +
                             ": an earlier error ended the stream");
    if (finished)
      throw std::logic_error(std::string("StreamEnhancer::") + call + ": the stream is finished");
  }

  template <class F>
  void guarded(F&& body) {
    std::unique_ptr<ThreadCountScope> threads;
    if (chain.plugin()) threads = std::make_unique<ThreadCountScope>(options.threads);
    try {
      body();
    } catch (...) {
      failed = true;
      throw;
    }
  }

  EnhanceOptions options;
  int channels;
  int sampleRate;
  StftGeometry geometry;
  SignalWindow window;
  std::vector<float> input;  // interleaved, from sample inputFirst on
  long inputFirst = 0;
  long received = 0;
  long frames = 0;
  bool inputSilent = true, outputSilent = true;
  bool finished = false, failed = false, silentOutput = false;
  FD::RCPtr<StftSource> source;
  FD::RCPtr<OverlapAddSink> sink;
  Chain chain;
};

StreamEnhancer::StreamEnhancer(int channels, int sampleRate, const EnhanceOptions& options,
                               NodeImplementation nodes, std::ostream* diagnostics) {
  options.validate(sampleRate);
  checkChannels(channels);
  std::unique_ptr<ThreadCountScope> threads;
  if (nodes == NodeImplementation::Plugin)
    threads = std::make_unique<ThreadCountScope>(options.threads);
  state = withinMemory(channels, options, [&] {
    return std::make_unique<State>(channels, sampleRate, options, nodes, diagnostics);
  });
}

StreamEnhancer::~StreamEnhancer() = default;

void StreamEnhancer::push(const float* interleaved, long samples, std::vector<float>& out,
                          Handout handout) {
  State& s = *state;
  s.requireOpen("push");
  if (samples < 0) throw std::invalid_argument("negative sample count");
  checkSignal(interleaved, samples, s.channels, s.received);
  s.guarded([&] {
    const long values = samples * s.channels;
    if (s.inputSilent)
      s.inputSilent =
          std::all_of(interleaved, interleaved + values, [](float x) { return x == 0.0f; });
    // Frame t is complete once samples up to (t + 1) * hop - 1 are in.
    const long held = handout == Handout::Batched ? s.chain.framesAhead() : 0;
    // A push keeps back at most the frames held, one hop and one frame length. Room for that
    // and for pushes of this size is made at once: growing by doubling would write to fresh
    // memory at every step, and each new page costs a fault.
    const size_t wanted = s.input.size() + static_cast<size_t>(values);
    if (wanted > s.input.capacity()) {
      const long kept = (held + 1) * s.geometry.hop + s.geometry.length;
      s.input.reserve(std::max(wanted, static_cast<size_t>((kept + samples) * s.channels)));
    }
    s.input.insert(s.input.end(), interleaved, interleaved + values);
    s.received += samples;
    while ((s.frames + 1 + held) * s.geometry.hop <= s.received) s.run(s.frames, out);
    s.dropConsumed();
  });
}

void StreamEnhancer::finish(std::vector<float>& out) {
  State& s = *state;
  s.requireOpen("finish");
  s.guarded([&] {
    s.window.total = s.received;
    s.sink->endAt(s.received);
    const long frames = s.geometry.frameCount(s.received);
    while (s.frames < frames) s.run(s.frames, out);
    const size_t before = out.size();
    s.sink->takeRest(out);
    s.noteOutput(out, before);
    s.input.clear();
    s.input.shrink_to_fit();
    s.finished = true;
    s.silentOutput = s.outputSilent && !s.inputSilent;
  });
}

int StreamEnhancer::channels() const {
  return state->channels;
}
int StreamEnhancer::sampleRate() const {
  return state->sampleRate;
}
long StreamEnhancer::samplesIn() const {
  return state->received;
}
long StreamEnhancer::samplesOut() const {
  return state->sink->handedOut();
}
long StreamEnhancer::frames() const {
  return state->frames;
}
int StreamEnhancer::latencySamples() const {
  return state->geometry.length;
}

EnhanceStats StreamEnhancer::stats() const {
  const State& s = *state;
  std::cout.flush();
  EnhanceStats stats;
  stats.frames = s.frames;
  stats.estimatorUpdates = s.frames * s.channels;
  stats.notConverged = s.chain.notConverged();
  stats.passes = s.chain.passes();
  stats.slowestPasses = s.chain.slowestPasses();
  stats.diagnosticLines = s.chain.lines();
  stats.silentOutput = s.silentOutput;
  return stats;
}

}  // namespace nimbusdale::app

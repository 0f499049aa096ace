// Fuzzes the plug-in's nodes as a host runs them: each is created by type name from the
// loaded toolbox with fuzzed parameters (values and types, some missing), fed a few fuzzed frames
// (shapes and element types sometimes wrong) by replaying source nodes, and pulled count by
// count.
//
// Expected refusals are host exceptions (pointers to FD::BaseException). Anything else is a
// finding: another exception type, a crash, a sanitizer report, an output frame of the wrong type
// or shape, or a NaN or infinity in an output frame although every value fed so far was finite.
//
// Input layout, read from the front (bytes past the end read as 0):
//   node kind, rand() seed,
//   per parameter: a mode byte (missing / wrong type / right type) and its value bytes,
//   frame count and first count,
//   per frame and input port: a shape byte, a scale and fill byte, then either one byte per
//   value (two for a complex value) or a generator seed and one planted value.
#include <omp.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <sstream>
#include <streambuf>
#include <string>
#include <typeinfo>
#include <vector>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "nimbusdale/NodeTypes.h"

namespace {

using cfloat = std::complex<float>;
using ComplexFrame = FD::Matrix<cfloat>;
using RealFrame = FD::Matrix<float>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kMinNormal = std::numeric_limits<float>::min();
constexpr float kDenorm = std::numeric_limits<float>::denorm_min();

/// Reads the input from the front; past its end every byte is 0.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data(data), size(size) {}
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  uint32_t word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = (w << 8) | byte();
    return w;
  }
  float rawFloat() {
    const uint32_t w = word();
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
  }

 private:
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
};

/// Edge values for float parameters: non-finite, extreme, tiny, negative and ordinary.
const float kEdgeFloats[] = {
    kNaN,   -kNaN, kInf,  -kInf, 0.0f,  -0.0f,  kMinNormal, kDenorm,  -kDenorm, kMax,        -kMax,
    1e38f,  1e30f, 1e20f, 1e19f, 1e10f, 1e-10f, 1e-20f,     1e-30f,   1e-38f,   -1.0f,       -0.5f,
    -1e-6f, 1.0f,  0.5f,  2.0f,  1e-3f, 1e-6f,  8000.0f,    16000.0f, 4e9f,     1.0f + 1e-7f};

/// Frame value scales: ordinary levels, and finite ones so large that sums, squares or moduli
/// overflow single precision.
const float kScales[] = {1.0f,  1e-3f, 1e3f,  1e10f, 1e18f, 1e19f,  1e20f,  1e25f,
                         1e30f, 1e35f, 1e37f, 1e38f, 3e38f, 1e-30f, 1e-38f, 0.0f};

/// Special frame values, chosen by the top eight signed byte values.
const float kSpecialValues[] = {kNaN, kInf, -kInf, kMax, -kMax, kDenorm, kMinNormal, -0.0f};

enum class ParamType { Int, Float };

/// One node parameter: its type and, for ints, the range the fuzzer draws ordinary values from.
/// Positive channel counts, lengths and ranks stay small so every allocation stays small.
struct ParamSpec {
  const char* name;
  ParamType type;
  int lo = 0, hi = 0;    // ints: ordinary values, or indices into `choices`
  float typical = 1.0f;  // floats: ordinary values lie in [0, typical)
  const int* choices = nullptr;
};

const int kSamplingRates[] = {1, 2, 3, 100, 199, 200, 201, 8000, 16000, 22050, 44100, 48000};

struct NodeSpec {
  const char* type;
  std::vector<ParamSpec> params;
  std::vector<const char*> complexInputs;  // SPEC, INPUT
  std::vector<const char*> realInputs;     // SPARSE
  bool complexOutput;
  bool oneRowOutput;  // 1 x bins; otherwise NUM_CHANNEL x bins
};

const std::vector<NodeSpec>& nodeSpecs() {
  static const std::vector<NodeSpec> specs = {
      {"MultiRobustPCA",
       {{"NUM_CHANNEL", ParamType::Int, -2, 8},
        {"LENGTH", ParamType::Int, -4, 64},
        {"CUTOFF_FREQ", ParamType::Float, 0, 0, 8000.0f},
        {"SAMPLING_RATE", ParamType::Int, 0, 11, 0.0f, kSamplingRates},
        {"GLOBAL_SCALE", ParamType::Float, 0, 0, 2.0f},
        {"LAMBDA", ParamType::Float, 0, 0, 4.0f},
        {"SCALE_UPDATE_RATIO", ParamType::Float, 0, 0, 1.0f},
        {"MAX_LANK", ParamType::Int, -1, 12},
        {"EPSILON", ParamType::Float, 0, 0, 0.01f}},
       {"INPUT"},
       {},
       false,
       false},
      {"MedianIntegrator",
       {{"NUM_CHANNEL", ParamType::Int, -1, 8}, {"LENGTH", ParamType::Int, -5, 64}},
       {"SPEC"},
       {"SPARSE"},
       true,
       true},
      {"PoissonGammaIntegrator",
       {{"NUM_CHANNEL", ParamType::Int, -1, 8},
        {"LENGTH", ParamType::Int, -2, 64},
        {"GLOBAL_SCALE", ParamType::Float, 0, 0, 4.0f}},
       {"SPEC"},
       {"SPARSE"},
       true,
       true},
      {"SparseMaskIntegrator",
       {{"NUM_CHANNEL", ParamType::Int, -1, 8},
        {"LENGTH", ParamType::Int, -5, 64},
        {"SNR_SMOOTHING", ParamType::Float, 0, 0, 1.0f},
        {"NOISE_OVERESTIMATION", ParamType::Float, 0, 0, 4.0f},
        {"GAIN_FLOOR", ParamType::Float, 0, 0, 1.0f},
        {"SPATIAL_WEIGHT", ParamType::Int, -1, 9},
        {"SPATIAL_SMOOTHING", ParamType::Float, 0, 0, 1.0f},
        {"TRANSIENT_RISE", ParamType::Float, 0, 0, 60.0f},
        {"TRANSIENT_SPREAD", ParamType::Float, 0, 0, 1.0f},
        {"BEAM_COHERENCE", ParamType::Float, 0, 0, 1.0f},
        {"TAIL_DECAY", ParamType::Float, 0, 0, 60.0f},
        {"TALKER_LOCK", ParamType::Int, -1, 40}},
       {"SPEC"},
       {"SPARSE"},
       true,
       true},
  };
  return specs;
}

int readInt(ByteReader& in, const ParamSpec& spec) {
  const uint8_t b = in.byte();
  if (b < 224) {
    const int v = spec.lo + b % (spec.hi - spec.lo + 1);
    return spec.choices ? spec.choices[v] : v;
  }
  switch (b % 8) {
    case 0:
      return std::numeric_limits<int>::min();
    case 1:
      return std::numeric_limits<int>::min() + 1;
    case 2:
      return -1000;
    case 3:
      return -1;
    case 4:
      return 0;
    default: {
      // Any value, but a large positive count or length would only measure the allocator.
      const int v = static_cast<int>(in.word());
      return spec.choices || v <= spec.hi ? v : spec.hi;
    }
  }
}

float readFloat(ByteReader& in, const ParamSpec& spec) {
  const uint8_t b = in.byte();
  if (b < 32) return kEdgeFloats[b];
  if (b < 192) return spec.typical * static_cast<float>(b - 32) / 160.0f;
  return in.rawFloat();
}

/// Discards what the nodes print (their per-frame diagnostics) without failing the stream.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int ch) override { return ch; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

/// Source node replaying one fixed frame per count, as a host's upstream node would.
class ReplaySource : public FD::BufferedNode {
 public:
  ReplaySource(const std::string& name, std::vector<FD::ObjectRef> frames, int firstCount)
      : FD::BufferedNode(name, FD::ParameterSet()), frames(std::move(frames)), first(firstCount) {
    addOutput("OUTPUT");
  }
  void calculate(int, int count, FD::Buffer& out) override {
    const long i = static_cast<long>(count) - first;
    if (i < 0 || i >= static_cast<long>(frames.size())) std::abort();  // harness error
    out[count] = frames[static_cast<size_t>(i)];
  }

 private:
  std::vector<FD::ObjectRef> frames;
  int first;
};

/// What the current run built so far (node type, parameters, frames), printed with a finding.
std::ostringstream runLog;

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "fuzz_nodes finding: %s\n%s\n", what.c_str(), runLog.str().c_str());
  std::fflush(stderr);
  std::abort();
}

float frameValue(int8_t v, float scale) {
  if (v >= 120) return kSpecialValues[v - 120];
  return static_cast<float>(v) / 8.0f * scale;
}

/// Values of one frame: either one input byte each, or, so that large frames cost few input
/// bytes, drawn from a generator seeded by the input (all of them non-negative, or not) with one
/// value planted by the input. The first byte chooses the scale (bits 0-3) and which (bits 4-6).
class ValueSource {
 public:
  ValueSource(ByteReader& in, long count) : in(in) {
    const uint8_t b = in.byte();
    scale = kScales[b % 16];
    generated = (b >> 4) % 4 == 3;
    nonNegative = (b & 0x40) != 0;
    if (generated) {
      state = 0x9E3779B9u ^ (uint32_t{in.byte()} << 8 | in.byte());
      plantAt = count > 0 ? in.byte() % count : -1;
      planted = frameValue(static_cast<int8_t>(in.byte()), scale);
    }
  }
  float next() {
    const long i = index++;
    if (!generated) return frameValue(static_cast<int8_t>(in.byte()), scale);
    if (i == plantAt) return planted;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const int v = static_cast<int>(state % 248) - 128;
    return frameValue(static_cast<int8_t>(nonNegative && v < 0 ? (-v - 1) % 120 : v), scale);
  }

 private:
  ByteReader& in;
  long index = 0;
  float scale = 1.0f;
  bool generated = false;
  bool nonNegative = false;
  uint32_t state = 0;
  long plantAt = -1;
  float planted = 0.0f;
};

bool finite(float v) {
  return std::isfinite(v);
}
bool finite(cfloat v) {
  return std::isfinite(v.real()) && std::isfinite(v.imag());
}

/// A frame for one input port: usually the node's expected shape and element type, sometimes
/// not. Clears `allFinite` if any value is NaN or infinite.
FD::ObjectRef makeFrame(ByteReader& in, bool complexPort, int rows, int cols, bool& allFinite) {
  std::ostringstream& log = runLog;
  const uint8_t shape = in.byte();
  switch (shape % 16) {
    case 0:
      ++rows;
      break;
    case 1:
      rows = rows > 0 ? rows - 1 : rows + 1;
      break;
    case 2:
      ++cols;
      break;
    case 3:
      cols = cols > 0 ? cols - 1 : cols + 1;
      break;
    case 4:
      std::swap(rows, cols);
      break;
    case 5:
      rows = cols = 0;
      break;
    case 6:
      complexPort = !complexPort;
      break;
    default:
      break;
  }
  log << "  " << (complexPort ? "complex " : "real ") << rows << " x " << cols << ":";
  FD::ObjectRef ref;
  if (complexPort) {
    auto* m = new ComplexFrame(rows, cols);
    ref = FD::ObjectRef(m);
    ValueSource values(in, 2 * m->size());
    for (long i = 0; i < m->size(); ++i) {
      const float re = values.next();
      const float im = values.next();
      (*m)[0][i] = cfloat(re, im);
      allFinite = allFinite && std::isfinite(re) && std::isfinite(im);
      log << " " << (*m)[0][i];
    }
  } else {
    auto* m = new RealFrame(rows, cols);
    ref = FD::ObjectRef(m);
    ValueSource values(in, m->size());
    for (long i = 0; i < m->size(); ++i) {
      (*m)[0][i] = values.next();
      allFinite = allFinite && std::isfinite((*m)[0][i]);
      log << " " << (*m)[0][i];
    }
  }
  log << "\n";
  return ref;
}

/// Checks one output frame: the declared element type and shape, and, when everything fed so
/// far was finite, finite values only.
template <class T>
void checkOutput(const FD::ObjectRef& out, int rows, int cols, bool inputsFinite) {
  auto* frame = dynamic_cast<FD::Matrix<T>*>(out.get());
  if (!frame) finding("output is not a " + FD::TypeName<T>::name() + " matrix");
  if (frame->nrows() != rows || frame->ncols() != cols) {
    std::ostringstream what;
    what << "output frame is " << frame->nrows() << " x " << frame->ncols() << ", expected " << rows
         << " x " << cols;
    finding(what.str());
  }
  if (!inputsFinite) return;
  for (long i = 0; i < frame->size(); ++i) {
    if (finite((*frame)[0][i])) continue;
    std::ostringstream what;
    what << "output value " << (*frame)[0][i] << " at row " << i / cols << ", bin " << i % cols
         << " from finite inputs";
    finding(what.str());
  }
}

void runOne(ByteReader& in) {
  const NodeSpec& spec = nodeSpecs()[in.byte() % nodeSpecs().size()];
  std::srand(in.byte());

  std::ostringstream& log = runLog;
  log << spec.type << "\n";
  FD::ParameterSet params;
  int channels = 0, length = 0;
  for (const ParamSpec& p : spec.params) {
    const uint8_t mode = in.byte() % 16;
    if (mode == 0) {
      log << "  " << p.name << " missing\n";
      continue;
    }
    // Mode 1 gives the other numeric type, mode 2 a string.
    const bool asInt = (p.type == ParamType::Int) != (mode == 1);
    FD::ObjectRef value;
    if (mode == 2) {
      value = FD::ObjectRef(new FD::String("1"));
    } else if (asInt) {
      const int v = readInt(in, p);
      value = FD::ObjectRef(FD::Int::alloc(v));
      if (!std::strcmp(p.name, "NUM_CHANNEL")) channels = v;
      if (!std::strcmp(p.name, "LENGTH")) length = v;
    } else {
      value = FD::ObjectRef(FD::Float::alloc(readFloat(in, p)));
    }
    log << "  " << p.name << " = " << value->className() << " " << *value << "\n";
    params.add(p.name, value);
  }

  FD::RCPtr<FD::Node> node;
  try {
    node = FD::registry::createNode(spec.type, "fuzzed", params);
  } catch (FD::BaseException* e) {
    log << " refused: " << e->message() << "\n";
    delete e;  // a refused parameter set
    return;
  }
  // Created, so NUM_CHANNEL and LENGTH were ints the node accepted: small by construction.
  const int bins = nimbusdale::binsFromLength(length);
  if (channels < 0 || channels > 8 || bins < 0 || bins > 33)
    finding("node accepted NUM_CHANNEL " + std::to_string(channels) + ", LENGTH " +
            std::to_string(length));

  const uint8_t framing = in.byte();
  const int frameCount = 1 + framing % 4;
  const int firstCount = (framing >> 2) % 8 == 7 ? 1 + (framing >> 5) % 2 : 0;
  log << "  counts from " << firstCount << "\n";

  // Frames per count; finiteUpTo[i]: frames 0 .. i of every port hold only finite values.
  std::vector<const char*> ports;
  std::vector<bool> portComplex;
  for (const char* p : spec.complexInputs) ports.push_back(p), portComplex.push_back(true);
  for (const char* p : spec.realInputs) ports.push_back(p), portComplex.push_back(false);
  std::vector<std::vector<FD::ObjectRef>> frames(ports.size());
  std::vector<bool> finiteUpTo(static_cast<size_t>(frameCount));
  bool allFinite = true;
  for (int f = 0; f < frameCount; ++f) {
    log << " frame " << firstCount + f << "\n";
    for (size_t p = 0; p < ports.size(); ++p) {
      log << "  " << ports[p];
      frames[p].push_back(makeFrame(in, portComplex[p], channels, bins, allFinite));
    }
    finiteUpTo[static_cast<size_t>(f)] = allFinite;
  }

  std::vector<FD::RCPtr<ReplaySource>> sources;
  for (size_t p = 0; p < ports.size(); ++p) {
    sources.emplace_back(new ReplaySource(ports[p], frames[p], firstCount));
    node->connectToNode(ports[p], sources.back().get(), "OUTPUT");
    sources.back()->initialize();
  }
  node->initialize();

  const int outRows = spec.oneRowOutput ? 1 : channels;
  for (int f = 0; f < frameCount; ++f) {
    const int count = firstCount + f;
    FD::ObjectRef out;
    try {
      out = node->getOutput(0, count);
    } catch (FD::BaseException* e) {
      log << " count " << count << " refused: " << e->message() << "\n";
      delete e;  // a refused frame; the next count goes on
      continue;
    }
    log << " count " << count << " output\n";
    const bool inputsFinite = finiteUpTo[static_cast<size_t>(f)];
    if (spec.complexOutput)
      checkOutput<cfloat>(out, outRows, bins, inputsFinite);
    else
      checkOutput<float>(out, outRows, bins, inputsFinite);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static NullBuffer discard;
  std::cout.rdbuf(&discard);
  // One thread: runs are reproducible and the machine's cores go to the fuzzer.
  omp_set_num_threads(1);
  try {
    FD::Toolbox::load(NIMBUSDALE_PLUGIN_PATH);
  } catch (FD::BaseException* e) {
    std::fprintf(stderr, "cannot load %s: %s\n", NIMBUSDALE_PLUGIN_PATH, e->message().c_str());
    delete e;
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  runLog.str("");
  try {
    runOne(in);
  } catch (FD::BaseException* e) {
    // Every refusal is caught where it is expected; one escaping from elsewhere is a finding.
    std::string message = e->message();
    delete e;
    finding("host exception outside node creation and frame pulls: " + message);
  } catch (const std::exception& e) {
    finding(std::string("non-host exception ") + typeid(e).name() + ": " + e.what());
  } catch (...) {
    finding("unknown exception");
  }
  // FUZZ_NODES_VERBOSE=1 shows what each input became, for triage and for checking seeds.
  static const bool verbose = std::getenv("FUZZ_NODES_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "%s", runLog.str().c_str());
  return 0;
}

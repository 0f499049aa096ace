// The plug-in's node types as plain data: each type's name, ports and parameters, with the rule
// every parameter value must meet. The nodes read and check their parameters from these tables,
// the build writes the catalog installed beside the plug-in from them, and the tool and the
// Python module take their names, defaults and texts from them.
#ifndef NIMBUSDALE_NODE_TYPES_H
#define NIMBUSDALE_NODE_TYPES_H

#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace nimbusdale {

/// How the host holds a parameter value: FD::GenericType<int>, FD::GenericType<float> or the
/// host's FD::String. The nodes take no other type and convert nothing.
enum class HostType { Int, Float, String };

/// The type's name in the host's node descriptions and the catalog: "int", "float", "string".
constexpr const char* hostTypeName(HostType type) {
  return type == HostType::Int ? "int" : type == HostType::Float ? "float" : "string";
}

/// One end of a parameter's range.
struct Limit {
  enum Kind { None, Inclusive, Exclusive };
  Kind kind = None;
  double value = 0.0;  ///< exact for every int and float bound
};

constexpr Limit unbounded() {
  return Limit{};
}
constexpr Limit inclusive(double value) {
  return Limit{Limit::Inclusive, value};
}
constexpr Limit exclusive(double value) {
  return Limit{Limit::Exclusive, value};
}

/// What a parameter value must be. A number is admitted when it lies within both limits, is
/// finite if `finite` is set, and has a finite single-precision reciprocal if
/// `finiteReciprocal` is set. A NaN fails every limit. A string is admitted when it is not empty
/// and, if `choices` is set, is one of its words.
struct ParameterRule {
  Limit lower;
  Limit upper;
  bool finite = false;
  bool finiteReciprocal = false;
  /// The rule also bounds the value by other parameters (CUTOFF_FREQ by SAMPLING_RATE): the
  /// node checks it in its own code, with the limits above as the part that holds alone, after
  /// every rule of single values.
  bool relatesParameters = false;
  /// Completes "parameter X is V; it must ...".
  const char* requirement = "";
  /// The words a string value may be, separated by single spaces; nullptr for any.
  const char* choices = nullptr;

  constexpr ParameterRule andFinite() const {
    ParameterRule rule = *this;
    rule.finite = true;
    return rule;
  }
  constexpr ParameterRule andFiniteReciprocal() const {
    ParameterRule rule = *this;
    rule.finiteReciprocal = true;
    return rule;
  }
  constexpr ParameterRule andRelatesParameters() const {
    ParameterRule rule = *this;
    rule.relatesParameters = true;
    return rule;
  }
};

/// Values between `lower` and `upper`; `requirement` completes "it must ...".
constexpr ParameterRule within(Limit lower, Limit upper, const char* requirement) {
  ParameterRule rule;
  rule.lower = lower;
  rule.upper = upper;
  rule.requirement = requirement;
  return rule;
}

/// String values from `choices` (space-separated words), or any non-empty string if null.
constexpr ParameterRule text(const char* requirement, const char* choices = nullptr) {
  ParameterRule rule;
  rule.requirement = requirement;
  rule.choices = choices;
  return rule;
}

/// One parameter of a node type.
struct ParameterSpec {
  const char* name;  ///< as registered, "MAX_LANK" included
  HostType type;
  ParameterRule rule;
  /// A value that works for 16 kHz speech; also the default where the tool and the Python
  /// module build nodes themselves (the tool's defaults are the best found on the example set).
  double typical;
  /// Fixed by the signal (channels, sampling rate): callers that build nodes always give it.
  bool fromSignal;
  const char* meaning;
  const char* unit;  ///< "" for a plain number
  /// The Python keyword where it is not the lower-case name (a Python keyword, an old name).
  const char* keyword = nullptr;
  /// A string parameter's typical value ("" where there is none, such as a file name).
  const char* typicalString = "";

  constexpr int typicalInt() const { return static_cast<int>(typical); }
  constexpr float typicalFloat() const { return static_cast<float>(typical); }
};

/// A string parameter with `typical` as its typical value ("" for none).
constexpr ParameterSpec textParameter(const char* name, ParameterRule rule, const char* typical,
                                      bool fromSignal, const char* meaning) {
  ParameterSpec p{name, HostType::String, rule, 0.0, fromSignal, meaning, ""};
  p.typicalString = typical;
  return p;
}

enum class PortKind { Input, Output };

/// Frame types of the ports, all row-major with one row per channel (or one row for a
/// single-channel result) and one column per frequency bin.
enum class FrameType {
  Spectrum,    ///< FD::Matrix<std::complex<float>>
  Magnitudes,  ///< FD::Matrix<float>
  Samples,     ///< FD::Matrix<float>, one row per channel and one column per sample
  Flag,        ///< FD::Bool
  Count,       ///< FD::Int
};

constexpr const char* frameTypeName(FrameType type) {
  switch (type) {
    case FrameType::Spectrum:
      return "Matrix<complex<float>>";
    case FrameType::Magnitudes:
    case FrameType::Samples:
      return "Matrix<float>";
    case FrameType::Flag:
      return "bool";
    case FrameType::Count:
      return "int";
  }
  return "";
}

/// What a node requires of every value of an input frame before it computes anything.
enum class FrameValues {
  Any,
  Finite,             ///< no NaN, no infinity
  FiniteNonNegative,  ///< finite and >= 0 (-0 included)
  FiniteMagnitude,    ///< |x| is finite (so no NaN or infinite part, and no modulus overflow)
};

/// One port of a node type.
struct PortSpec {
  const char* name;
  PortKind kind;
  FrameType frame;
  const char* meaning;
  FrameValues values = FrameValues::Any;
  bool channelZeroOnly = false;  ///< only channel 0 is read, so only it is checked
  /// Completes "input P holds V at channel c, bin f; ..." for a refused value.
  const char* valueRequirement = "";
};

/// A node type: its registered name, ports (inputs first, then outputs, in declaration order)
/// and parameters (in the order the node reads them).
struct NodeType {
  const char* name;
  const char* summary;
  const PortSpec* ports;
  std::size_t portCount;
  const ParameterSpec* parameters;
  std::size_t parameterCount;
  /// Where a host's node menu lists the type.
  const char* category = "NIMBUSDALE";

  constexpr const PortSpec* portsEnd() const { return ports + portCount; }
  constexpr const ParameterSpec* parametersEnd() const { return parameters + parameterCount; }

  /// The parameter called `name`; std::logic_error (a compile error in constant expressions)
  /// if the type has none.
  constexpr std::size_t parameterIndex(std::string_view parameterName) const {
    for (std::size_t i = 0; i < parameterCount; ++i)
      if (parameterName == parameters[i].name) return i;
    throw std::logic_error("node type has no such parameter");
  }
  constexpr const ParameterSpec& parameter(std::string_view parameterName) const {
    return parameters[parameterIndex(parameterName)];
  }
  /// The port called `name`; std::logic_error if the type has none.
  constexpr const PortSpec& port(std::string_view portName) const {
    for (std::size_t i = 0; i < portCount; ++i)
      if (portName == ports[i].name) return ports[i];
    throw std::logic_error("node type has no such port");
  }
};

namespace node_tables {

inline constexpr bool kFromSignal = true;  // ParameterSpec::fromSignal
inline constexpr bool kSetting = false;

// Frame geometry: the frames of one network all have NUM_CHANNEL rows (or one) and bins
// columns, bins = LENGTH / 2 + 1. The separation and the Poisson-Gamma model need a bin.
inline constexpr ParameterSpec kLength{
    "LENGTH",
    HostType::Int,
    within(inclusive(-1), unbounded(), "give LENGTH / 2 + 1 >= 1 bins (LENGTH >= -1)"),
    1024,
    kSetting,
    "analysis frame length",
    "samples"};

// The median works on no bin at all: its frames are then empty.
inline constexpr ParameterSpec kMedianLength{
    "LENGTH",
    HostType::Int,
    within(inclusive(-3), unbounded(), "give LENGTH / 2 + 1 >= 0 bins (LENGTH >= -3)"),
    1024,
    kSetting,
    "analysis frame length",
    "samples"};

// The integrators take a median of the channels or read channel 0, so they need one.
inline constexpr ParameterSpec kIntegratorChannels{
    "NUM_CHANNEL",
    HostType::Int,
    within(inclusive(1), unbounded(), "be at least 1"),
    4,
    kFromSignal,
    "channels in each input frame",
    ""};

inline constexpr PortSpec kSpectrumToIntegrate{
    "SPEC",
    PortKind::Input,
    FrameType::Spectrum,
    "multichannel spectrum, NUM_CHANNEL x bins; only channel 0 is read",
    FrameValues::FiniteMagnitude,
    true,
    "channel 0 values must have a finite magnitude"};

inline constexpr PortSpec kMultiRobustPCAPorts[] = {
    {"INPUT", PortKind::Input, FrameType::Spectrum, "multichannel spectrum, NUM_CHANNEL x bins",
     FrameValues::FiniteMagnitude, false, "every value must have a finite magnitude"},
    {"OUTPUT", PortKind::Output, FrameType::Magnitudes, "sparse magnitudes, NUM_CHANNEL x bins"},
};

inline constexpr ParameterSpec kMultiRobustPCAParameters[] = {
    // No channel gives an empty frame and runs no estimator; the separation needs nothing more.
    {"NUM_CHANNEL", HostType::Int, within(inclusive(0), unbounded(), "be at least 0"), 4,
     kFromSignal, "channels per frame, one estimator each", ""},
    kLength,
    {"CUTOFF_FREQ", HostType::Float,
     within(inclusive(0), unbounded(), "lie between 0 and SAMPLING_RATE / 2")
         .andFinite()
         .andRelatesParameters(),
     100.0f, kSetting, "the bins below this frequency reach the estimators as 0", "Hz"},
    {"SAMPLING_RATE", HostType::Int, within(inclusive(1), unbounded(), "be at least 1"), 16000,
     kFromSignal, "sampling rate; only used for the cut-off", "Hz"},
    {"GLOBAL_SCALE", HostType::Float,
     within(exclusive(0), unbounded(), "be positive and finite, with a finite reciprocal")
         .andFinite()
         .andFiniteReciprocal(),
     0.5f, kSetting, "level of the normalised magnitudes the estimators see", ""},
    {"LAMBDA", HostType::Float,
     within(inclusive(0), unbounded(), "be finite and at least 0").andFinite(), 1.0f, kSetting,
     "sparsity weight; each estimator uses LAMBDA / sqrt(bins)", "", "lambda_"},
    {"SCALE_UPDATE_RATIO", HostType::Float,
     within(inclusive(0), inclusive(1), "lie between 0 and 1"), 0.002f, kSetting,
     "weight of the current frame in the running magnitude scale", ""},
    {"MAX_LANK", HostType::Int, within(inclusive(1), unbounded(), "be at least 1"), 10, kSetting,
     "basis vectors per estimator", "", "max_rank"},
    {"EPSILON", HostType::Float,
     within(inclusive(0), unbounded(), "be finite and at least 0").andFinite(), 0.001f, kSetting,
     "relative tolerance of the estimator's inner loop", ""},
};

inline constexpr PortSpec kMedianIntegratorPorts[] = {
    kSpectrumToIntegrate,
    {"SPARSE", PortKind::Input, FrameType::Magnitudes, "sparse magnitudes, NUM_CHANNEL x bins",
     FrameValues::Finite, false, "every value must be finite"},
    {"OUTPUT", PortKind::Output, FrameType::Spectrum,
     "median magnitude with channel 0's phase, 1 x bins"},
};

inline constexpr ParameterSpec kMedianIntegratorParameters[] = {kIntegratorChannels, kMedianLength};

inline constexpr PortSpec kPoissonGammaIntegratorPorts[] = {
    kSpectrumToIntegrate,
    {"SPARSE", PortKind::Input, FrameType::Magnitudes, "sparse magnitudes, NUM_CHANNEL x bins",
     FrameValues::FiniteNonNegative, false, "values must be finite and non-negative"},
    {"OUTPUT", PortKind::Output, FrameType::Spectrum,
     "rank-one model magnitude with channel 0's phase, 1 x bins"},
};

inline constexpr ParameterSpec kPoissonGammaIntegratorParameters[] = {
    kIntegratorChannels,
    kLength,
    // Far below this range the counts underflow and the output's division by the scale
    // overflows (below about 1e-38 every frame fails); far above it ordinary magnitudes
    // already overflow the updates.
    {"GLOBAL_SCALE", HostType::Float,
     within(inclusive(1e-30f), inclusive(1e30f),
            "lie between 1e-30 and 1e+30 (beyond them the model's counts or its output overflow "
            "or underflow)")
         .andFinite(),
     1.0f, kSetting, "factor from SPARSE magnitudes to model counts", ""},
};

// The mask integrator reads every channel of the spectrum: each one's magnitude against its
// sparse part gives that channel's estimate of the bin's speech-to-noise ratio.
inline constexpr PortSpec kSparseMaskIntegratorPorts[] = {
    {"SPEC", PortKind::Input, FrameType::Spectrum,
     "multichannel spectrum, NUM_CHANNEL x bins; the gain is applied to channel 0, or to a beam "
     "of the channels toward the talker",
     FrameValues::FiniteMagnitude, false, "every value must have a finite magnitude"},
    {"SPARSE", PortKind::Input, FrameType::Magnitudes, "sparse magnitudes, NUM_CHANNEL x bins",
     FrameValues::FiniteNonNegative, false, "values must be finite and non-negative"},
    {"OUTPUT", PortKind::Output, FrameType::Spectrum,
     "channel 0 of the spectrum, or a beam toward the talker, times a per-bin gain, 1 x bins"},
};

inline constexpr ParameterSpec kSparseMaskIntegratorParameters[] = {
    kIntegratorChannels,
    kMedianLength,
    // 1 would never let the estimate rise from 0.
    {"SNR_SMOOTHING", HostType::Float,
     within(inclusive(0), exclusive(1), "lie from 0 up to, but not including, 1"), 0.4f, kSetting,
     "decision-directed weight of the previous frame's clean estimate in the a priori SNR", ""},
    {"NOISE_OVERESTIMATION", HostType::Float,
     within(exclusive(0), unbounded(), "be positive and finite, with a finite reciprocal")
         .andFinite()
         .andFiniteReciprocal(),
     1.0f, kSetting, "factor on the power of the residual |SPEC| - SPARSE taken as the noise power",
     ""},
    {"GAIN_FLOOR", HostType::Float, within(inclusive(0), inclusive(1), "lie between 0 and 1"),
     0.03f, kSetting, "lowest gain applied to a bin", ""},
    // An integer power keeps the weight exact: repeated products round alike everywhere.
    {"SPATIAL_WEIGHT", HostType::Int, within(inclusive(0), inclusive(8), "lie between 0 and 8"), 3,
     kSetting,
     "power of the spatial ratio on the a priori SNR: how closely a bin's channels match the "
     "learnt speech direction rather than the noise direction; 0 leaves it out",
     ""},
    {"SPATIAL_SMOOTHING", HostType::Float,
     within(inclusive(0), exclusive(1), "lie from 0 up to, but not including, 1"), 0.98f, kSetting,
     "forgetting factor of the learnt speech and noise directions, per frame that updates them",
     ""},
    {"TRANSIENT_RISE", HostType::Float,
     within(exclusive(0), inclusive(60), "lie above 0, up to 60"), 6.0f, kSetting,
     "rise of a bin's power (summed over the channels) from one frame to the next that counts "
     "toward an onset",
     "dB"},
    // 1 can never be exceeded: the transient hold is off.
    {"TRANSIENT_SPREAD", HostType::Float, within(inclusive(0), inclusive(1), "lie between 0 and 1"),
     0.5f, kSetting,
     "share of the bins that must rise by TRANSIENT_RISE at once for the frame to be an onset "
     "(clicks, knocks, taps), after which the bins it struck may not grow faster than the output "
     "did before it (bins struck at a steady pace are held too); 1 leaves the hold out",
     ""},
    // 0 never locks: one speech direction follows every talker, as before the lock.
    {"TALKER_LOCK", HostType::Int,
     within(inclusive(0), inclusive(10000), "lie between 0 and 10000"), 25, kSetting,
     "speech frames after which a bin's learnt speech direction is locked on the talker heard "
     "first: speech that strays from it in most bins at once (another talker) teaches that "
     "talker's direction instead, and is lowered like noise; 0 leaves the lock out",
     "frames"},
    // 1: no beam.
    {"BEAM_COHERENCE", HostType::Float, within(inclusive(0), inclusive(1), "lie between 0 and 1"),
     0.8f, kSetting,
     "least coherence of the speech between a channel and the reference channel for that "
     "channel to join a beam steered by delays fitted over the bins; the mask's gain then "
     "applies to the beam's output; 1 leaves the beam out",
     ""},
    // 0: no limit.
    {"TAIL_DECAY", HostType::Float, within(inclusive(0), inclusive(60), "lie between 0 and 60"),
     2.0f, kSetting,
     "fastest fall of a bin's output from one frame to the next after a frame that passed "
     "speech: a reverberant tail, which the split counts as noise, fades at this rate instead of "
     "being cut; 0 leaves the limit out",
     "dB"},
};

// The audio nodes: a recording in, the STFT, overlap-add synthesis, a recording out. Their frame
// geometry is the tool's: a periodic Hann window of LENGTH samples moved by HOP, frame t
// starting at sample t * HOP - (LENGTH - HOP).
inline constexpr ParameterSpec kFrameLength{
    "LENGTH",
    HostType::Int,
    within(inclusive(2), inclusive(16384), "lie between 2 and 16384"),
    1024,
    kSetting,
    "analysis frame length",
    "samples"};

inline constexpr ParameterSpec kFrameHop{
    "HOP",
    HostType::Int,
    within(inclusive(1), inclusive(8192), "lie between 1 and LENGTH / 2").andRelatesParameters(),
    256,
    kSetting,
    "samples from one frame's start to the next's",
    "samples"};

inline constexpr ParameterSpec kRecordingChannels{
    "NUM_CHANNEL", HostType::Int, within(inclusive(1), unbounded(), "be at least 1"), 4,
    kFromSignal,   "channels of the recording", ""};

inline constexpr ParameterSpec kRecordingRate{"SAMPLING_RATE",
                                              HostType::Int,
                                              within(inclusive(1), unbounded(), "be at least 1"),
                                              16000,
                                              kFromSignal,
                                              "sampling rate of the recording",
                                              "Hz"};

inline constexpr PortSpec kAudioFileSourcePorts[] = {
    {"OUTPUT", PortKind::Output, FrameType::Samples,
     "frame count of the recording: NUM_CHANNEL x LENGTH samples from count * HOP - (LENGTH - "
     "HOP) on, 0 before the start and after the end"},
    {"NOT_EOF", PortKind::Output, FrameType::Flag,
     "true while the count is a frame of the recording: the condition of the iterator that "
     "pulls it"},
    {"SAMPLES", PortKind::Output, FrameType::Count,
     "the recording's length in samples per channel, at every count"},
};

inline constexpr ParameterSpec kAudioFileSourceParameters[] = {
    textParameter("FILENAME", text("name a readable audio file"), "", kFromSignal,
                  "recording to read (WAV, FLAC, AIFF, ...: any file libsndfile reads)"),
    kRecordingChannels,
    kRecordingRate,
    kFrameLength,
    kFrameHop,
};

inline constexpr PortSpec kMultiSTFTPorts[] = {
    {"INPUT", PortKind::Input, FrameType::Samples, "frame of samples, NUM_CHANNEL x LENGTH",
     FrameValues::Finite, false, "every sample must be finite"},
    {"OUTPUT", PortKind::Output, FrameType::Spectrum,
     "spectrum of each channel's Hann-windowed frame, NUM_CHANNEL x bins, bins = LENGTH / 2 + 1"},
};

inline constexpr ParameterSpec kMultiSTFTParameters[] = {kRecordingChannels, kFrameLength};

inline constexpr PortSpec kOverlapAddSynthesisPorts[] = {
    {"INPUT", PortKind::Input, FrameType::Spectrum,
     "spectrum frame, at least 1 x bins; row 0 is synthesised", FrameValues::FiniteMagnitude,
     true, "row 0 values must have a finite magnitude"},
    {"OUTPUT", PortKind::Output, FrameType::Samples,
     "1 x n: the samples this frame made final, in the recording's time (none for the first "
     "frames, HOP a frame afterwards)"},
};

inline constexpr ParameterSpec kOverlapAddSynthesisParameters[] = {kFrameLength, kFrameHop};

inline constexpr PortSpec kAudioFileSinkPorts[] = {
    {"INPUT", PortKind::Input, FrameType::Samples,
     "block of samples to append, channels x n (the first block sets the channels)",
     FrameValues::Finite, false, "every sample must be finite"},
    {"SAMPLES", PortKind::Input, FrameType::Count,
     "samples per channel the file is to hold; the file is complete when they are written"},
    {"OUTPUT", PortKind::Output, FrameType::Count, "samples per channel written so far"},
};

inline constexpr ParameterSpec kAudioFileSinkParameters[] = {
    textParameter("FILENAME", text("name a file to write"), "", kFromSignal,
                  "file to write; its extension names the container (.wav, .flac, .aiff, ...)"),
    kRecordingRate,
    textParameter("SAMPLE_FORMAT", text("be float or pcm16", "float pcm16"), "float", kSetting,
                  "sample encoding: 32-bit float or 16-bit integer (clipped to full scale)"),
};

}  // namespace node_tables

inline constexpr NodeType kMultiRobustPCAType{
    "MultiRobustPCA",
    "Per-channel online robust PCA of magnitude spectra: emits each frame's sparse magnitudes.",
    node_tables::kMultiRobustPCAPorts,
    std::size(node_tables::kMultiRobustPCAPorts),
    node_tables::kMultiRobustPCAParameters,
    std::size(node_tables::kMultiRobustPCAParameters)};

inline constexpr NodeType kMedianIntegratorType{
    "MedianIntegrator",
    "Median across channels of the sparse magnitudes, with the phase of channel 0 of the "
    "spectrum.",
    node_tables::kMedianIntegratorPorts,
    std::size(node_tables::kMedianIntegratorPorts),
    node_tables::kMedianIntegratorParameters,
    std::size(node_tables::kMedianIntegratorParameters)};

inline constexpr NodeType kPoissonGammaIntegratorType{
    "PoissonGammaIntegrator",
    "Poisson-Gamma variational Bayes rank-one model of the sparse magnitudes, with the phase of "
    "channel 0 of the spectrum; 50 iterations a frame, state carried over.",
    node_tables::kPoissonGammaIntegratorPorts,
    std::size(node_tables::kPoissonGammaIntegratorPorts),
    node_tables::kPoissonGammaIntegratorParameters,
    std::size(node_tables::kPoissonGammaIntegratorParameters)};

inline constexpr NodeType kSparseMaskIntegratorType{
    "SparseMaskIntegrator",
    "Channel 0 of the spectrum times a per-bin Wiener gain: the a priori SNR of each channel from "
    "its sparse magnitude over its residual, smoothed over frames (decision-directed), median "
    "across channels; where the channels hear the talker with steady delays, a beam toward it "
    "that nulls the noise takes channel 0's place; state carried over.",
    node_tables::kSparseMaskIntegratorPorts,
    std::size(node_tables::kSparseMaskIntegratorPorts),
    node_tables::kSparseMaskIntegratorParameters,
    std::size(node_tables::kSparseMaskIntegratorParameters)};

inline constexpr NodeType kAudioFileSourceType{
    "AudioFileSource",
    "Reads a recording and gives its frames of samples, one per count, for the STFT.",
    node_tables::kAudioFileSourcePorts,
    std::size(node_tables::kAudioFileSourcePorts),
    node_tables::kAudioFileSourceParameters,
    std::size(node_tables::kAudioFileSourceParameters),
    "NIMBUSDALE:Audio"};

inline constexpr NodeType kMultiSTFTType{
    "MultiSTFT",
    "Short-time Fourier transform of every channel: each frame of samples times a periodic Hann "
    "window, then a real FFT.",
    node_tables::kMultiSTFTPorts,
    std::size(node_tables::kMultiSTFTPorts),
    node_tables::kMultiSTFTParameters,
    std::size(node_tables::kMultiSTFTParameters),
    "NIMBUSDALE:Audio"};

inline constexpr NodeType kOverlapAddSynthesisType{
    "OverlapAddSynthesis",
    "Inverse FFT of row 0 of each spectrum frame, Hann-weighted overlap-add, normalised by the "
    "summed window power: the samples, aligned with the analysed recording, as they become "
    "final. Frames come in order from count 0.",
    node_tables::kOverlapAddSynthesisPorts,
    std::size(node_tables::kOverlapAddSynthesisPorts),
    node_tables::kOverlapAddSynthesisParameters,
    std::size(node_tables::kOverlapAddSynthesisParameters),
    "NIMBUSDALE:Audio"};

inline constexpr NodeType kAudioFileSinkType{
    "AudioFileSink",
    "Writes the blocks of samples it receives to an audio file, which appears complete once "
    "SAMPLES samples are written and not at all if the run stops before.",
    node_tables::kAudioFileSinkPorts,
    std::size(node_tables::kAudioFileSinkPorts),
    node_tables::kAudioFileSinkParameters,
    std::size(node_tables::kAudioFileSinkParameters),
    "NIMBUSDALE:Audio"};

/// Frequency bins of a frame of `length` samples: LENGTH / 2 + 1, truncating toward zero.
constexpr int binsFromLength(int length) {
  return length / 2 + 1;
}

/// The integrators a run may end its chain with.
enum class Integrator { Median, PoissonGamma, Mask };

/// An integrator's name where users choose it (the tool's --integrator, Python's integrator=)
/// and the node type that implements it.
struct IntegratorName {
  Integrator integrator;
  const char* name;
  const NodeType* type;
};

inline constexpr IntegratorName kIntegrators[] = {
    {Integrator::Median, "median", &kMedianIntegratorType},
    {Integrator::PoissonGamma, "poisson-gamma", &kPoissonGammaIntegratorType},
    {Integrator::Mask, "mask", &kSparseMaskIntegratorType},
};

constexpr const IntegratorName& integratorName(Integrator integrator) {
  for (const IntegratorName& entry : kIntegrators)
    if (entry.integrator == integrator) return entry;
  throw std::logic_error("integrator without a name");
}

/// Every node type of the plug-in, in the order it registers them.
inline constexpr const NodeType* kNodeTypes[] = {&kMultiRobustPCAType, &kMedianIntegratorType,
                                                 &kPoissonGammaIntegratorType,
                                                 &kSparseMaskIntegratorType};

/// The node types of the audio toolbox library (recordings in and out, STFT and synthesis), in
/// the order it registers them.
inline constexpr const NodeType* kAudioNodeTypes[] = {&kAudioFileSourceType, &kMultiSTFTType,
                                                      &kOverlapAddSynthesisType,
                                                      &kAudioFileSinkType};

}  // namespace nimbusdale

#endif

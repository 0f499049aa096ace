#include "nimbusdale/SparseMaskIntegration.h"

#include "DelayBeam.h"
#include "MedianKernels.h"
#include "SparseMaskKernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

namespace nimbusdale {
namespace {

// The spatial term: the margin that keeps its ratio finite (at most 101, at least 1 / 101); the
// margin added as the two learnt directions become one (sigma^64 of it), where the ratio would
// only amplify the small difference of two matches near 1 (a poor split that taught the speech
// direction from steady noise gives that), but not where two directions are merely close, as
// all are at low frequencies; and the a priori SNR (about 4.8 dB) above which a bin teaches the
// speech direction.
constexpr float kMatchMargin = 0.01f;
constexpr float kAlikeMargin = 0.3f;
constexpr float kSpeechSnr = 3.0f;
// Where the beam lowers the noise by less than this share (3 dB: two channels of incoherent
// noise, wind), the mask's own gain, which follows a gusting noise, stays on the beam's output.
constexpr float kBeamReduction = 0.5f;
// Where it lowers the noise to this share (10 dB) or below, the transient hold leaves the gain.
constexpr float kBeamNulls = 0.1f;
// The talker lock. A locked speech bin strays from the target when it matches the speech
// direction less than kTalkerMatch. A frame carries another talker when more than kStrayShare of
// its locked speech bins (at least one in kTalkerBinShare of the bins, and kTalkerBins; fewer
// come and go with the peaks of a noise) stray: frequency consistency, as a point source
// strays in many bins at once while a reverberant or noisy target strays in few. Then the stray
// bins teach the other talker's direction instead of the target's, and those that match it
// better than kOtherMatch are lowered (a reverberant target matches no one direction so well).
// The other talker speaks alone when more than kAloneShare of the bins that can tell the two
// directions apart (likeness below kTellable) stray and match it by kAloneMatch; then every bin
// but those that clearly match the target has its xi scaled by kAloneGain.
constexpr float kTalkerMatch = 0.6f;
constexpr float kStrayShare = 0.5f;
constexpr int kTalkerBins = 8;
constexpr int kTalkerBinShare = 32;
constexpr float kOtherMatch = 0.8f;
constexpr float kTellable = 0.5f;
constexpr float kAloneMatch = 0.7f;
constexpr float kAloneShare = 0.3f;
constexpr float kAloneGain = 0.01f;

// The tail's limit starts after a frame whose gains passed this share of the reference channel's
// power: speech passed, while a frame of noise passes little more than its floor.
constexpr float kTailShare = 0.3f;

// The transient hold: frames an onset holds; frames after an onset in which every bin stays
// struck (the analysis window is still moving onto the event); the factors by which a struck
// bin's output may grow a frame in those frames and after them (a ring fades, while what the
// impulse cut short may come back); the rise of its power in a frame (1.8 dB) above which a bin
// is let go (a ring still building as the window centres on it rises less, speech starting
// more); and the excess over its power before the hold (3 dB) below which it is let go.
// Bins more than 50 dB below the frame's loudest count toward no onset: a tone switched on
// splatters that far over bins that held only quantisation noise.
constexpr float kAudibleShare = 1e-5f;
constexpr int kHoldFrames = 12;
constexpr int kRisingFrames = 2;
constexpr float kRisingGrowth = 2.0f;
constexpr float kHeldGrowth = 1.2f;
constexpr float kReleaseRise = 1.5f;
constexpr float kStruckExcess = 2.0f;
// An impulse's ring fades: a held bin whose power has not fallen below 0.8 of the frame before
// for two frames running is a sound that started abruptly and lasts (a vowel, a tone), let go.
// One such frame is enough where the bin stands no more than 20 dB above its power before the
// hold: a light tap over speech, whose ring is soon below the speech, while a hard blow's ring
// may hold level for a frame as the window centres on it.
constexpr float kFading = 0.8f;
constexpr int kSteadyFrames = 2;
constexpr float kLightStrike = 100.0f;
// Periodic impulses too narrow to strike most bins (a pump's knock ringing at one pitch): a bin's
// own onset is a 15 dB rise of its power in a frame; one that follows two earlier onsets of the
// bin at a steady period of 6 to 40 frames is held for 6 frames. The history of onsets covers
// three of the longest periods.
constexpr float kBinOnsetRise = 31.622776f;
constexpr int kPeriodicHoldFrames = 6;
constexpr int kShortestPeriod = 6;
constexpr int kLongestPeriod = 40;
constexpr int kHistoryFrames = 128;

// The fast arithmetic runs whole rows through the SIMD kernels; the reference runs the same
// operations, in the same order, in scalar loops.
constexpr bool kFast = !NIMBUSDALE_REFERENCE_ARITHMETIC;

template <class V>
void require(bool ok, const char* member, V value, const char* requirement) {
  if (ok) return;
  std::ostringstream text;
  text << "SparseMaskIntegration: " << member << " is " << value << "; it must " << requirement;
  throw std::invalid_argument(text.str());
}

}  // namespace

OwnedDelayBeam::OwnedDelayBeam() = default;
OwnedDelayBeam::OwnedDelayBeam(std::unique_ptr<DelayBeam> owned) : beam(std::move(owned)) {}
OwnedDelayBeam::OwnedDelayBeam(const OwnedDelayBeam& other)
    : beam(other.beam ? std::make_unique<DelayBeam>(*other.beam) : nullptr) {}
OwnedDelayBeam::OwnedDelayBeam(OwnedDelayBeam&& other) noexcept = default;
OwnedDelayBeam& OwnedDelayBeam::operator=(const OwnedDelayBeam& other) {
  if (this != &other) beam = other.beam ? std::make_unique<DelayBeam>(*other.beam) : nullptr;
  return *this;
}
OwnedDelayBeam& OwnedDelayBeam::operator=(OwnedDelayBeam&& other) noexcept = default;
OwnedDelayBeam::~OwnedDelayBeam() = default;

SparseMaskSettings SparseMaskSettings::fromParameters(const ParameterValues& values) {
  if (&values.type() != &kSparseMaskIntegratorType)
    throw std::logic_error(std::string("mask settings from parameters of ") + values.type().name);
  values.check();
  SparseMaskSettings s;
  s.numChannels = values.intValue("NUM_CHANNEL");
  s.numBins = binsFromLength(values.intValue("LENGTH"));
  s.snrSmoothing = values.floatValue("SNR_SMOOTHING");
  s.noiseOverestimation = values.floatValue("NOISE_OVERESTIMATION");
  s.gainFloor = values.floatValue("GAIN_FLOOR");
  s.spatialWeight = values.intValue("SPATIAL_WEIGHT");
  s.spatialSmoothing = values.floatValue("SPATIAL_SMOOTHING");
  s.transientRise = values.floatValue("TRANSIENT_RISE");
  s.transientSpread = values.floatValue("TRANSIENT_SPREAD");
  s.talkerLock = values.intValue("TALKER_LOCK");
  s.beamCoherence = values.floatValue("BEAM_COHERENCE");
  s.tailDecay = values.floatValue("TAIL_DECAY");
  return s;
}

void SparseMaskSettings::validate() const {
  const NodeType& type = kSparseMaskIntegratorType;
  auto asParameter = [&](const char* member, const char* parameter, double value) {
    const ParameterRule& rule = type.parameter(parameter).rule;
    require(admits(rule, value), member, value, rule.requirement);
  };
  asParameter("numChannels", "NUM_CHANNEL", numChannels);
  require(numBins >= 0, "numBins", numBins, "be at least 0");
  asParameter("snrSmoothing", "SNR_SMOOTHING", snrSmoothing);
  asParameter("noiseOverestimation", "NOISE_OVERESTIMATION", noiseOverestimation);
  asParameter("gainFloor", "GAIN_FLOOR", gainFloor);
  asParameter("spatialWeight", "SPATIAL_WEIGHT", spatialWeight);
  asParameter("spatialSmoothing", "SPATIAL_SMOOTHING", spatialSmoothing);
  asParameter("transientRise", "TRANSIENT_RISE", transientRise);
  asParameter("transientSpread", "TRANSIENT_SPREAD", transientSpread);
  asParameter("talkerLock", "TALKER_LOCK", talkerLock);
  asParameter("beamCoherence", "BEAM_COHERENCE", beamCoherence);
  asParameter("tailDecay", "TAIL_DECAY", tailDecay);
}

SparseMaskIntegration::SparseMaskIntegration(const SparseMaskSettings& settings)
    : config(settings) {
  config.validate();
  const size_t values = static_cast<size_t>(config.numChannels) * config.numBins;
  previousClean.assign(values, 0.0f);
  magnitude.assign(values, 0.0f);
  priorSnr.assign(values, 0.0f);
  const size_t bins = static_cast<size_t>(config.numBins);
  live.assign(bins, 0.0f);
  gain.assign(bins, config.gainFloor);
  medianSnr.assign(bins, 0.0f);
  weightedSnr.assign(bins, 0.0f);
  if (spatial()) {
    for (auto* v : {&noiseRe, &noiseIm, &speechRe, &speechIm, &unitRe, &unitIm})
      v->assign(values, 0.0f);
    for (auto* v : {&inverseScale, &largest, &unitPower, &noiseMatch, &speechMatch,
                    &noisePower, &speechPower, &likeness, &sparseChannels})
      v->assign(bins, 0.0f);
  }
  if (keepsOutput()) {
    applied.assign(bins, 0.0f);
    outputLevel.assign(bins, 0.0f);
  }
  if (limitsTails()) {
    tailFactor = std::pow(10.0f, -config.tailDecay / 20.0f);
    tailing.assign(bins, 0.0f);
  }
  if (beaming()) {
    beam = OwnedDelayBeam(std::make_unique<DelayBeam>(
        config.numChannels, config.numBins, config.spatialSmoothing, config.beamCoherence));
    beamOut.assign(2 * bins, 0.0f);
    for (auto* v : {&beamNoise, &beamReduction}) v->assign(bins, 0.0f);
    talkerWeight.assign(bins, 1.0f);
  }
  if (locking()) {
    otherRe.assign(values, 0.0f);
    otherIm.assign(values, 0.0f);
    for (auto* v : {&otherPower, &taught, &otherSpeech}) v->assign(bins, 0.0f);
    otherMatch.assign(bins, -1.0f);
    otherLikeness.assign(bins, 1.0f);  // alike until compared: no bin tells them apart yet
  }
  if (transient()) {
    for (auto* v : {&power, &lastPower, &onsetPower}) v->assign(bins, 0.0f);
    holdLeft.assign(bins, 0);
    rising.assign(bins, 0);
    steady.assign(bins, 0);
    onsets.assign(static_cast<size_t>(kHistoryFrames) * bins, 0);
    held.assign(bins, 0);
    riseFactor = std::pow(10.0f, config.transientRise / 10.0f);
  }
}

void SparseMaskIntegration::checkInputs(const float* sparse,
                                        const std::complex<float>* spectrum) const {
  const NodeType& type = kSparseMaskIntegratorType;
  checkFrameValues(type.port("SPARSE"), sparse, config.numChannels, config.numBins);
  checkFrameValues(type.port("SPEC"), spectrum, config.numChannels, config.numBins);
}

const NodeType& SparseMaskIntegration::type() const {
  return kSparseMaskIntegratorType;
}

IntegrationSummary SparseMaskIntegration::process(const float* sparse,
                                                  const std::complex<float>* spectrum,
                                                  std::complex<float>* output, std::ostream*) {
  // Whole rows of bins at a time, so that the fast arithmetic runs each step as a SIMD kernel;
  // the reference arithmetic runs the same operations in scalar loops (and takes every
  // magnitude as the hypotenuse). The median across channels is a sorting network of rows.
  const int channels = config.numChannels, bins = config.numBins;
  const size_t n = static_cast<size_t>(bins);
  const float alpha = config.snrSmoothing, keep = 1.0f - alpha;
  const float inverseMu = 1.0f / config.noiseOverestimation;  // finite: the rule requires it
  const float floor = config.gainFloor;
  const float* parts = reinterpret_cast<const float*>(spectrum);  // re, im, re, im, ...

  std::fill(live.begin(), live.end(), 0.0f);
  reference = -1;
  for (int c = 0; c < channels; ++c) {
    const long row = static_cast<long>(c) * bins;
    float* a = magnitude.data() + row;
    // |X| as spectrumMagnitude() forms it: the fast road where re^2 + im^2 stays in the normal
    // range, the hypotenuse elsewhere (exact zeros included, which give 0).
    if (!kFast || kernels::magnitudes(parts + 2 * row, a, n))
      for (int k = 0; k < bins; ++k) a[k] = spectrumMagnitude(spectrum[row + k]);

    // xi_c, and +inf where the residual is 0 (all of the bin is sparse) or where the channel
    // hears nothing: such a channel sorts after every live one and is not counted. The ratios
    // are formed before squaring, so tiny magnitudes cannot underflow into 0 / 0.
    bool sounds = false;
    if (kFast) {
      sounds = kernels::priorSnrs(a, sparse + row, previousClean.data() + row, alpha, keep,
                                  inverseMu, priorSnr.data() + row, live.data(), n);
    } else {
      const float* s = sparse + row;
      const float* previous = previousClean.data() + row;
      float* xi = priorSnr.data() + row;
      for (int k = 0; k < bins; ++k) {
        xi[k] = kernels::priorSnr(a[k], s[k], previous[k], alpha, keep, inverseMu);
        live[static_cast<size_t>(k)] += a[k] > 0.0f ? 1.0f : 0.0f;
        sounds |= a[k] > 0.0f;
      }
    }
    if (sounds && reference < 0) reference = c;
  }
  if (reference < 0) reference = 0;

  // Sort each bin's column ascending: odd-even transposition over whole rows, C rounds.
  if (kFast)
    kernels::sortColumns(priorSnr.data(), static_cast<size_t>(channels), n);
  else
    kernels::sortColumnsBins(priorSnr.data(), static_cast<size_t>(channels), n);

  // The median of the live channels' xi_c (0 where no channel is live, which gives the floor).
  const kernels::MedianRows medianRows{priorSnr.data(), live.data(),
                                       static_cast<size_t>(channels), medianSnr.data(), n};
  if (kFast)
    kernels::medians(medianRows);
  else
    kernels::medianBins(medianRows, 0, n);

  const float* snr = medianSnr.data();
  if (spatial()) {
    scaleChannelVectors(parts);
    // The matches of u to each direction (-1 where a direction is not learnt or the bin is
    // silent), and sigma, the likeness of the two directions (0 where one is not learnt).
    const kernels::DirectionMatchRows matchRows{
        noiseRe.data(),   noiseIm.data(),     speechRe.data(),   speechIm.data(),
        unitRe.data(),    unitIm.data(),      unitPower.data(),  static_cast<size_t>(channels),
        noisePower.data(), speechPower.data(), noiseMatch.data(), speechMatch.data(),
        likeness.data(),  n};
    if (kFast)
      kernels::directionMatches(matchRows);
    else
      kernels::directionMatchBins(matchRows, 0, n);
    // Until another talker has been heard, there is nothing to match it to (otherMatch stays
    // -1). Its likeness to the target drifts slowly: a quarter of the bins is refreshed a frame.
    if (locking() && otherHeard) {
      similarity(otherRe, otherIm, unitRe, unitIm, unitPower, otherPower, otherMatch, -1.0f, 0,
                 bins);
      const int from = bins * likenessQuarter / 4, to = bins * (likenessQuarter + 1) / 4;
      likenessQuarter = (likenessQuarter + 1) % 4;
      similarity(otherRe, otherIm, speechRe, speechIm, speechPower, otherLikeness, otherLikeness,
                 0.0f, from, to);
    }
    if (locking()) {
      const float lock = static_cast<float>(config.talkerLock);
      const kernels::TalkerRows talkerRows{
          inverseScale.data(), medianSnr.data(), taught.data(), speechMatch.data(),
          otherMatch.data(),   otherLikeness.data(), lock,      kSpeechSnr,
          kTalkerMatch,        kTellable,          kAloneMatch, n};
      kernels::TalkerCounts counts;
      if (kFast)
        counts = kernels::talkerCounts(talkerRows);
      else
        kernels::talkerCountBins(talkerRows, 0, n, counts);
      const int speaking = static_cast<int>(counts.speaking);
      const int strayed = static_cast<int>(counts.strayed);
      const int tellable = static_cast<int>(counts.tellable);
      const int alone = static_cast<int>(counts.alone);
      const int enough = std::max(kTalkerBins, bins / kTalkerBinShare);
      otherTalking = speaking >= enough &&
                     static_cast<float>(strayed) > kStrayShare * static_cast<float>(speaking);
      otherAlone = tellable >= enough &&
                   static_cast<float>(alone) > kAloneShare * static_cast<float>(tellable);
    }
    // The direction's weight of each bin goes into weightedSnr, and is then adjusted for the
    // other talker and multiplied into the median.
    const kernels::SpatialWeightRows weightRows{noiseMatch.data(), speechMatch.data(),
                                                likeness.data(),   kMatchMargin,
                                                kAlikeMargin,      config.spatialWeight,
                                                weightedSnr.data(), n};
    if (kFast)
      kernels::spatialWeights(weightRows);
    else
      kernels::spatialWeightBins(weightRows, 0, n);
    for (int k = 0; k < bins; ++k) {
      const size_t i = static_cast<size_t>(k);
      const float ms = speechMatch[i];
      float w = weightedSnr[i];
      // Strays from the target and matches the other talker: lowered the same way. The beam,
      // which takes no account of the other talker, is lowered by the lock's part alone.
      float lockWeight = 1.0f;
      if (otherTalking && ms >= 0.0f && ms < kTalkerMatch && otherMatch[i] > kOtherMatch) {
        const float ratio =
            kernels::matchRatio(otherLikeness[i], otherMatch[i], ms, kMatchMargin, kAlikeMargin);
        for (int p = 0; p < config.spatialWeight; ++p) w *= ratio, lockWeight *= ratio;
      }
      if (otherAlone && !(otherMatch[i] >= 0.0f && otherLikeness[i] < kTellable &&
                          ms >= kTalkerMatch && ms > otherMatch[i]))
        w *= kAloneGain, lockWeight *= kAloneGain;
      if (beaming()) talkerWeight[i] = lockWeight;
      weightedSnr[i] = medianSnr[i] * w;
    }
    snr = weightedSnr.data();
  }

  // The Wiener gain xi / (1 + xi), 0 for xi = 0 and 1 for xi = inf, and the floor.
  if (kFast) {
    kernels::wienerGains(snr, snr, true, floor, gain.data(), n);
  } else {
    for (int k = 0; k < bins; ++k) {
      const float g = 1.0f / (1.0f + 1.0f / snr[k]);
      gain[static_cast<size_t>(k)] = g > floor ? g : floor;
    }
  }

  if (keepsOutput())
    std::copy_n(magnitude.begin() + static_cast<long>(reference) * bins, bins, applied.begin());
  if (limitsTails()) limitTails();
  if (beaming()) steerBeam();
  if (transient()) holdTransients(applied.data());

  // Where the beam covers a bin, its output in the bin's units: at most the bin's largest
  // magnitude there.
  const kernels::GainRows gainRows{gain.data(),
                                   parts + 2 * static_cast<long>(reference) * bins,
                                   beamOut.data(),
                                   beamNoise.data(),
                                   beaming() ? beam->units() : nullptr,
                                   beaming(),
                                   reinterpret_cast<float*>(output),
                                   n};
  const size_t rows = static_cast<size_t>(channels);
  if (kFast) {
    kernels::applyGains(gainRows);
    if (keepsOutput()) kernels::scaleRows(gain.data(), applied.data(), outputLevel.data(), 1, n);
    kernels::scaleRows(gain.data(), magnitude.data(), previousClean.data(), rows, n);
  } else {
    kernels::applyGainBins(gainRows, 0, n);
    if (keepsOutput())
      kernels::scaleRowBins(gain.data(), applied.data(), outputLevel.data(), 1, n, 0, n);
    kernels::scaleRowBins(gain.data(), magnitude.data(), previousClean.data(), rows, n, 0, n);
  }
  if (limitsTails()) {
    const long row = static_cast<long>(reference) * bins;
    float passed = 0.0f, heard = 0.0f;
    for (int k = 0; k < bins; ++k) {
      passed += previousClean[row + k] * previousClean[row + k];
      heard += magnitude[row + k] * magnitude[row + k];
    }
    passedShare = heard > 0.0f ? passed / heard : 0.0f;
  }
  if (spatial()) learnDirections(sparse);
  return {};
}

void SparseMaskIntegration::steerBeam() {
  std::fill(beamNoise.begin(), beamNoise.end(), 0.0f);
  beam->follow(largest.data(), reference);
  if (!beam->steering()) return;
  beam->steer(unitRe.data(), unitIm.data(), beamOut.data(), beamNoise.data(),
              beamReduction.data());
  const float alpha = config.snrSmoothing;
  // Where the beam lowers the noise enough, the Wiener gain of its output's decision-directed
  // a priori SNR against its modelled noise; the output is cut to the bin's largest magnitude.
  const kernels::BeamGainRows rows{
      beamOut.data(), beamNoise.data(), beamReduction.data(), talkerWeight.data(),
      largest.data(), beam->units(), beam->inverseUnits(), outputLevel.data(), alpha,
      1.0f - alpha, 1.0f / config.noiseOverestimation, config.gainFloor, kBeamReduction,
      gain.data(), applied.data(), static_cast<size_t>(config.numBins)};
  if (kFast)
    kernels::beamGains(rows);
  else
    kernels::beamGainBins(rows, 0, rows.n);
}

void SparseMaskIntegration::limitTails() {
  const long row = static_cast<long>(reference) * config.numBins;
  const float* a = magnitude.data() + row;
  const float* last = previousClean.data() + row;
  const kernels::TailRows rows{a,          last, gain.data(), tailing.data(), tailFactor,
                               passedShare >= kTailShare, tailing.size()};
  if (kFast)
    kernels::limitTails(rows);
  else
    kernels::limitTailBins(rows, 0, rows.n);
}

void SparseMaskIntegration::holdTransients(const float* a) {
  const int channels = config.numChannels, bins = config.numBins;
  const size_t rows = static_cast<size_t>(channels), n = static_cast<size_t>(bins);
  const float* m = magnitude.data();
  const float loudest = kFast ? kernels::sumSquares(m, power.data(), rows, n)
                              : kernels::sumSquareBins(m, power.data(), rows, n, 0, n);

  // This frame's row of the onset history, and each bin's own onset; a periodic one is held.
  const float audible = loudest * kAudibleShare;
  historyRow = (historyRow + 1) % kHistoryFrames;
  unsigned char* now = onsets.data() + static_cast<size_t>(historyRow) * bins;
  int risen = 0;
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    const bool heard = lastPower[i] > 0.0f;
    risen += heard & (power[i] > lastPower[i] * riseFactor) & (power[i] > audible);
    now[k] = heard & (power[i] > lastPower[i] * kBinOnsetRise);
    if (now[k] && periodicOnset(k)) startHold(k, kPeriodicHoldFrames);
  }
  if (bins > 0 && static_cast<float>(risen) > config.transientSpread * static_cast<float>(bins))
    for (int k = 0; k < bins; ++k) startHold(k, kHoldFrames);

  std::fill(held.begin(), held.end(), 0);
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    if (holdLeft[i] == 0) continue;
    if (rising[i] == 0) {
      steady[i] = power[i] > kFading * lastPower[i] ? steady[i] + 1 : 0;
      const int lasting = power[i] <= kLightStrike * onsetPower[i] ? 1 : kSteadyFrames;
      if (steady[i] >= lasting || power[i] > kReleaseRise * lastPower[i] ||
          power[i] <= kStruckExcess * onsetPower[i]) {
        holdLeft[i] = 0;
        continue;
      }
    }
    held[i] = 1;
    // Where the beam already lowers the noise by a tenth or more it nulls an impulsive point
    // source along with its bed, and holding the gain too would only cut the speech.
    const bool nulled = beaming() && beamNoise[i] > 0.0f && beamReduction[i] <= kBeamNulls;
    if (a[k] > 0.0f && !nulled) {
      const float growth = rising[i] > 0 ? kRisingGrowth : kHeldGrowth;
      gain[i] = std::min(gain[i], std::max(growth * outputLevel[i] / a[k], config.gainFloor));
    }
    --holdLeft[i];
    if (rising[i] > 0) --rising[i];
  }
  std::swap(power, lastPower);
}

void SparseMaskIntegration::startHold(int k, int frames) {
  const size_t i = static_cast<size_t>(k);
  if (holdLeft[i] == 0) onsetPower[i] = lastPower[i];
  holdLeft[i] = std::max(holdLeft[i], frames);
  rising[i] = kRisingFrames;
  steady[i] = 0;
}

bool SparseMaskIntegration::periodicOnset(int k) const {
  // An onset a frames back, another within 2 frames of 2a back and a third within 4 of 3a back.
  const int bins = config.numBins;
  const auto onsetAgo = [&](int from, int to) {
    for (int ago = from; ago <= std::min(to, kHistoryFrames - 1); ++ago) {
      const int row = (historyRow - ago + kHistoryFrames) % kHistoryFrames;
      if (onsets[static_cast<size_t>(row) * bins + k]) return true;
    }
    return false;
  };
  for (int period = kShortestPeriod; period <= kLongestPeriod; ++period)
    if (onsetAgo(period, period) && onsetAgo(2 * period - 2, 2 * period + 2) &&
        onsetAgo(3 * period - 4, 3 * period + 4))
      return true;
  return false;
}

void SparseMaskIntegration::learnDirections(const float* sparse) {
  const int channels = config.numChannels, bins = config.numBins;
  // Noise only: no live channel has a sparse part. Speech: xi before the spatial term above
  // kSpeechSnr. A bin whose channels are all 0 teaches nothing.
  const size_t rows = static_cast<size_t>(channels), n = static_cast<size_t>(bins);
  if (kFast)
    kernels::countBothPositive(sparse, magnitude.data(), sparseChannels.data(), rows, n);
  else
    kernels::countBothPositiveBins(sparse, magnitude.data(), sparseChannels.data(), rows, n, 0, n);
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    const bool heard = inverseScale[i] > 0.0f;
    // Without a branch: which bins are which changes from frame to frame.
    sparseChannels[i] = static_cast<float>(heard & (sparseChannels[i] == 0.0f));  // noise only
    medianSnr[i] = static_cast<float>(heard & (medianSnr[i] > kSpeechSnr));       // speech
  }
  // A bin the transient hold lowered carries an impulse, not speech.
  if (transient())
    for (int k = 0; k < bins; ++k)
      medianSnr[static_cast<size_t>(k)] *= static_cast<float>(held[static_cast<size_t>(k)] == 0);
  // In a frame that carries another talker, locked speech bins that stray from the target's
  // direction teach the other talker's.
  if (locking()) {
    const kernels::LockRows lockRows{medianSnr.data(),
                                     taught.data(),
                                     otherSpeech.data(),
                                     speechMatch.data(),
                                     static_cast<float>(config.talkerLock),
                                     kTalkerMatch,
                                     otherTalking,
                                     n};
    otherHeard |= kFast ? kernels::lockSpeech(lockRows) : kernels::lockBins(lockRows, 0, n);
    learnDirection(otherRe, otherIm, otherSpeech.data());
  }
  learnDirection(noiseRe, noiseIm, sparseChannels.data());
  learnDirection(speechRe, speechIm, medianSnr.data());
  // Nor does a frame that carries another talker teach the beam's delays, in any bin.
  if (beaming()) {
    if (otherTalking) std::fill(medianSnr.begin(), medianSnr.end(), 0.0f);
    beam->learn(unitRe.data(), unitIm.data(), largest.data(), sparseChannels.data(),
                medianSnr.data());
  }
}

void SparseMaskIntegration::scaleChannelVectors(const float* parts) {
  const kernels::ChannelScaling rows{magnitude.data(),   parts,
                                     static_cast<size_t>(config.numChannels),
                                     largest.data(),     inverseScale.data(),
                                     unitRe.data(),      unitIm.data(),
                                     unitPower.data(),   static_cast<size_t>(config.numBins)};
  if (kFast)
    kernels::scaleChannels(rows);
  else
    kernels::scaleChannelBins(rows, 0, rows.n);
}

void SparseMaskIntegration::similarity(const std::vector<float>& aRe, const std::vector<float>& aIm,
                                       const std::vector<float>& bRe, const std::vector<float>& bIm,
                                       const std::vector<float>& bPower, std::vector<float>& aPower,
                                       std::vector<float>& out, float unknown, int from, int to) {
  // |a^H b|^2 / (|a|^2 |b|^2), at most 1 but for rounding; `unknown` where either vector is 0.
  // Every term is at most C in size: no overflow. `out` may be `aPower` itself.
  const size_t bins = static_cast<size_t>(config.numBins), k = static_cast<size_t>(from);
  const kernels::MatchRows rows{aRe.data() + k,     aIm.data() + k,
                                bRe.data() + k,     bIm.data() + k,
                                static_cast<size_t>(config.numChannels), bins,
                                bPower.data() + k,  aPower.data() + k,
                                out.data() + k,     unknown,
                                static_cast<size_t>(to - from)};
  if (kFast)
    kernels::matches(rows);
  else
    kernels::matchBins(rows, 0, rows.n);
}

void SparseMaskIntegration::learnDirection(std::vector<float>& re, std::vector<float>& im,
                                           const float* update) {
  const int channels = config.numChannels, bins = config.numBins;
  const float beta = config.spatialSmoothing, rest = 1.0f - beta;
  const long r = static_cast<long>(reference) * bins;
  for (int c = 0; c < channels; ++c) {
    const long row = static_cast<long>(c) * bins;
    float *hr = re.data() + row, *hi = im.data() + row;
    const float *ur = unitRe.data() + row, *ui = unitIm.data() + row;
    const float *rr = unitRe.data() + r, *ri = unitIm.data() + r;
    if (kFast) {
      kernels::learnDirection(hr, hi, ur, ui, rr, ri, unitPower.data(), update, beta, rest,
                              static_cast<size_t>(bins));
      continue;
    }
    for (int k = 0; k < bins; ++k) {
      if (update[k] == 0.0f) continue;
      // u_c conj(u_r) / |u|^2: at most 1 in size, whatever the level of the input.
      const float power = unitPower[static_cast<size_t>(k)];
      const float crossRe = (ur[k] * rr[k] + ui[k] * ri[k]) / power;
      const float crossIm = (ui[k] * rr[k] - ur[k] * ri[k]) / power;
      hr[k] = beta * hr[k] + rest * crossRe;
      hi[k] = beta * hi[k] + rest * crossIm;
    }
  }
}

}  // namespace nimbusdale

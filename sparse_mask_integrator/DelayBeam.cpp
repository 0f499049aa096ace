#include "DelayBeam.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "SparseMaskKernels.h"

namespace nimbusdale {
namespace {

constexpr int kUnset = -1000;
// A bin's scale follows its largest magnitude in exact powers of two: it moves once that
// magnitude is more than 2^kSpan away, so scaled values stay below 2^(kSpan + 1) and their
// products of four far from the float range. Its exponent stays in [kLowest, kHighest], where
// 2^exponent and 2^-exponent are both normal floats, so scaling by them is exact.
constexpr int kSpan = 16;
constexpr int kLowest = -100;
constexpr int kHighest = 120;
// The delay fit: bins from F / kLowBand to F / 2 (250 Hz to 4 kHz at 16 kHz), where speech
// carries most of its power and its phase wraps little between nearby delays; delays up to
// L / kDelayShare samples (1 ms at 16 kHz for L = 512); a full search at each of a channel's
// first kFullSearch fits, while its averages are young and change fast, and every kFullSearch
// fits after, and between them a search within half a sample of the last delay, in quarter
// samples.
// A channel joins the beam once the fitted delay explains its phases in at least kFitBins bins
// with a mean alignment of kAlignment or more, and its speech is coherent with the reference's:
// the median over the bins whose speech average holds kVotingFrames frames or more, as one
// frame is coherent with anything, and a few frames nearly so.
constexpr int kLowBand = 32;
constexpr int kDelayShare = 32;
constexpr int kFullSearch = 16;
constexpr int kFitBins = 8;
constexpr int kVotingFrames = 5;
constexpr float kAlignment = 0.5f;
// A fitted delay that aligns the noise-only frames' phases better than the talker's by this
// much has found the noise: the channel stays out.
constexpr float kNoiseMargin = 0.2f;
constexpr int kSettling = 64;
// Once kJoinedToJudge channels have joined, a frame whose speech bins line up with their delays
// by less than kFrameAlignment (a mean weighted by |u_c u_r|, the channels scaled by each bin's
// largest magnitude) is another voice, or a noise passing for one: it teaches the talker's
// statistics nothing, so the delays stay on the talker the beam found. One channel's delay
// alone would pick the frames that flatter every other channel's coherence, and in a
// reverberant room pull them all into the beam.
constexpr float kFrameAlignment = 0.5f;
constexpr int kJoinedToJudge = 2;
// Diagonal loading, as a share of the mean noise power of the channels in the beam: it keeps
// the null finite where the talker and the noise come from all but the same direction.
constexpr float kLoading = 0.01f;

constexpr bool kFast = !NIMBUSDALE_REFERENCE_ARITHMETIC;

// The binary exponent of a positive finite float, as std::ilogb gives it.
int exponentOf(float x) {
  std::uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int biased = static_cast<int>((bits >> 23) & 0xffu);
  return biased > 0 ? biased - 127 : std::ilogb(x);
}

}  // namespace

DelayBeam::DelayBeam(int channels, int bins, float smoothing, float coherence)
    : channels(channels),
      bins(bins),
      length(bins > 1 ? 2 * (bins - 1) : 0),
      beta(smoothing),
      rest(1.0f - smoothing),
      coherence(coherence) {
  const size_t values = static_cast<size_t>(channels) * bins;
  for (auto* v : {&noiseRe, &noiseIm, &noisePower, &speechRe, &speechIm, &speechPower, &steerRe,
                  &steerIm})
    v->assign(values, 0.0f);
  const size_t grid = 4 * static_cast<size_t>(length);
  cosine.resize(grid);
  sine.resize(grid);
  for (size_t m = 0; m < grid; ++m) {
    const double angle = 2.0 * M_PI * static_cast<double>(m) / static_cast<double>(grid);
    cosine[m] = static_cast<float>(std::cos(angle));
    sine[m] = static_cast<float>(std::sin(angle));
  }
  scale.assign(static_cast<size_t>(bins), kUnset);
  unitRow.assign(static_cast<size_t>(bins), 1.0f);
  inverseUnitRow.assign(static_cast<size_t>(bins), 1.0f);
  delays.assign(static_cast<size_t>(channels), 0.0f);
  for (auto* v : {&phaseRe, &phaseIm, &noisePhaseRe, &noisePhaseIm, &ratios, &coherentBins,
                  &binRatios, &toUnits, &noiseFill, &speechFill})
    v->assign(static_cast<size_t>(bins), 0.0f);
  member.assign(static_cast<size_t>(channels), 0);
  beamChannels.assign(static_cast<size_t>(channels), 0);
  // The full search's whole samples, or the fine search's 9 quarters at most.
  const size_t searched = static_cast<size_t>(2 * std::max(1, length / kDelayShare) + 1);
  candidateScores.assign(std::max<size_t>(searched, 9), 0.0f);
  visits.assign(static_cast<size_t>(channels), 0);
  for (int f = 0; f < kVotingFrames; ++f) votingFill = beta * votingFill + rest;
  reset();
}

void DelayBeam::reset() {
  for (auto* v : {&noiseRe, &noiseIm, &noisePower, &speechRe, &speechIm, &speechPower, &steerIm})
    std::fill(v->begin(), v->end(), 0.0f);
  std::fill(steerRe.begin(), steerRe.end(), 1.0f);
  std::fill(noiseFill.begin(), noiseFill.end(), 0.0f);
  std::fill(speechFill.begin(), speechFill.end(), 0.0f);
  std::fill(scale.begin(), scale.end(), kUnset);
  std::fill(unitRow.begin(), unitRow.end(), 1.0f);
  std::fill(inverseUnitRow.begin(), inverseUnitRow.end(), 1.0f);
  std::fill(delays.begin(), delays.end(), 0.0f);
  std::fill(member.begin(), member.end(), 0);
  std::fill(visits.begin(), visits.end(), 0);
  joinedCount = 0;
  nextChannel = 0;
  framesLearnt = 0;
}

void DelayBeam::rescale(int k, int exponent) {
  const int shift = 2 * (scale[static_cast<size_t>(k)] - exponent);
  for (int c = 0; c < channels; ++c) {
    const size_t i = static_cast<size_t>(c) * bins + k;
    for (auto* v : {&noiseRe, &noiseIm, &noisePower, &speechRe, &speechIm, &speechPower})
      (*v)[i] = std::ldexp((*v)[i], shift);
  }
  setScale(k, exponent);
}

void DelayBeam::setScale(int k, int exponent) {
  const size_t i = static_cast<size_t>(k);
  scale[i] = exponent;
  unitRow[i] = std::ldexp(1.0f, exponent);
  inverseUnitRow[i] = std::ldexp(1.0f, -exponent);
}

void DelayBeam::follow(const float* largest, int r) {
  if (r != reference) {
    reset();
    reference = r;
  }
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    if (largest[i] > 0.0f) {
      const int level = std::clamp(exponentOf(largest[i]), kLowest, kHighest);
      if (scale[i] == kUnset)
        setScale(k, level);
      else if (level > scale[i] + kSpan || level < scale[i] - kSpan)
        rescale(k, level);
    }
    toUnits[i] = largest[i] * inverseUnitRow[i];
  }
}

void DelayBeam::learn(const float* unitRe, const float* unitIm, const float* largest,
                      const float* noiseOnly, const float* speech) {
  const int r = reference;
  // A bin that learns takes the frame into its average with weight 1 - beta over the share of
  // the average filled so far: the average of the frames learnt, weighted 1, beta, beta^2, ...
  // back from this one, unbiased from the first frame. Elsewhere it keeps its average exactly.
  // So the talker's cross-spectrum (the speech average less the noise average) holds no noise
  // while the two averages have learnt from different numbers of frames, as at the start.
  // A frame whose speech strays from the joined channels' delays teaches the speech nothing.
  const bool learnSpeech =
      !(joinedCount >= kJoinedToJudge && strays(unitRe, unitIm, largest, noiseOnly, speech));
  const kernels::BeamLearn rows{unitRe,          unitIm,          toUnits.data(),
                                largest,         noiseOnly,       speech,
                                learnSpeech,     static_cast<size_t>(channels),
                                static_cast<size_t>(r),           beta,
                                rest,            noiseFill.data(), speechFill.data(),
                                noiseRe.data(),  noiseIm.data(),  noisePower.data(),
                                speechRe.data(), speechIm.data(), speechPower.data(),
                                static_cast<size_t>(bins)};
  if (kFast)
    kernels::beamLearn(rows);
  else
    kernels::beamLearnBins(rows, 0, rows.n);
  // A channel is refitted every C - 1 frames until it has been fitted kSettling times, and at
  // half that pace after.
  if (channels < 2) return;
  if (nextChannel == r) nextChannel = (nextChannel + 1) % channels;
  const bool settled = visits[static_cast<size_t>(nextChannel)] >= kSettling;
  if (settled && ++framesLearnt % 2 != 0) return;
  fit(nextChannel);
  nextChannel = (nextChannel + 1) % channels;
}

bool DelayBeam::strays(const float* unitRe, const float* unitIm, const float* largest,
                       const float* noiseOnly, const float* speech) const {
  const kernels::BeamAlignment rows{unitRe,
                                    unitIm,
                                    steerRe.data(),
                                    steerIm.data(),
                                    largest,
                                    noiseOnly,
                                    speech,
                                    member.data(),
                                    static_cast<size_t>(channels),
                                    static_cast<size_t>(reference),
                                    static_cast<size_t>(bins),
                                    kFrameAlignment};
  return kFast ? kernels::beamStrays(rows) : kernels::beamStraysInOrder(rows);
}

template <int G>
void DelayBeam::scoreGroup(int first, int stride, int from, int to, const float* re,
                           const float* im, float* out) const {
  const long grid = 4L * length;
  long step[G], m[G];
  float sum[G];
  for (int g = 0; g < G; ++g) {
    step[g] = ((first + g * stride) % grid + grid) % grid;
    m[g] = (static_cast<long>(from) * step[g]) % grid;
    sum[g] = 0.0f;
  }
  for (int k = from; k < to; ++k) {
    for (int g = 0; g < G; ++g) {
      const size_t i = static_cast<size_t>(m[g]);
      sum[g] += re[k] * cosine[i] - im[k] * sine[i];
      m[g] += step[g];
      if (m[g] >= grid) m[g] -= grid;
    }
  }
  std::copy_n(sum, G, out);
}

void DelayBeam::scores(int first, int stride, int count, int from, int to) {
  // Re sum_k p_k exp(i w_k tau), w_k = 2 pi k / L, for tau = q / 4, q = first + j stride: the
  // grid's index steps by q. Up to four candidates at a time, so that their sums, each over the
  // bins in order, run side by side.
  const float *re = phaseRe.data(), *im = phaseIm.data();
  const int groups = (count + 3) / 4;
  for (int g = 0, j = 0; g < groups; ++g) {
    const int size = count / groups + (g < count % groups ? 1 : 0);
    const int q = first + j * stride;
    float* out = candidateScores.data() + j;
    switch (size) {
      case 4: scoreGroup<4>(q, stride, from, to, re, im, out); break;
      case 3: scoreGroup<3>(q, stride, from, to, re, im, out); break;
      case 2: scoreGroup<2>(q, stride, from, to, re, im, out); break;
      default: scoreGroup<1>(q, stride, from, to, re, im, out); break;
    }
    j += size;
  }
}

float DelayBeam::noiseScore(int quarterDelay, int from, int to) const {
  float score;
  scoreGroup<1>(quarterDelay, 1, from, to, noisePhaseRe.data(), noisePhaseIm.data(), &score);
  return score;
}

void DelayBeam::fit(int c) {
  const int from = std::max(1, bins / kLowBand), to = bins / 2;
  const size_t row = static_cast<size_t>(c) * bins, rr = static_cast<size_t>(reference) * bins;
  // The phase of the talker's cross-spectrum (the speech frames' less the noise frames'), and
  // of the noise frames' alone; and the coherence of the speech in the bins where both channels
  // have some.
  kernels::PhaseCounts counts{0, 0};
  // Without a bin in the band (a spectrum of 0 bins has no rows to point into) nothing is fitted.
  if (to > from) {
    const size_t first = static_cast<size_t>(from);
    const kernels::DelayPhases rows{speechRe.data() + row + first,
                                    speechIm.data() + row + first,
                                    noiseRe.data() + row + first,
                                    noiseIm.data() + row + first,
                                    speechPower.data() + row + first,
                                    speechPower.data() + rr + first,
                                    phaseRe.data() + first,
                                    phaseIm.data() + first,
                                    noisePhaseRe.data() + first,
                                    noisePhaseIm.data() + first,
                                    coherentBins.data() + first,
                                    binRatios.data() + first,
                                    static_cast<size_t>(to - from)};
    counts = kFast ? kernels::delayPhases(rows) : kernels::delayPhaseBins(rows, 0, rows.n);
  }
  const int phases = static_cast<int>(counts.talker), noisePhases = static_cast<int>(counts.noise);
  int coherent = 0;
  for (int k = from; k < to; ++k) {
    const size_t i = static_cast<size_t>(k);
    if (coherentBins[i] == 0.0f || speechFill[i] < votingFill) continue;
    ratios[static_cast<size_t>(coherent++)] = binRatios[i];
  }
  const bool wasMember = member[static_cast<size_t>(c)] != 0;
  bool joins = false;
  if (phases >= kFitBins && coherent > 0) {
    int best = static_cast<int>(std::lround(4.0f * delays[static_cast<size_t>(c)]));
    int reachFine = 2;  // within half a sample of the last delay
    const int fits = visits[static_cast<size_t>(c)];
    if (fits < kFullSearch || fits % kFullSearch == 0) {
      reachFine = 4;  // within a sample of the best whole one
      const int reach = std::max(1, length / kDelayShare);
      scores(-4 * reach, 4, 2 * reach + 1, from, to);
      float top = -INFINITY;
      for (int d = -reach; d <= reach; ++d) {
        const float s = candidateScores[static_cast<size_t>(d + reach)];
        if (s > top) top = s, best = 4 * d;
      }
    }
    scores(best - reachFine, 1, 2 * reachFine + 1, from, to);
    float top = -INFINITY;
    int refined = best;
    for (int q = best - reachFine; q <= best + reachFine; ++q) {
      const float s = candidateScores[static_cast<size_t>(q - best + reachFine)];
      if (s > top) top = s, refined = q;
    }
    ++visits[static_cast<size_t>(c)];
    const float delay = 0.25f * static_cast<float>(refined);
    if (delay != delays[static_cast<size_t>(c)]) {
      delays[static_cast<size_t>(c)] = delay;
      setSteering(c);
    }
    auto middle = ratios.begin() + coherent / 2;
    std::nth_element(ratios.begin(), middle, ratios.begin() + coherent);
    // A noise whose moving parts pass for speech (a drill's sweeping harmonics) teaches the
    // talker's statistics its own delay.
    const bool noiseThere =
        noisePhases >= kFitBins &&
        noiseScore(refined, from, to) / static_cast<float>(noisePhases) >=
            top / static_cast<float>(phases) + kNoiseMargin;
    joins = top >= kAlignment * static_cast<float>(phases) && *middle >= coherence &&
            !noiseThere;
  }
  member[static_cast<size_t>(c)] = joins;
  joinedCount += static_cast<int>(joins) - static_cast<int>(wasMember);
}

void DelayBeam::setSteering(int c) {
  const long grid = 4L * length;
  const int quarters = static_cast<int>(std::lround(4.0f * delays[static_cast<size_t>(c)]));
  const long step = ((-static_cast<long>(quarters)) % grid + grid) % grid;
  float* re = steerRe.data() + static_cast<size_t>(c) * bins;
  float* im = steerIm.data() + static_cast<size_t>(c) * bins;
  long m = 0;
  for (int k = 0; k < bins; ++k) {
    re[k] = cosine[static_cast<size_t>(m)];
    im[k] = sine[static_cast<size_t>(m)];
    m += step;
    if (m >= grid) m -= grid;
  }
}

void DelayBeam::steer(const float* unitRe, const float* unitIm, float* out, float* noise,
                      float* reduction) {
  // Noise = lambda a a^H + s I, a the unit direction of E[x conj(x_r)], lambda its power and s
  // the rest spread evenly, loaded; the beam w = N^-1 h / (h^H N^-1 h) passes the talker
  // (steering vector h) unchanged and, by Sherman and Morrison, is
  // (h - g (a^H h) a) / (|h|^2 - g |a^H h|^2) with g = lambda / (lambda + s); its noise power
  // is s / (|h|^2 - g |a^H h|^2). The sums run over the channels in the beam.
  size_t count = 0;
  for (int c = 0; c < channels; ++c)
    if (c == reference || member[static_cast<size_t>(c)]) beamChannels[count++] = c;
  const kernels::BeamSteer rows{unitRe,
                                unitIm,
                                toUnits.data(),
                                noiseRe.data(),
                                noiseIm.data(),
                                noisePower.data(),
                                steerRe.data(),
                                steerIm.data(),
                                beamChannels.data(),
                                count,
                                noisePower.data() + static_cast<size_t>(reference) * bins,
                                kLoading,
                                out,
                                noise,
                                reduction,
                                static_cast<size_t>(bins)};
  if (kFast)
    kernels::beamSteer(rows);
  else
    kernels::beamSteerBins(rows, 0, rows.n);
}

}  // namespace nimbusdale

// SIMD kernels of the fast sparse-mask arithmetic, dispatched at run time to the best instruction
// set the processor has (Google Highway). Each gives the same bits as the scalar loop it replaces
// on every instruction set: the element-wise ones round every operation on its own in the order
// written below, with no fused multiply-add; the reductions are counts and a maximum, exact in
// any order; beamStrays() says how it keeps its answer.
#ifndef NIMBUSDALE_SPARSE_MASK_KERNELS_H
#define NIMBUSDALE_SPARSE_MASK_KERNELS_H

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>

namespace nimbusdale::kernels {

/// One bin of priorSnrs(), as the scalar path computes it: the reference the vector lanes must
/// match bit for bit.
inline float priorSnr(float a, float s, float previous, float alpha, float keep, float inverseMu) {
  const float residual = a - s;
  const float ratio = s / residual;
  float value = (ratio * ratio) * inverseMu;
  if (alpha != 0.0f) {
    const float carried = previous / residual;
    value = alpha * ((carried * carried) * inverseMu) + keep * value;
  }
  return a > 0.0f && residual > 0.0f ? value : std::numeric_limits<float>::infinity();
}

/// a[k] = sqrt(re^2 + im^2) of the interleaved `parts` (re, im, re, im, ...), k < n. Returns
/// whether some re^2 + im^2 left [FLT_MIN, FLT_MAX] (a zero included): there the caller must
/// take the hypotenuse instead.
bool magnitudes(const float* parts, float* a, size_t n);

/// For k < n, with r = a[k] - s[k]:
///   xi[k] = alpha ((previous[k] / r)^2 * inverseMu) + keep ((s[k] / r)^2 * inverseMu)
/// where a[k] > 0 and r > 0, and +inf elsewhere; with alpha = 0 only the second term, unscaled
/// by keep. live[k] += 1 where a[k] > 0. Returns whether some a[k] > 0.
bool priorSnrs(const float* a, const float* s, const float* previous, float alpha, float keep,
               float inverseMu, float* xi, float* live, size_t n);

/// The median of each bin's live values, k < n, from C rows (row c at c n) sorted ascending in
/// each bin, the live ones first: with l = live[k] (a count), xi[k] = row l / 2's value where l
/// is odd, (row (l - 1) / 2's + row l / 2's) * 0.5 where it is even, and 0 where l is 0.
struct MedianRows {
  const float *sorted, *live;
  size_t channels;
  float* xi;
  size_t n;
};

/// medians()' bins from..to as the scalar path computes them.
inline void medianBins(const MedianRows& m, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const size_t l = static_cast<size_t>(m.live[k]);
    float xi = 0.0f;
    if (l > 0) {
      const float below = m.sorted[(l - 1) / 2 * m.n + k];
      const float middle = m.sorted[l / 2 * m.n + k];
      xi = l % 2 ? middle : (below + middle) * 0.5f;
    }
    m.xi[k] = xi;
  }
}
void medians(const MedianRows& m);

/// gain[k] = max(1 / (1 + 1 / xi), floor), xi = middle[k] if `odd`, else
/// (below[k] + middle[k]) * 0.5, k < n.
void wienerGains(const float* below, const float* middle, bool odd, float floor, float* gain,
                 size_t n);

/// out[r n + k] = gain[k] rows[r n + k] for `count` rows of n.
void scaleRows(const float* gain, const float* rows, float* out, size_t count, size_t n);

/// scaleRows()' bins from..to of each row as the scalar path computes them.
inline void scaleRowBins(const float* gain, const float* rows, float* out, size_t count, size_t n,
                         size_t from, size_t to) {
  for (size_t r = 0; r < count; ++r)
    for (size_t k = from; k < to; ++k) out[r * n + k] = gain[k] * rows[r * n + k];
}

/// The talker lock's counts over the bins: speech (heard, inverseScale > 0; snr above speechSnr;
/// taught at least `lock` frames), speech straying from the target (speechMatch below
/// talkerMatch), speech told apart from the other talker (otherMatch >= 0 and otherLikeness
/// below tellable), and told speech that strays and matches the other talker by aloneMatch.
struct TalkerRows {
  const float *inverseScale, *snr, *taught, *speechMatch, *otherMatch, *otherLikeness;
  float lock, speechSnr, talkerMatch, tellable, aloneMatch;
  size_t n;
};
struct TalkerCounts {
  size_t speaking = 0, strayed = 0, tellable = 0, alone = 0;
};
inline void talkerCountBins(const TalkerRows& r, size_t from, size_t to, TalkerCounts& counts) {
  for (size_t i = from; i < to; ++i) {
    const bool speech = r.inverseScale[i] > 0.0f && r.snr[i] > r.speechSnr && r.taught[i] >= r.lock;
    const bool strays = speech & (r.speechMatch[i] < r.talkerMatch);
    const bool told = speech & (r.otherMatch[i] >= 0.0f) & (r.otherLikeness[i] < r.tellable);
    counts.speaking += speech;
    counts.strayed += strays;
    counts.tellable += told;
    counts.alone += told & strays & (r.otherMatch[i] >= r.aloneMatch);
  }
}
TalkerCounts talkerCounts(const TalkerRows& r);

/// The mask's output, re and im interleaved: gain times the beam's output times the bin's unit
/// where `beaming` and beamNoise > 0, else gain times the reference channel's spectrum.
struct GainRows {
  const float *gain, *spectrum, *beamOut, *beamNoise, *units;
  bool beaming;
  float* out;
  size_t n;
};
inline void applyGainBins(const GainRows& g, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    if (g.beaming && g.beamNoise[k] > 0.0f) {
      g.out[2 * k] = g.gain[k] * g.beamOut[2 * k] * g.units[k];
      g.out[2 * k + 1] = g.gain[k] * g.beamOut[2 * k + 1] * g.units[k];
    } else {
      g.out[2 * k] = g.gain[k] * g.spectrum[2 * k];
      g.out[2 * k + 1] = g.gain[k] * g.spectrum[2 * k + 1];
    }
  }
}
void applyGains(const GainRows& g);

/// count[k] = the number of rows r < `rows` whose s[r n + k] and a[r n + k] are both positive.
inline void countBothPositiveBins(const float* s, const float* a, float* count, size_t rows,
                                  size_t n, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) count[k] = 0.0f;
  for (size_t r = 0; r < rows; ++r)
    for (size_t k = from; k < to; ++k)
      count[k] += static_cast<float>((s[r * n + k] > 0.0f) & (a[r * n + k] > 0.0f));
}
void countBothPositive(const float* s, const float* a, float* count, size_t rows, size_t n);

/// power[k] = the sum over rows r < `rows` of a[r n + k]^2, row by row from 0. Returns the
/// largest power, and 0 if none is positive.
inline float sumSquareBins(const float* a, float* power, size_t rows, size_t n, size_t from,
                           size_t to) {
  for (size_t k = from; k < to; ++k) power[k] = 0.0f;
  for (size_t r = 0; r < rows; ++r)
    for (size_t k = from; k < to; ++k) power[k] += a[r * n + k] * a[r * n + k];
  float loudest = 0.0f;
  for (size_t k = from; k < to; ++k) loudest = power[k] > loudest ? power[k] : loudest;
  return loudest;
}
float sumSquares(const float* a, float* power, size_t rows, size_t n);

/// The talker lock's lesson in a bin with speech (speech != 0): taught counts up to `lock`;
/// where the frame carries another talker (otherTalking), the bin has been taught `lock` frames
/// and strays from the target (speechMatch below talkerMatch), the speech is the other talker's:
/// other becomes 1 and speech 0 there, other 0 elsewhere. Returns whether some bin is the other
/// talker's.
struct LockRows {
  float *speech, *taught, *other;
  const float* speechMatch;
  float lock, talkerMatch;
  bool otherTalking;
  size_t n;
};
inline bool lockBins(const LockRows& r, size_t from, size_t to) {
  bool any = false;
  for (size_t i = from; i < to; ++i) {
    const bool speech = r.speech[i] != 0.0f;
    const bool other =
        r.otherTalking & speech & (r.taught[i] >= r.lock) & (r.speechMatch[i] < r.talkerMatch);
    r.taught[i] += static_cast<float>(speech & (r.taught[i] < r.lock));
    r.other[i] = static_cast<float>(other);
    r.speech[i] = other ? 0.0f : r.speech[i];
    any |= other;
  }
  return any;
}
bool lockSpeech(const LockRows& r);

/// The tail limit: in a bin the mask may limit (after speech, `afterSpeech`, or where it did in
/// the last frame, tailing != 0) and whose magnitude a is positive, the gain rises to
/// kept = min(1, (factor last) / a) where that is higher, and tailing becomes 1 there; elsewhere
/// tailing becomes 0 and the gain stays.
struct TailRows {
  const float *a, *last;
  float *gain, *tailing;
  float factor;
  bool afterSpeech;
  size_t n;
};
inline void limitTailBins(const TailRows& t, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    const bool limited = (t.afterSpeech || t.tailing[i] != 0.0f) && t.a[i] > 0.0f;
    t.tailing[i] = 0.0f;
    if (!limited) continue;
    const float kept = std::min(1.0f, t.factor * t.last[i] / t.a[i]);
    if (kept > t.gain[i]) t.gain[i] = kept, t.tailing[i] = 1.0f;
  }
}
void limitTails(const TailRows& t);

/// The spatial term's channel vectors, bin by bin, k < n, over C rows of magnitudes a (n each)
/// and of interleaved spectra (re, im, ...; 2 n each): largest[k] = the largest a over the
/// channels (0 where none is above 0), inverse[k] = 1 / largest[k] where that is above 0, else 0;
/// re, im (C rows of n) = the spectra's parts times inverse[k]; power[k] = sum_c re^2 + im^2,
/// channel by channel from 0.
struct ChannelScaling {
  const float *a, *parts;
  size_t channels;
  float *largest, *inverse, *re, *im, *power;
  size_t n;
};

/// scaleChannels()' bins from..to as the scalar path computes them.
inline void scaleChannelBins(const ChannelScaling& s, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    float most = 0.0f;
    for (size_t c = 0; c < s.channels; ++c) {
      const float a = s.a[c * s.n + k];
      most = a > most ? a : most;
    }
    const float inverse = most > 0.0f ? 1.0f / most : 0.0f;
    float power = 0.0f;
    for (size_t c = 0; c < s.channels; ++c) {
      const size_t i = c * s.n + k;
      s.re[i] = s.parts[2 * i] * inverse;
      s.im[i] = s.parts[2 * i + 1] * inverse;
      power += s.re[i] * s.re[i] + s.im[i] * s.im[i];
    }
    s.largest[k] = most;
    s.inverse[k] = inverse;
    s.power[k] = power;
  }
}
void scaleChannels(const ChannelScaling& s);

/// The match of C directions a to C directions b, bin by bin, k < n, each a set of C rows of n
/// `stride` apart: dot = sum_c conj(a) b and aPower[k] = sum_c |a|^2, channel by channel from 0;
/// out[k] = |dot|^2 / (aPower[k] bPower[k]), at most 1, where aPower bPower > 0 and the ratio is
/// not NaN, and `unknown` elsewhere. `out` may be `aPower`.
struct MatchRows {
  const float *aRe, *aIm, *bRe, *bIm;
  size_t channels, stride;
  const float* bPower;
  float *aPower, *out;
  float unknown;
  size_t n;
};

/// matches()' bins from..to as the scalar path computes them.
inline void matchBins(const MatchRows& m, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    float dotRe = 0.0f, dotIm = 0.0f, power = 0.0f;
    for (size_t c = 0; c < m.channels; ++c) {
      const size_t i = c * m.stride + k;
      const float ar = m.aRe[i], ai = m.aIm[i], br = m.bRe[i], bi = m.bIm[i];
      dotRe += ar * br + ai * bi;
      dotIm += ar * bi - ai * br;
      power += ar * ar + ai * ai;
    }
    const float denominator = power * m.bPower[k];
    const float ratio = (dotRe * dotRe + dotIm * dotIm) / denominator;
    m.aPower[k] = power;
    m.out[k] = denominator > 0.0f && ratio == ratio ? (ratio < 1.0f ? ratio : 1.0f) : m.unknown;
  }
}
void matches(const MatchRows& m);

/// The frame's three matches() of the learnt directions in one pass, over C rows of n each:
/// noise (nRe, nIm) to u (noiseMatch, its power noisePower) and speech (sRe, sIm) to u
/// (speechMatch, speechPower), both -1 where unknown, against u's power uPower; and noise to
/// speech (likeness, 0 where unknown).
struct DirectionMatchRows {
  const float *nRe, *nIm, *sRe, *sIm, *uRe, *uIm, *uPower;
  size_t channels;
  float *noisePower, *speechPower, *noiseMatch, *speechMatch, *likeness;
  size_t n;
};

/// directionMatches()' bins from..to as the scalar path computes them.
inline void directionMatchBins(const DirectionMatchRows& m, size_t from, size_t to) {
  matchBins({m.nRe, m.nIm, m.uRe, m.uIm, m.channels, m.n, m.uPower, m.noisePower, m.noiseMatch,
             -1.0f, m.n},
            from, to);
  matchBins({m.sRe, m.sIm, m.uRe, m.uIm, m.channels, m.n, m.uPower, m.speechPower,
             m.speechMatch, -1.0f, m.n},
            from, to);
  matchBins({m.nRe, m.nIm, m.sRe, m.sIm, m.channels, m.n, m.speechPower, m.likeness, m.likeness,
             0.0f, m.n},
            from, to);
}
void directionMatches(const DirectionMatchRows& m);

/// How much better a bin's direction matches the target than `match`, another direction whose
/// likeness to the target is `likeness`: with sigma^64 = likeness^2 squared five times and
/// margin = matchMargin + alikeMargin sigma^64, ((1 - match) + margin) / ((1 - speech) + margin),
/// each operation rounded on its own.
inline float matchRatio(float likeness, float match, float speech, float matchMargin,
                        float alikeMargin) {
  float alike = likeness * likeness;
  for (int square = 1; square < 6; ++square) alike *= alike;
  const float margin = matchMargin + alikeMargin * alike;
  return (1.0f - match + margin) / (1.0f - speech + margin);
}

/// The spatial term's weight of each bin, k < n: where both matches are known (noiseMatch[k] and
/// speechMatch[k] at least 0), ratio = matchRatio(likeness[k], noiseMatch[k], speechMatch[k])
/// and weight[k] = ratio^power as power - 1 products from ratio on; 1 elsewhere.
struct SpatialWeightRows {
  const float *noiseMatch, *speechMatch, *likeness;
  float matchMargin, alikeMargin;
  int power;
  float* weight;
  size_t n;
};

/// spatialWeights()' bins from..to as the scalar path computes them.
inline void spatialWeightBins(const SpatialWeightRows& r, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const float mn = r.noiseMatch[k], ms = r.speechMatch[k];
    float w = 1.0f;
    if (mn >= 0.0f && ms >= 0.0f) {
      const float ratio = matchRatio(r.likeness[k], mn, ms, r.matchMargin, r.alikeMargin);
      w = ratio;
      for (int p = 1; p < r.power; ++p) w *= ratio;
    }
    r.weight[k] = w;
  }
}
void spatialWeights(const SpatialWeightRows& r);

/// learnDirection: where update[k] != 0, h = beta h + rest (u conj(r)) / power[k], with
///   u conj(r) = (ur rr + ui ri) + i (ui rr - ur ri); h is left alone elsewhere.
void learnDirection(float* hr, float* hi, const float* ur, const float* ui, const float* rr,
                    const float* ri, const float* power, const float* update, float beta,
                    float rest, size_t n);

/// The beam's sweeps, bin by bin, k < n, over C rows of n each (row c at c n), with
/// x = (xRe, xIm) times toUnits.
///
/// beamLearn: with ref the x of row `reference`, c = x conj(ref) and p = |x|^2, in a bin heard
///   (largest > 0) and noise only (noiseOnly != 0) the noise statistics' share filled (nFill)
///   becomes f = beta nFill + rest and each noise statistic (nRe, nIm, nPower) (1 - t) value +
///   t (c.re, c.im or p) with t = rest / f; elsewhere both stay. The speech statistics (sFill,
///   sRe, sIm, sPower) the same in a bin heard, not noise only and with speech != 0, if
///   learnSpeech.
struct BeamLearn {
  const float *xRe, *xIm, *toUnits, *largest, *noiseOnly, *speech;
  bool learnSpeech;
  size_t channels, reference;
  float beta, rest;
  float *nFill, *sFill;
  float *nRe, *nIm, *nPower, *sRe, *sIm, *sPower;
  size_t n;
};

/// Whether bin k teaches the beam's speech statistics: heard, not noise only, and speech.
inline bool beamSpeechBin(const float* largest, const float* noiseOnly, const float* speech,
                          size_t k) {
  return largest[k] > 0.0f && !(noiseOnly[k] != 0.0f) && speech[k] != 0.0f;
}

/// How well a frame's speech lines up with the beam: over the joined channels (member[c] != 0)
/// and the bins beamSpeechBin() takes, with r the row `reference` of u = (unitRe, unitIm) and
/// x = u_c conj(u_r), the sum of x's parts along the steering vector (steerRe, steerIm) and the
/// sum of |x|, each taken channel by channel and, within a channel, bin by bin.
struct BeamAlignment {
  const float *unitRe, *unitIm, *steerRe, *steerIm;  // C x n
  const float *largest, *noiseOnly, *speech;         // n
  const unsigned char* member;                       // C
  size_t channels, reference, n;
  float alignment;  ///< the share of the sizes below which the frame strays
};

/// Whether the frame strays: the sizes' sum is positive and the sum along the steering vectors
/// is below `alignment` times it, both summed in the order above.
inline bool beamStraysInOrder(const BeamAlignment& b) {
  const size_t rr = b.reference * b.n;
  float along = 0.0f, size = 0.0f;
  for (size_t c = 0; c < b.channels; ++c) {
    if (!b.member[c]) continue;
    for (size_t k = 0; k < b.n; ++k) {
      if (!beamSpeechBin(b.largest, b.noiseOnly, b.speech, k)) continue;
      const size_t i = c * b.n + k, ir = rr + k;
      // x_c conj(x_r), turned back by the channel's delay: real and positive for the talker.
      const float xr = b.unitRe[i] * b.unitRe[ir] + b.unitIm[i] * b.unitIm[ir];
      const float xi = b.unitIm[i] * b.unitRe[ir] - b.unitRe[i] * b.unitIm[ir];
      along += xr * b.steerRe[i] + xi * b.steerIm[i];
      size += std::sqrt(xr * xr + xi * xi);
    }
  }
  return size > 0.0f && along < b.alignment * size;
}

/// beamStraysInOrder()'s answer from sums taken across vector lanes. The two orders of the same
/// terms differ by at most their rounding bound; only where that bound could change the answer
/// are the sums taken again in order. A reduction, not element-wise, but always the same answer.
bool beamStrays(const BeamAlignment& b);

/// beamLearn's bins from..to as the scalar path computes them.
inline void beamLearnBins(const BeamLearn& r, size_t from, size_t to) {
  const float* refRe = r.xRe + r.reference * r.n;
  const float* refIm = r.xIm + r.reference * r.n;
  for (size_t k = from; k < to; ++k) {
    const bool heard = r.largest[k] > 0.0f;
    const bool noise = heard && r.noiseOnly[k] != 0.0f;
    const bool talk = r.learnSpeech && beamSpeechBin(r.largest, r.noiseOnly, r.speech, k);
    const float nFill = r.beta * r.nFill[k] + r.rest, sFill = r.beta * r.sFill[k] + r.rest;
    const float takeN = noise ? r.rest / nFill : 0.0f, keepN = noise ? 1.0f - takeN : 1.0f;
    const float takeS = talk ? r.rest / sFill : 0.0f, keepS = talk ? 1.0f - takeS : 1.0f;
    if (noise) r.nFill[k] = nFill;
    if (talk) r.sFill[k] = sFill;
    const float rr = refRe[k] * r.toUnits[k], ri = refIm[k] * r.toUnits[k];
    for (size_t c = 0; c < r.channels; ++c) {
      const size_t i = c * r.n + k;
      const float cr = r.xRe[i] * r.toUnits[k], ci = r.xIm[i] * r.toUnits[k];
      const float crossRe = cr * rr + ci * ri;
      const float crossIm = ci * rr - cr * ri;
      const float power = cr * cr + ci * ci;
      r.nRe[i] = keepN * r.nRe[i] + takeN * crossRe;
      r.nIm[i] = keepN * r.nIm[i] + takeN * crossIm;
      r.nPower[i] = keepN * r.nPower[i] + takeN * power;
      r.sRe[i] = keepS * r.sRe[i] + takeS * crossRe;
      r.sIm[i] = keepS * r.sIm[i] + takeS * crossIm;
      r.sPower[i] = keepS * r.sPower[i] + takeS * power;
    }
  }
}
void beamLearn(const BeamLearn& r);

/// beamSteer: the beam from the channels `members` lists (`count` rows, in the order listed).
///   With the noise statistic m = (mRe, mIm), mPower and the steering vector h = (hRe, hIm), the
///   sums over them, channel by channel from 0, are total = sum mPower, cross = sum |m|^2,
///   steerPower = sum |h|^2, nh = sum conj(m) h, ny = sum conj(m) x and hy = sum conj(h) x.
///   With the noise model lambda a a^H + s I (lambda = min(cross / own, total), s the rest spread
///   over the members and loaded), out = (hy - g conj(nh) ny / cross) / D, noise = s / D and
///   reduction = noise / own, D = steerPower - g |nh|^2 / cross, g = lambda / (lambda + s). A bin
///   with own, cross, s or D not above 0 (NaN included) gets out 0, noise 0, reduction 1.
struct BeamSteer {
  const float *xRe, *xIm, *toUnits, *mRe, *mIm, *mPower, *hRe, *hIm;
  const int* members;
  size_t count;
  const float* own;  // the reference channel's noise power
  float loading;
  float *out, *noise, *reduction;  // out interleaved
  size_t n;
};

/// beamSteer's bins from..to as the scalar path computes them: every value is formed, then
/// chosen, as the vector lanes do.
inline void beamSteerBins(const BeamSteer& b, size_t from, size_t to) {
  const float members = static_cast<float>(b.count);
  for (size_t k = from; k < to; ++k) {
    float total = 0.0f, cross = 0.0f, steerPower = 0.0f, nhRe = 0.0f, nhIm = 0.0f, nyRe = 0.0f,
          nyIm = 0.0f, hyRe = 0.0f, hyIm = 0.0f;
    for (size_t j = 0; j < b.count; ++j) {
      const size_t i = static_cast<size_t>(b.members[j]) * b.n + k;
      const float xr = b.xRe[i] * b.toUnits[k], xi = b.xIm[i] * b.toUnits[k];
      const float mr = b.mRe[i], mi = b.mIm[i], hr = b.hRe[i], hi = b.hIm[i];
      total += b.mPower[i];
      cross += mr * mr + mi * mi;
      steerPower += hr * hr + hi * hi;
      nhRe += mr * hr + mi * hi;
      nhIm += mr * hi - mi * hr;
      nyRe += mr * xr + mi * xi;
      nyIm += mr * xi - mi * xr;
      hyRe += hr * xr + hi * xi;
      hyIm += hr * xi - hi * xr;
    }
    const float likely = cross / b.own[k];
    const float lambda = total < likely ? total : likely;
    const float rest = total - lambda;
    const float spread =
        (rest > 0.0f ? rest : 0.0f) / (members - 1.0f) + b.loading * total / members;
    const float share = lambda / (lambda + spread) / cross;
    const float denominator = steerPower - share * (nhRe * nhRe + nhIm * nhIm);
    const float cRe = nhRe * nyRe + nhIm * nyIm;
    const float cIm = nhRe * nyIm - nhIm * nyRe;
    const bool covered =
        (b.own[k] > 0.0f) & (cross > 0.0f) & (spread > 0.0f) & (denominator > 0.0f);
    const float power = spread / denominator;
    const float re = (hyRe - share * cRe) / denominator;
    const float im = (hyIm - share * cIm) / denominator;
    const float lowered = power / b.own[k];
    b.out[2 * k] = covered ? re : 0.0f;
    b.out[2 * k + 1] = covered ? im : 0.0f;
    b.noise[k] = covered ? power : 0.0f;
    b.reduction[k] = covered ? lowered : 1.0f;
  }
}
void beamSteer(const BeamSteer& b);

/// The delay fit's phases, bin by bin, k < n: with the talker's cross-spectrum
/// (re, im) = (sRe - nRe, sIm - nIm), speech less noise, and size = sqrt(re^2 + im^2),
/// phaseRe[k], phaseIm[k] = re / size, im / size where size > 0, else 0; noisePhaseRe[k],
/// noisePhaseIm[k] the same for the noise frames' (nRe, nIm) alone; coherent[k] = 1 where
/// ownPower[k] refPower[k] > 0, else 0, and ratio[k] = (sRe^2 + sIm^2) / (ownPower refPower)
/// (meaningful where coherent). Counts the bins whose size is above 0, of each.
struct DelayPhases {
  const float *sRe, *sIm, *nRe, *nIm, *ownPower, *refPower;
  float *phaseRe, *phaseIm, *noisePhaseRe, *noisePhaseIm, *coherent, *ratio;
  size_t n;
};
struct PhaseCounts {
  size_t talker, noise;
};

/// delayPhases()' bins from..to as the scalar path computes them.
inline PhaseCounts delayPhaseBins(const DelayPhases& p, size_t from, size_t to) {
  PhaseCounts counts{0, 0};
  for (size_t k = from; k < to; ++k) {
    const float re = p.sRe[k] - p.nRe[k], im = p.sIm[k] - p.nIm[k];
    const float size = std::sqrt(re * re + im * im);
    const float phaseRe = re / size, phaseIm = im / size;
    p.phaseRe[k] = size > 0.0f ? phaseRe : 0.0f;
    p.phaseIm[k] = size > 0.0f ? phaseIm : 0.0f;
    counts.talker += size > 0.0f;
    const float noiseSize = std::sqrt(p.nRe[k] * p.nRe[k] + p.nIm[k] * p.nIm[k]);
    const float noiseRe = p.nRe[k] / noiseSize, noiseIm = p.nIm[k] / noiseSize;
    p.noisePhaseRe[k] = noiseSize > 0.0f ? noiseRe : 0.0f;
    p.noisePhaseIm[k] = noiseSize > 0.0f ? noiseIm : 0.0f;
    counts.noise += noiseSize > 0.0f;
    const float powers = p.ownPower[k] * p.refPower[k];
    p.coherent[k] = powers > 0.0f ? 1.0f : 0.0f;
    p.ratio[k] = (p.sRe[k] * p.sRe[k] + p.sIm[k] * p.sIm[k]) / powers;
  }
  return counts;
}
PhaseCounts delayPhases(const DelayPhases& p);

/// The gain where the beam steers, bin by bin: the beam's output (out, interleaved, in the
/// bin's units) is cut to the bin's largest magnitude; where noise > 0, the output is finite
/// and reduction <= reductionLimit, gain = max(1 / (1 + 1 / xi), floor) with xi = (alpha
/// (past)^2 [if alpha > 0] + keep max(now^2 - 1, 0)) inverseMu talkerWeight, past = outputLevel
/// / unit / sqrt(noise), now = |out| / sqrt(noise); applied = |out| unit where covered. A bin
/// whose output is not finite gets noise 0 (left to the mask).
struct BeamGainRows {
  float *out, *noise;
  const float *reduction, *talkerWeight, *largest, *units, *inverseUnits, *outputLevel;
  float alpha, keep, inverseMu, floor, reductionLimit;
  float *gain, *applied;
  size_t n;
};

inline void beamGainBins(const BeamGainRows& b, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const float re = b.out[2 * k], im = b.out[2 * k + 1];
    const float size = std::sqrt(re * re + im * im);
    const bool covered = (b.noise[k] > 0.0f) & (size <= FLT_MAX);
    const float loudest = b.largest[k] * b.inverseUnits[k];
    const bool loud = size > loudest;
    const float ratio = loudest / size;
    const float shrink = loud ? ratio : 1.0f;
    const float kept = loud ? loudest : size;
    const float level = std::sqrt(b.noise[k]);
    const float past = b.outputLevel[k] * b.inverseUnits[k] / level;
    const float now = kept / level;
    const float excess = now * now - 1.0f;
    const float carried = b.alpha * (past * past);
    const float xi = ((b.alpha > 0.0f ? carried : 0.0f) + b.keep * (excess > 0.0f ? excess : 0.0f)) *
                     b.inverseMu * b.talkerWeight[k];
    const float g = 1.0f / (1.0f + 1.0f / xi);
    const bool own = covered & (b.reduction[k] <= b.reductionLimit);
    b.gain[k] = own ? (g > b.floor ? g : b.floor) : b.gain[k];
    b.applied[k] = covered ? kept * b.units[k] : b.applied[k];
    b.out[2 * k] = covered ? re * shrink : re;
    b.out[2 * k + 1] = covered ? im * shrink : im;
    b.noise[k] = covered ? b.noise[k] : 0.0f;
  }
}
void beamGains(const BeamGainRows& b);

}  // namespace nimbusdale::kernels

#endif

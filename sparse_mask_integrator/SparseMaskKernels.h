// SIMD kernels of the fast sparse-mask arithmetic, dispatched at run time to the best instruction
// set the processor has (Google Highway). Each is element-wise, with every operation rounded on
// its own in the order written below and no fused multiply-add, so it gives the same bits as the
// scalar loop it replaces on every instruction set.
#ifndef NIMBUSDALE_SPARSE_MASK_KERNELS_H
#define NIMBUSDALE_SPARSE_MASK_KERNELS_H

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

/// lower[k], upper[k] = min, max of the two, k < n (no NaN expected).
void compareExchange(float* lower, float* upper, size_t n);

/// gain[k] = max(1 / (1 + 1 / xi), floor), xi = middle[k] if `odd`, else
/// (below[k] + middle[k]) * 0.5, k < n.
void wienerGains(const float* below, const float* middle, bool odd, float floor, float* gain,
                 size_t n);

/// The spatial term's sweeps over one channel's row of bins, k < n:
///
/// scaleChannel: re[k], im[k] = the interleaved x (re, im, ...) times inverse[k];
///   power[k] += re[k]^2 + im[k]^2.
void scaleChannel(const float* parts, const float* inverse, float* re, float* im, float* power,
                  size_t n);

/// accumulateMatch: with h = (hr, hi) and u = (ur, ui), dotRe[k] += hr ur + hi ui,
///   dotIm[k] += hr ui - hi ur (the sum of conj(h) u), hPower[k] += hr^2 + hi^2.
void accumulateMatch(const float* hr, const float* hi, const float* ur, const float* ui,
                     float* dotRe, float* dotIm, float* hPower, size_t n);

/// learnDirection: where update[k] != 0, h = beta h + rest (u conj(r)) / power[k], with
///   u conj(r) = (ur rr + ui ri) + i (ui rr - ur ri); h is left alone elsewhere.
void learnDirection(float* hr, float* hi, const float* ur, const float* ui, const float* rr,
                    const float* ri, const float* power, const float* update, float beta,
                    float rest, size_t n);

/// The beam's sweeps over one channel's row of bins, k < n, with x = (xRe, xIm) times toUnits.
///
/// beamLearnRow: with c = x conj(ref) and p = |x|^2, each of the noise (n*) and speech (s*)
///   statistics becomes keep value + take (c.re, c.im or p), keep and take per bin.
struct BeamLearnRow {
  const float *xRe, *xIm, *toUnits, *refRe, *refIm, *keepN, *takeN, *keepS, *takeS;
  float *nRe, *nIm, *nPower, *sRe, *sIm, *sPower;
  size_t n;
};

/// beamLearnRow's bins from..to as the scalar path computes them.
inline void beamLearnBins(const BeamLearnRow& r, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const float cr = r.xRe[k] * r.toUnits[k], ci = r.xIm[k] * r.toUnits[k];
    const float crossRe = cr * r.refRe[k] + ci * r.refIm[k];
    const float crossIm = ci * r.refRe[k] - cr * r.refIm[k];
    const float power = cr * cr + ci * ci;
    r.nRe[k] = r.keepN[k] * r.nRe[k] + r.takeN[k] * crossRe;
    r.nIm[k] = r.keepN[k] * r.nIm[k] + r.takeN[k] * crossIm;
    r.nPower[k] = r.keepN[k] * r.nPower[k] + r.takeN[k] * power;
    r.sRe[k] = r.keepS[k] * r.sRe[k] + r.takeS[k] * crossRe;
    r.sIm[k] = r.keepS[k] * r.sIm[k] + r.takeS[k] * crossIm;
    r.sPower[k] = r.keepS[k] * r.sPower[k] + r.takeS[k] * power;
  }
}
void beamLearnRow(const BeamLearnRow& r);

/// beamSteerRow: with the noise statistic m = (mRe, mIm), mPower and the steering vector
///   h = (hRe, hIm): sums[0..8] += mPower, |m|^2, |h|^2, conj(m) h (re, im), conj(m) x (re, im),
///   conj(h) x (re, im); each sums[j] a row of n.
struct BeamSteerRow {
  const float *xRe, *xIm, *toUnits, *mRe, *mIm, *mPower, *hRe, *hIm;
  float* const* sums;
  size_t n;
};

/// beamSteerRow's bins from..to as the scalar path computes them.
inline void beamSteerBins(const BeamSteerRow& r, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const float xr = r.xRe[k] * r.toUnits[k], xi = r.xIm[k] * r.toUnits[k];
    const float mr = r.mRe[k], mi = r.mIm[k], hr = r.hRe[k], hi = r.hIm[k];
    r.sums[0][k] += r.mPower[k];
    r.sums[1][k] += mr * mr + mi * mi;
    r.sums[2][k] += hr * hr + hi * hi;
    r.sums[3][k] += mr * hr + mi * hi;
    r.sums[4][k] += mr * hi - mi * hr;
    r.sums[5][k] += mr * xr + mi * xi;
    r.sums[6][k] += mr * xi - mi * xr;
    r.sums[7][k] += hr * xr + hi * xi;
    r.sums[8][k] += hr * xi - hi * xr;
  }
}
void beamSteerRow(const BeamSteerRow& r);

/// The beam from its sums over the channels (beamSteerRow's rows), bin by bin: with the noise
/// model lambda a a^H + s I (lambda = min(|m|^2 / own, total), s = the rest spread over the
/// members and loaded), out = (conj(h) x - g conj(m h) conj(m) x / |m|^2) / D, noise = s / D,
/// reduction = noise / own, D = |h|^2 - g |conj(m) h|^2 / |m|^2, g = lambda / (lambda + s).
/// A bin with own, |m|^2, s or D not above 0 (NaN included) gets out 0, noise 0, reduction 1.
struct BeamRows {
  const float* const* sums;  // 9 rows
  const float* own;          // the reference channel's noise power
  float members, loading;
  float *out, *noise, *reduction;  // out interleaved
  size_t n;
};

/// finishBeam's bins from..to as the scalar path computes them: every value is formed, then
/// chosen, as the vector lanes do.
inline void finishBeamBins(const BeamRows& b, size_t from, size_t to) {
  const float *total = b.sums[0], *cross = b.sums[1], *steerPower = b.sums[2];
  const float *nhRe = b.sums[3], *nhIm = b.sums[4], *nyRe = b.sums[5], *nyIm = b.sums[6];
  const float *hyRe = b.sums[7], *hyIm = b.sums[8];
  for (size_t k = from; k < to; ++k) {
    const float likely = cross[k] / b.own[k];
    const float lambda = total[k] < likely ? total[k] : likely;
    const float rest = total[k] - lambda;
    const float spread = (rest > 0.0f ? rest : 0.0f) / (b.members - 1.0f) +
                         b.loading * total[k] / b.members;
    const float share = lambda / (lambda + spread) / cross[k];
    const float denominator = steerPower[k] - share * (nhRe[k] * nhRe[k] + nhIm[k] * nhIm[k]);
    const float cRe = nhRe[k] * nyRe[k] + nhIm[k] * nyIm[k];
    const float cIm = nhRe[k] * nyIm[k] - nhIm[k] * nyRe[k];
    const bool covered = (b.own[k] > 0.0f) & (cross[k] > 0.0f) & (spread > 0.0f) &
                         (denominator > 0.0f);
    const float power = spread / denominator;
    const float re = (hyRe[k] - share * cRe) / denominator;
    const float im = (hyIm[k] - share * cIm) / denominator;
    const float lowered = power / b.own[k];
    b.out[2 * k] = covered ? re : 0.0f;
    b.out[2 * k + 1] = covered ? im : 0.0f;
    b.noise[k] = covered ? power : 0.0f;
    b.reduction[k] = covered ? lowered : 1.0f;
  }
}
void finishBeam(const BeamRows& b);

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

// SIMD kernels of the fast sparse-mask arithmetic, dispatched at run time to the best instruction
// set the processor has (Google Highway). Each is element-wise, with every operation rounded on
// its own in the order written below and no fused multiply-add, so it gives the same bits as the
// scalar loop it replaces on every instruction set.
#ifndef NIMBUSDALE_SPARSE_MASK_KERNELS_H
#define NIMBUSDALE_SPARSE_MASK_KERNELS_H

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

}  // namespace nimbusdale::kernels

#endif

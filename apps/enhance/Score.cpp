#include "Score.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace nimbusdale::app {
namespace {

double toDb(double signal, double noise) {
  if (noise <= 0.0) return std::numeric_limits<double>::infinity();
  if (signal <= 0.0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / noise);
}

}  // namespace

ScoreResult score(const float* reference, long referenceSamples, const float* estimate,
                  long estimateSamples, long maxLag) {
  if (referenceSamples <= 0 || estimateSamples <= 0)
    throw std::invalid_argument("cannot score an empty signal");
  maxLag = std::max(0L, maxLag);

  ScoreResult result;
  double best = -std::numeric_limits<double>::infinity();
  for (long lag = -maxLag; lag <= maxLag; ++lag) {
    const long first = std::max(0L, -lag);
    const long last = std::min(referenceSamples, estimateSamples - lag);
    if (last <= first) continue;
    double c = 0.0;
    for (long n = first; n < last; ++n) c += double(reference[n]) * estimate[n + lag];
    if (c > best) {
      best = c;
      result.lag = lag;
    }
  }
  const long first = std::max(0L, -result.lag);
  const long last = std::min(referenceSamples, estimateSamples - result.lag);
  if (last <= first) throw std::invalid_argument("the signals do not overlap at any lag");
  result.overlap = last - first;

  double refMean = 0.0, estMean = 0.0;
  for (long n = first; n < last; ++n) {
    refMean += reference[n];
    estMean += estimate[n + result.lag];
  }
  refMean /= double(result.overlap);
  estMean /= double(result.overlap);

  double dot = 0.0, refPower = 0.0, plainRef = 0.0, plainErr = 0.0;
  for (long n = first; n < last; ++n) {
    const double s = reference[n], e = estimate[n + result.lag];
    dot += (s - refMean) * (e - estMean);
    refPower += (s - refMean) * (s - refMean);
    plainRef += s * s;
    plainErr += (s - e) * (s - e);
  }
  const double alpha = refPower > 0.0 ? dot / refPower : 0.0;
  double target = 0.0, noise = 0.0;
  for (long n = first; n < last; ++n) {
    const double t = alpha * (reference[n] - refMean);
    const double d = (estimate[n + result.lag] - estMean) - t;
    target += t * t;
    noise += d * d;
  }
  result.siSdr = toDb(target, noise);
  result.sdr = toDb(plainRef, plainErr);
  return result;
}

}  // namespace nimbusdale::app

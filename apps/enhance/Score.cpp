#include "Score.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace nimbusdale::app {
namespace {

void checkFinite(const float* x, long n, const char* which) {
  for (long i = 0; i < n; ++i)
    if (!std::isfinite(x[i]))
      throw std::invalid_argument(std::string("cannot score: the ") + which + " holds " +
                                  std::to_string(x[i]) + " at sample " + std::to_string(i));
}

std::string silent(const char* which, long overlap) {
  return std::string("SI-SDR is undefined: the ") + which + " is silent over the " +
         std::to_string(overlap) + " samples compared (no power once its mean is removed)";
}

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
  checkFinite(reference, referenceSamples, "reference");
  checkFinite(estimate, estimateSamples, "estimate");
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

  double dot = 0.0, refPower = 0.0, estPower = 0.0, plainRef = 0.0, plainErr = 0.0;
  for (long n = first; n < last; ++n) {
    const double s = reference[n], e = estimate[n + result.lag];
    dot += (s - refMean) * (e - estMean);
    refPower += (s - refMean) * (s - refMean);
    estPower += (e - estMean) * (e - estMean);
    plainRef += s * s;
    plainErr += (s - e) * (s - e);
  }
  if (!(refPower > 0.0)) throw std::invalid_argument(silent("reference", result.overlap));
  if (!(estPower > 0.0)) throw std::invalid_argument(silent("estimate", result.overlap));
  const double alpha = dot / refPower;
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

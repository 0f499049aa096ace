#include "DelayBeam.h"

#include <algorithm>
#include <cmath>

namespace nimbusdale {
namespace {

constexpr int kUnset = -1000;
// A bin's scale follows its largest magnitude in exact powers of two: it moves once that
// magnitude is more than 2^kSpan away, so scaled values stay below 2^(kSpan + 1) and their
// products of four far from the float range. Its exponent stays in [kLowest, kHighest], where
// 2^-exponent is a normal float or an exact subnormal power of two.
constexpr int kSpan = 16;
constexpr int kLowest = -100;
constexpr int kHighest = 120;
// The delay fit: bins from F / kLowBand to F / 2 (250 Hz to 4 kHz at 16 kHz), where speech
// carries most of its power and its phase wraps little between nearby delays; delays up to
// L / kDelayShare samples (1 ms at 16 kHz for L = 512); a full search every kFullSearch fits of
// a channel, and between them a search within a sample of the last delay, in quarter samples.
// A channel joins the beam once the fitted delay explains its phases in at least kFitBins bins
// with a mean alignment of kAlignment or more, and its speech is coherent with the reference's.
constexpr int kLowBand = 32;
constexpr int kDelayShare = 32;
constexpr int kFullSearch = 16;
constexpr int kFitBins = 8;
constexpr float kAlignment = 0.5f;
// Diagonal loading, as a share of the mean noise power of the channels in the beam: it keeps
// the null finite where the talker and the noise come from all but the same direction.
constexpr float kLoading = 0.01f;

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
  delays.assign(static_cast<size_t>(channels), 0.0f);
  for (auto* v : {&phaseRe, &phaseIm, &ratios}) v->assign(static_cast<size_t>(bins), 0.0f);
  member.assign(static_cast<size_t>(channels), 0);
  fitted.assign(static_cast<size_t>(channels), 0);
  visits.assign(static_cast<size_t>(channels), 0);
  reset();
}

void DelayBeam::reset() {
  for (auto* v : {&noiseRe, &noiseIm, &noisePower, &speechRe, &speechIm, &speechPower, &steerIm})
    std::fill(v->begin(), v->end(), 0.0f);
  std::fill(steerRe.begin(), steerRe.end(), 1.0f);
  std::fill(scale.begin(), scale.end(), kUnset);
  std::fill(delays.begin(), delays.end(), 0.0f);
  std::fill(member.begin(), member.end(), 0);
  std::fill(fitted.begin(), fitted.end(), 0);
  std::fill(visits.begin(), visits.end(), 0);
  joinedCount = 0;
  nextChannel = 0;
}

void DelayBeam::rescale(int k, int exponent) {
  const int shift = 2 * (scale[static_cast<size_t>(k)] - exponent);
  for (int c = 0; c < channels; ++c) {
    const size_t i = static_cast<size_t>(c) * bins + k;
    for (auto* v : {&noiseRe, &noiseIm, &noisePower, &speechRe, &speechIm, &speechPower})
      (*v)[i] = std::ldexp((*v)[i], shift);
  }
  scale[static_cast<size_t>(k)] = exponent;
}

void DelayBeam::follow(const float* largest) {
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    if (!(largest[i] > 0.0f)) continue;
    const int level = std::clamp(std::ilogb(largest[i]), kLowest, kHighest);
    if (scale[i] == kUnset)
      scale[i] = level;
    else if (level > scale[i] + kSpan || level < scale[i] - kSpan)
      rescale(k, level);
  }
}

void DelayBeam::learn(const float* parts, const float* largest, const float* noiseOnly,
                      const float* speech, int r) {
  if (r != reference) {
    reset();
    reference = r;
  }
  follow(largest);
  const size_t rr = static_cast<size_t>(r) * bins;
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    if (!(largest[i] > 0.0f) || (noiseOnly[i] == 0.0f && speech[i] == 0.0f)) continue;
    const float factor = std::ldexp(1.0f, -scale[i]);
    const float xr = parts[2 * (rr + i)] * factor, xi = parts[2 * (rr + i) + 1] * factor;
    const bool noise = noiseOnly[i] != 0.0f;
    float* re = noise ? noiseRe.data() : speechRe.data();
    float* im = noise ? noiseIm.data() : speechIm.data();
    float* power = noise ? noisePower.data() : speechPower.data();
    for (int c = 0; c < channels; ++c) {
      const size_t j = static_cast<size_t>(c) * bins + i;
      const float cr = parts[2 * j] * factor, ci = parts[2 * j + 1] * factor;
      re[j] = beta * re[j] + rest * (cr * xr + ci * xi);
      im[j] = beta * im[j] + rest * (ci * xr - cr * xi);
      power[j] = beta * power[j] + rest * (cr * cr + ci * ci);
    }
  }
  if (channels < 2) return;
  if (nextChannel == r) nextChannel = (nextChannel + 1) % channels;
  fit(nextChannel);
  nextChannel = (nextChannel + 1) % channels;
}

float DelayBeam::score(int quarterDelay, int from, int to) const {
  // Re sum_k p_k exp(i w_k tau), w_k = 2 pi k / L, tau = quarterDelay / 4: the grid's index.
  const long grid = 4L * length;
  float sum = 0.0f;
  for (int k = from; k < to; ++k) {
    const long m = ((static_cast<long>(k) * quarterDelay) % grid + grid) % grid;
    sum += phaseRe[static_cast<size_t>(k)] * cosine[static_cast<size_t>(m)] -
           phaseIm[static_cast<size_t>(k)] * sine[static_cast<size_t>(m)];
  }
  return sum;
}

void DelayBeam::fit(int c) {
  const int from = std::max(1, bins / kLowBand), to = bins / 2;
  const size_t row = static_cast<size_t>(c) * bins, rr = static_cast<size_t>(reference) * bins;
  // The phase of the talker's cross-spectrum: the speech frames' less the noise frames'.
  int phases = 0, coherent = 0;
  for (int k = from; k < to; ++k) {
    const size_t i = static_cast<size_t>(k);
    const float re = speechRe[row + i] - noiseRe[row + i];
    const float im = speechIm[row + i] - noiseIm[row + i];
    const float size = std::sqrt(re * re + im * im);
    phaseRe[i] = size > 0.0f ? re / size : 0.0f;
    phaseIm[i] = size > 0.0f ? im / size : 0.0f;
    phases += size > 0.0f;
    const float powers = speechPower[row + i] * speechPower[rr + i];
    if (powers > 0.0f) {
      const float cross = speechRe[row + i] * speechRe[row + i] +
                          speechIm[row + i] * speechIm[row + i];
      ratios[static_cast<size_t>(coherent++)] = cross / powers;
    }
  }
  const bool wasMember = member[static_cast<size_t>(c)] != 0;
  bool joins = false;
  if (phases >= kFitBins && coherent > 0) {
    int best = static_cast<int>(std::lround(4.0f * delays[static_cast<size_t>(c)]));
    if (!fitted[static_cast<size_t>(c)] || visits[static_cast<size_t>(c)] % kFullSearch == 0) {
      const int reach = std::max(1, length / kDelayShare);
      float top = -INFINITY;
      for (int d = -reach; d <= reach; ++d) {
        const float s = score(4 * d, from, to);
        if (s > top) top = s, best = 4 * d;
      }
    }
    float top = -INFINITY;
    int refined = best;
    for (int q = best - 4; q <= best + 4; ++q) {
      const float s = score(q, from, to);
      if (s > top) top = s, refined = q;
    }
    ++visits[static_cast<size_t>(c)];
    fitted[static_cast<size_t>(c)] = 1;
    const float delay = 0.25f * static_cast<float>(refined);
    if (delay != delays[static_cast<size_t>(c)]) {
      delays[static_cast<size_t>(c)] = delay;
      setSteering(c);
    }
    auto middle = ratios.begin() + coherent / 2;
    std::nth_element(ratios.begin(), middle, ratios.begin() + coherent);
    joins = top >= kAlignment * static_cast<float>(phases) && *middle >= coherence;
  }
  member[static_cast<size_t>(c)] = joins;
  joinedCount += static_cast<int>(joins) - static_cast<int>(wasMember);
}

void DelayBeam::setSteering(int c) {
  const long grid = 4L * length;
  const int quarters = static_cast<int>(std::lround(4.0f * delays[static_cast<size_t>(c)]));
  float* re = steerRe.data() + static_cast<size_t>(c) * bins;
  float* im = steerIm.data() + static_cast<size_t>(c) * bins;
  for (int k = 0; k < bins; ++k) {
    const long m = ((-static_cast<long>(k) * quarters) % grid + grid) % grid;
    re[k] = cosine[static_cast<size_t>(m)];
    im[k] = sine[static_cast<size_t>(m)];
  }
}

void DelayBeam::steer(const float* parts, float* out, float* noise, float* reduction) const {
  // Noise = lambda a a^H + s I, a the unit direction of E[x conj(x_r)], lambda its power and s
  // the rest spread evenly, loaded; the beam w = N^-1 h / (h^H N^-1 h) passes the talker
  // (steering vector h) unchanged and, by Sherman and Morrison, is
  // (h - g (a^H h) a) / (|h|^2 - g |a^H h|^2) with g = lambda / (lambda + s); its noise power
  // is s / (|h|^2 - g |a^H h|^2).
  const size_t rr = static_cast<size_t>(reference) * bins;
  const float members = static_cast<float>(joinedCount + 1);
  for (int k = 0; k < bins; ++k) {
    const size_t i = static_cast<size_t>(k);
    noise[i] = 0.0f;
    const float own = noisePower[rr + i];
    if (scale[i] == kUnset || !(own > 0.0f)) continue;
    const float factor = std::ldexp(1.0f, -scale[i]);
    float total = 0.0f, cross = 0.0f, hh = 0.0f;
    float nhRe = 0.0f, nhIm = 0.0f, nyRe = 0.0f, nyIm = 0.0f, hyRe = 0.0f, hyIm = 0.0f;
    for (int c = 0; c < channels; ++c) {
      if (c != reference && !member[static_cast<size_t>(c)]) continue;
      const size_t j = static_cast<size_t>(c) * bins + i;
      const float xr = parts[2 * j] * factor, xi = parts[2 * j + 1] * factor;
      const float nr = noiseRe[j], ni = noiseIm[j], hr = steerRe[j], hi = steerIm[j];
      total += noisePower[j];
      cross += nr * nr + ni * ni;
      hh += hr * hr + hi * hi;
      nhRe += nr * hr + ni * hi;
      nhIm += nr * hi - ni * hr;
      nyRe += nr * xr + ni * xi;
      nyIm += nr * xi - ni * xr;
      hyRe += hr * xr + hi * xi;
      hyIm += hr * xi - hi * xr;
    }
    if (!(cross > 0.0f)) continue;
    const float lambda = std::min(cross / own, total);
    const float spread = std::max(total - lambda, 0.0f) / (members - 1.0f) +
                         kLoading * total / members;
    if (!(spread > 0.0f)) continue;
    const float share = lambda / (lambda + spread) / cross;
    const float denominator = hh - share * (nhRe * nhRe + nhIm * nhIm);
    if (!(denominator > 0.0f)) continue;
    const float cRe = nhRe * nyRe + nhIm * nyIm, cIm = nhRe * nyIm - nhIm * nyRe;
    out[2 * i] = (hyRe - share * cRe) / denominator;
    out[2 * i + 1] = (hyIm - share * cIm) / denominator;
    noise[i] = spread / denominator;
    reduction[i] = noise[i] / own;
  }
}

}  // namespace nimbusdale

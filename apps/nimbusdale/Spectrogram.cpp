#include "Spectrogram.h"

#include <stb_easy_font.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace nimbusdale::app {
namespace {

// The time axis takes kPixelsPerSecond, within [kMinPlotWidth, kMaxPlotWidth]; every panel's
// frequency axis takes kPlotHeight.
constexpr int kPixelsPerSecond = 100, kMinPlotWidth = 480, kMaxPlotWidth = 1600;
constexpr int kPlotHeight = 300;
// Columns kept per panel before neighbours are pooled in pairs; at least the widest plot.
constexpr size_t kMaxColumns = kMaxPlotWidth;
constexpr float kRangeDb = 80.0f;
// The top of the colour range never sits below this, so silence is drawn dark, not as loudest.
constexpr float kQuietestTopDb = -200.0f;

// Font sizes in image pixels per font pixel, and the spacing around the plot elements.
constexpr double kTitleScale = 2.0, kLabelScale = 1.75, kTickScale = 1.5;
constexpr int kFontHeight = 9;  // font pixels from the top of a capital to the foot of a 'g'
constexpr int kPad = 10, kTick = 5, kTickGap = 4, kLabelGap = 6, kTitleGap = 8, kPanelGap = 18;
constexpr int kBarGap = 16, kBarWidth = 18;

using Rgb = std::array<unsigned char, 3>;
const Rgb kBlack{0, 0, 0};

struct Image {
  int width, height;
  std::vector<unsigned char> rgb;
  Image(int w, int h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 255) {}
  // Paints `c` over the pixel with opacity `alpha`.
  void set(int x, int y, Rgb c, float alpha = 1.0f) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    for (int k = 0; k < 3; ++k)
      p[k] = static_cast<unsigned char>(p[k] + alpha * (c[static_cast<size_t>(k)] - p[k]) + 0.5f);
  }
  void fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) set(x, y, c);
  }
  // A one-pixel outline just outside the w x h area at (x, y).
  void frame(int x, int y, int w, int h) {
    fill(x - 1, y - 1, x + w + 1, y, kBlack);
    fill(x - 1, y + h, x + w + 1, y + h + 1, kBlack);
    fill(x - 1, y, x, y + h, kBlack);
    fill(x + w, y, x + w + 1, y + h, kBlack);
  }
};

// Text in stb_easy_font's glyphs (printable ASCII; anything else shows as '?').
std::string printable(std::string text) {
  for (char& c : text)
    if (c < 32 || c > 126) c = '?';
  return text;
}

int textWidth(const std::string& text, double scale) {
  std::string t = printable(text);
  // The font's width counts the gap after the last glyph.
  return static_cast<int>(std::ceil((stb_easy_font_width(t.data()) - 1) * scale));
}

int textHeight(double scale) {
  return static_cast<int>(std::ceil(kFontHeight * scale));
}

// Draws `text` with its top left corner at (x, y), `scale` image pixels per font pixel; the
// glyphs are rendered on a 4x finer grid, so fractional scales come out anti-aliased. Turned
// text reads bottom to top, with (x, y) the bottom left corner of its first glyph.
void drawText(Image& img, int x, int y, const std::string& text, double scale,
              bool turned = false) {
  constexpr int kFine = 4;
  std::string t = printable(text);
  // Each glyph takes at most 11 quads of 64 bytes.
  std::vector<char> buffer(64 * 16 * (t.size() + 1));
  const int quads =
      stb_easy_font_print(0, 0, t.data(), nullptr, buffer.data(), static_cast<int>(buffer.size()));
  const int along = textWidth(t, scale) + 2, across = textHeight(scale) + 2;
  const int w = turned ? across : along, h = turned ? along : across;
  std::vector<unsigned char> covered(static_cast<size_t>(w * kFine) * (h * kFine), 0);
  const auto fine = [&](float v) { return static_cast<int>(std::lround(v * scale * kFine)); };
  for (int q = 0; q < quads; ++q) {
    const float* v0 = reinterpret_cast<const float*>(buffer.data() + q * 64);
    const float* v2 = reinterpret_cast<const float*>(buffer.data() + q * 64 + 32);
    int u0 = fine(v0[0]), u1 = fine(v2[0]), s0 = fine(v0[1]), s1 = fine(v2[1]);
    if (turned) {
      // Glyph x runs up the image from the bottom of the box, glyph y runs right.
      std::tie(u0, u1, s0, s1) = std::make_tuple(s0, s1, h * kFine - u1, h * kFine - u0);
    }
    for (int fy = std::max(0, s0); fy < std::min(h * kFine, s1); ++fy)
      for (int fx = std::max(0, u0); fx < std::min(w * kFine, u1); ++fx)
        covered[static_cast<size_t>(fy) * (w * kFine) + fx] = 1;
  }
  const int top = turned ? y - h : y;
  for (int py = 0; py < h; ++py)
    for (int px = 0; px < w; ++px) {
      int count = 0;
      for (int fy = py * kFine; fy < (py + 1) * kFine; ++fy)
        for (int fx = px * kFine; fx < (px + 1) * kFine; ++fx)
          count += covered[static_cast<size_t>(fy) * (w * kFine) + fx];
      if (count) img.set(x + px, top + py, kBlack, float(count) / (kFine * kFine));
    }
}

// An approximation of matplotlib's magma: dark to light, perceptually ordered.
Rgb colourFor(float t) {
  static const float stops[9][3] = {{0, 0, 4},      {28, 16, 68},    {79, 18, 123},
                                    {129, 37, 129}, {181, 54, 122},  {229, 80, 100},
                                    {251, 135, 97}, {254, 194, 135}, {252, 253, 191}};
  t = std::clamp(t, 0.0f, 1.0f) * 8.0f;
  const int i = std::min(7, static_cast<int>(t));
  const float f = t - i;
  Rgb c{};
  for (int k = 0; k < 3; ++k)
    c[static_cast<size_t>(k)] =
        static_cast<unsigned char>(stops[i][k] + f * (stops[i + 1][k] - stops[i][k]) + 0.5f);
  return c;
}

// The 1, 2 or 5 times a power of ten that splits `span` into at most `maxTicks` steps.
double niceStep(double span, int maxTicks) {
  const double raw = span / std::max(1, maxTicks);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw * (1 - 1e-6)) return m * p;
  return 10.0 * p;
}

// The multiples of a nice step within [lo, hi].
std::vector<double> ticks(double lo, double hi, int maxTicks) {
  const double step = niceStep(std::max(hi - lo, 1e-9), maxTicks);
  std::vector<double> out;
  for (long i = static_cast<long>(std::ceil(lo / step - 1e-9));
       i * step <= hi + 1e-9 * std::max(1.0, std::abs(hi)); ++i)
    out.push_back(i * step);
  return out;
}

std::string numberLabel(double v) {
  char buf[32];
  const double rounded = std::round(v * 1000.0) / 1000.0;
  std::snprintf(buf, sizeof buf, "%g", rounded == 0 ? 0.0 : rounded);
  return buf;
}

// The inputs [first, last) that output `i` of `m` shows when `n` inputs are spread over `m`
// outputs: several when pooling down, the one nearest when stretching.
std::pair<size_t, size_t> span(size_t i, size_t n, size_t m) {
  const size_t first = i * n / m;
  return {first, std::max(first + 1, (i + 1) * n / m)};
}

int plotWidth(double seconds) {
  return static_cast<int>(std::clamp(std::lround(seconds * kPixelsPerSecond), long{kMinPlotWidth},
                                     long{kMaxPlotWidth}));
}

}  // namespace

// One signal's frames as columns of kPlotHeight dB values (row 0 the lowest frequencies, each the
// loudest bin it covers), each column pooling `framesPerColumn` frames by their maximum.
struct SpectrogramBuilder::Panel {
  Panel(std::string title, StftGeometry g)
      : title(std::move(title)),
        geometry(g),
        window(hannWindow(g.length)),
        pending(static_cast<size_t>(g.length - g.hop), 0.0f),
        frame(static_cast<size_t>(g.length)),
        bins(static_cast<size_t>(g.bins())),
        fft(g.length) {
    double sum = 0;
    for (float w : window) sum += w;
    fullScale = static_cast<float>(2.0 / sum);
  }

  // Frames complete once `pending` holds a whole frame; `pending` starts with the zeros before
  // the signal.
  void add(const float* x, long n, int stride) {
    for (long i = 0; i < n; ++i) {
      pending.push_back(x[i * stride]);
      if (static_cast<long>(pending.size()) == geometry.length) {
        runFrame();
        pending.erase(pending.begin(), pending.begin() + geometry.hop);
      }
    }
    samples += n;
  }

  // The last frames, zero-padded, as the analysis of the whole signal has them.
  void finish() {
    const long frames = std::max(1L, geometry.frameCount(samples));
    while (framesDone < frames) {
      pending.resize(static_cast<size_t>(geometry.length), 0.0f);
      runFrame();
      pending.erase(pending.begin(), pending.begin() + geometry.hop);
    }
  }

  void runFrame() {
    for (int i = 0; i < geometry.length; ++i)
      frame[static_cast<size_t>(i)] =
          pending[static_cast<size_t>(i)] * window[static_cast<size_t>(i)];
    fft.forward(frame.data(), bins.data());
    if (framesDone % framesPerColumn == 0) columns.emplace_back(kPlotHeight, -1e9f);
    std::vector<float>& col = columns.back();
    for (size_t r = 0; r < col.size(); ++r) {
      const auto [first, last] = span(r, bins.size(), col.size());
      float loudest = 0;
      for (size_t k = first; k < last; ++k) loudest = std::max(loudest, std::abs(bins[k]));
      // Relative to full scale: a full-scale sine on a bin centre reads 0 dB.
      col[r] = std::max(col[r], 20.0f * std::log10(loudest * fullScale + 1e-15f));
    }
    ++framesDone;
    if (framesDone % framesPerColumn == 0 && columns.size() == 2 * kMaxColumns) {
      for (size_t c = 0; c < kMaxColumns; ++c) {
        std::vector<float>& merged = columns[c];
        merged = columns[2 * c];
        for (size_t k = 0; k < merged.size(); ++k)
          merged[k] = std::max(merged[k], columns[2 * c + 1][k]);
      }
      columns.resize(kMaxColumns);
      framesPerColumn *= 2;
    }
  }

  // The columns pooled or stretched to `width`.
  std::vector<std::vector<float>> picture(int width) const {
    std::vector<std::vector<float>> out(static_cast<size_t>(width),
                                        std::vector<float>(kPlotHeight, -1e9f));
    for (size_t x = 0; x < out.size(); ++x) {
      const auto [first, last] = span(x, columns.size(), out.size());
      for (size_t c = first; c < last; ++c)
        for (size_t r = 0; r < out[x].size(); ++r) out[x][r] = std::max(out[x][r], columns[c][r]);
    }
    return out;
  }

  std::string title;
  StftGeometry geometry;
  std::vector<float> window, pending, frame;
  std::vector<std::complex<float>> bins;
  RealFft fft;
  float fullScale = 1;
  std::vector<std::vector<float>> columns;
  long framesPerColumn = 1, framesDone = 0, samples = 0;
};

SpectrogramBuilder::SpectrogramBuilder(std::vector<std::string> titles, int sampleRate,
                                       StftGeometry geometry)
    : sampleRate(sampleRate), geometry(geometry) {
  geometry.validate();
  if (titles.empty()) throw std::invalid_argument("no spectrogram to draw");
  if (sampleRate <= 0)
    throw std::invalid_argument("spectrogram sample rate " + std::to_string(sampleRate) +
                                " is not positive");
  for (auto& title : titles) panels.push_back(std::make_unique<Panel>(std::move(title), geometry));
}

SpectrogramBuilder::~SpectrogramBuilder() = default;

void SpectrogramBuilder::add(int panel, const float* samples, long n) {
  addStrided(panel, samples, n, 1);
}

void SpectrogramBuilder::addStrided(int panel, const float* samples, long n, int stride) {
  panels.at(static_cast<size_t>(panel))->add(samples, n, stride);
}

std::vector<unsigned char> SpectrogramBuilder::png() {
  const long samples = panels.front()->samples;
  for (const auto& p : panels)
    if (p->samples != samples)
      throw std::runtime_error("spectrogram panels hold different lengths of signal");
  const double seconds = double(samples) / sampleRate;
  const int plotW = plotWidth(seconds), plotH = kPlotHeight;
  std::vector<std::vector<std::vector<float>>> spectra;
  float peak = -1e9f;
  for (const auto& panel : panels) {
    panel->finish();
    spectra.push_back(panel->picture(plotW));
    for (const auto& col : spectra.back())
      for (float v : col) peak = std::max(peak, v);
  }
  const float topDb = std::max(peak, kQuietestTopDb), bottomDb = topDb - kRangeDb;

  // Axes: kHz from 1 kHz up, time in seconds, level in dB re full scale.
  const bool kHz = sampleRate >= 2000;
  const double nyquist = sampleRate / (kHz ? 2000.0 : 2.0);
  const std::string freqName = kHz ? "frequency (kHz)" : "frequency (Hz)";
  const std::string timeName = "time (s)", levelName = "level (dBFS)";
  const std::vector<double> freqTicks = ticks(0, nyquist, plotH / 36);
  const std::vector<double> timeTicks = ticks(0, std::max(seconds, 1e-3), plotW / 80);
  const std::vector<double> levelTicks = ticks(bottomDb, topDb, plotH / 36);
  int freqLabelW = 0;
  for (double f : freqTicks)
    freqLabelW = std::max(freqLabelW, textWidth(numberLabel(f), kTickScale));
  const int tickH = textHeight(kTickScale), labelH = textHeight(kLabelScale);
  const int titleH = textHeight(kTitleScale);

  const int plotX = kPad + labelH + kLabelGap + freqLabelW + kTickGap + kTick;
  const int barX = plotX + plotW + kBarGap;
  // Room for any level label up to three digits and a sign, so the width does not vary with it.
  int width = barX + kBarWidth + kTick + kTickGap + textWidth("-000", kTickScale) + kLabelGap +
              labelH + kPad;
  for (const auto& p : panels) width = std::max(width, textWidth(p->title, kTitleScale) + 2 * kPad);
  const int panelH = titleH + kTitleGap + plotH + kTick + kTickGap + tickH + kLabelGap + labelH;
  Image img(width,
            kPad + static_cast<int>(panels.size()) * (panelH + kPanelGap) - kPanelGap + kPad);

  for (size_t p = 0; p < panels.size(); ++p) {
    const int panelY = kPad + static_cast<int>(p) * (panelH + kPanelGap);
    const int plotY = panelY + titleH + kTitleGap, plotBottom = plotY + plotH;
    const std::string& title = panels[p]->title;
    drawText(img, std::max(kPad, plotX + plotW / 2 - textWidth(title, kTitleScale) / 2), panelY,
             title, kTitleScale);

    for (int x = 0; x < plotW; ++x)
      for (int r = 0; r < plotH; ++r) {
        const float level =
            (spectra[p][static_cast<size_t>(x)][static_cast<size_t>(r)] - bottomDb) / kRangeDb;
        img.set(plotX + x, plotBottom - 1 - r, colourFor(level));
      }
    img.frame(plotX, plotY, plotW, plotH);

    // Frequency along the left edge; a tick's pixel row is where its frequency falls in the
    // rows' span of 0 to Nyquist.
    for (double f : freqTicks) {
      const int y = plotBottom - static_cast<int>(std::lround(f / nyquist * plotH));
      const int row = std::clamp(y, plotY - 1, plotBottom);
      img.fill(plotX - 1 - kTick, row, plotX - 1, row + 1, kBlack);
      const std::string label = numberLabel(f);
      drawText(img, plotX - 1 - kTick - kTickGap - textWidth(label, kTickScale),
               row - textHeight(kTickScale) / 2 + 1, label, kTickScale);
    }
    drawText(img, kPad, plotY + plotH / 2 + textWidth(freqName, kLabelScale) / 2, freqName,
             kLabelScale, true);

    // Time along the bottom edge.
    for (double t : timeTicks) {
      if (t > seconds + 1e-9) break;
      const int x = plotX + static_cast<int>(std::lround(seconds > 0 ? t / seconds * plotW : 0.0));
      const int col = std::clamp(x, plotX - 1, plotX + plotW);
      img.fill(col, plotBottom + 1, col + 1, plotBottom + 1 + kTick, kBlack);
      const std::string label = numberLabel(t);
      drawText(img, col - textWidth(label, kTickScale) / 2, plotBottom + 1 + kTick + kTickGap,
               label, kTickScale);
    }
    drawText(img, plotX + plotW / 2 - textWidth(timeName, kLabelScale) / 2,
             plotBottom + 1 + kTick + kTickGap + tickH + kLabelGap, timeName, kLabelScale);

    // The colour bar beside the plot, its ticks on the right.
    for (int r = 0; r < plotH; ++r)
      img.fill(barX, plotBottom - 1 - r, barX + kBarWidth, plotBottom - r,
               colourFor((r + 0.5f) / plotH));
    img.frame(barX, plotY, kBarWidth, plotH);
    const int barRight = barX + kBarWidth + 1;
    for (double db : levelTicks) {
      const int row =
          std::clamp(plotBottom - static_cast<int>(std::lround((db - bottomDb) / kRangeDb * plotH)),
                     plotY - 1, plotBottom);
      img.fill(barRight, row, barRight + kTick, row + 1, kBlack);
      drawText(img, barRight + kTick + kTickGap, row - tickH / 2 + 1, numberLabel(db), kTickScale);
    }
    drawText(img, width - kPad - labelH, plotY + plotH / 2 + textWidth(levelName, kLabelScale) / 2,
             levelName, kLabelScale, true);
  }

  std::vector<unsigned char> png;
  const auto append = [](void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    const auto* first = static_cast<const unsigned char*>(data);
    bytes->insert(bytes->end(), first, first + size);
  };
  if (!stbi_write_png_to_func(append, &png, img.width, img.height, 3, img.rgb.data(),
                              img.width * 3))
    throw std::runtime_error("cannot encode the spectrogram picture");
  return png;
}

}  // namespace nimbusdale::app

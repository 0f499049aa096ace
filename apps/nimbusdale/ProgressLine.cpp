#include "ProgressLine.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace nimbusdale::app {

ProgressLine::ProgressLine(bool wanted, std::FILE* out)
    : out(out), shown_(wanted && isatty(fileno(out))), start(Clock::now()), lastDraw(start) {}

double ProgressLine::elapsed() const {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void ProgressLine::draw(const std::string& text, bool force) {
  if (!shown_) return;
  const Clock::time_point now = Clock::now();
  if (drawn && !force && now - lastDraw < std::chrono::milliseconds(100)) return;
  lastDraw = now;
  // Back to the start, the new text, then clear to the end of the line: nothing of a longer
  // text drawn before is left.
  std::fprintf(out, "\r%s\x1b[K", text.c_str());
  std::fflush(out);
  drawn = true;
}

void ProgressLine::erase() {
  if (!drawn) return;
  std::fputs("\r\x1b[K", out);
  std::fflush(out);
  drawn = false;
}

void ProgressLine::end() {
  if (!drawn) return;
  std::fputc('\n', out);
  std::fflush(out);
  drawn = false;
}

std::string progressBar(double part, int width) {
  const int filled = std::clamp(static_cast<int>(width * std::clamp(part, 0.0, 1.0)), 0, width);
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string clockTime(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

std::string timeLeft(double done, double total, double elapsed) {
  if (!(done > 0 && elapsed > 0)) return "--:--:--";
  return clockTime(std::max(0.0, total - done) * elapsed / done);
}

}  // namespace nimbusdale::app

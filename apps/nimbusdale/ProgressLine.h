// The progress line of `enhance`, `batch` and `live`: one line on a terminal's standard error,
// redrawn in place.
#ifndef NIMBUSDALE_APPS_PROGRESSLINE_H
#define NIMBUSDALE_APPS_PROGRESSLINE_H

#include <chrono>
#include <cstdio>
#include <string>

namespace nimbusdale::app {

/// One status line redrawn in place. Nothing is drawn unless the caller wants the line and the
/// stream is a terminal, so that logs and pipes never see it. Each draw replaces the whole line,
/// clearing whatever a longer text left; draws closer than 100 ms apart are dropped unless
/// forced. Not thread-safe: a caller with several threads draws under its own lock.
class ProgressLine {
 public:
  explicit ProgressLine(bool wanted, std::FILE* out = stderr);
  ~ProgressLine() { end(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  /// Whether the line is drawn at all.
  bool shown() const { return shown_; }
  /// Seconds since the line was made: the time the work it follows has taken.
  double elapsed() const;
  /// Puts `text` in place of the line; dropped when the last draw was under 100 ms ago, unless
  /// `force`.
  void draw(const std::string& text, bool force = false);
  /// Takes the line off the screen, so that a message can be written in its place; the next
  /// draw starts it again.
  void erase();
  /// Leaves the line as it stands, ended with a newline (once; nothing when nothing is drawn).
  void end();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* out;
  bool shown_, drawn = false;
  Clock::time_point start, lastDraw;
};

/// "[#####.....]": `part` (clamped to 0..1) of `width` cells filled.
std::string progressBar(double part, int width);

/// "H:MM:SS" of `seconds`, rounded (negative gives 0:00:00).
std::string clockTime(double seconds);

/// Time left at the pace so far, as clockTime(); "--:--:--" while there is no pace yet.
std::string timeLeft(double done, double total, double elapsed);

}  // namespace nimbusdale::app

#endif

// The pieces `enhance`, `batch` and `live` share: the progress line and the signal scope.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "OutputFile.h"
#include "ProgressLine.h"
#include "SignalScope.h"

namespace app = nimbusdale::app;

namespace {

// Everything the terminal's other end has received so far.
std::string drain(int master) {
  std::string got;
  char buffer[4096];
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) got.append(buffer, size_t(n));
  return got;
}

TEST(ProgressLineTest, RedrawsLeaveNothingOfALongerLineAndTheLastOneEndsWithANewline) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::FILE* terminal = fdopen(slave, "w");
  {
    app::ProgressLine line(true, terminal);
    ASSERT_TRUE(line.shown());
    line.draw("2176/5628 frames, 18.7x real time");
    line.draw("2177/5628 frames", true);
    line.end();
  }
  // Each text is followed by a clear to the end of the line (the pty turns \n into \r\n).
  EXPECT_EQ(drain(master), "\r2176/5628 frames, 18.7x real time\x1b[K\r2177/5628 frames\x1b[K\r\n");

  {
    app::ProgressLine line(true, terminal);
    line.draw("under way");
    line.erase();
    line.draw("again");
  }  // an unfinished line is ended when it goes
  EXPECT_EQ(drain(master), "\runder way\x1b[K\r\x1b[K\ragain\x1b[K\r\n");
  std::fclose(terminal);
  close(master);

  // A file or a pipe never sees the line, wanted or not.
  std::FILE* file = std::tmpfile();
  {
    app::ProgressLine line(true, file);
    EXPECT_FALSE(line.shown());
    line.draw("hidden", true);
    line.end();
  }
  EXPECT_EQ(std::ftell(file), 0L);
  std::fclose(file);
}

TEST(ProgressLineTest, TimeLeftIsAtThePaceSoFar) {
  EXPECT_EQ(app::timeLeft(25, 100, 10), "0:00:30");
  EXPECT_EQ(app::timeLeft(1, 7201, 1), "2:00:00");
  EXPECT_EQ(app::timeLeft(0, 100, 10), "--:--:--");
  EXPECT_EQ(app::timeLeft(100, 100, 10), "0:00:00");
}

std::atomic<int> handedOn{0};
extern "C" void countHandedOn(int) {
  handedOn.fetch_add(1);
}

TEST(SignalScopeTest, CountsSignalsHandsTheNthOnAndPutsTheOldHandlerBack) {
  struct sigaction mine {
  }, seen{};
  mine.sa_handler = countHandedOn;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &mine, nullptr), 0);
  {
    const app::SignalScope scope({SIGUSR1, SIGUSR2}, 3);
    raise(SIGUSR2);
    raise(SIGUSR1);
    EXPECT_EQ(scope.count(), 2);
    EXPECT_EQ(scope.signal(0), SIGUSR2);
    EXPECT_EQ(scope.signal(1), SIGUSR1);
    EXPECT_EQ(scope.signal(2), 0);
    EXPECT_EQ(handedOn.load(), 0);
    raise(SIGUSR1);  // the third goes on to the handler the scope replaced
    EXPECT_EQ(handedOn.load(), 1);
    EXPECT_EQ(scope.count(), 3);
  }
  sigaction(SIGUSR1, nullptr, &seen);
  EXPECT_EQ(seen.sa_handler, countHandedOn);
  sigaction(SIGUSR2, nullptr, &seen);
  EXPECT_EQ(seen.sa_handler, SIG_DFL);
  signal(SIGUSR1, SIG_DFL);
}

// The output files install their handlers with their first temporary file; under a scope they
// must not take its signals (a batch's first Ctrl-C would otherwise end the process).
TEST(SignalScopeTest, OutputFilesMadeInsideDoNotTakeItsSignals) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("scope-" + std::to_string(getpid()) + ".txt"))
          .string();
  {
    const app::SignalScope scope({SIGHUP}, 0);
    app::OutputFile out(path);
    raise(SIGHUP);
    EXPECT_EQ(scope.count(), 1);
    out.write("kept", 4);
    out.commit();
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

}  // namespace

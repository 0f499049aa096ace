// The pieces `enhance`, `batch` and `live` share: the progress line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ProgressLine.h"

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
  EXPECT_EQ(drain(master),
            "\r2176/5628 frames, 18.7x real time\x1b[K\r2177/5628 frames\x1b[K\r\n");

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

}  // namespace

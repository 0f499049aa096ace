// AudioFileSource and AudioFileSink created by type name from the audio library, on small files
// written for each test: the source frames a recording exactly and says where it ends, the sink
// writes exactly the samples asked for and leaves nothing behind a run that stops early.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "AudioFile.h"
#include "Stft.h"
#include "audio_writer.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;
namespace fs = std::filesystem;
namespace app = nimbusdale::app;

constexpr int kChannels = 2, kLength = 8, kHop = 2, kRate = 8000;

class AudioFileNodes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("audio-file-nodes-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    loadAudioPlugin();
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const std::string& name) const { return (dir / name).string(); }

  // A recording of `samples` frames: channel c, sample n holds c + n / 64.
  std::vector<float> record(const std::string& name, long samples) {
    std::vector<float> x(size_t(samples * kChannels));
    for (long n = 0; n < samples; ++n)
      for (int c = 0; c < kChannels; ++c) x[size_t(n * kChannels + c)] = c + float(n) / 64.0f;
    app::writeAudio(path(name), x, kChannels, kRate, app::SampleFormat::Float);
    return x;
  }

  FD::RCPtr<FD::Node> source(const std::string& file, int channels = kChannels, int hop = kHop) {
    return FD::registry::createNode(
        "AudioFileSource", "src",
        nodeParams(nimbusdale::kAudioFileSourceType, {{"FILENAME", stringParam(path(file))},
                                                      {"NUM_CHANNEL", intParam(channels)},
                                                      {"SAMPLING_RATE", intParam(kRate)},
                                                      {"LENGTH", intParam(kLength)},
                                                      {"HOP", intParam(hop)}}));
  }

  FD::RCPtr<FD::Node> sink(const std::string& file, const std::string& format = "float") {
    return FD::registry::createNode(
        "AudioFileSink", "sink",
        nodeParams(nimbusdale::kAudioFileSinkType, {{"FILENAME", stringParam(path(file))},
                                                    {"SAMPLING_RATE", intParam(kRate)},
                                                    {"SAMPLE_FORMAT", stringParam(format)}}));
  }

  fs::path dir;
};

TEST_F(AudioFileNodes, TheSourceGivesEachFrameOfTheRecordingAndWhereItEnds) {
  const std::vector<float> x = record("in.wav", 11);
  auto node = source("in.wav");
  const nimbusdale::StftGeometry geometry{kLength, kHop};
  const int frames = int(geometry.frameCount(11));
  for (int t : {0, 1, 2, 3, frames - 1, frames, -1}) {  // the last, one past it, then again
    if (t < 0) {
      node->reset();  // as a host starting its iterator over: the file is read from the start
      t = 1;
    }
    FD::RCPtr<RealFrame> frame = asMatrix<float>(node->getOutput(0, t));
    ASSERT_EQ(frame->nrows(), size_t(kChannels));
    ASSERT_EQ(frame->ncols(), size_t(kLength));
    for (int c = 0; c < kChannels; ++c)
      for (int i = 0; i < kLength; ++i) {
        const long n = long(t) * kHop - (kLength - kHop) + i;
        const float expected = t < frames && n >= 0 && n < 11 ? x[size_t(n * kChannels + c)] : 0;
        EXPECT_EQ((*frame)(size_t(c), size_t(i)), expected) << "frame " << t << ", " << c << i;
      }
    EXPECT_EQ(FD::dereference_cast<bool>(node->getOutput(1, t)), t < frames) << t;
    EXPECT_EQ(FD::dereference_cast<int>(node->getOutput(2, t)), 11);
  }
}

TEST_F(AudioFileNodes, TheSourceRefusesRecordingsItCannotFrameByName) {
  record("in.wav", 40);
  std::vector<float> bad(40 * kChannels, 0.25f);
  bad[37 * kChannels + 1] = std::numeric_limits<float>::quiet_NaN();
  app::writeAudio(path("nan.wav"), bad, kChannels, kRate, app::SampleFormat::Float);
  app::writeAudio(path("empty.wav"), {}, kChannels, kRate, app::SampleFormat::Float);
  const std::string src = "AudioFileSource 'src': ";
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { source("in.wav", 3); }),
            src + "FILENAME " + path("in.wav") +
                " holds 2 channels at 8000 Hz; NUM_CHANNEL is 3 and SAMPLING_RATE 8000");
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { source("in.wav", kChannels, 5); }),
            src + "parameter HOP is 5; it must lie between 1 and LENGTH / 2 = 4");
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { source("empty.wav"); }),
            src + "FILENAME " + path("empty.wav") + " holds no samples");
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] {
              source("missing.wav");
            }).rfind(src + "FILENAME: cannot read " + path("missing.wav"), 0),
            0u);
  EXPECT_NE(hostErrorMessage<FD::GeneralException>([&] {
              FD::registry::createNode("AudioFileSource", "src", FD::ParameterSet());
            }).find("FILENAME"),
            std::string::npos);  // a missing parameter is the host's own error
  auto node = source("nan.wav");
  node->getOutput(0, 0);
  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { node->getOutput(0, 20); }),
            src + "sample 37 of channel 1 is nan: the signal holds a non-finite value");
}

TEST_F(AudioFileNodes, TheSinkWritesExactlyTheSamplesAskedForAndNothingWhenStoppedEarly) {
  // Blocks of 3 samples a channel, of which 7 are wanted: the third block is cut short.
  auto blocks = FD::RCPtr<FrameSource>(new FrameSource("blocks", [](int t) {
    std::vector<float> v(2 * 3);
    for (int i = 0; i < 3; ++i) v[size_t(i)] = v[size_t(3 + i)] = 0.1f * float(3 * t + i);
    return realFrame(2, 3, v);
  }));
  auto total = FD::RCPtr<FrameSource>(new FrameSource("total", [](int) { return intParam(7); }));
  auto connected = [&](FD::RCPtr<FD::Node> node) {
    for (FD::Node* n : {static_cast<FD::Node*>(blocks.get()), static_cast<FD::Node*>(total.get())})
      n->reset();
    node->connectToNode("INPUT", blocks.get(), "OUTPUT");
    node->connectToNode("SAMPLES", total.get(), "OUTPUT");
    return node;
  };
  for (const std::string format : {"float", "pcm16"}) {
    auto node = connected(sink("out-" + format + ".wav", format));
    EXPECT_EQ(FD::dereference_cast<int>(node->getOutput(0, 0)), 3);
    EXPECT_FALSE(fs::exists(path("out-" + format + ".wav"))) << "not before it is complete";
    node->getOutput(0, 1);
    EXPECT_EQ(FD::dereference_cast<int>(node->getOutput(0, 2)), 7);
    EXPECT_EQ(FD::dereference_cast<int>(node->getOutput(0, 3)), 7);
    const app::Audio written = app::readAudio(path("out-" + format + ".wav"));
    ASSERT_EQ(written.channels, 2);
    ASSERT_EQ(written.frames(), 7);
    for (long n = 0; n < 7; ++n)
      EXPECT_NEAR(written.samples[size_t(2 * n + 1)], 0.1f * float(n),
                  format == "float" ? 0.0f : 1.0f / 32768);
  }

  auto stopped = connected(sink("stopped.wav"));
  stopped->getOutput(0, 0);
  stopped = FD::RCPtr<FD::Node>();
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"out-float.wav", "out-pcm16.wav"}));

  EXPECT_EQ(hostErrorMessage<FD::NodeException>([&] { sink("x.wav", "wav"); }),
            "AudioFileSink 'sink': parameter SAMPLE_FORMAT is \"wav\"; it must be float or pcm16");
  EXPECT_NE(hostErrorMessage<FD::NodeException>([&] {
              sink("x.mp9");
            }).find("unsupported output format 'mp9'"),
            std::string::npos);
}

}  // namespace

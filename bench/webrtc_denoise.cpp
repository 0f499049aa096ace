// WebRTC's noise suppressor (Debian's webrtc-audio-processing 0.3) as a filter: raw 16-bit mono
// samples in on standard input, denoised samples out on standard output, 10 ms frames. Only the
// noise suppressor runs: no gain control, high-pass filter, echo control or voice detection.
// A peer for bench/race.sh.
//
//   webrtc_denoise high|veryhigh [RATE] < in.raw > out.raw      (RATE 8000 or 16000, default 16000)
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

int usage(const char* message, const char* value) {
  std::fprintf(stderr, "webrtc_denoise: %s%s\n", message, value);
  std::fprintf(stderr, "usage: webrtc_denoise high|veryhigh [RATE] < in.raw > out.raw\n");
  return 2;
}

bool check(int error, const char* what) {
  if (error == webrtc::AudioProcessing::kNoError) return true;
  std::fprintf(stderr, "webrtc_denoise: %s failed with error %d\n", what, error);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return usage("give the suppression level, high or veryhigh", "");
  webrtc::NoiseSuppression::Level level;
  if (std::strcmp(argv[1], "high") == 0) {
    level = webrtc::NoiseSuppression::kHigh;
  } else if (std::strcmp(argv[1], "veryhigh") == 0) {
    level = webrtc::NoiseSuppression::kVeryHigh;
  } else {
    return usage("the level must be high or veryhigh, not ", argv[1]);
  }
  const int rate = argc > 2 ? std::atoi(argv[2]) : 16000;
  // Above 16 kHz the suppressor splits the band, and its delay is no longer a whole 6 ms.
  if (rate != 8000 && rate != 16000)
    return usage("the sample rate must be 8000 or 16000, not ", argv[2]);

  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
  if (!apm) return usage("could not create the audio processing module", "");
  if (!check(apm->high_pass_filter()->Enable(false), "turning the high-pass filter off") ||
      !check(apm->gain_control()->Enable(false), "turning gain control off") ||
      !check(apm->echo_cancellation()->Enable(false), "turning echo cancellation off") ||
      !check(apm->echo_control_mobile()->Enable(false), "turning mobile echo control off") ||
      !check(apm->voice_detection()->Enable(false), "turning voice detection off") ||
      !check(apm->level_estimator()->Enable(false), "turning the level estimator off") ||
      !check(apm->noise_suppression()->set_level(level), "setting the suppression level") ||
      !check(apm->noise_suppression()->Enable(true), "turning the noise suppressor on"))
    return 1;

  // The suppressor's overlap-add gives back each sample 6 ms after it went in. Dropping that
  // much of the start and running zeros through at the end keeps the output aligned with the
  // input, sample for sample, and as long.
  const size_t samples = static_cast<size_t>(rate / 100);
  const size_t delay = static_cast<size_t>(rate / 1000 * 6);
  // The frame is large (its sample buffer holds 3840 samples); keep it off the stack.
  auto frame = std::make_unique<webrtc::AudioFrame>();
  size_t read = 0, produced = 0, written = 0;
  bool ended = false;
  while (!ended || written < read) {
    size_t got = 0;
    if (!ended) {
      got = std::fread(frame->data_, sizeof(int16_t), samples, stdin);
      ended = got < samples;
      read += got;
      if (ended && written == read) break;
    }
    std::memset(frame->data_ + got, 0, (samples - got) * sizeof(int16_t));
    frame->samples_per_channel_ = samples;
    frame->sample_rate_hz_ = rate;
    frame->num_channels_ = 1;
    if (!check(apm->ProcessStream(frame.get()), "ProcessStream")) return 1;
    // This frame's output is input samples [produced - delay, produced - delay + samples).
    const size_t first = written + delay - produced;
    produced += samples;
    const size_t last = std::min(read + delay, produced) - (produced - samples);
    if (last > first) {
      if (std::fwrite(frame->data_ + first, sizeof(int16_t), last - first, stdout) != last - first) {
        std::perror("webrtc_denoise");
        return 1;
      }
      written += last - first;
    }
  }
  if (std::ferror(stdin)) {
    std::perror("webrtc_denoise: reading standard input");
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

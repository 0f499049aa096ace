// The SpeexDSP preprocessor's denoiser as a filter: raw 16-bit mono samples in on standard input,
// denoised samples out on standard output, 320-sample frames. A peer for bench/race.sh.
//
//   speex_denoise RATE < in.raw > out.raw
#include <speex/speex_preprocess.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  const int rate = argc > 1 ? std::atoi(argv[1]) : 16000;
  if (rate < 1) {
    std::fprintf(stderr, "speex_denoise: the sample rate must be positive, not %s\n", argv[1]);
    return 2;
  }
  const int frame = 320;
  SpeexPreprocessState* state = speex_preprocess_state_init(frame, rate);
  int on = 1;
  speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
  std::vector<spx_int16_t> samples(frame);
  size_t got;
  while ((got = std::fread(samples.data(), sizeof(spx_int16_t), frame, stdin)) > 0) {
    for (size_t i = got; i < samples.size(); ++i) samples[i] = 0;
    speex_preprocess_run(state, samples.data());
    if (std::fwrite(samples.data(), sizeof(spx_int16_t), got, stdout) != got) {
      std::perror("speex_denoise");
      return 1;
    }
  }
  speex_preprocess_state_destroy(state);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

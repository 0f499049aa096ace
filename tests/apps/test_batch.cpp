// `nimbusdale batch` run end to end on small synthetic corpora.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "AudioFile.h"
#include "audio_writer.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;
namespace app = nimbusdale::app;
using Json = nlohmann::json;

namespace {

// Short frames keep the runs fast; the options are those of every run unless a test says.
const std::string kOptions = " --length 256 --hop 64 ";

class BatchTest : public ToolFixture {
 protected:
  BatchTest() : ToolFixture("nimbusdale-batch") {}

  // Steady hum in every channel plus sparse tone bursts; `seed` varies the noise, so files differ.
  void writeRecording(const std::string& name, float seconds, int channels, unsigned seed,
                      app::SampleFormat format = app::SampleFormat::Pcm16) {
    const int rate = 16000;
    const long n = static_cast<long>(seconds * rate);
    std::vector<float> x(static_cast<size_t>(n * channels));
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 0.01f);
    for (long i = 0; i < n; ++i) {
      const double t = double(i) / rate;
      const double burst = std::fmod(t, 0.25) < 0.05 ? 0.3 * std::sin(2 * M_PI * 1200 * t) : 0.0;
      for (int c = 0; c < channels; ++c)
        x[static_cast<size_t>(i * channels + c)] =
            float(0.2 * std::sin(2 * M_PI * 120 * t + c) + burst) + g(rng);
    }
    fs::create_directories(fs::path(path(name)).parent_path());
    app::writeAudio(path(name), x, channels, rate, format);
  }
  // The clean bursts alone, as a reference for writeRecording's files.
  void writeReference(const std::string& name, float seconds,
                      app::SampleFormat format = app::SampleFormat::Float) {
    const int rate = 16000;
    std::vector<float> x(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < x.size(); ++i) {
      const double t = double(i) / rate;
      x[i] = std::fmod(t, 0.25) < 0.05 ? float(0.3 * std::sin(2 * M_PI * 1200 * t)) : 0.0f;
    }
    fs::create_directories(fs::path(path(name)).parent_path());
    app::writeAudio(path(name), x, 1, rate, format);
  }
  void writeText(const std::string& name, const std::string& text) {
    fs::create_directories(fs::path(path(name)).parent_path());
    std::ofstream(path(name)) << text;
  }

  // The manifest's records by output; those of refused inputs (no output) by "refused INPUT".
  std::map<std::string, Json> manifest(const std::string& outDir) {
    std::map<std::string, Json> records;
    std::ifstream in(path(outDir + "/manifest.jsonl"));
    for (std::string line; std::getline(in, line);) {
      const Json r = Json::parse(line);
      const std::string key = r["output"].is_null() ? "refused " + r["input"].get<std::string>()
                                                    : r["output"].get<std::string>();
      EXPECT_EQ(records.count(key), 0u) << "two records for " << key;
      records[key] = r;
    }
    return records;
  }

  // Temporary outputs under `folder` (NAME.wav.partial-PID).
  std::vector<std::string> partials(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(path(folder)))
      if (e.path().filename().string().find(".wav.partial") != std::string::npos)
        found.push_back(e.path().string());
    return found;
  }

  static int64_t mtimeNs(const std::string& p) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) return -1;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<float> samples(const std::string& path) {
  return app::readAudio(path).samples;
}

TEST_F(BatchTest, MirrorsTheTreeIsolatesFailuresAndWritesWhatEnhanceWrites) {
  writeRecording("in/one.wav", 0.6f, 4, 1);
  writeRecording("in/sub/two.flac", 0.5f, 2, 2);
  writeRecording("in/sub/deeper/three.WAV", 0.7f, 3, 3, app::SampleFormat::Float);
  writeText("in/sub/bad.wav", "RIFF but not really a recording");
  writeText("in/notes.txt", "not audio");
  writeRecording("in/.cache/four.wav", 0.3f, 2, 4);
  writeRecording("in/sub/.five.wav", 0.3f, 2, 5);

  const RunResult r = run("batch " + path("in") + " -o " + path("out") + " -j 2" + kOptions);
  EXPECT_EQ(r.status, 1) << "a failed file makes the status non-zero";
  EXPECT_NE(r.err.find("sub/bad.wav failed: cannot read " + path("in/sub/bad.wav")),
            std::string::npos)
      << r.err;

  // The tree mirrored, .wav outputs, hidden entries and other files left alone.
  std::vector<std::string> made;
  for (const auto& e : fs::recursive_directory_iterator(path("out")))
    if (e.is_regular_file()) made.push_back(fs::relative(e.path(), path("out")).string());
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"manifest.jsonl", "one.wav", "sub/deeper/three.wav",
                                            "sub/two.wav"}));

  // The same samples as `nimbusdale enhance` (which runs the plug-in), bit for bit.
  for (const auto& [input, output] : std::vector<std::pair<std::string, std::string>>{
           {"in/one.wav", "out/one.wav"},
           {"in/sub/two.flac", "out/sub/two.wav"},
           {"in/sub/deeper/three.WAV", "out/sub/deeper/three.wav"}}) {
    SCOPED_TRACE(input);
    const RunResult e = run("enhance -q " + path(input) + " -o " + path("single.wav") + kOptions);
    ASSERT_EQ(e.status, 0) << e.err;
    const std::vector<float> fromBatch = samples(path(output));
    EXPECT_EQ(fromBatch.size(), app::readAudio(path(input)).frames());
    EXPECT_TRUE(sameBits(fromBatch, samples(path("single.wav"))));
  }

  // One job gives the same samples as two.
  const RunResult serial =
      run("batch -q " + path("in") + " -o " + path("serial") + " -j 1" + kOptions);
  EXPECT_EQ(serial.status, 1) << serial.err;
  for (const char* output : {"one.wav", "sub/two.wav", "sub/deeper/three.wav"})
    EXPECT_TRUE(sameBits(samples(path(std::string("serial/") + output)),
                         samples(path(std::string("out/") + output))))
        << output;

  // One record per file, with the figures of its run.
  const auto records = manifest("out");
  ASSERT_EQ(records.size(), 4u);
  const Json& one = records.at("one.wav");
  EXPECT_EQ(one["input"], path("in/one.wav"));
  EXPECT_EQ(one["status"], "done");
  EXPECT_EQ(one["channels"], 4);
  EXPECT_EQ(one["sample_rate"], 16000);
  EXPECT_NEAR(one["duration"].get<double>(), 0.6, 1e-9);
  EXPECT_GT(one["seconds"].get<double>(), 0.0);
  EXPECT_NEAR(one["realtime"].get<double>(),
              one["duration"].get<double>() / one["seconds"].get<double>(), 1e-6);
  EXPECT_TRUE(one["not_converged"].is_number_integer());
  EXPECT_TRUE(one["error"].is_null());
  EXPECT_EQ(one["options"]["MultiRobustPCA"]["LENGTH"], 256);
  EXPECT_EQ(one["options"]["hop"], 64);
  EXPECT_EQ(one["options"]["format"], "float");
  EXPECT_EQ(one["output_size"].get<int64_t>(), int64_t(fs::file_size(path("out/one.wav"))));
  EXPECT_EQ(records.at("sub/two.wav")["channels"], 2);
  const Json& bad = records.at("sub/bad.wav");
  EXPECT_EQ(bad["status"], "failed");
  EXPECT_NE(bad["error"].get<std::string>().find("bad.wav"), std::string::npos);
  EXPECT_TRUE(partials("out").empty());
}

TEST_F(BatchTest, ARerunRedoesOnlyWhatChanged) {
  for (int i = 0; i < 3; ++i)
    writeRecording("in/" + std::string(1, char('a' + i)) + ".wav", 0.4f, 2, unsigned(10 + i));
  const std::string batch = "batch " + path("in") + " -o " + path("out") + kOptions;
  ASSERT_EQ(run(batch).status, 0);
  const auto statuses = [&] {
    std::map<std::string, std::string> s;
    for (const auto& [output, record] : manifest("out")) s[output] = record["status"];
    return s;
  };
  using Statuses = std::map<std::string, std::string>;
  const int64_t bTime = mtimeNs(path("out/b.wav"));

  // Nothing changed: nothing is done, and the outputs are untouched.
  RunResult r = run(batch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("3 up to date"), std::string::npos) << r.err;
  EXPECT_EQ(statuses(),
            (Statuses{{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}));
  EXPECT_EQ(mtimeNs(path("out/b.wav")), bTime);
  // A skipped record keeps the figures of the run that made the output.
  EXPECT_GT(manifest("out").at("b.wav")["seconds"].get<double>(), 0.0);

  // A changed input is redone; so is an output changed by someone else.
  writeRecording("in/a.wav", 0.4f, 2, 99);
  std::ofstream(path("out/c.wav"), std::ios::app) << "x";
  EXPECT_EQ(run(batch).status, 0);
  EXPECT_EQ(statuses(), (Statuses{{"a.wav", "done"}, {"b.wav", "skipped"}, {"c.wav", "done"}}));
  EXPECT_EQ(mtimeNs(path("out/b.wav")), bTime);
  EXPECT_EQ(samples(path("out/c.wav")).size(), 6400u);

  // An output older than its input is redone even when the record matches.
  const auto old = fs::last_write_time(path("in/b.wav")) - std::chrono::hours(1);
  fs::last_write_time(path("out/b.wav"), old);
  std::string line, text;
  {
    // Make the record describe the back-dated output, as if it had been written then.
    std::ifstream in(path("out/manifest.jsonl"));
    while (std::getline(in, line)) {
      Json rec = Json::parse(line);
      if (rec["output"] == "b.wav") rec["output_mtime_ns"] = mtimeNs(path("out/b.wav"));
      text += rec.dump() + "\n";
    }
  }
  std::ofstream(path("out/manifest.jsonl")) << text;
  EXPECT_EQ(run(batch).status, 0);
  EXPECT_EQ(statuses().at("b.wav"), "done");

  // Other options, another format, or no manifest: everything again.
  EXPECT_EQ(run(batch + " --seed 2").status, 0);
  EXPECT_EQ(statuses(), (Statuses{{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}));
  EXPECT_EQ(run(batch + " --seed 2 --format pcm16").status, 0);
  EXPECT_EQ(statuses(), (Statuses{{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}));
  // The thread count and the number of jobs do not change the samples, so they redo nothing.
  EXPECT_EQ(run(batch + " --seed 2 --format pcm16 -j 1 --threads 2").status, 0);
  EXPECT_EQ(statuses(),
            (Statuses{{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}));
  fs::remove(path("out/manifest.jsonl"));
  EXPECT_EQ(run(batch).status, 0);
  EXPECT_EQ(statuses(), (Statuses{{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}));

  // A last line cut short by a crash is dropped, and the rest still counts.
  std::ofstream(path("out/manifest.jsonl"), std::ios::app) << R"({"input":"/x","outp)";
  r = run(batch);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("dropped 1 line of"), std::string::npos) << r.err;
  EXPECT_EQ(statuses(),
            (Statuses{{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}));

  // A run over part of the folder keeps the records of the other outputs.
  writeText("list.txt", "# one file\n\n" + path("in/a.wav") + "\n");
  EXPECT_EQ(
      run("batch --list " + path("list.txt") + " " + path("in") + " -o " + path("out") + kOptions)
          .status,
      0);
  EXPECT_EQ(statuses(),
            (Statuses{{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}));
}

TEST_F(BatchTest, AFailedFileIsReportedAgainAndTriedWhenItChangesOrOnRequest) {
  writeRecording("in/good.wav", 0.3f, 2, 1);
  writeText("in/bad.wav", "garbage");
  const std::string batch = "batch " + path("in") + " -o " + path("out") + kOptions;
  RunResult r = run(batch);
  EXPECT_EQ(r.status, 1);
  const std::string firstFailure = manifest("out").at("bad.wav").dump();

  r = run(batch);
  EXPECT_EQ(r.status, 1) << "a failure carried over still fails the run";
  EXPECT_NE(r.err.find("bad.wav failed before: cannot read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--retry-failed"), std::string::npos) << r.err;
  EXPECT_EQ(manifest("out").at("bad.wav").dump(), firstFailure) << "carried over unchanged";

  r = run(batch + " --retry-failed");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad.wav failed: cannot read"), std::string::npos) << r.err;

  writeRecording("in/bad.wav", 0.3f, 2, 2);
  r = run(batch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(manifest("out").at("bad.wav")["status"], "done");
}

TEST_F(BatchTest, AFileSizeLimitFailsEachFileOverItAndTheRestGoOn) {
  // Float output: 4 bytes a sample. The limit (ulimit -f, KiB) holds small.wav's 16 KB output
  // and the manifest, not big.wav's 256 KB.
  writeRecording("in/big.wav", 4.0f, 2, 1);
  writeRecording("in/small.wav", 0.25f, 2, 2);
  RunResult r = shell("ulimit -f 100; " + tool() + " batch " + path("in") + " -o " + path("out") +
                      kOptions + " -j 2");
  EXPECT_EQ(r.status, 1) << r.err;
  auto records = manifest("out");
  EXPECT_EQ(records.at("small.wav")["status"], "done");
  EXPECT_EQ(records.at("big.wav")["status"], "failed");
  EXPECT_NE(records.at("big.wav")["error"].get<std::string>().find("File too large"),
            std::string::npos)
      << records.at("big.wav");
  EXPECT_NE(r.err.find("big.wav failed: cannot write"), std::string::npos) << r.err;
  EXPECT_TRUE(partials("out").empty());
  EXPECT_FALSE(fs::exists(path("out/big.wav")));
}

TEST_F(BatchTest, ScoresEachOutputAgainstItsReference) {
  writeRecording("in/x.wav", 1.0f, 4, 1);
  writeRecording("in/sub/y.wav", 1.0f, 4, 2);
  writeRecording("in/z.wav", 0.5f, 4, 3);
  writeReference("ref/x.wav", 1.0f);
  // The clean file may be of another container.
  writeReference("ref/sub/y.flac", 1.0f, app::SampleFormat::Pcm16);
  const std::string batch =
      "batch " + path("in") + " -o " + path("out") + " --reference-dir " + path("ref") + kOptions;
  RunResult r = run(batch);
  EXPECT_EQ(r.status, 1) << "z.wav has no reference";
  EXPECT_NE(r.out.find("mean improvement over 2 files: SI-SDR +"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("z.wav could not be scored"), std::string::npos) << r.err;

  auto records = manifest("out");
  for (const char* name : {"x.wav", "sub/y.wav"}) {
    SCOPED_TRACE(name);
    const Json& rec = records.at(name);
    EXPECT_EQ(rec["status"], "done");
    EXPECT_GT(rec["si_sdr_after"].get<double>(), rec["si_sdr_before"].get<double>() + 3.0);
    EXPECT_TRUE(rec["sdr_after"].is_number());
    EXPECT_TRUE(rec["score_error"].is_null());
  }
  EXPECT_EQ(records.at("sub/y.wav")["reference"], path("ref/sub/y.flac"));
  EXPECT_EQ(records.at("z.wav")["status"], "done") << "the enhancement itself succeeded";
  EXPECT_NE(records.at("z.wav")["score_error"].get<std::string>().find("z.wav"), std::string::npos);

  // The figures are those of `nimbusdale score` on the same files.
  const RunResult s = run("score --reference " + path("ref/x.wav") + " " + path("out/x.wav"));
  char expected[64];
  std::snprintf(expected, sizeof expected, "SI-SDR %.2f dB\nSDR %.2f dB",
                records.at("x.wav")["si_sdr_after"].get<double>(),
                records.at("x.wav")["sdr_after"].get<double>());
  EXPECT_EQ(s.out.substr(0, std::strlen(expected)), expected) << s.out;
  const RunResult before = run("score --reference " + path("ref/x.wav") + " " + path("in/x.wav"));
  std::snprintf(expected, sizeof expected, "SI-SDR %.2f dB",
                records.at("x.wav")["si_sdr_before"].get<double>());
  EXPECT_EQ(before.out.substr(0, std::strlen(expected)), expected) << before.out;

  // A rerun keeps the scores of up-to-date outputs and still prints the mean.
  writeReference("ref/z.wav", 0.5f);
  r = run(batch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("mean improvement over 3 files"), std::string::npos) << r.out;
  records = manifest("out");
  EXPECT_EQ(records.at("z.wav")["status"], "skipped");
  EXPECT_TRUE(records.at("z.wav")["si_sdr_after"].is_number());
}

// What a batch meets in the folders it is given: temporary files a killed run left, names that
// would drive the terminal, an output subfolder that links back into the inputs, and a
// reference that is not finite in some channel.
TEST_F(BatchTest, FoldersAreTakenAsTheyAreFound) {
  writeRecording("in/a.wav", 0.3f, 2, 1);
  writeRecording("in/sub/b.wav", 0.3f, 2, 2);
  writeRecording("in/ctrl\x01\x1b[31m.wav", 0.3f, 2, 3);
  // A process that is gone: a child that has exited and been waited for.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  writeText("out/a.wav.partial-" + std::to_string(gone), "left by a killed run");
  writeText("out/x.wav.partial-" + std::to_string(getpid()), "a live process's");
  fs::create_directories(path("out"));
  fs::create_symlink("../in", path("out/sub"));

  RunResult r = run("batch " + path("in") + " -o " + path("out") + kOptions);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(fs::exists(path("out/a.wav.partial-" + std::to_string(gone))));
  EXPECT_TRUE(fs::exists(path("out/x.wav.partial-" + std::to_string(getpid()))));
  EXPECT_NE(r.err.find("removed 1 temporary file left by a run that is gone"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a name drove the terminal";
  EXPECT_NE(r.err.find("ctrl\\x01\\x1b[31m.wav"), std::string::npos) << r.err;
  auto records = manifest("out");
  EXPECT_EQ(records.at("a.wav")["status"], "done");
  const Json& linked = records.at("refused " + path("in/sub/b.wav"));
  EXPECT_NE(linked["error"].get<std::string>().find("inside the input folder"), std::string::npos)
      << linked;
  EXPECT_FALSE(fs::exists(path("in/b.wav")));

  // Batch scores as `nimbusdale score` does: a reference that is not finite in any channel is
  // refused, naming the sample and channel.
  fs::remove(path("out/sub"));
  std::vector<float> reference(4800 * 2, 0.1f);
  reference[100 * 2 + 1] = NAN;
  fs::create_directories(path("ref"));
  app::writeAudio(path("ref/a.wav"), reference, 2, 16000, app::SampleFormat::Float);
  r = run("batch " + path("in") + " -o " + path("scored") + " --reference-dir " + path("ref") +
          kOptions);
  EXPECT_NE(manifest("scored").at("a.wav")["score_error"].get<std::string>().find(
                "sample 100 of channel 1 is nan"),
            std::string::npos)
      << manifest("scored").at("a.wav");
}

TEST_F(BatchTest, ListsOddNamesAndRefusals) {
  // Names a manifest must escape, given through a list with comments and a duplicate.
  const std::string odd = "in/q\"uote\\back\tslash é.wav";
  writeRecording(odd, 0.3f, 2, 1);
  writeRecording("in/deep/a.wav", 0.3f, 2, 2);
  writeRecording("in/deep/a.flac", 0.3f, 2, 3);
  writeText("list.txt", "# corpus\n\n" + path(odd) + "\nin/deep/a.wav\n  in/deep/a.flac  \r\n" +
                            "in/deep/a.wav\nin/missing.wav\n");
  RunResult r =
      shell("cd " + dir.string() + " && " + tool() + " batch --list list.txt -o out" + kOptions);
  EXPECT_EQ(r.status, 1);
  const auto records = manifest("out");
  ASSERT_EQ(records.size(), 4u);
  // Outputs mirror the listed paths below their deepest common folder, in/.
  const Json& quoted = records.at("q\"uote\\back\tslash é.wav");
  EXPECT_EQ(quoted["input"], path(odd));
  EXPECT_EQ(quoted["status"], "done");
  EXPECT_TRUE(fs::exists(path("out/q\"uote\\back\tslash é.wav")));
  // a.flac would replace a.wav's output: refused, a.wav's output stands.
  EXPECT_EQ(records.at("deep/a.wav")["status"], "done");
  EXPECT_EQ(records.at("deep/a.wav")["input"], path("in/deep/a.wav"));
  const Json& refused = records.at("refused " + path("in/deep/a.flac"));
  EXPECT_EQ(refused["status"], "failed");
  EXPECT_NE(
      refused["error"].get<std::string>().find("is also the output of " + path("in/deep/a.wav")),
      std::string::npos);
  EXPECT_NE(r.err.find("a.flac refused"), std::string::npos) << r.err;
  EXPECT_EQ(records.at("missing.wav")["status"], "failed");

  // Inputs and outputs that would mix are refused before any work.
  const auto single = [](const RunResult& r, const std::string& expect) {
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  };
  single(run("batch " + path("in") + " -o " + path("in")), "is the input folder");
  fs::create_symlink(path("in"), path("link"));
  single(run("batch " + path("in") + " -o " + path("link")), "is the input folder");
  single(run("batch -o " + path("out")), "IN_DIR");
  single(run("batch " + path("nowhere") + " -o " + path("out2")), "nowhere");
  single(run("batch " + path("in") + " -o " + path("out") + " --reference-dir " + path("none")),
         "--reference-dir");
  single(run("batch " + path("in") + " -o " + path("out") + " --hop 0"), "hop 0");

  // An output folder inside the input folder is not taken for input.
  r = run("batch -q " + path("in") + " -o " + path("in/enhanced") + kOptions);
  EXPECT_EQ(r.status, 1) << r.err;  // a.flac is refused again
  r = run("batch -q " + path("in") + " -o " + path("in/enhanced") + kOptions);
  const auto inside = manifest("in/enhanced");
  EXPECT_EQ(inside.size(), 3u);
  EXPECT_EQ(inside.at("deep/a.wav")["status"], "skipped") << "the refusal does not redo a.wav";
  EXPECT_FALSE(fs::exists(path("in/enhanced/enhanced")));

  // Two runs on one output folder: the second is refused while the first holds it.
  const int held = open(path("out").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  single(run("batch " + path("in") + " -o " + path("out") + kOptions), "another batch run");
  close(held);
}

// Starts `batch` on two jobs with stderr to a file, waits until `files` files are under way
// (their temporary outputs exist), then sends the signals.
int interruptBatch(const std::string& tool, const std::string& in, const std::string& out,
                   const std::string& log, size_t files, std::vector<int> signals,
                   const std::function<std::vector<std::string>()>& underWay) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    execl(tool.c_str(), "nimbusdale", "batch", in.c_str(), "-o", out.c_str(), "-j", "2",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (underWay().size() < files && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  for (int sig : signals) {
    kill(pid, sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(BatchTest, SignalsStopCleanlyAndARerunResumes) {
  for (int i = 0; i < 4; ++i)
    writeRecording("in/f" + std::to_string(i) + ".wav", 8.0f, 8, unsigned(i));
  const auto underWay = [&] {
    return fs::exists(path("out")) ? partials("out") : std::vector<std::string>{};
  };
  const auto outputs = [&] {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(path("out")))
      if (e.path().extension() == ".wav") found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  };

  // One Ctrl-C: the two files under way finish, no other starts.
  int status =
      interruptBatch(tool(), path("in"), path("out"), path("log.txt"), 2, {SIGINT}, underWay);
  EXPECT_EQ(status, 130) << slurp(path("log.txt"));
  EXPECT_NE(slurp(path("log.txt")).find("finishing the files under way"), std::string::npos);
  EXPECT_TRUE(partials("out").empty());
  EXPECT_EQ(outputs().size(), 2u) << slurp(path("log.txt"));
  EXPECT_EQ(manifest("out").size(), 2u);
  for (const std::string& name : outputs())
    EXPECT_EQ(samples(path("out/" + name)).size(), 8u * 16000u) << name;

  // Two Ctrl-C or a SIGTERM: the files under way are abandoned, and leave nothing.
  for (const std::vector<int>& signals : {std::vector<int>{SIGINT, SIGINT}, {SIGTERM}}) {
    fs::remove_all(path("out"));
    status = interruptBatch(tool(), path("in"), path("out"), path("log.txt"), 1, signals, underWay);
    EXPECT_EQ(status, 128 + signals.back()) << slurp(path("log.txt"));
    EXPECT_NE(slurp(path("log.txt")).find("abandoning"), std::string::npos);
    EXPECT_TRUE(partials("out").empty());
    EXPECT_EQ(outputs().size(), manifest("out").size()) << "every output has its record";
  }

  // The rerun does the rest.
  const size_t before = outputs().size();
  const RunResult r = run("batch -q " + path("in") + " -o " + path("out"));
  EXPECT_EQ(r.status, 0) << r.err;
  const auto records = manifest("out");
  ASSERT_EQ(records.size(), 4u);
  size_t skipped = 0;
  for (const auto& [output, record] : records) skipped += record["status"] == "skipped";
  EXPECT_EQ(skipped, before);
}

}  // namespace

#include "BatchCommand.h"

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "Batch.h"
#include "OutputFile.h"
#include "ProgressLine.h"
#include "SignalScope.h"

namespace nimbusdale::app {
namespace {

namespace fs = std::filesystem;
using batch::Json;
using Clock = std::chrono::steady_clock;

// Processors this process may run on.
int processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return std::max(1u, std::thread::hardware_concurrency());
}

// "12.3 s", "4.5 min" or "1.25 h", in the unit that suits `scale`.
std::string audioAmount(double seconds, double scale) {
  char text[32];
  if (scale < 120)
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  else if (scale < 2 * 3600)
    std::snprintf(text, sizeof text, "%.1f min", seconds / 60);
  else
    std::snprintf(text, sizeof text, "%.2f h", seconds / 3600);
  return text;
}

// "1 file", "2 files".
// `text` for the terminal: control characters (a file name may hold any) as \xNN, so a name
// cannot move the cursor, colour the screen or break a line.
std::string shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += escaped;
  }
  return out;
}

std::string count(size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string field(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

double numberOr(const Json& record, const char* key, double otherwise) {
  const auto it = record.find(key);
  return it != record.end() && it->is_number() ? it->get<double>() : otherwise;
}

// The run's shared state: the queue, what the workers report, and the progress line.
class Pool {
 public:
  Pool(const batch::Plan& plan, batch::Manifest& manifest, int jobs, bool quiet)
      : plan(plan),
        manifest(manifest),
        quiet(quiet),
        line(!quiet),
        running(static_cast<size_t>(jobs)),
        start(Clock::now()) {}

  void work(size_t slot) {
    Running& mine = running[slot];
    while (!stopTaking.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= plan.tasks.size()) break;
      const batch::Task& task = plan.tasks[i];
      mine.samples = 0;
      mine.rate = 0;
      mine.expected = task.enhance ? task.expectedSeconds : 0.0;
      Json record;
      try {
        record = batch::runTask(task, &abandon, [&](const FileProgress& p) {
          mine.rate = p.sampleRate;
          mine.samples = p.samples;
        });
      } catch (const Interrupted&) {
        mine.rate = 0;
        mine.expected = 0.0;
        abandoned.fetch_add(1);
        continue;
      } catch (const std::exception& e) {
        record = batch::failedRecord(task, e.what());
      }
      mine.rate = 0;
      mine.expected = 0.0;
      finish(task, record);
    }
  }

  // Waits for the workers, drawing the progress line and taking signals: the first SIGINT lets
  // the files under way finish and starts no more, a second one (or SIGTERM, SIGHUP) abandons
  // them, a third one goes on to the output files' own handler.
  int supervise(std::vector<std::thread>& workers, const SignalScope& signals, Semaphore& wake) {
    int stoppedBy = 0, stops = 0;
    while (finishedWorkers.load() < workers.size()) {
      wake.waitFor(0.2);
      for (int sig; (sig = signals.signal(stops)) != 0;) {
        if (!stoppedBy) stoppedBy = sig;
        ++stops;
        const bool abandoning = sig != SIGINT || stops >= 2;
        stopTaking = true;
        if (abandoning) abandon = true;
        say(abandoning ? "stopping: abandoning the files under way (their outputs are not "
                         "written); a rerun resumes"
                       : "stopping: finishing the files under way; Ctrl-C again abandons them");
      }
      draw(false);
    }
    for (std::thread& t : workers) t.join();
    draw(true);
    return stoppedBy;
  }

  void workerDone() { finishedWorkers.fetch_add(1); }

  // Counts and scores of this run's files, settled ones included.
  void summarise(int jobs, int threads, int stoppedBy, bool scoring) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const size_t notRun = plan.tasks.size() - std::min(plan.tasks.size(), ran);
    if (!quiet) {
      const long failures =
          failedCount + static_cast<long>(plan.failedBefore.size() + plan.refused.size());
      std::string scoring;
      if (scoreFailed) scoring = ", " + std::to_string(scoreFailed) + " not scored";
      std::fprintf(stderr,
                   "nimbusdale: %s: %ld enhanced, %ld up to date, %ld failed%s, %zu not done; %s "
                   "of audio in %s, %.1fx real time (%s x %s)\n",
                   count(plan.files, "file").c_str(), enhanced, plan.upToDate, failures,
                   scoring.c_str(), notRun, audioAmount(audioDone, audioDone).c_str(),
                   clockTime(elapsed).c_str(), elapsed > 0 ? audioDone / elapsed : 0.0,
                   count(size_t(jobs), "job").c_str(), count(size_t(threads), "thread").c_str());
      std::fprintf(stderr, "nimbusdale: manifest %s\n", manifest.path().c_str());
    }
    if (stoppedBy)
      std::fprintf(stderr, "nimbusdale: stopped by %s; run the same command again to resume\n",
                   strsignal(stoppedBy));
    // Mean improvement over every scored file of this run.
    long scored = 0;
    double siSdr = 0.0, sdr = 0.0;
    for (const Json& r : records) {
      const double a = numberOr(r, "si_sdr_after", NAN), b = numberOr(r, "si_sdr_before", NAN);
      const double c = numberOr(r, "sdr_after", NAN), d = numberOr(r, "sdr_before", NAN);
      if (!(std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d))) continue;
      ++scored;
      siSdr += a - b;
      sdr += c - d;
    }
    if (scoring && scored > 0)
      std::printf("mean improvement over %s: SI-SDR %+.2f dB, SDR %+.2f dB\n",
                  count(size_t(scored), "file").c_str(), siSdr / scored, sdr / scored);
    else if (scoring)
      std::printf("mean improvement: no file was scored\n");
  }

  bool anyFailed() const {
    return failedCount + scoreFailed > 0 || !plan.failedBefore.empty() || !plan.refused.empty() ||
           manifestFailed;
  }

  std::vector<Json> records;  // this run's: settled first, then as they finish

 private:
  struct Running {
    std::atomic<long> samples{0};
    std::atomic<int> rate{0};
    std::atomic<double> expected{0.0};
  };

  void finish(const batch::Task& task, const Json& record) {
    bool stored = true;
    try {
      manifest.append(record);
    } catch (const std::exception& e) {
      stored = false;
      std::lock_guard<std::mutex> guard(lock);
      if (!manifestFailed) sayLocked(std::string("error: ") + e.what() + "; stopping");
      manifestFailed = true;
      stopTaking = true;
    }
    std::lock_guard<std::mutex> guard(lock);
    ++ran;
    if (!stored) return;
    records.push_back(record);
    const std::string status = field(record, "status");
    if (!task.enhance) ++scoreOnly;
    if (status == "failed") {
      ++failedCount;
      sayLocked(task.relative + " failed: " + field(record, "error"));
      return;
    }
    if (task.enhance) {
      ++enhanced;
      audioDone += numberOr(record, "duration", 0.0);
    }
    if (!field(record, "score_error").empty()) {
      ++scoreFailed;
      sayLocked(task.relative + " could not be scored: " + field(record, "score_error"));
    }
    if (!quiet && !line.shown() && task.enhance) {
      char text[256];
      std::snprintf(text, sizeof text, "[%zu/%zu] %%s: %s of audio in %.1f s, %.1fx real time", ran,
                    plan.tasks.size(), audioAmount(numberOr(record, "duration", 0), 0).c_str(),
                    numberOr(record, "seconds", 0), numberOr(record, "realtime", 0));
      char line[4096];
      std::snprintf(line, sizeof line, text, task.relative.c_str());
      sayLocked(line);
    }
  }

  void say(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    sayLocked(text);
  }

  void sayLocked(const std::string& text) {
    line.erase();
    std::fprintf(stderr, "nimbusdale: %s\n", shown(text).c_str());
    std::fflush(stderr);
  }

  // The one progress line: files and audio done, speed as a multiple of real time, time left.
  void draw(bool last) {
    if (!line.shown()) return;
    std::lock_guard<std::mutex> guard(lock);
    // Once stopping, what is left is the rest of the files under way.
    double done = audioDone, total = stopTaking ? audioDone : plan.audioSeconds;
    for (const Running& r : running) {
      const int rate = r.rate.load();
      if (rate > 0) done += double(r.samples.load()) / rate;
      if (stopTaking && !abandon) total += r.expected.load();
    }
    total = std::max(total, done);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double speed = elapsed > 0 ? done / elapsed : 0.0;
    const size_t files = plan.tasks.size();
    const double part = total > 0 ? done / total : files ? double(ran) / files : 1.0;
    const std::string left = last || ran == files ? clockTime(0) : timeLeft(done, total, elapsed);
    char failures[48] = "";
    if (failedCount) std::snprintf(failures, sizeof failures, ", %ld failed", failedCount);
    char text[512];
    std::snprintf(text, sizeof text, "%s %zu/%zu files, %s/%s of audio, %.1fx real time, %s left%s",
                  progressBar(part, 24).c_str(), ran, files, audioAmount(done, total).c_str(),
                  audioAmount(total, total).c_str(), speed, left.c_str(), failures);
    line.draw(text, last);
    if (last) line.end();
  }

  const batch::Plan& plan;
  batch::Manifest& manifest;
  const bool quiet;
  ProgressLine line;  // drawn under `lock`
  std::vector<Running> running;
  const Clock::time_point start;
  std::atomic<size_t> next{0}, finishedWorkers{0};
  std::atomic<long> abandoned{0};
  std::atomic<bool> stopTaking{false}, abandon{false};
  std::mutex lock;  // what follows, and stderr
  size_t ran = 0;
  long enhanced = 0, failedCount = 0, scoreFailed = 0, scoreOnly = 0;
  double audioDone = 0.0;
  bool manifestFailed = false;
};

}  // namespace

void addBatchOptions(CLI::App* cmd, BatchCommand& b) {
  cmd->add_option("IN_DIR", b.inDir,
                  "folder of recordings, searched recursively; with --list, the folder the "
                  "listed paths are taken from and mirrored below");
  cmd->add_option("-o,--output", b.outDir,
                  "output folder: the input folders mirrored, one .wav per recording, and "
                  "manifest.jsonl")
      ->required();
  cmd->add_option("--list", b.list, "enhance the files listed in FILE, one a line (- for stdin)");
  cmd->add_option("-j,--jobs", b.jobs,
                  "files enhanced at once (default: processors / --threads, or processors); "
                  "--threads, the threads of each file, defaults to processors / jobs")
      ->check(CLI::Range(1, kMaxThreads));
  cmd->add_option("--reference-dir", b.referenceDir,
                  "score each output against the clean file of the same name in DIR");
  cmd->add_option("--max-lag-ms", b.maxLagMs, "largest alignment lag scores try, ms")
      ->capture_default_str();
  cmd->add_option("--format", b.format, "output samples: float or pcm16")
      ->check(CLI::IsMember(
          std::vector<std::string>(std::begin(kSampleFormatNames), std::end(kSampleFormatNames))))
      ->capture_default_str();
  cmd->add_flag("--retry-failed", b.retryFailed,
                "enhance again the files that failed before although nothing changed");
  cmd->add_flag("-q,--quiet", b.quiet, "only failures and the scores");
}

int runBatch(const BatchCommand& cmd) {
  batch::Settings settings;
  settings.options = cmd.options;
  settings.format = sampleFormatNamed(cmd.format);
  settings.referenceDir = cmd.referenceDir;
  settings.maxLagMs = cmd.maxLagMs;
  settings.retryFailed = cmd.retryFailed;
  settings.validate();
  if (cmd.inDir.empty() && cmd.list.empty())
    throw std::runtime_error("give a folder of recordings (IN_DIR) or a list of them (--list)");
  std::error_code ec;
  if (cmd.list.empty() && !fs::is_directory(cmd.inDir, ec))
    throw std::runtime_error("cannot read folder " + cmd.inDir + ": " +
                             (ec ? ec.message() : std::string("not a folder")));
  if (!cmd.referenceDir.empty() && !fs::is_directory(cmd.referenceDir, ec))
    throw std::runtime_error("--reference-dir " + cmd.referenceDir + " is not a folder");
  if (!cmd.inDir.empty() && identify(cmd.inDir) == identify(cmd.outDir))
    throw std::runtime_error("the output folder " + cmd.outDir +
                             " is the input folder; give a folder of its own");

  batch::Manifest manifest(cmd.outDir);
  const std::vector<std::string> inputs = cmd.list.empty()
                                              ? batch::findAudioFiles(cmd.inDir, cmd.outDir)
                                              : batch::readList(cmd.list, cmd.inDir);
  batch::Plan plan =
      batch::plan(inputs, cmd.inDir, cmd.outDir, settings, manifest.previous(), true);

  // Jobs x threads fills the processors, files in parallel first: separate files never wait for
  // each other, while a file's threads meet at every frame (on two processors, two files at once
  // enhance about 1.4 times as much audio as one file on two threads).
  const int cpus = processors();
  int jobs = cmd.jobs, threads = cmd.options.threads;
  if (jobs <= 0) jobs = threads > 0 ? std::max(1, cpus / threads) : cpus;
  jobs = std::max(1, std::min<int>(jobs, static_cast<int>(plan.tasks.size())));
  if (threads <= 0) threads = std::max(1, cpus / jobs);
  for (batch::Task& task : plan.tasks) task.settings.options.threads = threads;

  std::vector<Json> first = plan.others;
  const std::vector<Json> settled = plan.settled();
  first.insert(first.end(), settled.begin(), settled.end());
  manifest.begin(first);

  const size_t toEnhance = static_cast<size_t>(std::count_if(
      plan.tasks.begin(), plan.tasks.end(), [](const batch::Task& t) { return t.enhance; }));
  if (!cmd.quiet) {
    if (manifest.unreadableLines())
      std::fprintf(stderr, "nimbusdale: warning: dropped %s of %s that are not records\n",
                   count(size_t(manifest.unreadableLines()), "line").c_str(),
                   manifest.path().c_str());
    if (!manifest.removedTemporaries().empty())
      std::fprintf(stderr, "nimbusdale: removed %s left by a run that is gone\n",
                   count(manifest.removedTemporaries().size(), "temporary file").c_str());
    std::fprintf(stderr,
                 "nimbusdale: %s: %ld up to date, %zu failed before, %zu to enhance (%s of "
                 "audio) on %s x %s\n",
                 count(plan.files, "file").c_str(), plan.upToDate, plan.failedBefore.size(),
                 toEnhance, audioAmount(plan.audioSeconds, plan.audioSeconds).c_str(),
                 count(size_t(jobs), "job").c_str(), count(size_t(threads), "thread").c_str());
    if (static_cast<long>(jobs) * threads > cpus)
      std::fprintf(stderr,
                   "nimbusdale: warning: %d jobs x %d threads run %d threads on %d processors\n",
                   jobs, threads, jobs * threads, cpus);
  }
  for (const Json& r : plan.refused)
    std::fprintf(stderr, "nimbusdale: %s refused: %s\n", shown(field(r, "input")).c_str(),
                 shown(field(r, "error")).c_str());
  for (const Json& r : plan.failedBefore)
    std::fprintf(stderr, "nimbusdale: %s failed before: %s\n", shown(field(r, "output")).c_str(),
                 shown(field(r, "error")).c_str());
  if (!plan.failedBefore.empty())
    std::fprintf(stderr,
                 "nimbusdale: %s that failed before %s not tried again (neither input nor "
                 "options changed); --retry-failed tries again\n",
                 count(plan.failedBefore.size(), "file").c_str(),
                 plan.failedBefore.size() == 1 ? "was" : "were");

  Pool pool(plan, manifest, jobs, cmd.quiet);
  pool.records = settled;
  int stoppedBy = 0;
  {
    // Signals are taken from before the first worker starts until the last one is done; the
    // handler runs on whichever thread a signal reaches and wakes this one.
    Semaphore wake;
    const SignalScope signals({SIGINT, SIGTERM, SIGHUP}, 3, &wake);
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
      workers.emplace_back([&pool, j] {
        pool.work(static_cast<size_t>(j));
        pool.workerDone();
      });
    stoppedBy = pool.supervise(workers, signals, wake);
  }

  pool.summarise(jobs, threads, stoppedBy, !cmd.referenceDir.empty());
  if (stoppedBy) return 128 + stoppedBy;
  return pool.anyFailed() ? 1 : 0;
}

}  // namespace nimbusdale::app

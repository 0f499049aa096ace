// Enhancing a corpus: which files to enhance into which outputs, which of them are already up
// to date, one file's work as a self-contained task, and the output folder's manifest. Shared by
// `nimbusdale batch` (tasks on threads) and the Python module (tasks on Dask workers).
//
// The manifest, OUT_DIR/manifest.jsonl, holds one JSON object a line, one per output:
//
//   input            absolute path of the recording
//   output           path of the enhanced file, relative to OUT_DIR; null for an input refused
//                    before any work (see Plan::refused)
//   status           "done" (enhanced by this run), "skipped" (up to date, enhanced by an
//                    earlier run whose figures the record keeps) or "failed"
//   duration         seconds of audio; channels, sample_rate
//   seconds          wall time of the enhancement; realtime: duration / seconds
//   not_converged    the estimators' "not converged" notices
//   error            why the file failed, else null; warnings: the run's warnings
//   reference, max_lag_ms, si_sdr_before, sdr_before, si_sdr_after, sdr_after, score_error
//                    with a reference folder: channel 0 of the input (before) and the output
//                    (after) scored against the clean file, as `nimbusdale score` does
//   options, version what the output was made with: the options that shape its samples and the
//                    tool's version
//   input_size, input_mtime_ns, output_size, output_mtime_ns
//                    the files as they were when the output was committed
//   finished         UTC time the record was made
//
// An output is up to date when its record says done or skipped for the same input path, options
// and version, the input still has the recorded size and modification time, and the output is
// still the file the record describes (size and modification time) and newer than the input.
// Records are appended as files finish, so an interrupted run keeps what it did.
#ifndef NIMBUSDALE_APPS_BATCH_H
#define NIMBUSDALE_APPS_BATCH_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "EnhanceFile.h"

namespace nimbusdale::app::batch {

/// Records keep their fields in the order written.
using Json = nlohmann::ordered_json;

inline constexpr const char* kManifestName = "manifest.jsonl";

/// What every file of a batch is enhanced and scored with.
struct Settings {
  EnhanceOptions options;  ///< options.threads: threads of each file; the toolbox is not used
  SampleFormat format = SampleFormat::Float;
  std::string referenceDir;  ///< clean files to score against; empty: no scoring
  double maxLagMs = 50.0;
  /// Enhance again the files that failed before although neither they nor the options changed.
  bool retryFailed = false;

  /// What decides the output's samples: the integrator, hop and seed, every parameter the options
  /// give the nodes (NodeOptions.h), and the sample format; not the thread count. A record
  /// must match it for its output to be up to date.
  Json identity() const;
  /// Throws std::invalid_argument for refused options, format or lag.
  void validate() const;
};

/// One file's work, complete in itself so that it can be sent to another process.
struct Task {
  std::string input;             ///< absolute
  std::string output;            ///< absolute
  std::string relative;          ///< the output's path in the output folder: the manifest's key
  std::string reference;         ///< the clean file to score against, or empty
  bool enhance = true;           ///< false: the output is up to date and only needs its scores
  Json previous;                 ///< the up-to-date output's record, when !enhance
  double expectedSeconds = 0.0;  ///< audio in the input as its header says (0: not known)
  Settings settings;

  /// The task for another process, without the enhancement options (which the sender passes on
  /// as it got them, a new option included) but with their identity().
  Json toJson() const;
  /// The task with `options` as its enhancement options. Throws std::invalid_argument for a
  /// description that is not a task, and for options whose identity() is not the task's.
  static Task fromJson(const Json& json, const EnhanceOptions& options);
};

/// What a run over a set of inputs has to do.
struct Plan {
  size_t files = 0;           ///< distinct inputs
  std::vector<Task> tasks;    ///< longest first when the headers were read, else by path
  std::vector<Json> skipped;  ///< records of up-to-date outputs (status "skipped")
  /// Records of files that failed before, carried over unchanged: neither the input nor the
  /// settings changed since, and Settings::retryFailed is off.
  std::vector<Json> failedBefore;
  /// Records of inputs refused before any work: an output that two inputs would share or that is
  /// an input, an input outside the input folder.
  std::vector<Json> refused;
  /// Records of outputs that are not this run's, kept as they are.
  std::vector<Json> others;
  long upToDate = 0;          ///< skipped, and tasks that only score an up-to-date output
  double audioSeconds = 0.0;  ///< sum of the tasks' expectedSeconds

  /// This run's files that need no work: skipped, failedBefore, refused.
  std::vector<Json> settled() const;
};

/// True for a name with an extension libsndfile reads (wav, flac, ogg, aiff, ...).
bool isAudioName(const std::string& path);

/// The audio files under `inDir`, recursively, sorted. Hidden files and folders (a name starting
/// with '.') are left out, and so is the folder `exclude` (the outputs, when they lie inside).
/// Links to files are taken; links to folders are not followed. Throws std::runtime_error when
/// `inDir` is not a readable folder.
std::vector<std::string> findAudioFiles(const std::string& inDir, const std::string& exclude);

/// The paths listed in `listFile` ("-": standard input), one a line; blank lines and lines
/// starting with '#' are skipped, a relative path is taken from `base` (the current folder when
/// empty). Throws std::runtime_error when the list cannot be read.
std::vector<std::string> readList(const std::string& listFile, const std::string& base);

/// Decides each input's output and what to do with it. Outputs mirror the inputs' paths below
/// `inDir` (below the inputs' deepest common folder when `inDir` is empty) in `outDir`, with the
/// extension .wav. `previous` are the manifest's records. With `readHeaders`, each task's input
/// header is read for its length (progress and longest-first order).
Plan plan(const std::vector<std::string>& inputs, const std::string& inDir,
          const std::string& outDir, const Settings& settings, const std::vector<Json>& previous,
          bool readHeaders);

/// Runs one task with the host-free cores (so tasks may run on several threads at once) and
/// returns its record. A file's failure does not throw: the record says "failed" with the error.
/// Throws Interrupted when `cancel` stopped the enhancement (its output is then not written).
Json runTask(const Task& task, const std::atomic<bool>* cancel = nullptr,
             const std::function<void(const FileProgress&)>& progress = {});

/// The record of a task that could not run at all (its worker died, say), with `error`.
Json failedRecord(const Task& task, const std::string& error);

/// True for a record whose file failed (enhancement or scoring).
bool failed(const Json& record);

/// The output folder's manifest, held for one run: the folder is locked against other runs
/// (flock; where the file system has no locks, the run goes on without) and its earlier records
/// are read. Made before plan(), which needs previous().
class Manifest {
 public:
  /// Makes `outDir` if missing, locks it and reads the manifest (lines that are not records,
  /// such as a last line cut short by a crash, are counted and dropped). Temporary outputs
  /// (NAME.partial-PID) left below it by a process that is gone (killed, say) are removed. Throws
  /// std::runtime_error when another run holds the folder or it cannot be made or read.
  explicit Manifest(const std::string& outDir);
  ~Manifest();
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  const std::vector<Json>& previous() const { return previous_; }
  long unreadableLines() const { return unreadable_; }
  const std::string& path() const { return path_; }
  /// The temporary files of gone processes the constructor removed.
  const std::vector<std::string>& removedTemporaries() const { return removed_; }

  /// Replaces the manifest, all at once, with `records`; append() adds to it from then on.
  void begin(const std::vector<Json>& records);
  /// Appends one record and syncs it to disk. Safe from several threads.
  void append(const Json& record);

 private:
  std::string path_;
  int lockFd_ = -1, fd_ = -1;
  std::vector<Json> previous_;
  std::vector<std::string> removed_;
  long unreadable_ = 0;
  std::mutex lock_;
};

/// The text of a record as the manifest holds it: one line, strings that are not UTF-8 repaired.
std::string recordLine(const Json& record);

}  // namespace nimbusdale::app::batch

#endif

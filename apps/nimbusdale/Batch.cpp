#include "Batch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "OutputFile.h"
#include "nimbusdale/Version.h"

namespace nimbusdale::app::batch {
namespace fs = std::filesystem;

namespace {

// Extensions of the containers libsndfile reads that corpora hold. Feature and data files that
// libsndfile also opens (.mat, .htk, .raw) are left out on purpose: a corpus keeps those beside
// its audio, and they are not recordings.
const std::set<std::string> kAudioExtensions = {"wav",  "wave", "bwf",  "flac", "ogg", "oga",
                                                "opus", "aiff", "aif",  "aifc", "au",  "snd",
                                                "caf",  "w64",  "rf64", "sph",  "mp3"};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// A path made absolute and lexically normal, without resolving links: the name the user chose.
std::string absolute(const std::string& path) {
  fs::path p = fs::absolute(fs::path(path)).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool hidden(const fs::path& name) {
  const std::string s = name.filename().string();
  return !s.empty() && s[0] == '.';
}

int64_t mtimeNs(const struct stat& st) {
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// A string as a record keeps it: bytes that are not UTF-8 become U+FFFD, as recordLine() writes
// them, so a path read back from the manifest compares equal to the path it describes.
std::string recorded(const std::string& s) {
  return Json::parse(Json(s).dump(-1, ' ', false, Json::error_handler_t::replace))
      .get<std::string>();
}

// Seconds or ratios as JSON: null where not finite (JSON has no infinity).
Json number(double value) {
  return std::isfinite(value) ? Json(value) : Json(nullptr);
}

template <class T>
bool field(const Json& record, const char* key, T& value) {
  const auto it = record.find(key);
  if (it == record.end()) return false;
  try {
    value = it->get<T>();
    return true;
  } catch (const Json::exception&) {
    return false;
  }
}

std::string statusOf(const Json& record) {
  std::string status;
  field(record, "status", status);
  return status;
}

// The record a task starts from: the fields every record has, in the manifest's order.
Json newRecord(const Task& task) {
  Json r;
  r["input"] = task.input;
  r["output"] = task.relative;
  r["status"] = "done";
  r["duration"] = nullptr;
  r["channels"] = nullptr;
  r["sample_rate"] = nullptr;
  r["seconds"] = nullptr;
  r["realtime"] = nullptr;
  r["not_converged"] = nullptr;
  r["error"] = nullptr;
  r["warnings"] = Json::array();
  r["options"] = task.settings.identity();
  r["version"] = NIMBUSDALE_VERSION;
  r["input_size"] = nullptr;
  r["input_mtime_ns"] = nullptr;
  r["output_size"] = nullptr;
  r["output_mtime_ns"] = nullptr;
  return r;
}

void fail(Json& record, const std::string& error) {
  record["status"] = "failed";
  record["error"] = error;
}

// What a failed file's header says, for its record; nothing when it cannot be read either.
void describeInput(Json& record, const std::string& input) {
  try {
    AudioReader in(input);
    record["channels"] = in.channels();
    record["sample_rate"] = in.sampleRate();
    if (in.frames() >= 0) record["duration"] = double(in.frames()) / in.sampleRate();
  } catch (const std::exception&) {
  }
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

void score(Json& record, const Task& task) {
  record["reference"] = task.reference;
  record["max_lag_ms"] = task.settings.maxLagMs;
  for (const char* key : {"si_sdr_before", "sdr_before", "si_sdr_after", "sdr_after"})
    record[key] = nullptr;
  record["score_error"] = nullptr;
  try {
    const ScoreResult before = scoreFiles(task.reference, task.input, task.settings.maxLagMs);
    const ScoreResult after = scoreFiles(task.reference, task.output, task.settings.maxLagMs);
    record["si_sdr_before"] = number(before.siSdr);
    record["sdr_before"] = number(before.sdr);
    record["si_sdr_after"] = number(after.siSdr);
    record["sdr_after"] = number(after.sdr);
  } catch (...) {
    record["score_error"] = describe(std::current_exception());
  }
}

// The record's scores are for this reference and lag, and complete.
bool scoredAlike(const Json& record, const Task& task) {
  std::string reference;
  double lag = -1.0;
  if (!field(record, "reference", reference) || reference != recorded(task.reference)) return false;
  if (!field(record, "max_lag_ms", lag) || lag != task.settings.maxLagMs) return false;
  const auto error = record.find("score_error");
  if (error != record.end() && !error->is_null()) return false;
  return record.contains("si_sdr_after");
}

struct InputState {
  bool known = false;
  int64_t size = 0, mtime = 0;
};

InputState inputState(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return {true, int64_t(st.st_size), mtimeNs(st)};
}

// The record is for this input, unchanged since, and these settings.
bool sameInputAndSettings(const Json& record, const Task& task, const InputState& input) {
  std::string path, version;
  int64_t size = -1, mtime = -1;
  if (!field(record, "input", path) || path != recorded(task.input)) return false;
  if (!field(record, "version", version) || version != NIMBUSDALE_VERSION) return false;
  const auto options = record.find("options");
  if (options == record.end() || *options != task.settings.identity()) return false;
  return input.known && field(record, "input_size", size) && size == input.size &&
         field(record, "input_mtime_ns", mtime) && mtime == input.mtime;
}

// The output is still the file the record describes, and newer than its input.
bool outputIntact(const Json& record, const Task& task, const InputState& input) {
  int64_t size = -1, mtime = -1;
  struct stat st {};
  if (stat(task.output.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return field(record, "output_size", size) && size == int64_t(st.st_size) &&
         field(record, "output_mtime_ns", mtime) && mtime == mtimeNs(st) &&
         mtimeNs(st) >= input.mtime;
}

// The clean file for `relative` (an input's path below the input folder): the same path below
// the reference folder, else the same name with another audio extension.
std::string referenceFor(const std::string& referenceDir, const fs::path& relative) {
  const fs::path same = fs::path(referenceDir) / relative;
  std::error_code ec;
  if (fs::is_regular_file(same, ec)) return absolute(same.string());
  fs::path stem = same;
  stem.replace_extension();
  for (const std::string& ext : kAudioExtensions)
    for (const std::string& spelling : {ext, [&] {
                                          std::string up = ext;
                                          for (char& c : up) c = char(std::toupper(c));
                                          return up;
                                        }()}) {
      fs::path candidate = stem;
      candidate += "." + spelling;
      if (fs::is_regular_file(candidate, ec)) return absolute(candidate.string());
    }
  return absolute(same.string());
}

// The deepest folder holding every path.
fs::path commonFolder(const std::vector<std::string>& paths) {
  if (paths.empty()) return "/";
  fs::path common = fs::path(paths.front()).parent_path();
  for (const std::string& p : paths) {
    const fs::path folder = fs::path(p).parent_path();
    fs::path shared;
    auto a = common.begin(), b = folder.begin();
    for (; a != common.end() && b != folder.end() && *a == *b; ++a, ++b) shared /= *a;
    common = shared;
  }
  return common.empty() ? fs::path("/") : common;
}

}  // namespace

Json Settings::identity() const {
  const EnhanceOptions& o = options;
  Json j;
  j["integrator"] = o.integratorName();
  j["hop"] = o.hop();
  j["seed"] = o.seed;
  // Every parameter the options give the nodes, as the nodes receive it (a new one included);
  // those fixed by the signal (channels, sample rate) are not options.
  for (const NodeType* type : {&kMultiRobustPCAType, &o.integratorType()}) {
    const ParameterValues& values = o.nodes.of(*type);
    Json parameters = Json::object();
    for (size_t i = 0; i < values.size(); ++i) {
      const ParameterSpec& p = values.spec(i);
      if (p.fromSignal) continue;
      if (p.type == HostType::Int)
        parameters[p.name] = values.intValue(i);
      else
        parameters[p.name] = values.floatValue(i);
    }
    j[values.type().name] = parameters;
  }
  j["format"] = sampleFormatName(format);
  return j;
}

void Settings::validate() const {
  options.validate();
  checkMaxLagMs(maxLagMs);
}

Json Task::toJson() const {
  Json j;
  j["input"] = input;
  j["output"] = output;
  j["relative"] = relative;
  j["reference"] = reference;
  j["enhance"] = enhance;
  j["previous"] = previous;
  j["expected_seconds"] = expectedSeconds;
  j["identity"] = settings.identity();
  j["format"] = sampleFormatName(settings.format);
  j["reference_dir"] = settings.referenceDir;
  j["max_lag_ms"] = settings.maxLagMs;
  j["retry_failed"] = settings.retryFailed;
  return j;
}

Task Task::fromJson(const Json& j, const EnhanceOptions& options) {
  Task t;
  try {
    t.input = j.at("input").get<std::string>();
    t.output = j.at("output").get<std::string>();
    t.relative = j.at("relative").get<std::string>();
    t.reference = j.at("reference").get<std::string>();
    t.enhance = j.at("enhance").get<bool>();
    t.previous = j.at("previous");
    t.expectedSeconds = j.at("expected_seconds").get<double>();
    t.settings.format = sampleFormatNamed(j.at("format").get<std::string>());
    t.settings.options = options;
    t.settings.referenceDir = j.at("reference_dir").get<std::string>();
    t.settings.maxLagMs = j.at("max_lag_ms").get<double>();
    t.settings.retryFailed = j.at("retry_failed").get<bool>();
    if (j.at("identity") != t.settings.identity())
      throw std::invalid_argument("the options given are not those the task was planned with: " +
                                  t.settings.identity().dump() + " instead of " +
                                  j.at("identity").dump());
  } catch (const Json::exception& e) {
    throw std::invalid_argument(std::string("not a batch task: ") + e.what());
  }
  return t;
}

bool isAudioName(const std::string& path) {
  const std::string ext = lower(fs::path(path).extension().string());
  return ext.size() > 1 && kAudioExtensions.count(ext.substr(1)) > 0;
}

std::vector<std::string> findAudioFiles(const std::string& inDir, const std::string& exclude) {
  std::error_code ec;
  if (!fs::is_directory(inDir, ec))
    throw std::runtime_error("cannot read folder " + inDir + ": " +
                             (ec ? ec.message() : std::string("not a folder")));
  struct stat skip {};
  const bool excluding = !exclude.empty() && stat(exclude.c_str(), &skip) == 0;
  std::vector<std::string> found;
  fs::recursive_directory_iterator it(inDir, ec), end;
  if (ec) throw std::runtime_error("cannot read folder " + inDir + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) throw std::runtime_error("cannot read folder " + inDir + ": " + ec.message());
    const fs::directory_entry& entry = *it;
    if (hidden(entry.path())) {
      if (entry.is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (entry.is_directory(ec)) {
      struct stat st {};
      if (excluding && stat(entry.path().c_str(), &st) == 0 && st.st_dev == skip.st_dev &&
          st.st_ino == skip.st_ino)
        it.disable_recursion_pending();
      continue;
    }
    if (entry.is_regular_file(ec) && isAudioName(entry.path().string()))
      found.push_back(entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> readList(const std::string& listFile, const std::string& base) {
  std::ifstream file;
  if (listFile != "-") {
    file.open(listFile);
    if (!file)
      throw std::runtime_error("cannot read list " + listFile + ": " + std::strerror(errno));
  }
  std::istream& in = listFile == "-" ? std::cin : file;
  std::vector<std::string> paths;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t");
    line = line.substr(first, last - first + 1);
    const fs::path p(line);
    paths.push_back(p.is_absolute() || base.empty() ? line : (fs::path(base) / p).string());
  }
  if (in.bad()) throw std::runtime_error("cannot read list " + listFile);
  return paths;
}

Plan plan(const std::vector<std::string>& inputs, const std::string& inDir,
          const std::string& outDir, const Settings& settings, const std::vector<Json>& previous,
          bool readHeaders) {
  settings.validate();
  const std::string out = absolute(outDir);
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (const std::string& input : inputs)
    if (seen.insert(absolute(input)).second) paths.push_back(absolute(input));
  const fs::path root = inDir.empty() ? commonFolder(paths) : fs::path(absolute(inDir));
  Plan result;
  result.files = paths.size();

  // Earlier records by output; the last one counts.
  std::map<std::string, Json> byOutput;
  std::vector<std::string> order;
  for (const Json& record : previous) {
    std::string output;
    if (!field(record, "output", output)) continue;
    if (!byOutput.count(output)) order.push_back(output);
    byOutput[output] = record;
  }

  // Every input's identity, to refuse an output that would replace one.
  std::set<std::pair<dev_t, ino_t>> inputIds;
  for (const std::string& p : paths) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0) inputIds.insert({st.st_dev, st.st_ino});
  }

  // Where the folders lead once links are followed: an output folder reached through a link into
  // the input tree would put outputs among the inputs, which a later run would take as inputs.
  std::error_code ec;
  const fs::path inputTree = fs::weakly_canonical(root, ec);
  const fs::path outputTree = fs::weakly_canonical(absolute(out), ec);
  const auto within = [](const fs::path& path, const fs::path& folder) {
    const fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
  };

  std::map<std::string, std::string> owners;  // output -> input
  std::set<std::string> thisRun;
  for (const std::string& input : paths) {
    Task task;
    task.input = input;
    task.settings = settings;
    const fs::path relativeInput = fs::path(input).lexically_relative(root);
    fs::path relative = relativeInput;
    relative.replace_extension(".wav");
    task.relative = relative.string();
    task.output = (fs::path(out) / relative).lexically_normal().string();
    // A refused input has no output of its own: its record, made anew by every run, is not a
    // manifest key (the output it would have had may well be another input's).
    const auto refuse = [&](const std::string& error) {
      Json r = newRecord(task);
      r["output"] = nullptr;
      fail(r, error);
      const InputState state = inputState(input);
      if (state.known) {
        r["input_size"] = state.size;
        r["input_mtime_ns"] = state.mtime;
      }
      r["finished"] = utcNow();
      result.refused.push_back(r);
    };
    if (relativeInput.empty() || *relativeInput.begin() == "..") {
      task.relative = fs::path(input).filename().string();
      refuse(input + " lies outside the input folder " + root.string());
      continue;
    }
    thisRun.insert(recorded(task.relative));
    if (const auto owner = owners.find(task.relative); owner != owners.end()) {
      refuse("its output " + task.output + " is also the output of " + owner->second +
             "; rename one of them");
      continue;
    }
    owners[task.relative] = input;
    const fs::path outputFolder = fs::weakly_canonical(fs::path(task.output).parent_path(), ec);
    if (within(outputFolder, inputTree) && !within(outputFolder, outputTree)) {
      refuse("its output folder " + fs::path(task.output).parent_path().string() + " leads to " +
             outputFolder.string() +
             ", inside the input folder; refusing to write among the "
             "inputs");
      continue;
    }
    struct stat st {};
    if (stat(task.output.c_str(), &st) == 0 && inputIds.count({st.st_dev, st.st_ino})) {
      refuse("its output " + task.output + " is an input file; refusing to overwrite it");
      continue;
    }
    if (!settings.referenceDir.empty())
      task.reference = referenceFor(settings.referenceDir, relativeInput);

    const InputState state = inputState(input);
    const auto earlier = byOutput.find(recorded(task.relative));
    if (earlier != byOutput.end() && sameInputAndSettings(earlier->second, task, state)) {
      const Json& record = earlier->second;
      const std::string status = statusOf(record);
      if ((status == "done" || status == "skipped") && outputIntact(record, task, state)) {
        Json skipped = record;
        skipped["status"] = "skipped";
        ++result.upToDate;
        if (task.reference.empty() || scoredAlike(record, task)) {
          result.skipped.push_back(skipped);
          continue;
        }
        task.enhance = false;
        task.previous = skipped;
      } else if (status == "failed" && !settings.retryFailed) {
        result.failedBefore.push_back(record);
        continue;
      }
    }
    if (readHeaders && task.enhance) {
      try {
        AudioReader in(input);
        if (in.frames() > 0) task.expectedSeconds = double(in.frames()) / in.sampleRate();
      } catch (const std::exception&) {
        // Its task reports the reason.
      }
    }
    result.audioSeconds += task.expectedSeconds;
    result.tasks.push_back(std::move(task));
  }
  // Longest first, so that the last files to start are short ones.
  std::stable_sort(result.tasks.begin(), result.tasks.end(), [](const Task& a, const Task& b) {
    return a.expectedSeconds > b.expectedSeconds;
  });
  for (const std::string& output : order)
    if (!thisRun.count(output)) result.others.push_back(byOutput[output]);
  return result;
}

std::vector<Json> Plan::settled() const {
  std::vector<Json> all = skipped;
  all.insert(all.end(), failedBefore.begin(), failedBefore.end());
  all.insert(all.end(), refused.begin(), refused.end());
  return all;
}

Json runTask(const Task& task, const std::atomic<bool>* cancel,
             const std::function<void(const FileProgress&)>& progress) {
  Json record = task.enhance ? newRecord(task) : task.previous;
  if (!task.enhance) {
    if (!task.reference.empty()) score(record, task);
    record["finished"] = utcNow();
    return record;
  }
  const InputState before = inputState(task.input);
  if (before.known) {
    record["input_size"] = before.size;
    record["input_mtime_ns"] = before.mtime;
  }
  try {
    task.settings.validate();
    std::error_code ec;
    fs::create_directories(fs::path(task.output).parent_path(), ec);
    if (ec)
      throw std::runtime_error("cannot make folder " +
                               fs::path(task.output).parent_path().string() + ": " + ec.message());
    FileJob job;
    job.input = task.input;
    job.output = task.output;
    job.format = task.settings.format;
    job.container = StreamContainer::Auto;
    job.options = task.settings.options;
    job.options.toolbox.clear();
    job.nodes = NodeImplementation::LinkedCores;
    job.cancel = cancel;
    job.progress = progress;
    const FileResult result = enhanceFile(job);
    const double duration = result.audioSeconds();
    record["duration"] = duration;
    record["channels"] = result.channels;
    record["sample_rate"] = result.sampleRate;
    record["seconds"] = result.seconds;
    record["realtime"] = result.seconds > 0 ? number(duration / result.seconds) : Json(nullptr);
    record["not_converged"] = result.stats.notConverged;
    record["warnings"] = result.warnings;
    struct stat st {};
    if (stat(task.output.c_str(), &st) == 0) {
      record["output_size"] = int64_t(st.st_size);
      record["output_mtime_ns"] = mtimeNs(st);
    }
  } catch (const Interrupted&) {
    throw;
  } catch (...) {
    fail(record, describe(std::current_exception()));
    describeInput(record, task.input);
  }
  if (!task.reference.empty() && !failed(record)) score(record, task);
  record["finished"] = utcNow();
  return record;
}

Json failedRecord(const Task& task, const std::string& error) {
  Json record = newRecord(task);
  fail(record, error);
  const InputState state = inputState(task.input);
  if (state.known) {
    record["input_size"] = state.size;
    record["input_mtime_ns"] = state.mtime;
  }
  record["finished"] = utcNow();
  return record;
}

bool failed(const Json& record) {
  if (statusOf(record) == "failed") return true;
  const auto error = record.find("score_error");
  return error != record.end() && !error->is_null();
}

std::string recordLine(const Json& record) {
  return record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// Temporary outputs (NAME.partial-PID or NAME.partial-PID-N) below `folder` whose process is gone.
// One that is alive, or whose PID another process now has, keeps its files.
std::vector<std::string> removeStaleTemporaries(const std::string& folder) {
  static const std::regex temporary(R"(\.partial-(\d+)(-\d+)?$)");
  std::vector<std::string> removed;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::smatch m;
    const std::string name = it->path().filename().string();
    if (!std::regex_search(name, m, temporary) || !it->is_regular_file(ec)) continue;
    const long pid = std::strtol(m[1].str().c_str(), nullptr, 10);
    if (pid <= 0 || pid == getpid() || kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code removeError;
    if (fs::remove(it->path(), removeError)) removed.push_back(it->path().string());
  }
  return removed;
}

}  // namespace

Manifest::Manifest(const std::string& outDir) {
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (ec) throw std::runtime_error("cannot make output folder " + outDir + ": " + ec.message());
  if (!fs::is_directory(outDir, ec))
    throw std::runtime_error("output folder " + outDir + " is not a folder");
  lockFd_ = ::open(outDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lockFd_ < 0)
    throw std::runtime_error("cannot open output folder " + outDir + ": " + std::strerror(errno));
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(lockFd_);
    throw std::runtime_error("another batch run is writing to " + outDir +
                             "; wait for it or give another output folder");
  }
  removed_ = removeStaleTemporaries(outDir);
  path_ = (fs::path(outDir) / kManifestName).string();
  std::ifstream in(path_);
  if (!in && fs::exists(path_, ec)) {
    ::close(lockFd_);
    throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
  }
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json record = Json::parse(line, nullptr, false);
    std::string output;
    if (record.is_object() && record.contains("output") && record["output"].is_null())
      continue;  // a refusal, made anew by the next run
    if (record.is_discarded() || !record.is_object() || !field(record, "output", output)) {
      ++unreadable_;
      continue;
    }
    previous_.push_back(std::move(record));
  }
}

Manifest::~Manifest() {
  if (fd_ >= 0) ::close(fd_);
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

void Manifest::begin(const std::vector<Json>& records) {
  std::lock_guard<std::mutex> guard(lock_);
  {
    OutputFile file(path_, "manifest");
    std::string text;
    for (const Json& record : records) text += recordLine(record);
    file.write(text.data(), text.size());
    file.commit();
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
}

void Manifest::append(const Json& record) {
  const std::string line = recordLine(record);
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) throw std::logic_error("Manifest::append before begin");
  // One write a record, so that a reader or a crash sees whole lines only.
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (fdatasync(fd_) != 0 && errno != EINVAL)
    throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
}

}  // namespace nimbusdale::app::batch

// Files in, files out: nimbusdale.enhance_file (one recording, the tool's own path) and the
// pieces nimbusdale.distributed builds a corpus run on (the batch plan, the manifest, one file's
// task).
#include <pybind11/stl.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Batch.h"
#include "EnhanceFile.h"
#include "OutputFile.h"
#include "common.h"
#include "options.h"

namespace nimbusdale::python {
namespace {

namespace batch = app::batch;

// The options of a run, handed over in a capsule.
py::capsule optionsCapsule(const py::kwargs& options) {
  return py::capsule(new app::EnhanceOptions(optionsFrom("options", options)),
                     "nimbusdale.EnhanceOptions", [](PyObject* capsule) {
                       delete static_cast<app::EnhanceOptions*>(
                           PyCapsule_GetPointer(capsule, "nimbusdale.EnhanceOptions"));
                     });
}

app::EnhanceOptions optionsOf(const py::object& capsule) {
  void* p = PyCapsule_GetPointer(capsule.ptr(), "nimbusdale.EnhanceOptions");
  if (!p) throw py::error_already_set();
  return *static_cast<app::EnhanceOptions*>(p);
}

bool onMainThread() {
  py::module_ threading = py::module_::import("threading");
  return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

// One corpus run as the client sees it: the output folder locked, the plan made, the manifest
// begun with the records that need no work; the tasks go to workers, their records come back
// through append().
class BatchRun {
 public:
  BatchRun(const std::vector<std::string>& inputs, const std::string& outDir,
           const std::string& inDir, const std::string& referenceDir, double maxLagMs,
           const std::string& format, bool retryFailed, const py::object& options) {
    batch::Settings settings;
    settings.options = enhanceOptions = optionsOf(options);
    settings.format = app::sampleFormatNamed(format);
    settings.referenceDir = referenceDir;
    settings.maxLagMs = maxLagMs;
    settings.retryFailed = retryFailed;
    settings.validate();
    if (!referenceDir.empty() && !identifyFolder(referenceDir))
      throw py::value_error("reference_dir " + referenceDir + " is not a folder");
    if (!inDir.empty() && app::identify(inDir) == app::identify(outDir))
      throw py::value_error("the output folder " + outDir +
                            " is the input folder; give a folder of its own");
    py::gil_scoped_release release;
    manifest = std::make_unique<batch::Manifest>(outDir);
    plan = batch::plan(inputs, inDir, outDir, settings, manifest->previous(), false);
    std::vector<batch::Json> first = plan.others;
    const std::vector<batch::Json> settled = plan.settled();
    first.insert(first.end(), settled.begin(), settled.end());
    manifest->begin(first);
  }

  std::vector<std::string> tasks() const {
    std::vector<std::string> all;
    for (const batch::Task& task : plan.tasks) all.push_back(task.toJson().dump());
    return all;
  }

  std::vector<std::string> settled() const {
    std::vector<std::string> all;
    for (const batch::Json& record : plan.settled()) all.push_back(batch::recordLine(record));
    return all;
  }

  void append(const std::string& record) {
    const batch::Json parsed = batch::Json::parse(record);
    open().append(parsed);
  }

  std::string failedRecord(const std::string& task, const std::string& error) const {
    return batch::recordLine(batch::failedRecord(
        batch::Task::fromJson(batch::Json::parse(task), enhanceOptions), error));
  }

  std::string path() { return open().path(); }

  // Releases the folder.
  void close() { manifest.reset(); }

 private:
  static bool identifyFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  batch::Manifest& open() {
    if (!manifest) throw std::logic_error("this batch run is closed");
    return *manifest;
  }

  std::unique_ptr<batch::Manifest> manifest;
  batch::Plan plan;
  app::EnhanceOptions enhanceOptions;
};

}  // namespace

void init_batch(py::module_& m) {
  // Signals belong to the interpreter: a Ctrl-C reaches Python as KeyboardInterrupt.
  app::setSignalCleanup(false);

  m.def(
      "enhance_file",
      [](const py::object& input, const py::object& output, const std::string& format,
         const py::kwargs& options) {
        app::FileJob job;
        job.input = filePath(input, "input");
        job.output = filePath(output, "output");
        if (job.input == "-" || job.output == "-")
          throw py::value_error("enhance_file reads and writes files, not standard streams");
        job.format = app::sampleFormatNamed(format);
        job.options = optionsFrom("enhance_file", options);
        job.nodes = app::NodeImplementation::LinkedCores;
        // On the main thread a Ctrl-C stops the run at the next block, leaving no output.
        std::atomic<bool> cancel{false};
        std::optional<py::error_already_set> interrupted;
        if (onMainThread()) {
          job.cancel = &cancel;
          job.progress = [&](const app::FileProgress&) {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) {
              interrupted.emplace();
              cancel = true;
            }
          };
        }
        app::FileResult result;
        try {
          py::gil_scoped_release release;
          result = app::enhanceFile(job);
        } catch (const app::Interrupted&) {
          if (interrupted) throw std::move(*interrupted);
          throw;
        }
        py::dict record;
        const py::object fsdecode = py::module_::import("os").attr("fsdecode");
        record["input"] = fsdecode(py::bytes(job.input));
        record["output"] = fsdecode(py::bytes(job.output));
        record["duration"] = result.audioSeconds();
        record["channels"] = result.channels;
        record["sample_rate"] = result.sampleRate;
        record["seconds"] = result.seconds;
        record["realtime"] = result.seconds > 0
                                 ? py::object(py::float_(result.audioSeconds() / result.seconds))
                                 : py::object(py::none());
        record["not_converged"] = result.stats.notConverged;
        record["warnings"] = result.warnings;
        return record;
      },
      py::arg("input"), py::arg("output"), py::kw_only(), py::arg("format") = "float",
      R"doc(Enhance one recording file into a mono file, as `nimbusdale enhance` does.

input, output: paths (str, bytes or os.PathLike, as open() takes them). The input is any file libsndfile reads; the output's
container follows its extension (.wav, ...), replaced only once complete: a failure or an
interruption leaves no partial file. format: "float" or "pcm16".
**options: the options of nimbusdale.enhance (integrator, length, hop, lambda_, max_rank,
cutoff_freq, global_scale, pg_global_scale, scale_update_ratio, epsilon, threads, seed).

The samples written equal those of `nimbusdale enhance` with the same options bit for bit. It
runs with the GIL released; calls on several threads run in parallel. On the main thread a
Ctrl-C stops the run within a block and raises KeyboardInterrupt.

Returns a dict: input, output, duration (s of audio), channels, sample_rate, seconds (wall
time), realtime (duration / seconds), not_converged (estimator notices), warnings (list).
Raises RuntimeError naming the file for unreadable input or unwritable output, ValueError for
refused options or samples, NodeError when a node refuses them.)doc");

  m.def("_enhance_options", &optionsCapsule);
  m.def("_find_audio_files", &batch::findAudioFiles, py::arg("folder"), py::arg("exclude"),
        py::call_guard<py::gil_scoped_release>());
  m.def(
      "_run_batch_task",
      [](const std::string& task, const py::kwargs& options) {
        const batch::Task parsed =
            batch::Task::fromJson(batch::Json::parse(task), optionsFrom("run_task", options));
        py::gil_scoped_release release;
        return batch::recordLine(batch::runTask(parsed));
      },
      py::arg("task"),
      "Runs one task of a batch plan (JSON) with the options it was planned with (keywords, as "
      "enhance_file takes them) and returns its manifest record (JSON). A file's failure is in "
      "the record, not raised.");
  py::class_<BatchRun>(m, "_Batch")
      .def(py::init<const std::vector<std::string>&, const std::string&, const std::string&,
                    const std::string&, double, const std::string&, bool, const py::object&>(),
           py::arg("inputs"), py::arg("out_dir"), py::arg("in_dir"), py::arg("reference_dir"),
           py::arg("max_lag_ms"), py::arg("format"), py::arg("retry_failed"), py::arg("options"))
      .def("tasks", &BatchRun::tasks)
      .def("settled", &BatchRun::settled)
      .def("append", &BatchRun::append, py::call_guard<py::gil_scoped_release>())
      .def("failed_record", &BatchRun::failedRecord)
      .def_property_readonly("path", &BatchRun::path)
      .def("close", &BatchRun::close)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](BatchRun& self, const py::args&) { self.close(); });
}

}  // namespace nimbusdale::python

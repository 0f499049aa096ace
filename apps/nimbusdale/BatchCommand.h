// `nimbusdale batch`: a corpus enhanced file by file on a pool of threads, with one progress bar,
// a manifest, resumption and a clean stop on Ctrl-C.
#ifndef NIMBUSDALE_APPS_BATCHCOMMAND_H
#define NIMBUSDALE_APPS_BATCHCOMMAND_H

#include <CLI/CLI.hpp>
#include <string>

#include "Enhancer.h"

namespace nimbusdale::app {

struct BatchCommand {
  std::string inDir, outDir, list, referenceDir, format = "float";
  int jobs = 0;  ///< 0: processors / threads per file
  double maxLagMs = 50.0;
  bool retryFailed = false, quiet = false;
  EnhanceOptions options;  ///< threads: of each file (0: processors / jobs)
};

/// The options of `batch` other than the enhancement options.
void addBatchOptions(CLI::App* cmd, BatchCommand& batch);

/// Runs the batch. Returns 0 when every file is enhanced (and scored, with a reference folder),
/// 1 when any failed, 128 + the signal's number when a signal stopped it. Throws
/// std::runtime_error for anything that stops the batch as a whole (options, folders, the
/// manifest).
int runBatch(const BatchCommand& cmd);

}  // namespace nimbusdale::app

#endif

// nimbusdale: enhance multichannel recordings with the plug-in's nodes, list the plug-in's node
// types, and score an estimate against a clean reference. Each command is in a file of its own;
// this builds the command line and runs the command given.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <new>

#include "BatchCommand.h"
#include "EnhanceCommand.h"
#include "Enhancer.h"
#include "InfoCommand.h"
#include "RunOptions.h"
#include "ScoreCommand.h"
#include "nimbusdale/Version.h"
#if NIMBUSDALE_WITH_JACK
#include "Live.h"
#endif

namespace app = nimbusdale::app;

int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) then fails the write that crosses it ("File too large"),
  // which names the file and leaves the other files of a batch going, instead of killing the
  // process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // Named explicitly so that usage lines (and the manual page made from them) say "nimbusdale",
  // not the path the tool was started by.
  CLI::App cli{"nimbusdale: robust-PCA enhancement of multichannel recordings", "nimbusdale"};
  cli.set_version_flag("--version", std::string("nimbusdale ") + NIMBUSDALE_VERSION);
  cli.require_subcommand(1);

  app::EnhanceCommand enhance;
  CLI::App* enh = cli.add_subcommand("enhance", "enhance a multichannel recording into mono");
  app::addEnhanceCommandOptions(enh, enhance);

#if NIMBUSDALE_WITH_JACK
  app::LiveCommand live;
  CLI::App* liveCmd =
      cli.add_subcommand("live", "enhance live audio as a JACK client: N ports in, one out");
  app::addEnhanceOptions(liveCmd, live.options, false);  // live runs the linked cores
  app::addLiveOptions(liveCmd, live);
#endif

  app::BatchCommand batch;
  CLI::App* batchCmd = cli.add_subcommand(
      "batch", "enhance every recording under a folder (or in a list) into a mirrored folder");
  app::addEnhanceOptions(batchCmd, batch.options, false);
  app::addBatchOptions(batchCmd, batch);

  app::InfoCommand infoCmd;
  CLI::App* info = cli.add_subcommand("info", "list module versions and node types");
  app::addInfoOptions(info, infoCmd);

  app::ScoreCommand scoreCmd;
  CLI::App* sc = cli.add_subcommand("score", "SI-SDR and SDR of an estimate against a reference");
  app::addScoreOptions(sc, scoreCmd);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 2;
  }

  try {
    if (*enh) return app::runEnhance(enhance);
    if (*batchCmd) return app::runBatch(batch);
    if (*info) return app::runInfo(infoCmd);
#if NIMBUSDALE_WITH_JACK
    if (*liveCmd) return app::runLive(live);
#endif
    return app::runScore(scoreCmd);
  } catch (const app::OutOfMemory& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "nimbusdale: error: not enough memory for this run\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 1;
  }
}

// A work folder per test and the nimbusdale tool run through the shell, its standard output and
// error collected: what the end-to-end tests of the tool's subcommands share.
#ifndef NIMBUSDALE_TOOL_FIXTURE_H
#define NIMBUSDALE_TOOL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

struct RunResult {
  int status;
  std::string out, err;
};

class ToolFixture : public ::testing::Test {
 protected:
  /// `prefix` names the work folder: PREFIX-PID under the system's temporary folder.
  explicit ToolFixture(std::string prefix) : prefix(std::move(prefix)) {}

  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  RunResult run(const std::string& args) { return shell(tool() + " " + args); }
  // A shell command line, with its output collected as run() collects the tool's.
  RunResult shell(const std::string& command) {
    const std::string out = path("stdout.txt"), err = path("stderr.txt");
    const int raw = std::system(("( " + command + " ) >" + out + " 2>" + err).c_str());
    RunResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string tool() { return NIMBUSDALE_TOOL_PATH; }

  std::filesystem::path dir;

 public:
  std::string path(const std::string& name) const { return (dir / name).string(); }

 private:
  std::string prefix;
};

#endif

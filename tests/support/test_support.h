// Shared helpers of the test suite: a scratch board directory and the log
// capture through the logging seam.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ztpu_test {

// Creates a fresh directory under the system's temporary directory, makes it
// the working directory (the simulated board root is ".") and removes it with
// everything in it on destruction, returning to the previous directory.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // Creates the directories of a relative path below the scratch root.
  void mkdirs(const std::string& rel) const;
  // Writes a file (relative to the scratch root), creating its directories.
  void write(const std::string& rel, const std::string& content) const;
  std::string read(const std::string& rel) const;
  bool exists(const std::string& rel) const;

 private:
  std::string path_;
  std::string old_cwd_;
};

// Captures every message of the logging entry point while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::pair<int, std::string>> messages() const;
  // True when a captured message contains `needle` (and has `priority`, if >= 0).
  bool contains(const std::string& needle, int priority = -1) const;
  size_t count(const std::string& needle) const;
  void clear();
  std::string dump() const;

 private:
  static void sink(int priority, const char* text, void* ctx);
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> msgs_;
};

// Directory of the build tree (bin/ holds the tools, lib/ the test plug-ins).
std::string build_dir();

// What runs the build's programs: a cross build's emulator (CMake's
// CMAKE_CROSSCOMPILING_EMULATOR), one argument per element; empty natively.
std::vector<std::string> emulator();
// The argument vector that runs the program at `path`, through the emulator
// when there is one.
std::vector<std::string> program_argv(const std::string& path);
// The same as text for a shell command line (no quoting: build paths).
std::string program_command(const std::string& path);

}  // namespace ztpu_test

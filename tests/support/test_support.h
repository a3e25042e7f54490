// Shared test helpers: a scratch board directory and the log capture.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ztpu_test {

// A fresh temporary directory made the working directory (the simulated
// board root is "."); removed on destruction, the old directory restored.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // Paths are relative to the scratch root; write creates the directories.
  void mkdirs(const std::string& rel) const;
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
  // True when a message contains `needle` (and has `priority`, if >= 0).
  bool contains(const std::string& needle, int priority = -1) const;
  size_t count(const std::string& needle) const;
  void clear();
  std::string dump() const;

 private:
  static void sink(int priority, const char* text, void* ctx);
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> msgs_;
};

// The build tree (bin/ holds the tools, lib/ the test plug-ins).
std::string build_dir();
// A cross build's emulator, one argument per element; empty natively.
std::vector<std::string> emulator();
// The argument vector (or unquoted command text) that runs the program at
// `path`, through the emulator when there is one.
std::vector<std::string> program_argv(const std::string& path);
std::string program_command(const std::string& path);

}  // namespace ztpu_test

#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ztpu/log.h"

namespace fs = std::filesystem;

namespace ztpu_test {

ScratchDir::ScratchDir() {
  std::string tmpl = (fs::temp_directory_path() / "ztpu-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = tmpl;
  old_cwd_ = fs::current_path().string();
  fs::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!old_cwd_.empty()) fs::current_path(old_cwd_, ec);
  if (!path_.empty() && std::getenv("ZTPU_KEEP_SCRATCH") == nullptr) fs::remove_all(path_, ec);
}

void ScratchDir::mkdirs(const std::string& rel) const {
  fs::create_directories(fs::path(path_) / rel);
}

void ScratchDir::write(const std::string& rel, const std::string& content) const {
  const fs::path p = fs::path(path_) / rel;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

std::string ScratchDir::read(const std::string& rel) const {
  std::ostringstream s;
  s << std::ifstream(fs::path(path_) / rel, std::ios::binary).rdbuf();
  return s.str();
}

bool ScratchDir::exists(const std::string& rel) const { return fs::exists(fs::path(path_) / rel); }

LogCapture::LogCapture() { ztpu_log_set_sink(&LogCapture::sink, this); }
LogCapture::~LogCapture() { ztpu_log_set_sink(nullptr, nullptr); }

void LogCapture::sink(int priority, const char* text, void* ctx) {
  auto* self = static_cast<LogCapture*>(ctx);
  std::lock_guard<std::mutex> g(self->mu_);
  self->msgs_.emplace_back(priority, text);
}

std::vector<std::pair<int, std::string>> LogCapture::messages() const {
  std::lock_guard<std::mutex> g(mu_);
  return msgs_;
}

bool LogCapture::contains(const std::string& needle, int priority) const {
  for (const auto& [p, t] : messages())
    if (t.find(needle) != std::string::npos && (priority < 0 || p == priority)) return true;
  return false;
}

size_t LogCapture::count(const std::string& needle) const {
  size_t n = 0;
  for (const auto& m : messages()) n += m.second.find(needle) != std::string::npos;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> g(mu_);
  msgs_.clear();
}

std::string LogCapture::dump() const {
  std::string out;
  for (const auto& m : messages()) out += std::to_string(m.first) + ": " + m.second;
  return out;
}

std::string build_dir() { return ZTPU_TEST_BUILD_DIR; }

std::vector<std::string> emulator() {
  std::vector<std::string> args;  // CMake joins the emulator's arguments with blanks
  std::istringstream words(ZTPU_TEST_EMULATOR);
  for (std::string w; words >> w;) args.push_back(w);
  return args;
}

std::vector<std::string> program_argv(const std::string& path) {
  std::vector<std::string> argv = emulator();
  argv.push_back(path);
  return argv;
}

std::string program_command(const std::string& path) {
  std::string cmd;
  for (const std::string& a : program_argv(path)) cmd += (cmd.empty() ? "" : " ") + a;
  return cmd;
}

}  // namespace ztpu_test

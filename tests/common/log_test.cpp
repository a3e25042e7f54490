#include "ztpu/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ztpu/paths.h"

using ztpu_test::ScratchDir;

namespace {

struct LogLine {
  long pid = 0;
  std::string level;
  std::string text;
};

// Parses "YYYY-MM-DDThh:mm:ss ztpud[PID]: LEVEL: TEXT"; false if the shape is off.
bool parse_line(const std::string& line, LogLine& out) {
  int y, mo, d, h, mi, s, consumed = 0;
  long pid = 0;
  char level[16] = {};
  if (sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d ztpud[%ld]: %15[a-z]: %n", &y, &mo, &d, &h, &mi,
             &s, &pid, level, &consumed) != 8 ||
      consumed == 0)
    return false;
  if (line[4] != '-' || line[10] != 'T' || line[19] != ' ') return false;
  out.pid = pid;
  out.level = level;
  out.text = line.substr(static_cast<size_t>(consumed));
  return true;
}

// Lines of the log file; an unterminated last line is marked.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!text.empty() && text.back() != '\n') lines.back() = "<unterminated>" + lines.back();
  return lines;
}

}  // namespace

TEST(Log, SimulatedBoardAppendsOneLinePerMessage) {
  ASSERT_TRUE(ztpu::path::simulated) << "the test suite runs on a simulated board";
  ScratchDir dir;
  dir.mkdirs("var/log");
  ztpu_log(LOG_INFO, "response to tpu(get state)\n\n");
  ztpu_log(LOG_WARNING, "[MCONF] item '%s' redefined\n", "dns");
  ztpu_log(LOG_ERR, "no line feed");
  auto lines = split_lines(dir.read("var/log/messages"));
  ASSERT_EQ(lines.size(), 3u);
  const char* levels[] = {"info", "warning", "err"};
  const char* texts[] = {"response to tpu(get state)", "[MCONF] item 'dns' redefined",
                         "no line feed"};
  for (size_t i = 0; i < 3; ++i) {
    LogLine l;
    ASSERT_TRUE(parse_line(lines[i], l)) << lines[i];
    EXPECT_EQ(l.pid, getpid());
    EXPECT_EQ(l.level, levels[i]);
    EXPECT_EQ(l.text, texts[i]);
  }
}

TEST(Log, RenamedFileIsFollowedByANewOne) {
  ScratchDir dir;
  dir.mkdirs("var/log");
  ztpu_log(LOG_INFO, "first\n");
  ASSERT_EQ(rename("var/log/messages", "var/log/old.log"), 0);
  ztpu_log(LOG_INFO, "second\n");
  EXPECT_NE(dir.read("var/log/old.log").find("first"), std::string::npos);
  std::string now = dir.read("var/log/messages");
  EXPECT_NE(now.find("second"), std::string::npos);
  EXPECT_EQ(now.find("first"), std::string::npos);
}

TEST(Log, ConcurrentWritersKeepLinesWhole) {
  ScratchDir dir;
  dir.mkdirs("var/log");
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) ztpu_log(LOG_INFO, "thread %d line %d\n", t, i);
    });
  for (auto& t : ts) t.join();
  auto lines = split_lines(dir.read("var/log/messages"));
  ASSERT_EQ(lines.size(), size_t{kThreads * kEach});
  for (const auto& line : lines) {
    LogLine l;
    int t = -1, i = -1;
    ASSERT_TRUE(parse_line(line, l)) << line;
    ASSERT_EQ(sscanf(l.text.c_str(), "thread %d line %d", &t, &i), 2) << line;
  }
}

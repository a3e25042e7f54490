#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"

using ztpu_test::LogCapture;
using ztpu_test::ScratchDir;

TEST(Log, SinkCapturesFormattedTextAndPriority) {
  LogCapture cap;
  ztpu_log(LOG_ERR, "module '%s' initialization failed\n", "security");
  auto msgs = cap.messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].first, LOG_ERR);
  EXPECT_EQ(msgs[0].second, "module 'security' initialization failed\n");
}

TEST(Log, SimulatedBoardAppendsOneLinePerMessage) {
  ASSERT_TRUE(ztpu::path::simulated) << "the test suite runs on a simulated board";
  ScratchDir dir;
  dir.mkdirs("var/log");
  ztpu_log(LOG_INFO, "response to tpu(get state)\n\n");
  ztpu_log(LOG_WARNING, "[MCONF] item '%s' redefined\n", "dns");
  ztpu_log(LOG_ERR, "no line feed");
  std::string text = dir.read("var/log/messages");
  std::string pid = std::to_string(getpid());
  std::regex line(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d) ztpud\[)" + pid + R"(\]: (err|warning|info): (.*))");
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    ASSERT_NE(nl, std::string::npos) << "last line not terminated";
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
  EXPECT_EQ(m[2], "info");
  EXPECT_EQ(m[3], "response to tpu(get state)");
  ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
  EXPECT_EQ(m[2], "warning");
  EXPECT_EQ(m[3], "[MCONF] item 'dns' redefined");
  ASSERT_TRUE(std::regex_match(lines[2], m, line)) << lines[2];
  EXPECT_EQ(m[2], "err");
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
  std::string text = dir.read("var/log/messages");
  size_t lines = 0;
  std::regex ok(R"(.* ztpud\[\d+\]: info: thread \d line \d+)");
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    ASSERT_TRUE(std::regex_match(text.substr(pos, nl - pos), ok)) << text.substr(pos, nl - pos);
    ++lines;
    pos = nl + 1;
  }
  EXPECT_EQ(lines, size_t{kThreads * kEach});
}

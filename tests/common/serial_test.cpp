// Serial port and streaming frame reader, driven through a pseudo-terminal.
#include "ztpu/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  void send(const std::vector<unsigned char>& b) const {
    ASSERT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
};

TEST(Serial, OpenConfiguresRawPortAtMappedSpeedOrLogsItsFailure) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  for (auto [speed, want] :
       {std::pair{115200, B115200}, {1200, B115200}, {9600, B9600}, {230400, B230400}}) {
    const int fd = serial_open(pty.slave.c_str(), speed, nullptr);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), want) << speed;
    EXPECT_EQ(cfgetospeed(&tio), want) << speed;
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cc[VTIME], 1);
    EXPECT_EQ(tio.c_cc[VMIN], 255);
    EXPECT_EQ(serial_close(fd), 0);
  }
  serial_attr attr{};
  serial_attr_get_default(&attr);
  EXPECT_EQ(attr.vtime, 1);
  EXPECT_EQ(attr.vmin, 255);
  ztpu_test::LogCapture log;
  EXPECT_EQ(serial_open("/nonexistent/tty", 115200, nullptr), SERIAL_EOPEN);
  EXPECT_TRUE(log.contains("[SERIAL] failed to open device: /nonexistent/tty", LOG_ERR));
}

TEST(Serial, ReadTimeoutOnSilenceAndDataWhenReady) {
  Pty pty;
  const serial_attr attr{0, 0};  // reads return what is there
  const int fd = serial_open(pty.slave.c_str(), 115200, &attr);
  ASSERT_GE(fd, 0);
  std::array<unsigned char, 48> buf{};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), buf.size(), 30), SERIAL_ETIMEDOUT);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 25);
  EXPECT_LT(ms, 500);
  pty.send({1, 2, 3});
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), buf.size(), 500), 3);
  EXPECT_EQ(serial_write(fd, "ab", 2), 2);
  std::array<char, 4> got{};
  EXPECT_EQ(read(pty.master, got.data(), got.size()), 2);
  serial_close(fd);
}

class FlowParse : public ::testing::Test {
 protected:
  void SetUp() override {
    const serial_attr attr{0, 0};
    fd = serial_open(pty.slave.c_str(), 115200, &attr);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { serial_close(fd); }
  Pty pty;
  int fd = -1;
  std::array<unsigned char, 16> out{};
  int n = -1;
};

TEST_F(FlowParse, ReadsFrameAfterNoiseAndRestartsOnStx) {
  pty.send({0x41, 0x03, 0x10, 0x02, 0x02, 0x99, 0x02, 0x05, 0x10, 0x03, 0x10, 0x10, 0x06, 0x03});
  ASSERT_EQ(comm_protocol_flow_parse(fd, out.data(), static_cast<int>(out.size()), &n), 0);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(out[0], 0x05);
  EXPECT_EQ(out[1], 0x03);
  EXPECT_EQ(out[2], 0x10);
  EXPECT_EQ(out[3], 0x06);
}

TEST_F(FlowParse, SilenceAndOverlongFramesFail) {
  EXPECT_EQ(comm_protocol_flow_parse(fd, out.data(), static_cast<int>(out.size()), &n), -1);
  EXPECT_EQ(n, 0);
  ztpu_test::LogCapture log;
  std::vector<unsigned char> longf(1, 0x02);
  longf.insert(longf.end(), 17, 0x41);
  longf.push_back(0x03);
  pty.send(longf);
  EXPECT_EQ(comm_protocol_flow_parse(fd, out.data(), static_cast<int>(out.size()), &n), -1);
  EXPECT_TRUE(log.contains("output buffer error"));
  EXPECT_EQ(comm_protocol_flow_parse(-1, out.data(), 16, &n), -1);
  EXPECT_EQ(comm_protocol_flow_parse(fd, nullptr, 16, &n), -1);
}

TEST_F(FlowParse, EndlessNoiseIsBounded) {
  // Noise with no frame in it: the reader gives up after a bounded count.
  const std::vector<unsigned char> noise(COMM_FLOW_MAX_READ + 64, 0x41);
  pty.send(noise);
  EXPECT_EQ(comm_protocol_flow_parse(fd, out.data(), static_cast<int>(out.size()), &n), -1);
  std::array<unsigned char, 256> rest{};
  EXPECT_GT(read(fd, rest.data(), rest.size()), 0);  // stopped before draining the line
}

}  // namespace

// The daemon itself on a simulated board: start-up, then the gate served
// through the board's dev/ttySP2 (a link to a pseudo-terminal slave).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../ztpu/txn_fixture.h"
#include "gate_line.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A unit ready for the daemon: provisioned store, configuration, the
// Bluetooth port on a pseudo-terminal, and an audio FIFO held open so that
// the capture device opens at once and then waits for sound.
struct ReadyBoard {
  sectest::Board board;
  std::unique_ptr<ztpu_test::Pty> bt;
  int air = -1;
  ReadyBoard() {
    provisioned = provision();
    board.dir.write("etc/ztpu.conf", txntest::conf_text());
    board.dir.mkdirs("dev");
    bt = std::make_unique<ztpu_test::Pty>("dev/ttySP0");
    const std::string fifo = ztpu_test::fifo_microphone(board.dir.path());
    if (!fifo.empty()) air = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  }
  ~ReadyBoard() {
    if (air >= 0) close(air);
  }
  bool ok() const { return provisioned && bt->ok() && air >= 0; }
  static bool provision() {
    txntest::provision();
    return !testing::Test::HasFatalFailure();
  }
  bool provisioned = false;
};

// Runs ztpud in the working directory; kills and reaps it on destruction.
struct Daemon {
  pid_t pid = -1;
  Daemon() {
    const std::vector<std::string> argv =
        ztpu_test::program_argv(ztpu_test::build_dir() + "/bin/ztpud");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      execv(args[0], args.data());
      _exit(127);
    }
  }
  // Exit status once it ends within `ms`, or -1000 while it still runs.
  int wait_exit(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1000;
  }
  ~Daemon() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(Ztpud, EndsWhenConfigurationIsMissing) {
  ztpu_test::ScratchDir dir;
  dir.mkdirs("var/log");
  Daemon d;
  EXPECT_EQ(d.wait_exit(5000), 255);
  const std::string log = dir.read("var/log/messages");
  EXPECT_NE(log.find("module 'mconf' initialization failed"), std::string::npos) << log;
  EXPECT_NE(log.find("BleModuleInit fail."), std::string::npos) << log;
}

TEST(Ztpud, EndsWhenGatePortIsMissing) {
  ReadyBoard ready;
  ASSERT_TRUE(ready.ok());
  Daemon d;
  EXPECT_EQ(d.wait_exit(5000), 255);
  const std::string log = ready.board.dir.read("var/log/messages");
  EXPECT_NE(log.find("gate_init fail."), std::string::npos) << log;
  EXPECT_EQ(log.find("initialization failed"), std::string::npos) << log;
}

// No back-end server answers: the link never signs in, so every poll is
// refused while the gate is still served.
TEST(Ztpud, ServesGetStateAndRefusesPollWhileServerIsOffline) {
  ReadyBoard ready;
  ASSERT_TRUE(ready.ok());
  const ztpu_test::Pty gate("dev/ttySP2");
  ASSERT_TRUE(gate.ok());
  const int master = gate.master();
  Daemon d;
  // Frames sent before the daemon opens the line are flushed: ask again
  // until the first answer comes.
  const Bytes get_state{0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03};
  Bytes answer;
  for (int i = 0; i < 25 && answer.empty(); ++i) {
    ASSERT_EQ(write(master, get_state.data(), get_state.size()), 8);
    answer = ztpu_test::read_frame(master, 200);
  }
  EXPECT_EQ(answer, (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
  EXPECT_EQ(d.wait_exit(0), -1000);

  const Bytes poll_cmd{0x02, 0x10, 0x02, 0x00, 0x31, 0x53, 0x60, 0x03};
  ASSERT_EQ(write(master, poll_cmd.data(), poll_cmd.size()), 8);
  EXPECT_EQ(ztpu_test::read_frame(master, 2000),
            (Bytes{0x02, 0x04, 0x00, 0x31, 0x53, 0x00, 0x01, 0x67, 0x03}));
  EXPECT_EQ(d.wait_exit(0), -1000);
  const std::string log = ready.board.dir.read("var/log/messages");
  EXPECT_EQ(log.find("initialization failed"), std::string::npos) << log;
}

}  // namespace

// The daemon itself on a simulated board: start-up, then the gate served
// through the board's dev/ttySP2 (a link to a pseudo-terminal slave).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
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

// Runs ztpud in the working directory, with `env` ("NAME=value") added to
// its environment; kills and reaps it on destruction.
struct Daemon {
  pid_t pid = -1;
  explicit Daemon(const std::vector<std::string>& env = {}) {
    const std::vector<std::string> argv =
        ztpu_test::program_argv(ztpu_test::build_dir() + "/bin/ztpud");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
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

// Asks for the state until the daemon answers (frames sent before it opened
// the line are flushed); true once it did.
bool await_gate(int master) {
  const Bytes get_state{0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03};
  for (int i = 0; i < 50; ++i) {
    if (write(master, get_state.data(), get_state.size()) != 8) return false;
    if (!ztpu_test::read_frame(master, 200).empty()) return true;
  }
  return false;
}

std::set<std::string> thread_names(pid_t pid) {
  std::set<std::string> names;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(task, ec)) {
    std::ifstream comm(e.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.insert(name);
  }
  return names;
}

// SIGTERM while a command is being read: the command is still answered,
// every module stops (the receiver is blocked on a silent FIFO and must be
// woken) and the process ends with status 0 within 2 s.
TEST(Ztpud, SigtermAnswersTheCommandInHandAndStopsCleanly) {
  ReadyBoard ready;
  ASSERT_TRUE(ready.ok());
  const ztpu_test::Pty gate("dev/ttySP2");
  ASSERT_TRUE(gate.ok());
  Daemon d;
  ASSERT_TRUE(await_gate(gate.master()));
  const std::set<std::string> names = thread_names(d.pid);
  for (const char* n : {"ztpud", "kalvo-rx", "srv-cmd", "srv-hb", "srv-order"})
    EXPECT_EQ(names.count(n), 1u) << n;

  const Bytes poll_cmd{0x02, 0x10, 0x02, 0x00, 0x31, 0x53, 0x60, 0x03};
  ASSERT_EQ(write(gate.master(), poll_cmd.data(), poll_cmd.size()), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // within the line's 0.1 s
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(d.pid, SIGTERM), 0);
  EXPECT_EQ(ztpu_test::read_frame(gate.master(), 1000),
            (Bytes{0x02, 0x04, 0x00, 0x31, 0x53, 0x00, 0x01, 0x67, 0x03}));
  EXPECT_EQ(d.wait_exit(2000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  const std::string log = ready.board.dir.read("var/log/messages");
  size_t at = log.find("stop requested by signal 15");
  EXPECT_NE(at, std::string::npos) << log;
  for (const char* m : {"server", "phone", "security", "mconf"}) {
    const size_t next = log.find("module '" + std::string(m) + "' stopped", at);
    EXPECT_NE(next, std::string::npos) << m << "\n" << log;
    at = next;
  }
  EXPECT_NE(log.find("ztpud stopped"), std::string::npos) << log;
}

// A service manager's notification socket: READY=1 with the status line,
// then WATCHDOG=1 pings while the air feeds the receiver; they stop while
// the receiver waits on a silent FIFO and come back with the sound.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    ok_ = fd_ >= 0 && path.size() < sizeof(a.sun_path) &&
          bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  // Every datagram received within `ms`.
  std::vector<std::string> take(int ms) {
    std::vector<std::string> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      char buf[512];
      const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        got.emplace_back(buf, static_cast<size_t>(n));
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
};

int count_of(const std::vector<std::string>& msgs, const std::string& what) {
  int n = 0;
  for (const std::string& m : msgs) n += m.find(what) != std::string::npos ? 1 : 0;
  return n;
}

TEST(Ztpud, WatchdogIsFedOnlyWhileTheReceiverRuns) {
  ReadyBoard ready;
  ASSERT_TRUE(ready.ok());
  const ztpu_test::Pty gate("dev/ttySP2");
  ASSERT_TRUE(gate.ok());
  NotifySocket notify(ready.board.dir.path() + "/notify.sock");
  ASSERT_TRUE(notify.ok());

  // Silence in real time, 10 ms at a time, while `feeding`. Not blocking:
  // once the daemon has ended nobody reads the FIFO.
  ASSERT_EQ(fcntl(ready.air, F_SETFL, fcntl(ready.air, F_GETFL) | O_NONBLOCK), 0);
  std::atomic<bool> feeding{true};
  std::atomic<bool> done{false};
  std::thread air([&] {
    const std::vector<int16_t> block(441 * 2, 0);
    for (int i = 0; i < 3000 && !done; ++i) {
      if (feeding) (void)!write(ready.air, block.data(), block.size() * sizeof(int16_t));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  struct Join {
    std::atomic<bool>& done;
    std::thread& t;
    ~Join() {
      done = true;
      t.join();
    }
  } join{done, air};

  Daemon d({"NOTIFY_SOCKET=" + ready.board.dir.path() + "/notify.sock", "WATCHDOG_USEC=600000"});
  std::vector<std::string> msgs;
  for (int i = 0; i < 50 && count_of(msgs, "READY=1") == 0; ++i) {
    auto more = notify.take(200);
    msgs.insert(msgs.end(), more.begin(), more.end());
  }
  ASSERT_EQ(count_of(msgs, "READY=1"), 1);
  EXPECT_EQ(count_of(msgs, "STATUS=server offline, key version "), 1);
  EXPECT_EQ(count_of(msgs, "orders waiting: 0 files"), 1);
  EXPECT_GE(count_of(notify.take(1000), "WATCHDOG=1"), 3);

  feeding = false;
  (void)notify.take(1000);  // what the FIFO still held is read
  EXPECT_EQ(count_of(notify.take(1000), "WATCHDOG=1"), 0);
  feeding = true;
  EXPECT_GE(count_of(notify.take(1000), "WATCHDOG=1"), 2);

  ASSERT_EQ(kill(d.pid, SIGTERM), 0);
  EXPECT_EQ(d.wait_exit(2000), 0);
  EXPECT_EQ(count_of(notify.take(100), "STOPPING=1"), 1);
  const std::string log = ready.board.dir.read("var/log/messages");
  EXPECT_NE(log.find("audio receiver stalled"), std::string::npos) << log;
}

}  // namespace

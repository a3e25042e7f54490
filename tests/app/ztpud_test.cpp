// The daemon on a simulated board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "../ztpu/txn_fixture.h"
#include "ztpu/fileio.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// ztpud run with `env` added; killed and reaped on destruction.
struct Daemon {
  pid_t pid = -1;
  explicit Daemon(const std::vector<std::string>& env = {}) {
    const auto argv = ztpu_test::program_argv(ztpu_test::build_dir() + "/bin/ztpud");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid = fork();
    if (pid != 0) return;
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
  int wait_exit(int ms) {
    for (int i = 0, st = 0; i <= ms / 10; ++i, std::this_thread::sleep_for(10ms))
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
      }
    return -1000;
  }
  ~Daemon() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

void expect_in_order(const std::string& log, const std::vector<std::string>& needles) {
  size_t at = 0;
  for (const std::string& n : needles) {
    at = log.find(n, at);
    ASSERT_NE(at, std::string::npos) << n << "\n" << log;
  }
}

int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

std::string take(int fd, std::chrono::milliseconds span) {
  std::string got;
  for (auto end = std::chrono::steady_clock::now() + span;
       std::chrono::steady_clock::now() < end;) {
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<size_t>(n)) += '\n';
    if (n <= 0) std::this_thread::sleep_for(10ms);
  }
  return got;
}

// Start-up ends at the first failing module (no Bluetooth, then no gate port). The watchdog
// is fed only while the receiver runs. SIGTERM with a command in hand: answered, clean stop.
TEST(Ztpud, StartsServesFeedsTheWatchdogAndStopsCleanly) {
  sectest::Board board;
  board.dir.mkdirs("dev");
  board.dir.write("etc/ztpu.conf", txntest::conf_text());
  txntest::provision();
  const auto log = [&] { return board.dir.read("var/log/messages"); };
  const auto start = [] { return Daemon().wait_exit(5000); };
  EXPECT_EQ(start(), 255);
  expect_in_order(log(),
                  {"failed to open bluetooth device\n", "module 'phone' initialization failed\n",
                   "module 'mconf' stopped", "BleModuleInit fail."});
  EXPECT_EQ(log().find("gate_init"), std::string::npos);
  const ztpu_test::Pty bt("dev/ttySP0");
  const std::string fifo = ztpu_test::fifo_microphone(board.dir.path());
  // Not blocking: nobody reads the FIFO once the daemon has ended.
  const ztpu::fileio::Fd air(fifo.empty() ? -1
                                          : open(fifo.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
  ASSERT_TRUE(bt.ok() && air.ok());
  EXPECT_EQ(start(), 255);
  expect_in_order(log(), {"gate_init fail."});
  const ztpu_test::Pty gate("dev/ttySP2");
  ASSERT_TRUE(gate.ok());
  const std::string sock = board.dir.path() + "/notify.sock";
  const ztpu::fileio::Fd notify(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{AF_UNIX, {}};
  ASSERT_LT(sock.size(), sizeof a.sun_path);
  std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(notify.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  std::atomic<bool> feeding{true};
  std::jthread feeder([&](const std::stop_token& stop) {
    const std::vector<int16_t> block(441 * 2, 0);
    for (int i = 0; i < 3000 && !stop.stop_requested(); ++i, std::this_thread::sleep_for(10ms))
      if (feeding) (void)!write(air.get(), block.data(), block.size() * sizeof(int16_t));
  });

  Daemon d({"NOTIFY_SOCKET=" + sock, "WATCHDOG_USEC=600000"});
  // Frames sent before the daemon opened the line are flushed: ask again.
  const Bytes get_state{0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03};
  Bytes answer;
  for (int i = 0; i < 50 && answer.empty(); ++i) {
    ASSERT_EQ(write(gate.master(), get_state.data(), get_state.size()), 8);
    answer = ztpu_test::read_frame(gate.master(), 200);
  }
  EXPECT_EQ(answer, (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
  const std::string msgs = take(notify.get(), 200ms);  // ready was told before the gate was served
  EXPECT_NE(
      msgs.find(
          "READY=1\nSTATUS=server offline, key version 0101, orders waiting: 0 files + 0 B\n"),
      std::string::npos)
      << msgs;
  std::string names = " ", name;
  for (const auto& e :
       std::filesystem::directory_iterator("/proc/" + std::to_string(d.pid) + "/task"))
    if (std::ifstream(e.path() / "comm") >> name) names += name + " ";
  for (const char* n : {" ztpud ", " kalvo-rx ", " srv-cmd ", " srv-hb ", " srv-order "})
    EXPECT_EQ(count_of(names, n), 1) << names;
  EXPECT_GE(count_of(take(notify.get(), 1000ms), "WATCHDOG=1"), 2);
  feeding = false;
  (void)take(notify.get(), 1000ms);  // what the FIFO still held is read
  EXPECT_EQ(count_of(take(notify.get(), 1000ms), "WATCHDOG=1"), 0);

  const Bytes poll_cmd{0x02, 0x10, 0x02, 0x00, 0x31, 0x53, 0x60, 0x03};
  ASSERT_EQ(write(gate.master(), poll_cmd.data(), poll_cmd.size()), 8);
  std::this_thread::sleep_for(20ms);  // within the line's 0.1 s
  ASSERT_EQ(kill(d.pid, SIGTERM), 0);
  EXPECT_EQ(ztpu_test::read_frame(gate.master(), 1000),
            (Bytes{0x02, 0x04, 0x00, 0x31, 0x53, 0x00, 0x01, 0x67, 0x03}));
  EXPECT_EQ(d.wait_exit(2000), 0);
  EXPECT_EQ(count_of(take(notify.get(), 100ms), "STOPPING=1"), 1);
  expect_in_order(log(), {"audio receiver stalled", "stop requested by signal 15",
                          "module 'server' stopped", "module 'mconf' stopped", "ztpud stopped"});
}

}  // namespace

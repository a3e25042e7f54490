// Order rotation and upload against the back-end simulator: the pieces of
// the order thread called directly, then the thread itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "security_double.h"
#include "server_fixture.h"

namespace {

using namespace std::chrono_literals;
using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;
namespace fs = std::filesystem;

const std::string kRecord = "var/ulocal/ZEF_BIZRECORD.csv";
const std::string kUpload = "var/ulocal/upload/";
const std::string kBackup = "var/ulocal/backup/";

std::string order_name(std::time_t t, int nr) {
  struct tm tm_t {};
  localtime_r(&t, &tm_t);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &tm_t);
  char nr_text[8];
  std::snprintf(nr_text, sizeof(nr_text), "%03d", nr % 1000);
  return std::string("ZEF") + stamp + nr_text + ".csv";
}

class Orders : public server_test::SimBoard {
 protected:
  void SetUp() override {
    start_board(security_double::kDeviceId);
    ASSERT_EQ(server_init_connection(), 0);
  }
  void init() { ASSERT_EQ(server_order_init(&orders), 0); }
  void pass() { server_order_upload_pass(&orders, running); }

  std::vector<std::string> files(const std::string& rel) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir.path() + "/" + rel, ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> queue() const {
    std::vector<std::string> names;
    list_for_each(&order_list,
                  [&](list_node* n) { names.push_back(list_entry<server_order>(n)->filename); });
    return names;
  }
  // Rotates once; the name of the new file, or "" when none was queued.
  std::string rotate() {
    if (server_order_add(&orders) != 0) return "";
    return queue().back();
  }

  order_buffer orders;
  std::atomic<int> running{1};
};

TEST_F(Orders, StartScanQueuesOrderFilesInNameOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 70; ++i) names.push_back(order_name(1700000000 + 3600 * (i % 7), i));
  for (auto it = names.rbegin(); it != names.rend(); ++it) dir.write(kUpload + *it, *it + "\n");
  for (const char* junk :
       {"ZEF_BIZRECORD.csv", "ZEF2026120610000000.csv", "ABC20261206100000000.csv",
        "ZEF20261206100000000.txt", "ZEF20261206100000000.csvx", "zef20261206100000000.csv",
        "ZEF20261206100000000_csv"}) {
    dir.write(kUpload + junk, "junk\n");
  }
  init();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(orders.size, 70);
  EXPECT_EQ(queue(), names);
  EXPECT_EQ(server_order_get_buffer(&orders), nullptr);

  // A full table stops rotation, not upload.
  dir.write(kRecord, "order\n");
  EXPECT_EQ(rotate(), "");
  EXPECT_TRUE(log.contains("[SERVER] server order buffer is full\n", LOG_ERR));
  EXPECT_TRUE(dir.exists(kRecord));
  pass();
  EXPECT_EQ(files(kBackup), names) << log.dump();
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(sim.order_files().size(), 70u);
  EXPECT_NE(rotate(), "");
  EXPECT_EQ(files(kUpload).size(), 8u);  // the junk and the new order file
  expect_no_violations();
}

TEST_F(Orders, RotationNamesSkipTakenNames) {
  // Bounded retries: each attempt must stay within one second.
  bool done = false;
  for (int attempt = 0; attempt < 5 && !done; ++attempt) {
    std::time_t now = std::time(nullptr);
    for (const std::string& d : {kUpload, kBackup}) {
      for (const std::string& f : files(d)) fs::remove(dir.path() + "/" + d + f);
    }
    init();  // an empty queue again

    dir.write(kRecord, "first\n");
    std::string a = rotate();
    dir.write(kRecord, "second\n");
    std::string b = rotate();
    // Taken in the backup directory (002..004) and waiting for upload (005).
    for (int nr = 0; nr < 3; ++nr) dir.write(kBackup + order_name(now, nr + 2), "old\n");
    dir.write(kUpload + order_name(now, 5), "waiting\n");
    dir.write(kRecord, "third\n");
    std::string c = rotate();
    if (std::time(nullptr) != now) continue;
    done = true;
    EXPECT_EQ(a, order_name(now, 0));
    EXPECT_EQ(b, order_name(now, 1));
    EXPECT_EQ(c, order_name(now, 6));
    EXPECT_EQ(dir.read(kUpload + order_name(now, 5)), "waiting\n");
    EXPECT_EQ(dir.read(kUpload + c), "third\n");
    EXPECT_FALSE(dir.exists(kRecord));
  }
  ASSERT_TRUE(done);
  EXPECT_GE(security_double::repair_calls(), 3);
  EXPECT_EQ(security_double::repair_calls_locked(), security_double::repair_calls());
}

TEST_F(Orders, EmptyRecordFileIsAnnouncedWithNoBlocks) {
  init();
  EXPECT_EQ(rotate(), "");  // no record file: nothing to do
  dir.write(kRecord, "");
  std::string name = rotate();
  ASSERT_NE(name, "");
  pass();
  EXPECT_TRUE(dir.exists(kBackup + name));
  auto f = sim.order_files();
  ASSERT_EQ(f.count(name), 1u);
  EXPECT_EQ(f[name].blocks, 0);
  EXPECT_TRUE(f[name].complete);
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_ORDER), 0);
  EXPECT_EQ(sim.requests()[0].data[16], 1);  // type: the exit flag's low byte
  expect_no_violations();
}

TEST_F(Orders, FileLeavesUploadOnlyWhenTheServerTookAllOfIt) {
  init();
  std::string text;
  for (int i = 0; i < 120; ++i) text += "order line " + std::to_string(i) + ",1,2,3\n";
  ASSERT_GT(text.size(), 2048u);
  dir.write(kRecord, text);
  std::string name = rotate();
  ASSERT_NE(name, "");

  struct Step {
    const char* message;
    std::function<void()> fault;
  };
  const Step steps[] = {
      {"[SERVER] order notification response status: 3\n",
       [&] {
         sim.add_fault(SERVER_SP_UPLOAD_ORDER_NOTIFY, Fault{FaultKind::record_status, 3, 1});
       }},
      {"[SERVER] upload order notification request failed\n",
       [&] {
         sim.add_fault(SERVER_SP_UPLOAD_ORDER_NOTIFY, Fault{FaultKind::drop, 0, 1});
       }},
      {"[SERVER] invalid upload order notification response\n",
       [&] { sim.set_response(SERVER_SP_UPLOAD_ORDER_NOTIFY, Bytes(41, 0)); }},
      {"[SERVER] upload order block 2 failed\n",
       [&] {
         sim.add_fault(SERVER_SP_UPLOAD_ORDER, Fault{FaultKind::none, 0, 1});
         sim.add_fault(SERVER_SP_UPLOAD_ORDER, Fault{FaultKind::drop, 0, 1});
       }},
      {"[SERVER] invalid upload order response\n",
       [&] { sim.set_response(SERVER_SP_UPLOAD_ORDER, Bytes(10, 0)); }},
      {"[SERVER] upload order response status: 1\n",
       [&] {
         sim.add_fault(SERVER_SP_UPLOAD_ORDER, Fault{FaultKind::record_status, 1, 1});
       }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.message);
    log.clear();
    s.fault();
    pass();
    EXPECT_TRUE(log.contains(s.message, LOG_ERR)) << log.dump();
    EXPECT_EQ(dir.read(kUpload + name), text);
    EXPECT_EQ(queue(), std::vector<std::string>{name});
    EXPECT_FALSE(dir.exists(kBackup + name));
  }
  sim.clear_faults();
  pass();
  EXPECT_EQ(dir.read(kBackup + name), text);
  EXPECT_TRUE(queue().empty());
  auto f = sim.order_files()[name];
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.notifications, 5);  // the ones that reached its handler
  EXPECT_EQ(std::string(f.data.begin(), f.data.end()), text);
  // Every pass began again at block 1 (the simulator flags any other order).
  expect_no_violations();
}

TEST_F(Orders, QueuedFileRemovedByHandIsDropped) {
  dir.write(kUpload + order_name(1700000000, 0), "a\n");
  dir.write(kUpload + order_name(1700000000, 1), "b\n");
  init();
  EXPECT_EQ(orders.size, 64);  // never fewer slots than 64
  fs::remove(dir.path() + "/" + kUpload + order_name(1700000000, 0));
  pass();
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(files(kBackup), std::vector<std::string>{order_name(1700000000, 1)});
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_ORDER_NOTIFY), 1);
  EXPECT_NE(server_order_get_buffer(&orders), nullptr);
}

TEST_F(Orders, FailedMoveToBackupIsRetriedWithoutUploadingAgain) {
  init();
  dir.write(kRecord, "order\n");
  std::string name = rotate();
  ASSERT_NE(name, "");
  fs::remove(dir.path() + "/" + kBackup);
  dir.write("var/ulocal/backup", "not a directory");
  pass();
  EXPECT_TRUE(log.contains("[SERVER] move order " + name + " to backup failed\n", LOG_ERR))
      << log.dump();
  EXPECT_EQ(queue(), std::vector<std::string>{name});
  EXPECT_TRUE(dir.exists(kUpload + name));

  fs::remove(dir.path() + "/var/ulocal/backup");
  fs::create_directory(dir.path() + "/" + kBackup);
  pass();
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(dir.read(kBackup + name), "order\n");
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_ORDER_NOTIFY), 1);
}

// Appends under the record lock race rotations: every line arrives exactly
// once, whole and in order, across the rotated files and the record file.
TEST_F(Orders, AppendsUnderTheLockAgainstRotationLoseNoLine) {
  init();
  constexpr int kLines = 3000;
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const std::string lock = dir.path() + "/var/lock/ZEF_BIZRECORD.lock";
    const std::string record = dir.path() + "/" + kRecord;
    for (int i = 0; i < kLines; ++i) {
      int lfd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      ASSERT_GE(lfd, 0);
      ASSERT_EQ(flock(lfd, LOCK_EX), 0);
      // Each half of a line through the path: a rotation between them
      // without the lock would split the line across two files.
      for (const std::string& part : {"line," + std::to_string(i), std::string(",end\n")}) {
        int fd = open(record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
        close(fd);
        std::this_thread::sleep_for(200us);
      }
      close(lfd);
    }
    writing = false;
  });
  int rotations = 0;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (writing && rotations < 60 && std::chrono::steady_clock::now() < deadline) {
    if (rotate() != "") ++rotations;
    std::this_thread::sleep_for(5ms);
  }
  writer.join();
  EXPECT_GT(rotations, 5);

  std::string all;
  std::vector<std::string> parts;
  for (const std::string& f : files(kUpload)) parts.push_back(dir.read(kUpload + f));
  if (dir.exists(kRecord)) parts.push_back(dir.read(kRecord));
  for (const std::string& p : parts) {
    all += p;
    if (p.empty()) continue;
    EXPECT_EQ(p.front(), 'l') << "a file begins inside a line";
    EXPECT_EQ(p.back(), '\n') << "a file ends inside a line";
  }
  std::string want;
  for (int i = 0; i < kLines; ++i) want += "line," + std::to_string(i) + ",end\n";
  EXPECT_EQ(all, want);
}

// ---- The order thread ----

TEST_F(Orders, ThreadRotatesUploadsAndRequeuesWhatARestartFinds) {
  std::string left_a = order_name(1700000000, 0), left_b = order_name(1700000000, 1);
  dir.write(kUpload + left_a, "left over a\n");
  dir.write(kUpload + left_b, "left over b\n");
  dir.write(kRecord, "new order\n");
  ASSERT_EQ(server_init(), 0);
  ASSERT_TRUE(server_test::wait_until([&] { return files(kBackup).size() == 3; }, 8s))
      << log.dump();
  EXPECT_TRUE(files(kUpload).empty());
  EXPECT_FALSE(dir.exists(kRecord));
  auto f = sim.order_files();
  ASSERT_EQ(f.size(), 3u);
  for (auto& [name, file] : f) EXPECT_TRUE(file.complete) << name;
  // Left-over files go first, in name order.
  std::vector<std::string> notified;
  for (const auto& r : sim.requests()) {
    if (r.cmd == SERVER_SP_UPLOAD_ORDER_NOTIFY)
      notified.emplace_back(r.data.begin() + 17, r.data.begin() + 41);
  }
  ASSERT_EQ(notified.size(), 3u);
  EXPECT_EQ(notified[0], left_a);
  EXPECT_EQ(notified[1], left_b);
  expect_no_violations();
}

TEST_F(Orders, NoRotationWhileNotSignedIn) {
  sim.set_offline(true);
  dir.write(kRecord, "kept\n");
  const int repairs = security_double::repair_calls();
  ASSERT_EQ(server_init(), 0);
  ASSERT_TRUE(server_test::wait_until(
      [&] { return log.count("[SERVER] signin request failed\n") >= 1; }, 5s));
  std::this_thread::sleep_for(1500ms);  // at least one more order cycle
  EXPECT_EQ(server_is_offline(), 1);
  EXPECT_EQ(dir.read(kRecord), "kept\n");
  EXPECT_TRUE(files(kUpload).empty());
  EXPECT_EQ(security_double::repair_calls(), repairs);
}

// An order file too large to announce is cut at line ends into order
// files of their own, at most the limit each; together they hold exactly
// the source's bytes, in order. A line longer than the limit travels alone.
class Splits : public Orders {
 protected:
  void SetUp() override {
    Orders::SetUp();
    server_order_part_max = 100;
  }
  void TearDown() override { server_order_part_max = SERVER_UPLOAD_FILE_MAX; }
  // The bytes the server received, in name order.
  std::string received() {
    std::string all;
    for (auto& [name, file] : sim.order_files()) {
      EXPECT_TRUE(file.complete) << name;
      EXPECT_LE(file.data.size(), 100u) << name;
      all.append(file.data.begin(), file.data.end());
    }
    return all;
  }
};

TEST_F(Splits, OversizeFilesAreCutAtLineEnds) {
  init();
  std::string text;
  for (int i = 0; i < 30; ++i) text += "order " + std::to_string(i) + ",12345678\n";
  text += std::string(150, 'x') + "\n" + "last,1\n";  // one line over the limit
  dir.write(kRecord, text);
  const std::string name = rotate();
  ASSERT_NE(name, "");
  pass();
  EXPECT_TRUE(log.contains("[SERVER] splitting order " + name + " into ", LOG_INFO)) << log.dump();
  EXPECT_TRUE(files(kUpload).empty());
  EXPECT_TRUE(queue().empty());
  auto f = sim.order_files();
  EXPECT_GE(f.size(), 5u);
  EXPECT_EQ(f.count(name), 0u);  // the source itself is never announced
  std::string all;
  for (auto& [n, file] : f) {
    EXPECT_TRUE(file.complete) << n;
    EXPECT_EQ(file.data.back(), '\n') << n;
    EXPECT_TRUE(file.data.size() <= 100u || file.data.size() == 151u) << n;
    EXPECT_TRUE(dir.exists(kBackup + n)) << n;
    all.append(file.data.begin(), file.data.end());
  }
  EXPECT_EQ(all, text);
  expect_no_violations();
}

// A crash after the plan and one part were written: the next start writes
// the parts again under the same names and removes the source, so nothing
// is lost or sent twice. Half-written parts are removed.
TEST_F(Splits, InterruptedSplitIsFinishedAtStart) {
  const std::string src = "ZEF20260101000000000.csv";
  const std::string a = "ZEF20260101000001000.csv";
  const std::string b = "ZEF20260101000001001.csv";
  const std::string text = "line one\nline two\nline three\n";
  dir.write(kUpload + src, text);
  dir.write(kUpload + src + ".split", a + " 0 9\n" + b + " 9 20\n");
  dir.write(kUpload + a, "line one\n");
  dir.write(kUpload + b + ".tmp", "line t");
  init();
  EXPECT_EQ(files(kUpload), (std::vector<std::string>{a, b}));
  EXPECT_EQ(queue(), (std::vector<std::string>{a, b}));
  pass();
  EXPECT_EQ(received(), text);

  // A plan whose source is gone only needs removing.
  dir.write(kUpload + src + ".split", a + " 0 9\n");
  init();
  EXPECT_TRUE(files(kUpload).empty());
  expect_no_violations();
}

}  // namespace

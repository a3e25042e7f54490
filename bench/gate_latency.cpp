// Gate latency: the time from the last byte of the gate's command frame to
// the last byte of the answer frame, over the pseudo-terminal, for poll and
// for enter (entry gate) and exit (exit gate), every module running.
//
// The gate line's default attributes (VTIME 1, VMIN 255) end every read of
// the command 0.1 s after its last byte, so each answer comes at least
// 0.1 s late by design. That floor is reported on its own (counter
// "floor_ms", measured with get-state, which does no work); the bars hold
// on the time beyond the nominal 0.1 s ("*_beyond_*_ms"). "sync_share" is
// the part of the enter/exit time beyond the floor spent in the fsync of
// the order line; "all_syncs_share" adds the sequence id file and directory
// syncs.
//
// The ticket is handed to the phone link's receiver callback, as the
// acoustic decoder would, so the sound path does not pace the run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tools/testplugin/testpcode.h"
#include "backend_sim.h"
#include "gate_line.h"
#include "ztpu/crypto.h"
#include "ztpu/gate.h"
#include "ztpu/interface.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/phone.h"
#include "ztpu/security.h"
#include "ztpu/serial.h"
#include "ztpu/server.h"

namespace {

using Bytes = std::vector<u8>;
using Clock = std::chrono::steady_clock;

constexpr double kFloorMs = 100.0;

// ---- fsync accounting ----------------------------------------------------

std::atomic<bool> g_counting{false};
std::atomic<long long> g_sync_record_ns{0};
std::atomic<long long> g_sync_all_ns{0};

}  // namespace

// Every fsync of the process passes here while the benchmark runs.
extern "C" int fsync(int fd) {
  using fn_t = int (*)(int);
  static const fn_t real = reinterpret_cast<fn_t>(dlsym(RTLD_NEXT, "fsync"));
  const auto t0 = Clock::now();
  const int r = real(fd);
  if (g_counting.load()) {
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    g_sync_all_ns += ns;
    struct stat a {
    }, b{};
    if (fstat(fd, &a) == 0 && stat(ztpu::path::record_file, &b) == 0 && a.st_ino == b.st_ino &&
        a.st_dev == b.st_dev)
      g_sync_record_ns += ns;
  }
  return r;
}

// The gate thread's reads: the time the last one returned data, so that the
// answer's time can be split into the tty's wait and the system's work.
namespace {
thread_local bool t_gate_thread = false;
std::atomic<long long> g_gate_read_ns{0};
long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}
}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n) {
  using fn_t = ssize_t (*)(int, void*, size_t);
  static const fn_t real = reinterpret_cast<fn_t>(dlsym(RTLD_NEXT, "read"));
  const ssize_t r = real(fd, buf, n);
  if (t_gate_thread && r > 0) g_gate_read_ns = now_ns();
  return r;
}

namespace {

// ---- the board -------------------------------------------------------------

const std::array<u8, 16> kDeviceId = {0xD0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const std::array<u8, 12> kSsn = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56,
                                 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C};
const Bytes kBaseKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const Bytes kFactor = {0x01, 0x01, 16, 0xA0, 0xB0, 15};  // 16 rows, all AES-128-CFB

Bytes crypt(int mode, Bytes in, const u8* key, int keyl, const u8* iv, int ivl, int enc) {
  Bytes out(in.size() + 32);
  std::array<u8, 32> k{}, v{};
  std::memcpy(k.data(), key, static_cast<size_t>(keyl));
  std::memcpy(v.data(), iv, static_cast<size_t>(ivl));
  crypto_param p{mode, in.data(), static_cast<int>(in.size()), k.data(), keyl, v.data(), ivl, enc};
  int n = 0;
  if (crypto_crypt(&p, out.data(), &n) != 0) return {};
  out.resize(static_cast<size_t>(n));
  return out;
}

// What the server does to key material: 3DES-OFB under MD5(tpuSSN).
Bytes srv_encipher(const Bytes& clear) {
  std::array<u8, 16> md{};
  crypto_md5(const_cast<u8*>(kSsn.data()), 12, md.data());
  std::array<u8, 24> key{};
  std::memcpy(key.data(), md.data(), 16);
  for (int i = 0; i < 8; ++i) key[16 + i] = md[2 * i];
  return crypt(CRYPTO_DES_EDE3_OFB, clear, key.data(), 24, key.data(), 24, 1);
}

bool provision(const std::string& build) {
  std::ifstream in(build + "/lib/libztpu_testpcode.so", std::ios::binary);
  const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.empty()) return false;
  std::array<u8, 16> id = kDeviceId;
  std::array<u8, 12> ssn = kSsn;
  if (security_save_deviceid_and_ssn(id.data(), ssn.data()) != 0) return false;
  Bytes v0 = srv_encipher(kBaseKey);
  if (security_save_v0(v0.data(), static_cast<int>(v0.size())) != 0) return false;
  const Bytes img = srv_encipher(image);
  const Bytes fac = srv_encipher(kFactor);
  Bytes pl(4);
  const u32 p = static_cast<u32>(img.size());
  std::memcpy(pl.data(), &p, 4);
  pl.insert(pl.end(), img.begin(), img.end());
  pl.push_back(static_cast<u8>(fac.size() & 0xFF));
  pl.push_back(static_cast<u8>(fac.size() >> 8));
  pl.insert(pl.end(), fac.begin(), fac.end());
  if (security_save_pf2file(pl.data(), static_cast<u32>(pl.size())) != 0) return false;
  if (security_set_tpustate(2) != 0) return false;
  security_exit();
  return true;
}

std::array<u8, 16> userid_key(u32 uid) {
  std::array<u8, 16> k{};
  for (int i = 0; i < 16; ++i) k[i] = static_cast<u8>(uid >> (8 * (i % 4)));
  return k;
}

// The record a phone plays, carrying entry information for an exit gate.
Bytes ticket_record(u32 uid, u8 ticket_id, u32 ent_station, u32 ent_time) {
  Bytes clear = {ticket_id, 0, 0, 0, 0, 0x10, 0x27, 0x00};
  std::memcpy(&clear[1], &uid, 4);
  const u16 crc = crypto_crc16(clear.data(), 8);
  clear.push_back(static_cast<u8>(crc >> 8));
  clear.push_back(static_cast<u8>(crc & 0xFF));
  std::array<u8, TESTPCODE_ROW_SIZE> row{};
  const u8 r = static_cast<u8>(uid % 16);
  testpcode_row(kBaseKey.data(), static_cast<u32>(kBaseKey.size()), kFactor.data(),
                static_cast<u32>(kFactor.size()), r, row.data());
  Bytes rec = crypt(row[0], clear, &row[1], 32, &row[1], 32, 1);
  Bytes info(9);
  std::memcpy(info.data(), &ent_station, 4);
  std::memcpy(info.data() + 4, &ent_time, 4);
  std::array<u8, 16> md{};
  crypto_md5(info.data(), 8, md.data());
  info[8] = crypto_crc8(md.data() + 4, 8);
  const auto k = userid_key(uid);
  const Bytes sealed = crypt(CRYPTO_AES128_CFB, info, k.data(), 16, k.data(), 16, 1);
  rec.insert(rec.end(), sealed.begin(), sealed.end());
  rec.insert(rec.end(), {0xA0, 0xB0, r});
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  rec.push_back(static_cast<u8>(tm.tm_hour));
  rec.push_back(static_cast<u8>(tm.tm_min));
  const u16 rc = crypto_crc16(rec.data(), 24);
  rec.push_back(static_cast<u8>(rc & 0xFF));
  rec.push_back(static_cast<u8>(rc >> 8));
  return rec;
}

using ztpu_test::gate_frame;

class Station {
 public:
  bool start(std::string& why);
  void stop();
  // Sends a command frame; the time from its last byte to the answer's last
  // byte in ms, or a negative value; *code gets the answer's result byte.
  double exchange(const Bytes& frame, int* code);
  void set_exit_gate() { mconf_set_int(MC_EXIT_FLAG, 1); }
  // Of the last exchange: from the gate's read of the command to the
  // answer's last byte (the system's own work), in ms.
  double last_work_ms() const { return last_work_ms_; }
  // The board's last log line (why a passage was refused).
  std::string last_log() const;

 private:
  std::string dir_, old_cwd_;
  ztpu_backend::BackendSim server_;
  std::unique_ptr<ztpu_test::Pty> gate_, bt_;
  int air_ = -1;
  std::atomic<bool> serving_{false};
  std::atomic<bool> draining_{false};
  std::thread gate_thread_;
  std::thread bt_drain_;
  double last_work_ms_ = 0;
};

long long now_ns_of(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::string Station::last_log() const {
  std::ifstream in(dir_ + "/var/log/messages");
  std::string line, last;
  while (std::getline(in, line)) last = line;
  return last;
}

bool Station::start(std::string& why) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "ztpu-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return why = "mkdtemp", false;
  dir_ = tmpl;
  old_cwd_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir_);
  for (const char* d : {"sys/fsl_otp", "etc/poskey", "tmp", "var/log", "var/ulocal/upload",
                        "var/ulocal/backup", "var/lock", "dev"})
    std::filesystem::create_directories(d);
  std::ofstream("sys/fsl_otp/HW_OCOTP_CUST0") << "0x0123456789ABCDEF\n";
  if (!provision(ZTPU_BENCH_BUILD_DIR)) return why = "provisioning", false;

  if (server_.start({}) != 0) return why = "back-end simulator", false;
  std::ofstream conf("etc/ztpu.conf");
  conf << "config_ver=B1\nipaddr=127.0.0.1\nnetmask=255.0.0.0\ngateway=127.0.0.1\n"
          "dns=127.0.0.1\ndns2=127.0.0.1\ntime_server=127.0.0.1\ntpu_code=TPU1\n"
          "merchant_code=M001\nserver_ip=127.0.0.1\nexit_flag=0\nserver_port="
       << server_.port()
       << "\nupload_interval=3600\nheartbeat_interval=5\nheartbeat_retries=3\n"
          "voucher_check_time=300\nfile_block_size=1024\ndefault_station=77\n"
          "use_default_station=1\noffline_delay=600\nold_security_life=60\n";
  conf.close();

  // Our own slave ends stay open: without them the master reads fail while
  // the daemon has a port closed.
  gate_ = std::make_unique<ztpu_test::Pty>("dev/ttySP2");
  bt_ = std::make_unique<ztpu_test::Pty>("dev/ttySP0");
  if (!gate_->ok() || !bt_->ok()) return why = "pseudo-terminals", false;
  // The phone's end of Bluetooth: replies are read and dropped.
  draining_ = true;
  bt_drain_ = std::thread([this] {
    std::array<u8, 256> buf{};
    pollfd p{bt_->master(), POLLIN, 0};
    while (draining_.load())
      if (poll(&p, 1, 100) > 0 && read(bt_->master(), buf.data(), buf.size()) <= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  // Silent microphone: a FIFO held open with nothing written.
  const std::string fifo = ztpu_test::fifo_microphone(dir_);
  if (fifo.empty() || (air_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC)) < 0)
    return why = "microphone FIFO", false;

  serving_ = true;
  if (gate_start() != 0) return why = "start-up (see var/log/messages)", false;
  gate_thread_ = std::thread([this] {
    t_gate_thread = true;
    while (serving_.load()) gate_serve_once();
  });
  for (int i = 0; i < 100 && server_is_offline() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (server_is_offline() != 0) return why = "no sign-in", false;
  return true;
}

void Station::stop() {
  serving_ = false;
  if (gate_thread_.joinable()) gate_thread_.join();
  draining_ = false;
  if (bt_drain_.joinable()) bt_drain_.join();
  if (air_ >= 0) close(air_);  // the receiver reads the end of the stream
  air_ = -1;
  gate_stop();
  server_.stop();
  gate_.reset();
  bt_.reset();
  if (!old_cwd_.empty()) std::filesystem::current_path(old_cwd_);
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

double Station::exchange(const Bytes& frame, int* code) {
  const int fd = gate_->master();
  if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return -1;
  const auto sent = Clock::now();
  const Bytes raw = ztpu_test::read_frame(fd, 2000);
  const auto got = Clock::now();
  last_work_ms_ = static_cast<double>(now_ns_of(got) - g_gate_read_ns.load()) / 1e6;
  Bytes rec;
  if (!ztpu_test::frame_record(raw, &rec) || rec.size() < 6) return -1;
  *code = rec[5];
  return std::chrono::duration<double, std::milli>(got - sent).count();
}

Station* g_station = nullptr;

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  return v[i];
}

// Beyond the nominal 0.1 s, and beyond the measured floor (the nominal
// floor plus the tty timer's granularity and the loop's wait).
void report(benchmark::State& state, const char* name, const std::vector<double>& ms,
            double floor) {
  const std::string n = name;
  state.counters[n + "_over_floor_median_ms"] = percentile(ms, 0.5) - floor;
  state.counters[n + "_over_floor_p99_ms"] = percentile(ms, 0.99) - floor;
  state.counters[n + "_median_ms"] = percentile(ms, 0.5);
  state.counters[n + "_p99_ms"] = percentile(ms, 0.99);
  state.counters[n + "_beyond_median_ms"] = percentile(ms, 0.5) - kFloorMs;
  state.counters[n + "_beyond_p99_ms"] = percentile(ms, 0.99) - kFloorMs;
}

double measure_floor(benchmark::State& state) {
  std::vector<double> ms;
  int code = 0;
  for (int i = 0; i < 50; ++i) {
    const double t = g_station->exchange(gate_frame({0, 0, 0x21, 0x53, 0}), &code);
    if (t >= 0) ms.push_back(t);
  }
  state.counters["floor_ms"] = percentile(ms, 0.5);
  return percentile(ms, 0.5);
}

void passages(benchmark::State& state, bool exit_gate) {
  if (g_station == nullptr) {
    state.SkipWithError("station not started");
    return;
  }
  if (exit_gate) g_station->set_exit_gate();
  const double floor = measure_floor(state);
  std::vector<double> poll_ms, pay_ms, sync_ms, all_sync_ms, poll_work, pay_work;
  static u32 uid = 1000;
  int failures = 0;
  for (auto _ : state) {
    ++uid;
    const u32 now = static_cast<u32>(std::time(nullptr));
    Bytes rec = ticket_record(uid, static_cast<u8>(uid), 31, now - 600);
    phone_read_handler(rec.data(), static_cast<int>(rec.size()), nullptr);
    int code = -1;
    const double tp = g_station->exchange(gate_frame({0, 0, 0x31, 0x53, 0}), &code);
    const double wp = g_station->last_work_ms();
    if (tp < 0 || code != 0) {
      if (++failures <= 3)
        std::fprintf(stderr, "poll %s: %s\n", tp < 0 ? "unanswered" : "refused",
                     g_station->last_log().c_str());
      state.SetIterationTime(0.2);
      continue;
    }
    u8 bcd[7];
    time_stamp_to_bcd(static_cast<unsigned>(std::time(nullptr)), reinterpret_cast<char*>(bcd));
    Bytes cmd{0, 0, static_cast<u8>(exit_gate ? 0x33 : 0x32), 0x53, 0};
    cmd.insert(cmd.end(), bcd, bcd + 7);
    cmd.insert(cmd.end(), {0x02, 0x01, 0x00, 0x00});
    if (exit_gate) cmd.insert(cmd.end(), {0x2C, 0x01, 0x00, 0x00});  // fare 300
    cmd.insert(cmd.end(), {0x00, 0x00});
    g_sync_record_ns = 0;
    g_sync_all_ns = 0;
    g_counting = true;
    const double tq = g_station->exchange(gate_frame(cmd), &code);
    g_counting = false;
    if (tq < 0 || code != 0) {
      if (++failures <= 3)
        std::fprintf(stderr, "%s %s: %s\n", exit_gate ? "exit" : "enter",
                     tq < 0 ? "unanswered" : "refused", g_station->last_log().c_str());
      state.SetIterationTime(0.2);
      continue;
    }
    poll_ms.push_back(tp);
    pay_ms.push_back(tq);
    poll_work.push_back(wp);
    pay_work.push_back(g_station->last_work_ms());
    sync_ms.push_back(static_cast<double>(g_sync_record_ns.load()) / 1e6);
    all_sync_ms.push_back(static_cast<double>(g_sync_all_ns.load()) / 1e6);
    state.SetIterationTime((tp + tq) / 1000.0);
  }
  report(state, "poll", poll_ms, floor);
  report(state, exit_gate ? "exit" : "enter", pay_ms, floor);
  state.counters["poll_work_median_ms"] = percentile(poll_work, 0.5);
  state.counters["poll_work_p99_ms"] = percentile(poll_work, 0.99);
  state.counters[std::string(exit_gate ? "exit" : "enter") + "_work_median_ms"] =
      percentile(pay_work, 0.5);
  state.counters[std::string(exit_gate ? "exit" : "enter") + "_work_p99_ms"] =
      percentile(pay_work, 0.99);
  double beyond = 0, sync = 0, all = 0;
  for (size_t i = 0; i < pay_ms.size(); ++i) {
    beyond += pay_ms[i] - kFloorMs;
    sync += sync_ms[i];
    all += all_sync_ms[i];
  }
  state.counters["sync_median_ms"] = percentile(sync_ms, 0.5);
  state.counters["sync_p99_ms"] = percentile(sync_ms, 0.99);
  state.counters["sync_share"] = beyond > 0 ? sync / beyond : 0;
  state.counters["all_syncs_share"] = beyond > 0 ? all / beyond : 0;
  state.counters["failures"] = failures;
}

}  // namespace

// Entry first: the exit gate is the same station switched over.
// "--passages=N" (default 1000) sets the passages of each.
int main(int argc, char** argv) {
  long count = 1000;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--passages=", 11) == 0)
      count = std::max(1L, std::strtol(argv[i] + 11, nullptr, 10));
    else
      args.push_back(argv[i]);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  for (const auto& [name, exit_gate] :
       {std::pair{"BM_EntryGatePassage", false}, std::pair{"BM_ExitGatePassage", true}}) {
    const bool e = exit_gate;
    benchmark::RegisterBenchmark(name, [e](benchmark::State& st) { passages(st, e); })
        ->Iterations(count)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  Station station;
  std::string why;
  if (station.start(why)) {
    g_station = &station;
  } else {
    std::fprintf(stderr, "gate_latency: station not started: %s\n", why.c_str());
  }
  benchmark::RunSpecifiedBenchmarks();
  station.stop();
  benchmark::Shutdown();
  return g_station != nullptr ? 0 : 1;
}

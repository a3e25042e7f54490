// ztpu-station: the outside parties of a simulated station.
//
//   ztpu-station init STATION [--default-station N] [--old-life S]
//       creates STATION/keys (base key, two key versions) and the board
//       directories STATION/entry and STATION/exit, each with its own fuse
//       value, identity, back-end port and provisioning files under
//       provision/ (ztpu.conf, v0.bin, keys-VVVV.bin); board.ini holds the
//       identity for ztpu-provision.
//   ztpu-station run STATION [--passengers N] [--noise PEAK] [--fare F]
//       [--no-key-switch] [--idle-seconds S] [--emulator "CMD ARGS"]
//       runs the back end, the air, both daemons and the passengers on
//       provisioned boards, one line per step, then a summary. Exit status
//       0 only when every passage was served and every order reached the
//       back end with a valid TAC. --emulator starts ztpud and
//       ztpu-provision through CMD (e.g. qemu-arm for an ARM build).
//
// SIGINT and SIGTERM stop a run cleanly: the daemons are ended with it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "run.h"

namespace {

namespace st = ztpu_station;

int usage() {
  std::fprintf(stderr,
               "usage: ztpu-station init STATION [--default-station N] [--old-life S]\n"
               "       ztpu-station run STATION [--passengers N] [--noise PEAK] [--fare F]\n"
               "                    [--no-key-switch] [--idle-seconds S] [--emulator CMD]\n");
  return 2;
}

bool number(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string absolute(const char* p) {
  std::error_code ec;
  auto a = std::filesystem::absolute(p, ec);
  return ec ? std::string(p) : a.lexically_normal().string();
}

void on_stop(int) {
  // The daemons die with this process (parent-death signal).
  _exit(130);
}

int cmd_init(int argc, char** argv) {
  st::InitOptions o;
  o.station = absolute(argv[0]);
  for (int i = 1; i < argc; ++i) {
    long v = 0;
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    if (a == "--default-station" && number(argv[++i], 1, 0x7FFFFFFF, &v)) {
      o.default_station = static_cast<std::uint32_t>(v);
      o.use_default_station = true;
    } else if (a == "--old-life" && number(argv[++i], 1, 3600, &v)) {
      o.old_security_life = static_cast<int>(v);
    } else {
      return usage();
    }
  }
  std::string why;
  if (st::init_station(o, &why) != 0) {
    std::fprintf(stderr, "ztpu-station: %s\n", why.c_str());
    return 1;
  }
  std::printf("%s/entry\n%s/exit\n", o.station.c_str(), o.station.c_str());
  return 0;
}

int cmd_run(int argc, char** argv) {
  st::RunOptions o;
  o.station = absolute(argv[0]);
  std::error_code ec;
  o.bindir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
  for (int i = 1; i < argc; ++i) {
    long v = 0;
    const std::string a = argv[i];
    if (a == "--no-key-switch") {
      o.key_switch = false;
      continue;
    }
    if (i + 1 >= argc) return usage();
    if (a == "--passengers" && number(argv[++i], 1, 100000, &v)) {
      o.passengers = static_cast<int>(v);
    } else if (a == "--noise" && number(argv[++i], 0, 20000, &v)) {
      o.noise = static_cast<int>(v);
    } else if (a == "--fare" && number(argv[++i], 0, 100000, &v)) {
      o.fare = static_cast<std::uint32_t>(v);
    } else if (a == "--idle-seconds" && number(argv[++i], 0, 3600, &v)) {
      o.idle_seconds = static_cast<int>(v);
    } else if (a == "--emulator") {
      std::istringstream words(argv[++i]);
      o.emulator.clear();
      for (std::string w; words >> w;) o.emulator.push_back(w);
    } else {
      return usage();
    }
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  st::RunSummary s;
  const int rc = st::run_station(
      o,
      [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
      },
      &s);
  std::printf("\n=== summary\n");
  std::printf("passages served:       %d of %d\n", s.served, s.passengers);
  std::printf("orders at the back end: %d of %d, valid TAC: %d\n", s.orders_received,
              s.orders_expected, s.orders_valid);
  std::printf(
      "key version switched:  %s; old ticket accepted before removal: %s, refused "
      "after: %s\n",
      s.key_switched ? "yes" : "no", s.old_ticket_accepted ? "yes" : "no",
      s.old_ticket_refused ? "yes" : "no");
  std::printf("gate answers:          %zu, median %.0f ms, p99 %.0f ms\n", s.gate_ms.size(),
              st::percentile(s.gate_ms, 50), st::percentile(s.gate_ms, 99));
  std::printf("enter/exit answers:    median %.0f ms, p99 %.0f ms\n", st::percentile(s.pay_ms, 50),
              st::percentile(s.pay_ms, 99));
  std::printf("passage (entry..exit): median %.0f ms\n", st::percentile(s.passage_ms, 50));
  std::printf("wall time:             %.1f s; passengers %.1f s, %.1f passages per minute\n",
              s.wall_s, s.passengers_s,
              s.passengers_s > 0 ? s.served * 60.0 / s.passengers_s : 0.0);
  std::printf("daemon memory (RSS):   entry %ld kB, exit %ld kB\n", s.rss_kb[0], s.rss_kb[1]);
  if (s.idle_cpu_s_per_min >= 0)
    std::printf("idle daemon CPU:       %.2f s per minute of audio\n", s.idle_cpu_s_per_min);
  for (const std::string& p : s.problems) std::printf("problem: %s\n", p.c_str());
  std::printf("result: %s\n", rc == 0 ? "OK" : "FAILED");
  return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string cmd = argv[1];
  if (cmd == "init") return cmd_init(argc - 2, argv + 2);
  if (cmd == "run") return cmd_run(argc - 2, argv + 2);
  return usage();
}

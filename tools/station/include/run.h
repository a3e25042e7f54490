// A whole simulated station: the back end, the air, the gate and Bluetooth
// lines and both daemons around a station directory made by
// `ztpu-station init` (or setup_station), and passengers who enter at the
// entry gate and leave at the exit gate.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend_sim.h"
#include "station.h"

namespace ztpu_station {

// Station directory: keys/base.key and keys/versions ("VVVV ALG" per line,
// the first the version provisioned, the second the one delivered midway),
// and one board directory each for entry/ and exit/ with its board.ini.
struct BoardInfo {
  std::string dir;
  bool exit_gate = false;
  std::uint16_t port = 0;
  DeviceId device_id{};
  TpuSsn ssn{};
};

struct StationKeys {
  Bytes base;
  std::vector<KeyVersion> versions;
};

int load_keys(const std::string& station, StationKeys* keys, std::string* why);
int save_keys(const std::string& station, const StationKeys& keys, std::string* why);
int load_board(const std::string& dir, BoardInfo* info, std::string* why);
int save_board(const BoardInfo& info, std::string* why);

// Creates the station: key versions, both board directories with their
// provisioning files (provision/ztpu.conf, v0.bin, keys-VVVV.bin), each with
// its own fuse value, identity and back-end port. Provisioning itself is
// ztpu-provision's (provision_board, or scripts/demo).
struct InitOptions {
  std::string station;  // absolute
  std::uint32_t default_station = 0;
  bool use_default_station = false;
  int old_security_life = 3;
  int voucher_check_time = 300;
};
int init_station(const InitOptions& o, std::string* why);

// Provisions a board with ztpu-provision from `bindir`, as scripts/demo
// does: identity, configuration, base key file, `keys_file` (relative to
// the board), state 2. And both boards of a station with its first version.
// `emulator` runs bindir's programs (a cross build's qemu-arm); empty: directly.
int provision_board(const BoardInfo& b, const std::string& bindir, const std::string& keys_file,
                    std::string* why, const std::vector<std::string>& emulator = {});
int provision_station(const std::string& station, const std::string& bindir, std::string* why,
                      const std::vector<std::string>& emulator = {});

// Heartbeat command codes the back end delivers.
inline constexpr std::uint16_t kCmdUpdateConfig = 0x14;
inline constexpr std::uint16_t kCmdUpdateKey = 0x15;
inline constexpr std::uint16_t kCmdApplyKey = 0x17;
inline constexpr std::uint16_t kCmdUploadLog = 0x19;

struct RunOptions {
  std::string station;  // absolute
  std::string bindir;   // holds ztpud
  // Runs bindir's programs (a cross build's qemu-arm and its arguments);
  // empty: they run directly.
  std::vector<std::string> emulator;
  int passengers = 4;
  int noise = 200;  // peak of the air's noise
  std::uint32_t fare = 3;
  std::uint32_t entry_station = 101;
  std::uint32_t exit_station = 205;
  bool key_switch = true;         // deliver and apply the second key version midway
  int idle_seconds = 0;           // measure an idle daemon's CPU for this long
  bool offline_at_start = false;  // back ends refuse everything until set online
};

struct RunSummary {
  int passengers = 0;
  int served = 0;  // whole passages (entry and exit)
  int orders_expected = 0;
  int orders_received = 0;  // order lines that reached the back end
  int orders_valid = 0;     // with a valid TAC
  bool key_switched = false;
  bool old_ticket_accepted = false;  // after the switch, before the removal
  bool old_ticket_refused = false;   // after the removal
  std::vector<double> gate_ms;       // every gate answer
  std::vector<double> pay_ms;        // enter and exit answers
  std::vector<double> passage_ms;    // phone held to the entry gate .. exit reply
  double wall_s = 0;
  double passengers_s = 0;  // from the first passenger to the last one's exit reply
  long rss_kb[2] = {-1, -1};
  double idle_cpu_s_per_min = -1;
  std::vector<std::string> problems;
  bool ok() const;
};

// One board of a running station: its back end, lines, gate and daemon.
struct Lane {
  BoardInfo info;
  ztpu_backend::BackendSim backend;
  Pty gate_pty, bt_pty;
  std::unique_ptr<Gate> gate;
  Daemon daemon;
  int air = -1;
  std::string role() const { return info.exit_gate ? "exit" : "entry"; }
  std::string log() const { return info.dir + "/var/log/messages"; }
};

using Say = std::function<void(const std::string&)>;

// The running station: everything is stopped on destruction.
class LiveStation {
 public:
  LiveStation(RunOptions o, Say say);
  ~LiveStation();
  LiveStation(const LiveStation&) = delete;
  LiveStation& operator=(const LiveStation&) = delete;

  // Back ends, lines and air, then both daemons until they answer the gate;
  // with `wait_signin` also until both have signed in. 0, or -1 with `why`.
  int start(bool wait_signin, std::string* why);
  void stop();
  Lane& entry() { return lanes_[0]; }
  Lane& exit() { return lanes_[1]; }
  Air& air() { return air_; }
  const StationKeys& keys() const { return keys_; }
  const RunOptions& options() const { return o_; }
  // Index in keys().versions of the version the boards use at start.
  std::size_t current_version() const { return current_; }

  // One passage through one gate: the phone plays its ticket, the gate polls
  // for up to `window`, then enters or exits, the phone reads its reply and
  // keeps entry information. With `expect` false the ticket must be refused.
  // Problems are reported through `problem`; true when it went as expected.
  bool through(Lane& l, Passenger& p, const KeyRow& row, bool expect,
               const std::function<void(const std::string&)>& problem,
               std::chrono::milliseconds window = std::chrono::seconds(3));
  // Delivers a heartbeat command and waits for its receipt: the receipt's
  // status, or -1 when none came.
  int command(Lane& l, std::uint16_t code, const Bytes& arg, std::chrono::milliseconds timeout);
  // Lines of the order files that reached a board's back end whole.
  std::vector<std::string> orders(Lane& l) const;
  const std::vector<double>& pay_ms() const { return pay_ms_; }

 private:
  RunOptions o_;
  Say say_;
  StationKeys keys_;
  Air air_;
  std::array<Lane, 2> lanes_;
  std::uint8_t next_cmd_id_ = 1;
  std::size_t current_ = 0;
  std::vector<double> pay_ms_;
};

// Runs the demo's passengers on a station; `say` receives one line per step.
int run_station(const RunOptions& o, const Say& say, RunSummary* sum);

double percentile(std::vector<double> v, double p);

}  // namespace ztpu_station

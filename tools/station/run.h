// A whole simulated station: the back end, the air, the gate and Bluetooth
// lines and both daemons around a station directory made by
// `ztpu-station init` (or setup_station), and passengers who enter at the
// entry gate and leave at the exit gate.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

struct RunOptions {
  std::string station;  // absolute
  std::string bindir;   // holds ztpud
  int passengers = 4;
  int noise = 200;  // peak of the air's noise
  std::uint32_t fare = 3;
  std::uint32_t entry_station = 101;
  std::uint32_t exit_station = 205;
  bool key_switch = true;  // deliver and apply the second key version midway
  int idle_seconds = 0;    // measure an idle daemon's CPU for this long
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
  long rss_kb[2] = {-1, -1};
  double idle_cpu_s_per_min = -1;
  std::vector<std::string> problems;
  bool ok() const;
};

// Runs the station; `say` receives one line per step.
int run_station(const RunOptions& o, const std::function<void(const std::string&)>& say,
                RunSummary* sum);

double percentile(std::vector<double> v, double p);

}  // namespace ztpu_station

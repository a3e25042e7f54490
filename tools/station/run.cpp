// A whole simulated station (run.h).
#include "run.h"

#include <sys/random.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "backend_sim.h"

namespace ztpu_station {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string fmt_ms(double ms) {
  char b[32];
  std::snprintf(b, sizeof b, "%.0f ms", ms);
  return b;
}

std::map<std::string, std::string> read_ini(const std::string& path) {
  std::map<std::string, std::string> kv;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

template <std::size_t N>
bool hex_array(const std::string& text, std::array<std::uint8_t, N>& out) {
  Bytes b;
  if (!from_hex(text, b) || b.size() != N) return false;
  std::copy(b.begin(), b.end(), out.begin());
  return true;
}

Bytes random_bytes(std::size_t n) {
  Bytes b(n);
  if (getrandom(b.data(), n, 0) != static_cast<ssize_t>(n)) {
    std::random_device rd;
    for (auto& x : b) x = static_cast<std::uint8_t>(rd());
  }
  return b;
}

std::string version_text(std::uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v);
  return b;
}

// Order lines of every file the back end received whole.
std::vector<std::string> order_lines(const ztpu_backend::BackendSim& sim) {
  std::vector<std::string> lines;
  for (const auto& [name, f] : sim.order_files()) {
    if (!f.complete) continue;
    std::istringstream in(std::string(f.data.begin(), f.data.end()));
    std::string line;
    while (std::getline(in, line))
      if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool receipt_seen(const ztpu_backend::BackendSim& sim, std::uint16_t code, std::uint8_t id,
                  int* status) {
  for (const receipt_cmd& r : sim.receipts()) {
    if (r.cmd == code && r.cmd_id[5] == id) {
      *status = r.status;
      return true;
    }
  }
  return false;
}

}  // namespace

bool RunSummary::ok() const {
  return problems.empty() && served == passengers && orders_received == orders_expected &&
         orders_valid == orders_expected;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto idx = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, idx == 0 ? 0 : idx - 1)];
}

int load_keys(const std::string& station, StationKeys* keys, std::string* why) {
  const std::string dir = station + "/keys";
  if (!read_file(dir + "/base.key", keys->base) || keys->base.empty()) {
    *why = "cannot read " + dir + "/base.key";
    return -1;
  }
  std::ifstream in(dir + "/versions");
  unsigned v = 0, alg = 0;
  keys->versions.clear();
  while (in >> std::hex >> v >> std::dec >> alg)
    keys->versions.push_back(make_key_version(keys->base, static_cast<std::uint16_t>(v),
                                              static_cast<std::uint8_t>(alg)));
  if (keys->versions.empty()) {
    *why = "no key version in " + dir + "/versions";
    return -1;
  }
  return 0;
}

int save_keys(const std::string& station, const StationKeys& keys, std::string* why) {
  const std::string dir = station + "/keys";
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string versions;
  for (const KeyVersion& kv : keys.versions)
    versions += version_text(kv.version) + " " + std::to_string(kv.factor[5]) + "\n";
  if (ec || !write_file(dir + "/base.key", keys.base) ||
      !write_file(dir + "/versions", Bytes(versions.begin(), versions.end()))) {
    *why = "cannot write " + dir;
    return -1;
  }
  return 0;
}

int load_board(const std::string& dir, BoardInfo* info, std::string* why) {
  auto kv = read_ini(dir + "/board.ini");
  info->dir = dir;
  info->exit_gate = kv["role"] == "exit";
  info->port = static_cast<std::uint16_t>(std::atoi(kv["port"].c_str()));
  if (info->port == 0 || !hex_array(kv["device_id"], info->device_id) ||
      !hex_array(kv["ssn"], info->ssn)) {
    *why = "incomplete " + dir + "/board.ini";
    return -1;
  }
  return 0;
}

int save_board(const BoardInfo& info, std::string* why) {
  const std::string text = std::string("role=") + (info.exit_gate ? "exit" : "entry") +
                           "\nport=" + std::to_string(info.port) +
                           "\ndevice_id=" + to_hex(info.device_id.data(), 16) +
                           "\nssn=" + to_hex(info.ssn.data(), 12) + "\n";
  if (!write_file(info.dir + "/board.ini", Bytes(text.begin(), text.end()))) {
    *why = "cannot write " + info.dir + "/board.ini";
    return -1;
  }
  return 0;
}

int init_station(const InitOptions& o, std::string* why) {
  StationKeys keys;
  keys.base = random_bytes(16);
  // The first version's rows use AES-128 CFB, the second's triple DES CFB:
  // both keep a ticket's 10 bytes.
  keys.versions = {make_key_version(keys.base, 0x0001, 15),
                   make_key_version(keys.base, 0x0002, 12)};
  if (save_keys(o.station, keys, why) != 0) return -1;
  Bytes image;
  const std::string plugin = plugin_path();
  if (plugin.empty() || !read_file(plugin, image)) {
    *why = "the test key-table plug-in is missing next to ztpu-station";
    return -1;
  }
  int n = 0;
  for (const char* role : {"entry", "exit"}) {
    BoardSpec b;
    b.dir = o.station + "/" + role;
    b.exit_gate = std::string(role) == "exit";
    const Bytes fuse = random_bytes(8);
    b.fuse = "0x" + to_hex(fuse.data(), 8);
    const Bytes id = random_bytes(16), ssn = random_bytes(12);
    std::copy(id.begin(), id.end(), b.device_id.begin());
    std::copy(ssn.begin(), ssn.end(), b.ssn.begin());
    b.server_port = free_port();
    b.default_station = o.default_station;
    b.use_default_station = o.use_default_station;
    b.old_security_life = o.old_security_life;
    b.voucher_check_time = o.voucher_check_time;
    b.config_ver = std::string("CFG-") + role + "-1";
    if (b.server_port == 0) {
      *why = "no free port";
      return -1;
    }
    if (prepare_board(b, why) != 0) return -1;
    // Ports picked one after the other must differ.
    if (n++ == 1) {
      BoardInfo first;
      if (load_board(o.station + "/entry", &first, why) != 0) return -1;
      while (b.server_port == first.port) b.server_port = free_port();
    }
    const std::string prov = b.dir + "/provision";
    std::error_code ec;
    fs::create_directories(prov, ec);
    std::string conf = config_text(b);
    bool ok = !ec && write_file(prov + "/ztpu.conf", Bytes(conf.begin(), conf.end())) &&
              write_file(prov + "/v0.bin", server_encipher(keys.base, b.ssn));
    for (const KeyVersion& kv : keys.versions)
      ok = ok && write_file(prov + "/keys-" + version_text(kv.version) + ".bin",
                            key_payload(image, kv, b.ssn));
    if (!ok) {
      *why = "cannot write " + prov;
      return -1;
    }
    BoardInfo info{b.dir, b.exit_gate, b.server_port, b.device_id, b.ssn};
    if (save_board(info, why) != 0) return -1;
  }
  return 0;
}

int provision_board(const BoardInfo& b, const std::string& bindir, const std::string& keys_file,
                    std::string* why, const std::vector<std::string>& emulator) {
  const std::vector<std::string> tool = program_argv(emulator, bindir + "/ztpu-provision");
  const std::vector<std::vector<std::string>> steps = {
      {"identity", to_hex(b.device_id.data(), 16), to_hex(b.ssn.data(), 12)},
      {"config", "provision/ztpu.conf"},
      {"v0", "provision/v0.bin"},
      {"keys", keys_file},
      {"state", "2"}};
  for (const auto& step : steps) {
    std::vector<std::string> argv = tool;
    argv.insert(argv.end(), step.begin(), step.end());
    std::string out;
    if (run_in(b.dir, argv, &out) != 0) {
      *why = "ztpu-provision " + step[0] + ": " + out;
      return -1;
    }
  }
  return 0;
}

int provision_station(const std::string& station, const std::string& bindir, std::string* why,
                      const std::vector<std::string>& emulator) {
  for (const char* role : {"/entry", "/exit"}) {
    BoardInfo b;
    if (load_board(station + role, &b, why) != 0 ||
        provision_board(b, bindir, "provision/keys-0001.bin", why, emulator) != 0)
      return -1;
  }
  return 0;
}

LiveStation::LiveStation(RunOptions o, Say say)
    : o_(std::move(o)), say_(std::move(say)), air_(o_.noise) {}

LiveStation::~LiveStation() { stop(); }

void LiveStation::stop() {
  for (Lane& l : lanes_) l.daemon.stop();
  air_.stop();
  for (Lane& l : lanes_) l.backend.stop();
}

int LiveStation::start(bool wait_signin, std::string* why) {
  if (load_keys(o_.station, &keys_, why) != 0) return -1;
  for (int i = 0; i < 2; ++i) {
    Lane& l = lanes_[static_cast<std::size_t>(i)];
    if (load_board(o_.station + (i == 0 ? "/entry" : "/exit"), &l.info, why) != 0) return -1;
    ztpu_backend::Options bo;
    bo.port = l.info.port;
    bo.check_device_id = true;
    bo.device_id = l.info.device_id;
    if (keys_.versions.size() > 1) {
      Bytes kf;
      const std::string path =
          l.info.dir + "/provision/keys-" + version_text(keys_.versions[1].version) + ".bin";
      if (!read_file(path, kf)) {
        *why = "cannot read " + path;
        return -1;
      }
      l.backend.set_key_file(kf, keys_.versions[1].version, 1024);
    }
    l.backend.set_offline(o_.offline_at_start);
    if (l.backend.start(bo) != 0) {
      *why = "back end cannot listen on 127.0.0.1:" + std::to_string(l.info.port);
      return -1;
    }
    if (l.gate_pty.open(l.info.dir + "/dev/ttySP2", why) != 0 ||
        l.bt_pty.open(l.info.dir + "/dev/ttySP0", why) != 0 ||
        (l.air = air_.add_board(fifo_path(l.info.dir), why)) < 0)
      return -1;
    l.gate = std::make_unique<Gate>(l.gate_pty.fd());
    // The version in use: a station that ran before may have switched.
    std::string status;
    std::vector<std::string> argv = program_argv(o_.emulator, o_.bindir + "/ztpu-provision");
    argv.emplace_back("status");
    if (run_in(l.info.dir, argv, &status) != 0) {
      *why = l.role() + " board is not provisioned: " + status;
      return -1;
    }
    const std::size_t at = status.find("runkeyver: ");
    const unsigned long run =
        at == std::string::npos ? 0 : std::strtoul(status.c_str() + at + 11, nullptr, 16);
    for (std::size_t v = 0; v < keys_.versions.size(); ++v)
      if (keys_.versions[v].version == run) current_ = std::max(current_, v);
  }
  say_("back end: listening on 127.0.0.1:" + std::to_string(entry().info.port) +
       " (entry board) and " + std::to_string(exit().info.port) + " (exit board)" +
       (o_.offline_at_start ? ", offline" : ""));
  air_.start();
  say_("air: playing into both boards' microphones, noise peak " + std::to_string(o_.noise));
  for (Lane& l : lanes_)
    if (l.daemon.start(o_.bindir + "/ztpud", l.info.dir, why, o_.emulator) != 0) return -1;
  for (Lane& l : lanes_) {
    if (!l.gate->wait_ready(15s)) {
      *why = l.role() + " daemon does not answer get-state";
      return -1;
    }
    say_(l.role() + " gate: daemon " + std::to_string(l.daemon.pid()) + " answers get-state");
  }
  if (!wait_signin) return 0;
  for (Lane& l : lanes_) {
    if (!wait_for_text(l.log(), "[SERVER] server status: signed in", 20s)) {
      *why = l.role() + " board never signed in";
      return -1;
    }
    say_(l.role() + " board: signed in to the back end");
  }
  return 0;
}

int LiveStation::command(Lane& l, std::uint16_t code, const Bytes& arg,
                         std::chrono::milliseconds timeout) {
  const std::uint8_t id = next_cmd_id_++;
  l.backend.push_heartbeat_command(code, {0, 0, 0, 0, 0, id}, arg);
  const auto end = Clock::now() + timeout;
  int status = -1;
  while (!receipt_seen(l.backend, code, id, &status) && Clock::now() < end)
    std::this_thread::sleep_for(50ms);
  return status;
}

std::vector<std::string> LiveStation::orders(Lane& l) const { return order_lines(l.backend); }

bool LiveStation::through(Lane& l, Passenger& p, const KeyRow& row, bool expect,
                          const std::function<void(const std::string&)>& problem,
                          std::chrono::milliseconds window) {
  const std::string role = l.role();
  const std::string who = "passenger " + std::to_string(p.user_id);
  const Bytes rec = ticket_record(p, row, std::time(nullptr));
  air_.play(l.air, ticket_sound(rec));
  Gate::Poll poll;
  const auto until = Clock::now() + window;
  int polls = 0;
  while (Clock::now() < until) {
    poll = l.gate->poll();
    ++polls;
    if (poll.found) break;
  }
  if (!poll.found) {
    if (expect)
      problem(who + ": " + role + " gate never found the ticket");
    else
      say_(role + " gate: poll x" + std::to_string(polls) + ": no card (" + who +
           ", refused as expected)");
    air_.wait_quiet(l.air, 3s);
    return !expect;
  }
  say_(role + " gate: poll x" + std::to_string(polls) + ": card " + std::to_string(poll.user_id) +
       ", entry station " + std::to_string(poll.ent_station) + " (" + fmt_ms(poll.ms) + ")");
  if (!expect) {
    problem(who + ": ticket accepted at the " + role + " gate where it must be refused");
    return false;
  }
  bool ok = true;
  auto fail = [&](const std::string& text) {
    problem(who + ": " + text);
    ok = false;
  };
  if (poll.user_id != p.user_id) fail("poll found user " + std::to_string(poll.user_id));
  if (l.info.exit_gate && p.entry_info.size() == 9 && poll.ent_station != o_.entry_station)
    fail("exit gate saw entry station " + std::to_string(poll.ent_station));
  const Gate::Pay pay = l.info.exit_gate
                            ? l.gate->exit(o_.exit_station, o_.fare, std::time(nullptr))
                            : l.gate->enter(o_.entry_station, std::time(nullptr));
  if (!pay.served) {
    fail(role + " refused");
    return false;
  }
  pay_ms_.push_back(pay.ms);
  say_(role + " gate: " + role + " served, user " + std::to_string(pay.user_id) + ", balance " +
       std::to_string(pay.balance) +
       (l.info.exit_gate ? ", fare " + std::to_string(o_.fare) : std::string()) + " (" +
       fmt_ms(pay.ms) + ")");
  if (pay.balance != p.balance()) fail("balance " + std::to_string(pay.balance));
  const PhoneReply r = read_reply(l.bt_pty.fd(), p.user_id, rec, 2000);
  // The phone stops playing once the gate has answered it.
  if (r.received) air_.silence(l.air);
  if (!r.received || !r.valid) {
    fail("no valid phone reply from the " + role + " gate");
    return false;
  }
  std::string extra;
  if (!l.info.exit_gate) {
    std::uint32_t st = 0, when = 0;
    if (!open_entry_info(p.user_id, r.pay_info, &st, &when) || st != o_.entry_station) {
      fail("the reply's entry information is wrong");
      return false;
    }
    p.entry_info = r.pay_info;
    extra = ", entry information for station " + std::to_string(st) + " kept";
  }
  say_("phone " + std::to_string(p.user_id) + ": reply from the " + role + " gate, pay type " +
       std::to_string(r.pay_type) + extra);
  if (r.pay_type != (l.info.exit_gate ? 2 : 1)) fail("pay type " + std::to_string(r.pay_type));
  air_.wait_quiet(l.air, 3s);
  return ok;
}

int run_station(const RunOptions& o, const Say& say, RunSummary* sum) {
  const auto t_start = Clock::now();
  auto problem = [&](const std::string& text) {
    sum->problems.push_back(text);
    say("PROBLEM: " + text);
  };
  LiveStation st(o, say);
  std::string why;
  if (st.start(true, &why) != 0) {
    problem(why);
    return -1;
  }
  const StationKeys& keys = st.keys();
  const KeyVersion& v1 = keys.versions[0];
  const KeyVersion* current = &keys.versions[st.current_version()];
  const bool can_switch = o.key_switch && st.current_version() == 0 && keys.versions.size() > 1;
  if (o.key_switch && !can_switch)
    say("key version " + version_text(current->version) + " is in use already: no switch");
  sum->passengers = o.passengers;
  const int switch_at = can_switch ? o.passengers / 2 : -1;
  // Reports the order lines that reached the back end since the last call.
  std::array<std::size_t, 2> reported{0, 0};
  auto report_orders = [&] {
    int b = 0;
    for (Lane* l : {&st.entry(), &st.exit()}) {
      const auto lines = st.orders(*l);
      for (std::size_t k = reported[static_cast<std::size_t>(b)]; k < lines.size(); ++k) {
        const bool valid = order_tac_valid(lines[k], keys.versions);
        ++sum->orders_received;
        if (valid) ++sum->orders_valid;
        say(std::string("back end: order uploaded by the ") + l->role() + " board, TAC " +
            (valid ? "valid" : "INVALID") + ": " + lines[k]);
      }
      reported[static_cast<std::size_t>(b++)] = lines.size();
    }
  };
  const auto t_passengers = Clock::now();
  for (int i = 0; i < o.passengers; ++i) {
    if (i == switch_at) {
      const KeyVersion& v2 = keys.versions[1];
      const std::string vt = version_text(v2.version);
      say("back end: delivering key version " + vt);
      const Bytes arg{static_cast<std::uint8_t>(v2.version >> 8),
                      static_cast<std::uint8_t>(v2.version & 0xFF)};
      bool all = true;
      for (auto [code, what] : {std::pair{kCmdUpdateKey, "key file " + vt + " downloaded"},
                                std::pair{kCmdApplyKey, "key version " + vt + " applied"}}) {
        for (Lane* l : {&st.entry(), &st.exit()}) {
          if (st.command(*l, code, arg, 20s) == 0) {
            say(l->role() + " board: " + what + " (receipt)");
          } else {
            problem(l->role() + " board: " + what + " failed");
            all = false;
          }
        }
      }
      if (all) {
        sum->key_switched = true;
        current = &keys.versions[1];
      }
    }
    Passenger p;
    p.user_id = 1000 + static_cast<std::uint32_t>(i);
    p.ticket_id = static_cast<std::uint8_t>(i + 1);
    p.balance24 = 5000 + 250 * static_cast<std::uint32_t>(i);
    // Right after the switch one passenger still holds a ticket under the old version.
    const bool old_ticket = sum->key_switched && i == switch_at;
    const KeyVersion& kv = old_ticket ? v1 : *current;
    const KeyRow& row = kv.rows[static_cast<std::size_t>(i) % kv.rows.size()];
    say("passenger " + std::to_string(p.user_id) + ": ticket under key version " +
        version_text(kv.version) + ", key id " + to_hex(row.id.data(), 3) +
        (old_ticket ? " (old version, still loaded)" : ""));
    const auto t0 = Clock::now();
    if (st.through(st.entry(), p, row, true, problem) &&
        st.through(st.exit(), p, row, true, problem)) {
      ++sum->served;
      if (old_ticket) sum->old_ticket_accepted = true;
      sum->passage_ms.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    report_orders();
  }
  sum->passengers_s = std::chrono::duration<double>(Clock::now() - t_passengers).count();
  if (sum->key_switched) {
    say("waiting for the boards to remove the old key table");
    bool removed = true;
    for (Lane* l : {&st.entry(), &st.exit()})
      removed = wait_for_text(l->log(), "old_securit_cnt:0,", 30s) && removed;
    if (!removed) {
      problem("the old key table was not removed");
    } else {
      Passenger p;
      p.user_id = 999;
      p.ticket_id = 9;
      say("passenger 999: ticket under the removed key version " + version_text(v1.version));
      sum->old_ticket_refused = st.through(st.entry(), p, v1.rows[0], false, problem);
    }
  }

  // Orders: every enter and exit, uploaded with a valid TAC.
  sum->orders_expected = 2 * sum->served;
  const auto until = Clock::now() + 30s;
  while (sum->orders_received < sum->orders_expected && Clock::now() < until) {
    report_orders();
    if (sum->orders_received < sum->orders_expected) std::this_thread::sleep_for(100ms);
  }
  if (sum->orders_received != sum->orders_expected)
    problem("orders at the back end: " + std::to_string(sum->orders_received) + " of " +
            std::to_string(sum->orders_expected));

  int i = 0;
  for (Lane* l : {&st.entry(), &st.exit()}) {
    if (!l->daemon.running()) problem(l->role() + " daemon has ended");
    const std::string printed = read_text(l->info.dir + "/ztpud.out");
    if (!printed.empty())
      problem(l->role() + " daemon printed: " + printed.substr(0, printed.find('\n')));
    sum->rss_kb[i++] = l->daemon.rss_kb();
    for (const std::string& v : l->backend.violations()) problem("back end: " + v);
    const auto& lat = l->gate->latencies();
    sum->gate_ms.insert(sum->gate_ms.end(), lat.begin(), lat.end());
  }
  sum->pay_ms = st.pay_ms();
  if (o.idle_seconds > 0) {
    say("measuring the entry daemon's CPU time with no passenger for " +
        std::to_string(o.idle_seconds) + " s");
    const double c0 = st.entry().daemon.cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o.idle_seconds));
    const double c1 = st.entry().daemon.cpu_seconds();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    sum->idle_cpu_s_per_min = (c1 - c0) * 60.0 / secs;
  }
  st.stop();
  sum->wall_s = std::chrono::duration<double>(Clock::now() - t_start).count();
  return sum->ok() ? 0 : -1;
}

}  // namespace ztpu_station

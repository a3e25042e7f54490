// The outside parties of a simulated station, around real daemons: the
// server's key material, the boards' directories, the pseudo-terminals of
// the gate and Bluetooth lines, the air between phones and microphones, the
// gate controller, the phone, and the daemon processes. Used by
// ztpu-station (the demo) and by the end-to-end tests.
//
// Nothing here prints; failures come back as results with a reason.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ztpu_station {

using Bytes = std::vector<std::uint8_t>;
using DeviceId = std::array<std::uint8_t, 16>;
using TpuSsn = std::array<std::uint8_t, 12>;

std::string to_hex(const std::uint8_t* p, std::size_t n);
bool from_hex(const std::string& text, Bytes& out);

// ---- The server's key material ----

// One key-table row as the test plug-in derives it.
struct KeyRow {
  std::uint8_t alg = 0;
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 3> id{};
};

// A key version: bytes {hi, lo} of `version`, its clear factor and the rows
// the plug-in makes of it with the base key. Every row uses cipher mode
// `alg`, which must keep the length (a CFB or OFB mode) for 10-byte tickets.
struct KeyVersion {
  std::uint16_t version = 0;
  Bytes factor;
  std::vector<KeyRow> rows;
};
KeyVersion make_key_version(const Bytes& base, std::uint16_t version, std::uint8_t alg,
                            std::uint8_t nrows = 8);
// What the server sends one unit: enciphered under the unit's server data key.
Bytes server_encipher(const Bytes& clear, const TpuSsn& ssn);
// The key payload of a version for one unit (plug-in image and factor).
Bytes key_payload(const Bytes& plugin_image, const KeyVersion& kv, const TpuSsn& ssn);
// The test plug-in next to the running executable (../lib), or "" if absent.
std::string plugin_path();
bool read_file(const std::string& path, Bytes& out);
bool write_file(const std::string& path, const Bytes& data);

// ---- A board's directory ----

struct BoardSpec {
  std::string dir;  // absolute
  bool exit_gate = false;
  std::string fuse = "0x0123456789ABCDEF";
  DeviceId device_id{};
  TpuSsn ssn{};
  std::uint16_t server_port = 0;
  std::uint32_t default_station = 0;
  bool use_default_station = false;
  int heartbeat_interval = 1;
  int upload_interval = 1;
  int old_security_life = 3;
  int offline_delay = 30;
  int voucher_check_time = 300;
  std::string config_ver = "CFG-1";
};
std::string config_text(const BoardSpec& b);
// Directories, fuse file, .asoundrc and the audio FIFO. 0, or -1 with `why`.
int prepare_board(const BoardSpec& b, std::string* why);
std::string fifo_path(const std::string& dir);
// Runs `argv` (argv[0] a path) in `dir` and returns its exit status, or -1;
// standard output and error are collected into `out`.
int run_in(const std::string& dir, const std::vector<std::string>& argv, std::string* out);
// The argument vector that runs the program at `path`: through `emulator`
// (a cross build's qemu-arm and its arguments) when it is not empty.
std::vector<std::string> program_argv(const std::vector<std::string>& emulator,
                                      const std::string& path);
// A free loopback TCP and UDP port number, or 0.
std::uint16_t free_port();

// ---- Pseudo-terminals ----

// The master of a pseudo-terminal whose slave `link` points to. The slave
// stays open here too (raw), so nothing sent before the daemon opens it is
// echoed and the master never sees a hang-up.
class Pty {
 public:
  Pty() = default;
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int open(const std::string& link, std::string* why);
  int fd() const { return master_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string link_;
};

// ---- The air ----

// Feeds each board's FIFO in real time with noise of peak `noise` (0: pure
// silence), 10 ms per write, both channels alike, and mixes in the signals
// that phones play. Sound nobody listens to (no daemon has the FIFO open, or
// it does not keep up) is lost, as in the air.
class Air {
 public:
  explicit Air(int noise, unsigned seed = 1);
  ~Air();
  Air(const Air&) = delete;
  Air& operator=(const Air&) = delete;
  // Before start. Index of the board, or -1.
  int add_board(const std::string& fifo, std::string* why);
  void start();
  void stop();
  // Plays `samples` into board `i`'s air after what is already playing.
  void play(int i, std::vector<std::int16_t> samples);
  // Drops what is still queued for board `i` (the phone is taken away).
  void silence(int i);
  // True once everything queued for board `i` has gone into the air.
  bool wait_quiet(int i, std::chrono::milliseconds timeout);

 private:
  struct Board {
    std::string path;
    int fd = -1;  // open while a reader has the FIFO open
    std::deque<std::int16_t> signal;
  };
  void run();
  const int noise_;
  unsigned seed_;
  std::vector<Board> boards_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// ---- The gate controller ----

struct GateAnswer {
  bool answered = false;
  Bytes record;  // unescaped, length and check verified
  double ms = 0;
};

// Drives one gate line: one command at a time, each answer awaited.
class Gate {
 public:
  explicit Gate(int fd) : fd_(fd) {}
  // Sends the record {code, 0x53, fields...} framed and waits for one frame.
  GateAnswer exchange(const Bytes& payload, int timeout_ms);
  // Repeats get-state until the daemon answers (it flushes what came early).
  bool wait_ready(std::chrono::milliseconds timeout);
  struct Poll {
    bool found = false;
    std::uint32_t user_id = 0;
    std::uint32_t ent_station = 0;
    double ms = 0;
  };
  Poll poll();
  struct Pay {
    bool answered = false;
    bool served = false;
    std::uint32_t user_id = 0;
    std::int32_t balance = 0;
    double ms = 0;
  };
  Pay enter(std::uint32_t station, std::time_t t);
  Pay exit(std::uint32_t station, std::uint32_t fare, std::time_t t);
  // Every answer's latency so far, in milliseconds.
  const std::vector<double>& latencies() const { return latencies_; }

 private:
  Pay pay(std::uint8_t code, std::uint32_t station, std::uint32_t fare, std::time_t t);
  int fd_;
  std::vector<double> latencies_;
};

// ---- The phone ----

struct Passenger {
  std::uint32_t user_id = 0;
  std::uint8_t ticket_id = 0;
  std::uint32_t balance24 = 5000;  // 24 bits, little-endian in the ticket
  Bytes entry_info;                // 9 enciphered bytes from the entry gate; empty: none
  std::int32_t balance() const { return static_cast<std::int32_t>(balance24 & 0xFFFFFF); }
};

// The 9 enciphered bytes of entry information (station 0: none).
Bytes entry_info(std::uint32_t user_id, std::uint32_t station, std::uint32_t when);
// Deciphers and checks entry information; false when the check fails.
bool open_entry_info(std::uint32_t user_id, const Bytes& cipher, std::uint32_t* station,
                     std::uint32_t* when);
// The 26-byte ticket record under `row`, issued at local time `now`.
Bytes ticket_record(const Passenger& p, const KeyRow& row, std::time_t now);
// The record as sound: played three times, gaps of 200 and 1234 zero samples.
std::vector<std::int16_t> ticket_sound(const Bytes& record);

struct PhoneReply {
  bool received = false;
  bool valid = false;  // deciphered, CRC and flag correct
  std::uint8_t pay_type = 0;
  std::uint32_t pay_time = 0;
  Bytes pay_info;
  double ms = 0;
};
// Reads the 21-byte reply to `record` from the Bluetooth master.
PhoneReply read_reply(int bt_fd, std::uint32_t user_id, const Bytes& record, int timeout_ms);

// ---- Orders ----

// Checks one order line's TAC against the rows of the known versions.
bool order_tac_valid(const std::string& line, const std::vector<KeyVersion>& versions);

// ---- The daemon ----

class Daemon {
 public:
  Daemon() = default;
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  // Starts `bin` (through `emulator` when not empty) in `dir` with
  // HOME=dir, its output in dir/ztpud.out; it dies with the calling process.
  int start(const std::string& bin, const std::string& dir, std::string* why,
            const std::vector<std::string>& emulator = {});
  bool running();
  void stop();
  pid_t pid() const { return pid_; }
  long rss_kb() const;
  double cpu_seconds() const;  // user + system so far

 private:
  pid_t pid_ = -1;
};

// Waits until `file` contains `needle` (searching from byte `from`).
bool wait_for_text(const std::string& file, const std::string& needle,
                   std::chrono::milliseconds timeout, std::size_t from = 0);
std::string read_text(const std::string& file);

}  // namespace ztpu_station

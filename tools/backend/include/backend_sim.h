// Back-end server simulator: speaks SP over TCP and UDP on the loopback
// address, checks every request strictly and records what it received and
// every violation of the protocol, and injects faults on demand.
//
// Served: sign-in (0x10), heartbeat (0x11) with scripted commands, order
// upload (0x12, 0x13), log upload (0x18, 0x19), configuration delivery
// (0x14), key delivery (0x15, 0x16) and receipts (0xAA). Every request goes
// through one handler table. Uploads must announce a file, then send its
// blocks in order from 1; a completed file must match its announced MD5.
//
// All methods are thread-safe. Nothing is printed: events go to the sink.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ztpu/server_records.h"

namespace ztpu_backend {

enum class Transport { tcp, udp };

using Bytes = std::vector<std::uint8_t>;
using DeviceId = std::array<std::uint8_t, SERVER_TPU_ID_LEN>;

// One request as received (well framed; its checks may still have failed).
struct Request {
  Transport transport;
  std::uint16_t cmd;
  Bytes data;  // the data area
  bool valid;  // passed every check
};

// A file uploaded to the server (order or log file).
struct UploadedFile {
  Bytes data;
  std::uint16_t blocks = 0;             // announced
  std::array<std::uint8_t, 16> hash{};  // announced
  std::uint16_t next_block = 1;
  bool complete = false;
  int notifications = 0;
};

enum class FaultKind {
  none,
  drop,           // read the request, answer nothing (TCP: close at once)
  delay,          // answer after `value` milliseconds
  truncate,       // send only the first `value` bytes of the response packet
  sp_status,      // SP header status = `value`
  record_status,  // the response record's status byte = `value`
  bad_checksum,   // response checksum off by one
};

struct Fault {
  FaultKind kind = FaultKind::none;
  int value = 0;
  int count = 1;  // requests it applies to; negative: until cleared
};

// Matches every command in add_fault.
inline constexpr std::uint16_t kAnyCmd = 0xFFFF;

struct Options {
  std::uint16_t port = 0;    // 0: pick a free port (the same number for TCP and UDP)
  std::uint16_t apiver = 2;  // expected in every request header
  bool check_device_id = false;
  DeviceId device_id{};
};

class BackendSim {
 public:
  BackendSim();
  ~BackendSim();
  BackendSim(const BackendSim&) = delete;
  BackendSim& operator=(const BackendSim&) = delete;

  // Binds TCP and UDP on 127.0.0.1 and starts serving. 0, or -1.
  int start(const Options& opts);
  // Stops serving and joins every thread; pending delays end at once.
  void stop();
  std::uint16_t port() const { return port_; }

  // ---- Scripting ----
  // Queues a command for a later heartbeat response, shaped by its code
  // (28 bytes for 0x19 and 0x10, 30 for 0x15 and 0x17, 44 otherwise).
  void push_heartbeat_command(std::uint16_t code, const std::array<std::uint8_t, 6>& cmd_id,
                              const Bytes& arg = {});
  // Marks a command as delivered without a heartbeat, so that requests
  // naming its cmd_id pass (for tests that carry commands out directly).
  void note_delivered(const heartbeat_cmd& cmd);
  // Queues a heartbeat response data area exactly as given.
  void push_heartbeat_raw(Bytes data_area);
  // The next `count` responses to `cmd` carry `data_area` instead of the
  // handler's answer (negative count: until cleared).
  void set_response(std::uint16_t cmd, Bytes data_area, int count = 1);
  void add_fault(std::uint16_t cmd, Fault fault);
  void clear_faults();
  // The configuration text that 0x14 delivers (with its MD5).
  void set_config(std::string text, std::string cfg_ver = "SIM-CFG");
  // The key file that 0x15/0x16 deliver, in blocks of block_size bytes.
  void set_key_file(Bytes file, std::uint16_t key_ver, std::uint16_t block_size);
  // Offline: TCP connections are refused and datagrams ignored.
  void set_offline(bool offline);

  // ---- Observation ----
  std::vector<Request> requests() const;
  int count(std::uint16_t cmd) const;  // well-framed requests received
  bool wait_for_count(std::uint16_t cmd, int n, std::chrono::milliseconds timeout) const;
  std::vector<std::string> violations() const;
  std::vector<receipt_cmd> receipts() const;
  // Uploaded order files and log files by name (complete or not).
  std::map<std::string, UploadedFile> order_files() const;
  std::map<std::string, UploadedFile> log_files() const;
  // Receives one line per event (request answered, fault applied, violation).
  void set_event_sink(std::function<void(const std::string&)> sink);

 private:
  struct Reply {
    bool answer = true;
    Bytes packet;
    int delay_ms = 0;
  };
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  using Handler = Bytes (BackendSim::*)(const Request&, int* status_at);

  void loop();
  void serve_tcp(int fd);
  void serve_udp();
  void spawn(std::function<void()> fn);
  void reap(bool all);
  bool wait_stop(std::chrono::milliseconds ms);
  int open_listener();

  Reply process(Transport t, const Bytes& raw);
  bool check(Transport t, const Bytes& raw, std::uint16_t cmd, const Bytes& data);
  Fault take_fault(std::uint16_t cmd);
  Bytes frame(std::uint16_t cmd, std::uint16_t status, const Bytes& data) const;
  void violation(const std::string& text);
  void event(const std::string& text);

  Bytes on_signin(const Request& r, int* status_at);
  Bytes on_heartbeat(const Request& r, int* status_at);
  Bytes on_receipt(const Request& r, int* status_at);
  Bytes on_order_notify(const Request& r, int* status_at);
  Bytes on_order_block(const Request& r, int* status_at);
  Bytes on_log_notify(const Request& r, int* status_at);
  Bytes on_log_block(const Request& r, int* status_at);
  Bytes on_update_cfg(const Request& r, int* status_at);
  Bytes on_update_key(const Request& r, int* status_at);
  Bytes on_download_key(const Request& r, int* status_at);
  // Shared by the order and log uploads. Returns the response status byte.
  std::uint8_t announce(std::map<std::string, UploadedFile>& files, const std::string& name,
                        std::uint16_t blocks, const std::uint8_t* hash);
  std::uint8_t take_block(std::map<std::string, UploadedFile>& files, const std::string& name,
                          std::uint16_t block_nr, const std::uint8_t* data, std::size_t len);
  // The command a request refers to by cmd_id, checked against the ones delivered.
  bool delivered(const std::uint8_t* cmd_id, std::uint16_t code, heartbeat_cmd* out);
  static const std::map<std::uint16_t, Handler>& handlers();

  Options opts_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int udp_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> offline_{false};
  std::thread loop_thread_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;  // request counts, stop
  std::deque<Bytes> hb_script_;
  std::map<std::uint16_t, std::deque<std::pair<Bytes, int>>> overrides_;
  std::map<std::uint16_t, std::deque<Fault>> faults_;
  std::vector<Request> requests_;
  std::vector<std::string> violations_;
  std::vector<receipt_cmd> receipts_;
  std::map<std::string, UploadedFile> orders_;
  std::map<std::string, UploadedFile> logs_;
  std::map<std::string, heartbeat_cmd> delivered_;  // by hex cmd_id
  std::string config_text_;
  std::string config_ver_;
  bool config_set_ = false;
  Bytes key_file_;
  std::uint16_t key_ver_ = 0;
  std::uint16_t key_block_size_ = 0;
  bool key_set_ = false;
  std::function<void(const std::string&)> sink_;
  std::set<int> conn_fds_;
  std::list<Worker> workers_;
};

// Renders bytes as lowercase hex without separators.
std::string to_hex(const std::uint8_t* data, std::size_t len);

}  // namespace ztpu_backend

#include "backend_sim.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ztpu/le.h"

namespace ztpu_backend {

namespace {

constexpr std::size_t kHeaderLen = 20;
constexpr std::size_t kOverhead = 21;
constexpr std::size_t kUdpMax = 1472;
constexpr std::uint16_t kPtlType = 0x0200;
constexpr int kReadTimeoutSec = 3;
constexpr std::uint32_t kExpireSec = 86400;

std::uint16_t get16(const Bytes& b, std::size_t at) { return ztpu::get_le16(&b[at]); }

void put16(Bytes& b, std::size_t at, std::uint16_t v) { ztpu::put_le16(&b[at], v); }

void put32(Bytes& b, std::size_t at, std::uint32_t v) { ztpu::put_le32(&b[at], v); }

std::string hex16(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

// What a request of each code must look like: transport, and its record's
// size (fixed) or the offset of its block length field (variable: head +
// 1..1024 data bytes).
struct CmdShape {
  Transport transport;
  std::size_t size;  // fixed record size, or the head size when variable
  bool variable;
  std::size_t len_at;  // offset of the block's data_len (variable only)
};

const std::map<std::uint16_t, CmdShape>& shapes() {
  static const std::map<std::uint16_t, CmdShape> table = {
      {0x10, {Transport::tcp, 39, false, 0}}, {0x11, {Transport::udp, 20, false, 0}},
      {0x12, {Transport::tcp, 59, false, 0}}, {0x13, {Transport::tcp, 44, true, 42}},
      {0x14, {Transport::tcp, 38, false, 0}}, {0x15, {Transport::tcp, 24, false, 0}},
      {0x16, {Transport::tcp, 24, false, 0}}, {0x18, {Transport::tcp, 58, false, 0}},
      {0x19, {Transport::tcp, 38, true, 36}}, {0xAA, {Transport::tcp, 25, false, 0}},
  };
  return table;
}

std::array<std::uint8_t, 16> md5(const std::uint8_t* data, std::size_t len) {
  std::array<std::uint8_t, 16> out{};
  unsigned int n = 0;
  static const std::uint8_t empty = 0;
  EVP_Digest(len > 0 ? data : &empty, len, out.data(), &n, EVP_md5(), nullptr);
  return out;
}

bool send_all(int fd, const std::uint8_t* data, std::size_t len) {
  std::size_t sent = 0;
  while (sent < len) {
    ssize_t n = send(fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string to_hex(const std::uint8_t* data, std::size_t len) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (std::size_t i = 0; i < len; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0xF]);
  }
  return out;
}

BackendSim::BackendSim() = default;

BackendSim::~BackendSim() { stop(); }

int BackendSim::open_listener() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port_);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return fd;
}

int BackendSim::start(const Options& opts) {
  if (loop_thread_.joinable()) return -1;
  opts_ = opts;
  stopping_ = false;

  // TCP and UDP share one port number, as the board uses one for both: pick
  // a free TCP port, then take the same UDP port (retry if it is taken).
  for (int attempt = 0; attempt < 20 && udp_fd_ < 0; ++attempt) {
    port_ = opts.port;
    listen_fd_ = open_listener();
    if (listen_fd_ < 0) return -1;
    udp_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp_fd_ < 0) break;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    if (bind(udp_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(udp_fd_);
      udp_fd_ = -1;
      close(listen_fd_);
      listen_fd_ = -1;
      if (opts.port != 0) break;
    }
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (udp_fd_ < 0 || listen_fd_ < 0 || wake_fd_ < 0) {
    stop();
    return -1;
  }
  loop_thread_ = std::thread([this] { loop(); });
  return 0;
}

void BackendSim::stop() {
  stopping_ = true;
  if (wake_fd_ >= 0) {
    std::uint64_t one = 1;
    ssize_t w = write(wake_fd_, &one, sizeof(one));
    (void)w;
  }
  if (loop_thread_.joinable()) loop_thread_.join();
  {
    std::lock_guard<std::mutex> g(mu_);
    for (int fd : conn_fds_) shutdown(fd, SHUT_RDWR);
  }
  cv_.notify_all();
  reap(true);
  for (int* fd : {&listen_fd_, &udp_fd_, &wake_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void BackendSim::spawn(std::function<void()> fn) {
  Worker& w = workers_.emplace_back();
  w.thread = std::thread([&w, fn = std::move(fn)] {
    fn();
    w.done = true;
  });
}

void BackendSim::reap(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done) {
      if (it->thread.joinable()) it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool BackendSim::wait_stop(std::chrono::milliseconds ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, ms, [this] { return stopping_.load(); });
}

void BackendSim::loop() {
  while (!stopping_) {
    if (offline_ && listen_fd_ >= 0) {
      close(listen_fd_);
      listen_fd_ = -1;
    } else if (!offline_ && listen_fd_ < 0) {
      listen_fd_ = open_listener();
    }

    pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {udp_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    nfds_t n = listen_fd_ >= 0 ? 3 : 2;
    int rc = poll(fds, n, 200);
    if (rc > 0) {
      if (fds[0].revents & POLLIN) {
        std::uint64_t v;
        ssize_t r = read(wake_fd_, &v, sizeof(v));
        (void)r;
      }
      if (fds[1].revents & POLLIN) serve_udp();
      if (n == 3 && (fds[2].revents & POLLIN)) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> g(mu_);
          conn_fds_.insert(fd);
        }
        if (fd >= 0) spawn([this, fd] { serve_tcp(fd); });
      }
    }
    reap(false);
  }
}

void BackendSim::serve_tcp(int fd) {
  timeval tv{kReadTimeoutSec, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  auto read_exact = [&](Bytes& buf, std::size_t from, std::size_t len) {
    std::size_t got = 0;
    while (got < len && !stopping_) {
      ssize_t r = recv(fd, buf.data() + from + got, len - got, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return got == len;
  };

  Bytes raw(kHeaderLen);
  bool ok = read_exact(raw, 0, kHeaderLen);
  if (!ok) {
    if (!stopping_) violation("tcp: connection without a whole request header");
  } else if (raw[0] != 0xEE || raw[1] != 0xAA) {
    violation("tcp: request does not start with the identifier EE AA");
    ok = false;
  } else {
    std::size_t data_len = get16(raw, 6);
    raw.resize(kHeaderLen + data_len + 1);
    ok = read_exact(raw, kHeaderLen, data_len + 1);
    if (!ok && !stopping_)
      violation("tcp " + hex16(get16(raw, 10)) + ": request shorter than its data_len");
  }

  if (ok) {
    Reply reply = process(Transport::tcp, raw);
    bool go = reply.answer;
    if (go && reply.delay_ms > 0) go = !wait_stop(std::chrono::milliseconds(reply.delay_ms));
    if (go) send_all(fd, reply.packet.data(), reply.packet.size());
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    conn_fds_.erase(fd);
  }
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

void BackendSim::serve_udp() {
  Bytes raw(65536);
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  ssize_t n =
      recvfrom(udp_fd_, raw.data(), raw.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0 || offline_) return;
  raw.resize(static_cast<std::size_t>(n));
  if (raw.size() > kUdpMax) violation("udp: datagram of " + std::to_string(raw.size()) + " bytes");

  Reply reply = process(Transport::udp, raw);
  if (!reply.answer) return;
  int fd = udp_fd_;
  auto send_reply = [fd, from, packet = std::move(reply.packet)] {
    sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&from),
           sizeof(from));
  };
  if (reply.delay_ms > 0) {
    int ms = reply.delay_ms;
    spawn([this, ms, send_reply] {
      if (!wait_stop(std::chrono::milliseconds(ms))) send_reply();
    });
  } else {
    send_reply();
  }
}

bool BackendSim::check(Transport t, const Bytes& raw, std::uint16_t cmd, const Bytes& data) {
  std::string where = (t == Transport::tcp ? "tcp " : "udp ") + hex16(cmd) + ": ";
  bool ok = true;
  auto fail = [&](const std::string& what) {
    violation(where + what);
    ok = false;
  };

  struct Field {
    const char* name;
    std::size_t at;
    std::uint16_t want;
  };
  const Field fields[] = {{"version", 2, 1},         {"sequence", 4, 1},
                          {"ptl_type", 8, kPtlType}, {"api_version", 12, opts_.apiver},
                          {"status", 14, 0},         {"option1", 16, 0},
                          {"option2", 18, 0}};
  for (const Field& f : fields) {
    std::uint16_t got = get16(raw, f.at);
    if (got != f.want)
      fail(std::string(f.name) + " " + std::to_string(got) + " != " + std::to_string(f.want));
  }

  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kHeaderLen + data.size(); ++i)
    sum = static_cast<std::uint8_t>(sum + raw[i]);
  std::uint8_t got = raw[kHeaderLen + data.size()];
  if (got != sum) fail("checksum " + hex16(got) + " != " + hex16(sum));

  auto it = shapes().find(cmd);
  if (it == shapes().end()) {
    fail("unknown command");
    return false;
  }
  const CmdShape& shape = it->second;
  if (shape.transport != t) fail("wrong transport");
  if (!shape.variable) {
    if (data.size() != shape.size) {
      fail("record of " + std::to_string(data.size()) + " bytes, expected " +
           std::to_string(shape.size));
    }
  } else if (data.size() < shape.size + 1 || data.size() > shape.size + SERVER_BLOCK_SIZE) {
    fail("block record of " + std::to_string(data.size()) + " bytes");
  } else if (get16(data, shape.len_at) != data.size() - shape.size) {
    fail("block data_len " + std::to_string(get16(data, shape.len_at)) + " but " +
         std::to_string(data.size() - shape.size) + " bytes carried");
  }
  if (opts_.check_device_id && data.size() >= SERVER_TPU_ID_LEN &&
      std::memcmp(data.data(), opts_.device_id.data(), SERVER_TPU_ID_LEN) != 0) {
    fail("unknown tpu_id " + to_hex(data.data(), SERVER_TPU_ID_LEN));
  }
  return ok;
}

BackendSim::Reply BackendSim::process(Transport t, const Bytes& raw) {
  Reply reply;
  const char* tname = t == Transport::tcp ? "tcp" : "udp";
  if (raw.size() < kOverhead || raw[0] != 0xEE || raw[1] != 0xAA) {
    violation(std::string(tname) + ": not an SP packet (" + std::to_string(raw.size()) + " bytes)");
    reply.answer = false;
    return reply;
  }
  std::uint16_t cmd = get16(raw, 10);
  std::size_t data_len = get16(raw, 6);
  if (raw.size() != data_len + kOverhead) {
    violation(std::string(tname) + " " + hex16(cmd) + ": packet of " + std::to_string(raw.size()) +
              " bytes for data_len " + std::to_string(data_len));
    if (raw.size() < data_len + kOverhead) {
      reply.answer = false;
      return reply;
    }
  }
  const auto* body = raw.data() + kHeaderLen;
  Request req{t, cmd, Bytes(body, body + data_len), false};
  req.valid = check(t, raw, cmd, req.data);
  {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(req);
  }
  cv_.notify_all();

  Fault fault = take_fault(cmd);
  if (fault.kind == FaultKind::drop) {
    event(std::string(tname) + " " + hex16(cmd) + ": dropped");
    reply.answer = false;
    return reply;
  }

  std::uint16_t status = 0;
  int status_at = -1;
  Bytes area;
  bool overridden = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto ov = overrides_.find(cmd);
    if (ov != overrides_.end() && !ov->second.empty()) {
      auto& front = ov->second.front();
      area = front.first;
      if (front.second > 0 && --front.second == 0) ov->second.pop_front();
      overridden = true;
    }
  }
  if (!req.valid) {
    status = 1;
    area.assign(2, 0);
  } else if (!overridden) {
    auto h = handlers().find(cmd);
    if (h != handlers().end()) {
      area = (this->*(h->second))(req, &status_at);
    } else {
      event(std::string(tname) + " " + hex16(cmd) + ": not served");
      status = 1;
      area.assign(2, 0);
    }
  }

  switch (fault.kind) {
    case FaultKind::record_status:
      if (status_at >= 0 && static_cast<std::size_t>(status_at) < area.size()) {
        area[status_at] = static_cast<std::uint8_t>(fault.value);
      }
      break;
    case FaultKind::sp_status:
      status = static_cast<std::uint16_t>(fault.value);
      break;
    default:
      break;
  }
  reply.packet = frame(cmd, status, area);
  if (fault.kind == FaultKind::bad_checksum)
    reply.packet.back() = static_cast<std::uint8_t>(reply.packet.back() + 1);
  if (fault.kind == FaultKind::truncate && fault.value >= 0 &&
      static_cast<std::size_t>(fault.value) < reply.packet.size()) {
    reply.packet.resize(static_cast<std::size_t>(fault.value));
  }
  if (fault.kind == FaultKind::delay) reply.delay_ms = fault.value;
  event(std::string(tname) + " " + hex16(cmd) + ": answered " + std::to_string(area.size()) +
        " bytes, status " + std::to_string(status) +
        (fault.kind != FaultKind::none ? " (fault injected)" : ""));
  return reply;
}

Fault BackendSim::take_fault(std::uint16_t cmd) {
  std::lock_guard<std::mutex> g(mu_);
  for (std::uint16_t key : {cmd, kAnyCmd}) {
    auto it = faults_.find(key);
    if (it == faults_.end() || it->second.empty()) continue;
    Fault f = it->second.front();
    Fault& front = it->second.front();
    if (front.count > 0 && --front.count == 0) it->second.pop_front();
    return f;
  }
  return Fault{};
}

Bytes BackendSim::frame(std::uint16_t cmd, std::uint16_t status, const Bytes& data) const {
  Bytes p(kHeaderLen + data.size() + 1, 0);
  put16(p, 0, 0xAAEE);
  put16(p, 2, 1);
  put16(p, 4, 1);
  put16(p, 6, static_cast<std::uint16_t>(data.size()));
  put16(p, 8, kPtlType);
  put16(p, 10, cmd);
  put16(p, 12, opts_.apiver);
  put16(p, 14, status);
  std::copy(data.begin(), data.end(), p.begin() + kHeaderLen);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < p.size(); ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
  p.back() = sum;
  return p;
}

const std::map<std::uint16_t, BackendSim::Handler>& BackendSim::handlers() {
  static const std::map<std::uint16_t, Handler> table = {
      {SERVER_SP_SIGNIN, &BackendSim::on_signin},
      {SERVER_SP_HEARTBEAT, &BackendSim::on_heartbeat},
      {SERVER_SP_RECEIPT, &BackendSim::on_receipt},
      {SERVER_SP_UPLOAD_ORDER_NOTIFY, &BackendSim::on_order_notify},
      {SERVER_SP_UPLOAD_ORDER, &BackendSim::on_order_block},
      {SERVER_SP_UPLOAD_LOG_NOTIFY, &BackendSim::on_log_notify},
      {SERVER_SP_UPLOAD_LOG, &BackendSim::on_log_block},
      {SERVER_SP_UPDATE_CFG, &BackendSim::on_update_cfg},
      {SERVER_SP_UPDATE_KEY, &BackendSim::on_update_key},
      {SERVER_SP_DOWNLOAD_KEY, &BackendSim::on_download_key},
  };
  return table;
}

Bytes BackendSim::on_signin(const Request& r, int*) {
  Bytes area(sizeof(signin_rsp), 0);
  std::copy_n(r.data.begin(), SERVER_TPU_ID_LEN, area.begin());
  put32(area, 16, static_cast<std::uint32_t>(std::time(nullptr)) + kExpireSec);
  return area;
}

Bytes BackendSim::on_heartbeat(const Request& r, int*) {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!hb_script_.empty()) {
      Bytes area = std::move(hb_script_.front());
      hb_script_.pop_front();
      if (area.size() >= HB_RSP_NO_ARG) {
        heartbeat_cmd cmd{};
        std::memcpy(&cmd, area.data() + 20, std::min(area.size() - 20, sizeof(cmd)));
        delivered_[to_hex(cmd.cmd_id, sizeof(cmd.cmd_id))] = cmd;
      }
      return area;
    }
  }
  Bytes area(HB_RSP_NONE, 0);
  std::copy_n(r.data.begin(), SERVER_TPU_ID_LEN, area.begin());
  put32(area, 16, static_cast<std::uint32_t>(std::time(nullptr)) + kExpireSec);
  return area;
}

Bytes BackendSim::on_receipt(const Request& r, int* status_at) {
  receipt_cmd rc{};
  std::memcpy(&rc, r.data.data(), sizeof(rc));
  delivered(rc.cmd_id, rc.cmd, nullptr);
  {
    std::lock_guard<std::mutex> g(mu_);
    receipts_.push_back(rc);
  }
  *status_at = static_cast<int>(offsetof(receipt_cmd, status));
  return r.data;
}

bool BackendSim::delivered(const std::uint8_t* cmd_id, std::uint16_t code, heartbeat_cmd* out) {
  std::string id = to_hex(cmd_id, SERVER_CMD_ID_LEN);
  heartbeat_cmd found{};
  bool known = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = delivered_.find(id);
    if (it != delivered_.end()) {
      found = it->second;
      known = true;
    }
  }
  if (!known) {
    violation(hex16(code) + ": cmd_id " + id + " was never delivered");
    return false;
  }
  if (found.cmd != code) {
    violation(hex16(code) + ": cmd_id " + id + " belongs to command " + hex16(found.cmd));
    return false;
  }
  if (out != nullptr) *out = found;
  return true;
}

std::uint8_t BackendSim::announce(std::map<std::string, UploadedFile>& files,
                                  const std::string& name, std::uint16_t blocks,
                                  const std::uint8_t* hash) {
  bool empty_mismatch = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    UploadedFile& f = files[name];
    int notes = f.notifications + 1;
    f = UploadedFile{};  // an announcement starts the file again from block 1
    f.notifications = notes;
    f.blocks = blocks;
    std::copy_n(hash, f.hash.size(), f.hash.begin());
    if (blocks == 0) {
      f.complete = f.hash == md5(nullptr, 0);
      empty_mismatch = !f.complete;
    }
  }
  if (empty_mismatch) violation("upload " + name + ": empty file announced with a wrong MD5");
  return 0;
}

std::uint8_t BackendSim::take_block(std::map<std::string, UploadedFile>& files,
                                    const std::string& name, std::uint16_t block_nr,
                                    const std::uint8_t* data, std::size_t len) {
  std::string problem;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = files.find(name);
    if (it == files.end()) {
      problem = "block " + std::to_string(block_nr) + " of a file never announced";
    } else {
      UploadedFile& f = it->second;
      if (f.complete || block_nr != f.next_block || block_nr > f.blocks) {
        problem = "block " + std::to_string(block_nr) + " out of order (expected " +
                  std::to_string(f.next_block) + " of " + std::to_string(f.blocks) + ")";
      } else {
        f.data.insert(f.data.end(), data, data + len);
        f.next_block++;
        if (block_nr == f.blocks) {
          f.complete = md5(f.data.data(), f.data.size()) == f.hash;
          if (!f.complete) problem = "MD5 of the received file differs from the announced one";
        }
      }
    }
  }
  if (problem.empty()) return 0;
  violation("upload " + name + ": " + problem);
  return 1;
}

Bytes BackendSim::on_order_notify(const Request& r, int* status_at) {
  upload_order_notify_req q{};
  std::memcpy(&q, r.data.data(), sizeof(q));
  std::string name(reinterpret_cast<const char*>(q.filename), sizeof(q.filename));
  upload_order_notify_rsp a{};
  std::memcpy(a.tpu_id, q.tpu_id, sizeof(a.tpu_id));
  a.type = q.type;
  std::memcpy(a.filename, q.filename, sizeof(a.filename));
  a.status = announce(orders_, name, q.blocks, q.hash);
  *status_at = static_cast<int>(offsetof(upload_order_notify_rsp, status));
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof(a));
}

Bytes BackendSim::on_order_block(const Request& r, int* status_at) {
  upload_order_req q{};
  std::memcpy(&q, r.data.data(), r.data.size());
  std::string name(reinterpret_cast<const char*>(q.filename), sizeof(q.filename));
  upload_order_rsp a{};
  std::memcpy(a.tpu_id, q.tpu_id, sizeof(a.tpu_id));
  std::memcpy(a.filename, q.filename, sizeof(a.filename));
  a.block_nr = q.block_nr;
  a.status = take_block(orders_, name, q.block_nr, q.data, q.data_len);
  *status_at = static_cast<int>(offsetof(upload_order_rsp, status));
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof(a));
}

Bytes BackendSim::on_log_notify(const Request& r, int* status_at) {
  upload_log_notify_req q{};
  std::memcpy(&q, r.data.data(), sizeof(q));
  delivered(q.cmd_id, HB_CMD_UPLOAD_LOG, nullptr);
  std::string name(reinterpret_cast<const char*>(q.filename), sizeof(q.filename));
  upload_log_notify_rsp a{};
  std::memcpy(a.tpu_id, q.tpu_id, sizeof(a.tpu_id));
  std::memcpy(a.filename, q.filename, sizeof(a.filename));
  a.status = announce(logs_, name, q.blocks, q.hash);
  *status_at = static_cast<int>(offsetof(upload_log_notify_rsp, status));
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof(a));
}

Bytes BackendSim::on_log_block(const Request& r, int* status_at) {
  upload_log_req q{};
  std::memcpy(&q, r.data.data(), r.data.size());
  std::string name(reinterpret_cast<const char*>(q.filename), sizeof(q.filename));
  upload_log_rsp a{};
  std::memcpy(a.tpu_id, q.tpu_id, sizeof(a.tpu_id));
  std::memcpy(a.filename, q.filename, sizeof(a.filename));
  a.block_nr = q.block_nr;
  a.status = take_block(logs_, name, q.block_nr, q.data, q.data_len);
  *status_at = static_cast<int>(offsetof(upload_log_rsp, status));
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof(a));
}

Bytes BackendSim::on_update_cfg(const Request& r, int*) {
  update_cfg_req q{};
  std::memcpy(&q, r.data.data(), sizeof(q));
  delivered(q.cmd_id, HB_CMD_UPDATE_CFG, nullptr);
  std::string text, ver;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!config_set_) return Bytes(sizeof(update_cfg_rsp) - SERVER_CFG_CONTENT_MAX, 0);
    text = config_text_;
    ver = config_ver_;
  }
  Bytes area(64 + text.size(), 0);
  std::copy_n(q.tpu_id, SERVER_TPU_ID_LEN, area.begin());
  std::copy_n(ver.begin(), std::min<std::size_t>(ver.size(), 16), area.begin() + 16);
  static constexpr char kName[] = "ztpu.conf";
  std::copy_n(kName, sizeof(kName) - 1, area.begin() + 32);
  auto digest = md5(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::copy(digest.begin(), digest.end(), area.begin() + 48);
  std::copy(text.begin(), text.end(), area.begin() + 64);
  return area;
}

Bytes BackendSim::on_update_key(const Request& r, int*) {
  update_key_req q{};
  std::memcpy(&q, r.data.data(), sizeof(q));
  heartbeat_cmd cmd{};
  if (delivered(q.cmd_id, HB_CMD_UPDATE_KEY, &cmd) && q.key_ver != cmd.arg.key.key_ver) {
    violation("0x15: key_ver " + std::to_string(q.key_ver) + " but the command named " +
              std::to_string(cmd.arg.key.key_ver));
  }
  update_key_rsp a{};
  std::memcpy(a.tpu_id, q.tpu_id, sizeof(a.tpu_id));
  {
    std::lock_guard<std::mutex> g(mu_);
    if (key_set_) {
      a.key_ver = key_ver_;
      std::snprintf(reinterpret_cast<char*>(a.filename), sizeof(a.filename), "key%04x.pf",
                    key_ver_);
      auto digest = md5(key_file_.data(), key_file_.size());
      std::copy(digest.begin(), digest.end(), a.hash);
      std::size_t bs = key_block_size_;
      a.blocks = static_cast<std::uint16_t>(bs == 0 ? 0 : (key_file_.size() + bs - 1) / bs);
      a.block_size = key_block_size_;
    }
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + sizeof(a));
}

Bytes BackendSim::on_download_key(const Request& r, int*) {
  download_key_req q{};
  std::memcpy(&q, r.data.data(), sizeof(q));
  delivered(q.cmd_id, HB_CMD_UPDATE_KEY, nullptr);
  Bytes block;
  bool ok = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    std::size_t bs = key_block_size_;
    std::size_t blocks = bs == 0 ? 0 : (key_file_.size() + bs - 1) / bs;
    if (key_set_ && q.block_nr >= 1 && q.block_nr <= blocks) {
      std::size_t from = (q.block_nr - 1) * bs;
      std::size_t n = std::min(bs, key_file_.size() - from);
      block.assign(key_file_.data() + from, key_file_.data() + from + n);
      ok = true;
    }
  }
  if (!ok) violation("0x16: no key block " + std::to_string(q.block_nr));
  Bytes area(sizeof(download_key_rsp) + block.size(), 0);
  std::copy_n(q.tpu_id, SERVER_TPU_ID_LEN, area.begin());
  put16(area, 16, static_cast<std::uint16_t>(block.size()));
  std::copy(block.begin(), block.end(), area.begin() + sizeof(download_key_rsp));
  return area;
}

void BackendSim::set_config(std::string text, std::string cfg_ver) {
  std::lock_guard<std::mutex> g(mu_);
  config_text_ = std::move(text);
  config_ver_ = std::move(cfg_ver);
  config_set_ = true;
}

void BackendSim::set_key_file(Bytes file, std::uint16_t key_ver, std::uint16_t block_size) {
  std::lock_guard<std::mutex> g(mu_);
  key_file_ = std::move(file);
  key_ver_ = key_ver;
  key_block_size_ = block_size;
  key_set_ = true;
}

std::map<std::string, UploadedFile> BackendSim::order_files() const {
  std::lock_guard<std::mutex> g(mu_);
  return orders_;
}

std::map<std::string, UploadedFile> BackendSim::log_files() const {
  std::lock_guard<std::mutex> g(mu_);
  return logs_;
}

void BackendSim::push_heartbeat_command(std::uint16_t code,
                                        const std::array<std::uint8_t, 6>& cmd_id,
                                        const Bytes& arg) {
  std::size_t len = HB_RSP_CFG;
  if (code == HB_CMD_UPLOAD_LOG || code == HB_CMD_SIGNIN) len = HB_RSP_NO_ARG;
  if (code == HB_CMD_UPDATE_KEY || code == HB_CMD_APPLY_KEY) len = HB_RSP_KEY;
  Bytes area(len, 0);
  if (opts_.check_device_id)
    std::copy(opts_.device_id.begin(), opts_.device_id.end(), area.begin());
  put32(area, 16, static_cast<std::uint32_t>(std::time(nullptr)) + kExpireSec);
  std::copy(cmd_id.begin(), cmd_id.end(), area.begin() + 20);
  put16(area, 26, code);
  for (std::size_t i = 0; i < arg.size() && 28 + i < len; ++i) area[28 + i] = arg[i];
  push_heartbeat_raw(std::move(area));
}

void BackendSim::note_delivered(const heartbeat_cmd& cmd) {
  std::lock_guard<std::mutex> g(mu_);
  delivered_[to_hex(cmd.cmd_id, sizeof(cmd.cmd_id))] = cmd;
}

void BackendSim::push_heartbeat_raw(Bytes data_area) {
  std::lock_guard<std::mutex> g(mu_);
  hb_script_.push_back(std::move(data_area));
}

void BackendSim::set_response(std::uint16_t cmd, Bytes data_area, int count) {
  std::lock_guard<std::mutex> g(mu_);
  overrides_[cmd].emplace_back(std::move(data_area), count);
}

void BackendSim::add_fault(std::uint16_t cmd, Fault fault) {
  std::lock_guard<std::mutex> g(mu_);
  faults_[cmd].push_back(fault);
}

void BackendSim::clear_faults() {
  std::lock_guard<std::mutex> g(mu_);
  faults_.clear();
  overrides_.clear();
}

void BackendSim::set_offline(bool offline) {
  offline_ = offline;
  if (wake_fd_ >= 0) {
    std::uint64_t one = 1;
    ssize_t w = write(wake_fd_, &one, sizeof(one));
    (void)w;
  }
}

std::vector<Request> BackendSim::requests() const {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

int BackendSim::count(std::uint16_t cmd) const {
  std::lock_guard<std::mutex> g(mu_);
  int n = 0;
  for (const Request& r : requests_) n += r.cmd == cmd ? 1 : 0;
  return n;
}

bool BackendSim::wait_for_count(std::uint16_t cmd, int n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, timeout, [&] {
    int c = 0;
    for (const Request& r : requests_) c += r.cmd == cmd ? 1 : 0;
    return c >= n || stopping_;
  }) && !stopping_;
}

std::vector<std::string> BackendSim::violations() const {
  std::lock_guard<std::mutex> g(mu_);
  return violations_;
}

std::vector<receipt_cmd> BackendSim::receipts() const {
  std::lock_guard<std::mutex> g(mu_);
  return receipts_;
}

void BackendSim::set_event_sink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> g(mu_);
  sink_ = std::move(sink);
}

void BackendSim::violation(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(mu_);
    violations_.push_back(text);
  }
  event("VIOLATION " + text);
}

void BackendSim::event(const std::string& text) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> g(mu_);
    sink = sink_;
  }
  if (sink) sink(text);
}

}  // namespace ztpu_backend

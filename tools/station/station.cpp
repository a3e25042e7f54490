// The outside parties of a simulated station (station.h).
#include "station.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "../testplugin/testpcode.h"
#include "kalvo/kalvo.h"
#include "ztpu/crypto.h"
#include "ztpu/le.h"
#include "ztpu/serial.h"

namespace ztpu_station {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

using ztpu::get_le32;
using ztpu::put_le32;

bool crypt(int mode, const std::uint8_t* in, int inl, const std::uint8_t* key, int keyl,
           const std::uint8_t* iv, int ivl, bool encrypt, Bytes& out) {
  Bytes src(in, in + inl);
  std::array<std::uint8_t, 32> k{}, v{};
  std::memcpy(k.data(), key, static_cast<std::size_t>(std::min(keyl, 32)));
  std::memcpy(v.data(), iv, static_cast<std::size_t>(std::min(ivl, 32)));
  out.assign(static_cast<std::size_t>(inl) + 32, 0);
  crypto_param p{mode, src.data(), inl, k.data(), keyl, v.data(), ivl, encrypt ? 1 : 0};
  int n = 0;
  if (crypto_crypt(&p, out.data(), &n) != 0 || n < 0) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

std::array<std::uint8_t, 16> user_key(std::uint32_t user_id) {
  std::array<std::uint8_t, 16> k{};
  for (int i = 0; i < 4; ++i) put_le32(&k[static_cast<std::size_t>(i) * 4], user_id);
  return k;
}

std::uint8_t sign_code(const std::uint8_t* data, int len) {
  std::array<std::uint8_t, 16> md{};
  Bytes copy(data, data + len);
  crypto_md5(copy.data(), len, md.data());
  return crypto_crc8(&md[4], 8);
}

std::uint8_t bcd(int v) { return static_cast<std::uint8_t>((v / 10) << 4 | (v % 10)); }

void bcd_time(std::time_t t, std::uint8_t* out) {
  std::tm tm{};
  localtime_r(&t, &tm);
  const int year = tm.tm_year + 1900;
  out[0] = bcd(year / 100);
  out[1] = bcd(year % 100);
  out[2] = bcd(tm.tm_mon + 1);
  out[3] = bcd(tm.tm_mday);
  out[4] = bcd(tm.tm_hour);
  out[5] = bcd(tm.tm_min);
  out[6] = bcd(tm.tm_sec);
}

bool write_text(const std::string& path, const std::string& text) {
  return write_file(path, Bytes(text.begin(), text.end()));
}

}  // namespace

std::string to_hex(const std::uint8_t* p, std::size_t n) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool from_hex(const std::string& text, Bytes& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      if (c >= '0' && c <= '9')
        v = v * 16 + static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v = v * 16 + static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v = v * 16 + static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return true;
}

// ---- Key material ----

KeyVersion make_key_version(const Bytes& base, std::uint16_t version, std::uint8_t alg,
                            std::uint8_t nrows) {
  KeyVersion kv;
  kv.version = version;
  const auto hi = static_cast<std::uint8_t>(version >> 8);
  const auto lo = static_cast<std::uint8_t>(version & 0xFF);
  kv.factor = {hi, lo, nrows, hi, lo, alg};
  const auto n = testpcode_rows(kv.factor.data(), static_cast<std::uint32_t>(kv.factor.size()));
  for (std::uint32_t r = 0; r < n; ++r) {
    std::array<std::uint8_t, TESTPCODE_ROW_SIZE> raw{};
    testpcode_row(base.data(), static_cast<std::uint32_t>(base.size()), kv.factor.data(),
                  static_cast<std::uint32_t>(kv.factor.size()), r, raw.data());
    KeyRow row;
    row.alg = raw[0];
    std::memcpy(row.key.data(), &raw[1], 32);
    std::memcpy(row.id.data(), &raw[33], 3);
    kv.rows.push_back(row);
  }
  return kv;
}

Bytes server_encipher(const Bytes& clear, const TpuSsn& ssn) {
  std::array<std::uint8_t, 16> md{};
  TpuSsn s = ssn;
  crypto_md5(s.data(), 12, md.data());
  std::array<std::uint8_t, 24> key{};
  std::memcpy(key.data(), md.data(), 16);
  for (int i = 0; i < 8; ++i)
    key[16 + static_cast<std::size_t>(i)] = md[2 * static_cast<std::size_t>(i)];
  Bytes out;
  if (!crypt(CRYPTO_DES_EDE3_OFB, clear.data(), static_cast<int>(clear.size()), key.data(), 24,
             key.data(), 24, true, out))
    out.clear();
  return out;
}

Bytes key_payload(const Bytes& plugin_image, const KeyVersion& kv, const TpuSsn& ssn) {
  const Bytes img = server_encipher(plugin_image, ssn);
  const Bytes fac = server_encipher(kv.factor, ssn);
  // Sized once and filled in place: the layout is fixed, nothing grows.
  Bytes out(4 + img.size() + 2 + fac.size());
  std::uint8_t* p = out.data();
  put_le32(p, static_cast<std::uint32_t>(img.size()));
  p = std::copy(img.begin(), img.end(), p + 4);
  ztpu::put_le16(p, static_cast<std::uint16_t>(fac.size()));
  p += 2;
  std::copy(fac.begin(), fac.end(), p);
  return out;
}

std::string plugin_path() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  const fs::path lib = exe.parent_path().parent_path() / "lib" / "libztpu_testpcode.so";
  return fs::exists(lib, ec) ? lib.string() : "";
}

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// ---- Boards ----

std::string config_text(const BoardSpec& b) {
  std::string s;
  auto item = [&s](const char* k, const std::string& v) { s += std::string(k) + "=" + v + "\n"; };
  item("config_ver", b.config_ver);
  item("ipaddr", "127.0.0.1");
  item("netmask", "255.0.0.0");
  item("gateway", "127.0.0.1");
  item("dns", "127.0.0.1");
  item("dns2", "127.0.0.1");
  item("time_server", "127.0.0.1");
  item("tpu_code", b.exit_gate ? "TPU-EXIT" : "TPU-ENTRY");
  item("merchant_code", "M001");
  item("exit_flag", b.exit_gate ? "1" : "0");
  item("server_ip", "127.0.0.1");
  item("server_port", std::to_string(b.server_port));
  item("upload_interval", std::to_string(b.upload_interval));
  item("heartbeat_interval", std::to_string(b.heartbeat_interval));
  item("heartbeat_retries", "3");
  item("voucher_check_time", std::to_string(b.voucher_check_time));
  item("file_block_size", "1024");
  item("default_station", std::to_string(b.default_station));
  item("use_default_station", b.use_default_station ? "1" : "0");
  item("offline_delay", std::to_string(b.offline_delay));
  item("old_security_life", std::to_string(b.old_security_life));
  return s;
}

std::string fifo_path(const std::string& dir) { return dir + "/audio.fifo"; }

int prepare_board(const BoardSpec& b, std::string* why) {
  std::error_code ec;
  for (const char* sub : {"etc/poskey", "sys/fsl_otp", "dev", "var/ulocal/upload",
                          "var/ulocal/backup", "var/lock", "var/log", "tmp"}) {
    fs::create_directories(fs::path(b.dir) / sub, ec);
    if (ec) {
      *why = "cannot create " + b.dir + "/" + sub;
      return -1;
    }
  }
  const std::string fifo = fifo_path(b.dir);
  if (!write_text(b.dir + "/sys/fsl_otp/HW_OCOTP_CUST0", b.fuse + "\n") ||
      !write_text(b.dir + "/.asoundrc",
                  "pcm.!hw {\n"
                  "  @args [ CARD DEV SUBDEV ]\n"
                  "  @args.CARD { type string default \"0\" }\n"
                  "  @args.DEV { type integer default 0 }\n"
                  "  @args.SUBDEV { type integer default -1 }\n"
                  "  type file\n"
                  "  slave.pcm null\n"
                  "  file \"/dev/null\"\n"
                  "  infile \"" +
                      fifo +
                      "\"\n"
                      "  format raw\n"
                      "}\n")) {
    *why = "cannot write the board's files in " + b.dir;
    return -1;
  }
  if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) {
    *why = "cannot make " + fifo;
    return -1;
  }
  return 0;
}

int run_in(const std::string& dir, const std::vector<std::string>& argv, std::string* out) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    dup2(pipefd[1], STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipefd[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0 && out != nullptr) out->append(buf, static_cast<std::size_t>(n));
  close(pipefd[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<std::string> program_argv(const std::vector<std::string>& emulator,
                                      const std::string& path) {
  std::vector<std::string> argv = emulator;
  argv.push_back(path);
  return argv;
}

std::uint16_t free_port() {
  // The same number must be free for TCP and UDP.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (t < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(t, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    close(t);
    if (port == 0) continue;
    const int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (u < 0) return 0;
    const bool ok = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(u);
    if (ok) return port;
  }
  return 0;
}

// ---- Pseudo-terminals ----

Pty::~Pty() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  if (!link_.empty()) unlink(link_.c_str());
}

int Pty::open(const std::string& link, std::string* why) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *why = "no pseudo-terminal";
    return -1;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *why = "no pseudo-terminal name";
    return -1;
  }
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0) {
    *why = "cannot link " + link;
    return -1;
  }
  link_ = link;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    *why = "cannot open " + std::string(name);
    return -1;
  }
  cfmakeraw(&tio);
  tcsetattr(slave_, TCSANOW, &tio);
  return 0;
}

// ---- The air ----

Air::Air(int noise, unsigned seed) : noise_(noise), seed_(seed) {}

Air::~Air() {
  stop();
  for (Board& b : boards_)
    if (b.fd >= 0) close(b.fd);
}

int Air::add_board(const std::string& fifo, std::string* why) {
  struct stat st {};
  if (stat(fifo.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    *why = fifo + " is not a FIFO";
    return -1;
  }
  boards_.push_back(Board{fifo, -1, {}});
  return static_cast<int>(boards_.size()) - 1;
}

void Air::start() {
  if (running_.exchange(true)) return;
  thread_ = std::thread([this] { run(); });
}

void Air::stop() {
  if (!running_.exchange(false)) return;
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Air::play(int i, std::vector<std::int16_t> samples) {
  std::lock_guard<std::mutex> lock(mu_);
  if (i < 0 || static_cast<std::size_t>(i) >= boards_.size()) return;
  auto& q = boards_[static_cast<std::size_t>(i)].signal;
  q.insert(q.end(), samples.begin(), samples.end());
}

void Air::silence(int i) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= boards_.size()) return;
    boards_[static_cast<std::size_t>(i)].signal.clear();
  }
  cv_.notify_all();
}

bool Air::wait_quiet(int i, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (i < 0 || static_cast<std::size_t>(i) >= boards_.size()) return false;
  return cv_.wait_for(lock, timeout, [&] {
    return boards_[static_cast<std::size_t>(i)].signal.empty() || !running_;
  });
}

void Air::run() {
  // A write to a FIFO whose reader has gone fails with EPIPE instead.
  sigset_t pipe_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
  constexpr int kFrames = KALVO_RATE / 100;  // 10 ms
  std::mt19937 rng(seed_);
  std::array<std::int16_t, kFrames * 2> block{};
  auto next = Clock::now();
  while (running_) {
    next += std::chrono::milliseconds(10);
    // Far behind (a stopped clock, a loaded machine): start afresh rather
    // than burst.
    if (Clock::now() - next > std::chrono::milliseconds(200)) next = Clock::now();
    const int noise = noise_;
    std::normal_distribution<double> gauss(0.0, noise / 3.0);
    bool emptied = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (Board& b : boards_) {
        const bool had = !b.signal.empty();
        for (int f = 0; f < kFrames; ++f) {
          double v = noise > 0 ? std::clamp(gauss(rng), -double(noise), double(noise)) : 0.0;
          if (!b.signal.empty()) {
            v += b.signal.front();
            b.signal.pop_front();
          }
          const auto s = static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
          block[static_cast<std::size_t>(f) * 2] = s;
          block[static_cast<std::size_t>(f) * 2 + 1] = s;
        }
        emptied = emptied || (had && b.signal.empty());
        // Written only while the daemon has the FIFO open: no stale sound
        // waits for it in the pipe. Whole block or nothing (under
        // PIPE_BUF); a daemon that does not keep up loses the block.
        if (b.fd < 0) b.fd = ::open(b.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (b.fd >= 0 && write(b.fd, block.data(), sizeof block) < 0 && errno == EPIPE) {
          close(b.fd);  // the daemon has gone; wait for the next one
          b.fd = -1;
        }
      }
    }
    if (emptied) cv_.notify_all();
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, next, [this] { return !running_.load(); });
  }
  cv_.notify_all();
}

// ---- The gate controller ----

GateAnswer Gate::exchange(const Bytes& payload, int timeout_ms) {
  GateAnswer a;
  Bytes rec(2);
  rec.insert(rec.end(), payload.begin(), payload.end());
  rec.push_back(0);
  const auto len = static_cast<std::uint16_t>(rec.size() - 3);
  ztpu::put_le16(rec.data(), len);
  rec.back() = comm_xor_calc(rec.data(), static_cast<int>(rec.size()) - 1);
  // The controller's own framing: the daemon's encoder refuses the 5-byte
  // get-state and poll records that gates send.
  Bytes frame{0x02};
  for (std::uint8_t c : rec) {
    if (c == 0x02 || c == 0x03 || c == 0x10) frame.push_back(0x10);
    frame.push_back(c);
  }
  frame.push_back(0x03);
  const auto flen = static_cast<ssize_t>(frame.size());
  // Leftovers of an earlier exchange must not be taken for this answer.
  {
    pollfd p{fd_, POLLIN, 0};
    std::array<std::uint8_t, 128> junk{};
    while (::poll(&p, 1, 0) > 0 && read(fd_, junk.data(), junk.size()) > 0) {
    }
  }
  const auto t0 = Clock::now();
  if (write(fd_, frame.data(), static_cast<std::size_t>(flen)) != flen) return a;
  Bytes raw;
  bool started = false, escaped = false;
  while (raw.size() < 100) {
    const int left = timeout_ms - static_cast<int>(ms_since(t0));
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) return a;
    std::uint8_t c = 0;
    if (read(fd_, &c, 1) != 1) return a;
    if (!started) {
      if (c != 0x02) continue;
      started = true;
      raw.push_back(c);
      continue;
    }
    raw.push_back(c);
    if (escaped) {
      escaped = false;
    } else if (c == 0x10) {
      escaped = true;
    } else if (c == 0x03) {
      break;
    }
  }
  a.ms = ms_since(t0);
  std::array<std::uint8_t, 100> out{};
  int outl = 0;
  if (comm_protocol_parse(raw.data(), static_cast<int>(raw.size()), out.data(),
                          static_cast<int>(out.size()), &outl) != 0)
    return a;
  a.answered = true;
  a.record.assign(out.begin(), out.begin() + outl);
  latencies_.push_back(a.ms);
  return a;
}

bool Gate::wait_ready(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    const GateAnswer a = exchange({0x21, 0x53}, 300);
    if (a.answered && a.record.size() == 8 && a.record[2] == 0x21) {
      latencies_.pop_back();  // start-up is not a gate answer latency
      return true;
    }
  }
  return false;
}

Gate::Poll Gate::poll() {
  Poll r;
  const GateAnswer a = exchange({0x31, 0x53}, 2000);
  r.ms = a.ms;
  if (a.answered && a.record.size() == 21 && a.record[2] == 0x31 && a.record[5] == 0) {
    r.found = true;
    r.user_id = get_le32(&a.record[7]);
    r.ent_station = get_le32(&a.record[16]);
  }
  return r;
}

Gate::Pay Gate::pay(std::uint8_t code, std::uint32_t station, std::uint32_t fare, std::time_t t) {
  Bytes p{code, 0x53, 0};
  std::array<std::uint8_t, 7> deal{};
  bcd_time(t, deal.data());
  p.insert(p.end(), deal.begin(), deal.end());
  std::array<std::uint8_t, 4> le{};
  put_le32(le.data(), station);
  p.insert(p.end(), le.begin(), le.end());
  if (code == 0x33) {
    put_le32(le.data(), fare);
    p.insert(p.end(), le.begin(), le.end());
  }
  p.push_back(0);  // return_immed
  Pay r;
  const GateAnswer a = exchange(p, 3000);
  r.ms = a.ms;
  if (a.answered && a.record.size() == 20 && a.record[2] == code) {
    r.answered = true;
    r.served = a.record[5] == 0;
    r.user_id = get_le32(&a.record[6]);
    r.balance = static_cast<std::int32_t>(get_le32(&a.record[14]));
  }
  return r;
}

Gate::Pay Gate::enter(std::uint32_t station, std::time_t t) { return pay(0x32, station, 0, t); }

Gate::Pay Gate::exit(std::uint32_t station, std::uint32_t fare, std::time_t t) {
  return pay(0x33, station, fare, t);
}

// ---- The phone ----

Bytes entry_info(std::uint32_t user_id, std::uint32_t station, std::uint32_t when) {
  std::array<std::uint8_t, 9> clear{};
  put_le32(&clear[0], station);
  put_le32(&clear[4], when);
  clear[8] = sign_code(clear.data(), 8);
  const auto k = user_key(user_id);
  Bytes out;
  if (!crypt(CRYPTO_AES128_CFB, clear.data(), 9, k.data(), 16, k.data(), 16, true, out))
    out.clear();
  return out;
}

bool open_entry_info(std::uint32_t user_id, const Bytes& cipher, std::uint32_t* station,
                     std::uint32_t* when) {
  if (cipher.size() != 9) return false;
  const auto k = user_key(user_id);
  Bytes clear;
  if (!crypt(CRYPTO_AES128_CFB, cipher.data(), 9, k.data(), 16, k.data(), 16, false, clear) ||
      clear.size() != 9 || clear[8] != sign_code(clear.data(), 8))
    return false;
  *station = get_le32(&clear[0]);
  *when = get_le32(&clear[4]);
  return true;
}

Bytes ticket_record(const Passenger& p, const KeyRow& row, std::time_t now) {
  std::array<std::uint8_t, 10> clear{};
  clear[0] = p.ticket_id;
  put_le32(&clear[1], p.user_id);
  for (int b = 0; b < 3; ++b)
    clear[5 + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(p.balance24 >> (8 * b));
  const std::uint16_t crc = crypto_crc16(clear.data(), 8);
  clear[8] = static_cast<std::uint8_t>(crc >> 8);  // high byte first
  clear[9] = static_cast<std::uint8_t>(crc & 0xFF);
  Bytes ticket;
  if (!crypt(row.alg, clear.data(), 10, row.key.data(), 32, row.key.data(), 32, true, ticket) ||
      ticket.size() != 10)
    return {};
  Bytes rec(26, 0);
  std::copy(ticket.begin(), ticket.end(), rec.begin());
  const Bytes info = p.entry_info.size() == 9 ? p.entry_info : entry_info(p.user_id, 0, 0);
  std::copy(info.begin(), info.end(), rec.begin() + 10);
  std::copy(row.id.begin(), row.id.end(), rec.begin() + 19);
  std::tm tm{};
  localtime_r(&now, &tm);
  rec[22] = static_cast<std::uint8_t>(tm.tm_hour);
  rec[23] = static_cast<std::uint8_t>(tm.tm_min);
  const std::uint16_t rcrc = crypto_crc16(rec.data(), 24);
  rec[24] = static_cast<std::uint8_t>(rcrc & 0xFF);
  rec[25] = static_cast<std::uint8_t>(rcrc >> 8);
  return rec;
}

std::vector<std::int16_t> ticket_sound(const Bytes& record) {
  constexpr int kPeak = 12000;  // leaves room for the noise
  const int n = kalvo_tx_frame_samples(static_cast<int>(record.size()));
  if (n <= 0) return {};
  std::vector<std::int16_t> frame(static_cast<std::size_t>(n));
  if (kalvo_tx_build(record.data(), static_cast<int>(record.size()), kPeak, frame.data(), n) != n)
    return {};
  std::vector<std::int16_t> out(frame);
  out.insert(out.end(), 200, 0);
  out.insert(out.end(), frame.begin(), frame.end());
  out.insert(out.end(), 1234, 0);
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

PhoneReply read_reply(int bt_fd, std::uint32_t user_id, const Bytes& record, int timeout_ms) {
  PhoneReply r;
  const auto t0 = Clock::now();
  Bytes got;
  while (got.size() < 21) {
    const int left = timeout_ms - static_cast<int>(ms_since(t0));
    pollfd p{bt_fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return r;
    std::array<std::uint8_t, 21> buf{};
    const ssize_t n = read(bt_fd, buf.data(), 21 - got.size());
    if (n <= 0) return r;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  r.received = true;
  r.ms = ms_since(t0);
  if (record.size() != 26) return r;
  std::array<std::uint8_t, 16> key{};
  std::copy(record.begin(), record.begin() + 10, key.begin());
  const auto iv = user_key(user_id);
  Bytes clear;
  if (!crypt(CRYPTO_AES128_CFB, got.data(), 21, key.data(), 10, iv.data(), 16, false, clear) ||
      clear.size() != 21)
    return r;
  std::array<std::uint8_t, 16> md{};
  crypto_md5(clear.data(), 19, md.data());
  const std::uint16_t crc = crypto_crc16(md.data(), 16);
  const bool crc_ok = clear[19] == (crc & 0xFF) && clear[20] == (crc >> 8);
  const bool flag_ok = std::equal(clear.begin() + 1, clear.begin() + 5, record.begin() + 6);
  r.valid = crc_ok && flag_ok && clear[0] == 0;
  r.pay_type = clear[5];
  r.pay_info.assign(clear.begin() + 6, clear.begin() + 15);
  r.pay_time = get_le32(&clear[15]);
  return r;
}

// ---- Orders ----

bool order_tac_valid(const std::string& line, const std::vector<KeyVersion>& versions) {
  // ...,TAC,keyid : the TAC covers the text before its comma.
  const std::size_t k = line.rfind(',');
  if (k == std::string::npos || k == 0) return false;
  const std::size_t t = line.rfind(',', k - 1);
  if (t == std::string::npos) return false;
  const std::string tac = line.substr(t + 1, k - t - 1);
  Bytes id;
  if (!from_hex(line.substr(k + 1), id) || id.size() != 3 || tac.size() != 32) return false;
  for (const KeyVersion& kv : versions) {
    for (const KeyRow& row : kv.rows) {
      if (!std::equal(row.id.begin(), row.id.end(), id.begin())) continue;
      Bytes cipher;
      const auto* text = reinterpret_cast<const std::uint8_t*>(line.data());
      if (!crypt(row.alg, text, static_cast<int>(t), row.key.data(), 32, row.key.data(), 32, true,
                 cipher))
        return false;
      std::array<std::uint8_t, 16> md{};
      crypto_md5(cipher.data(), static_cast<int>(cipher.size()), md.data());
      std::string want = to_hex(md.data(), 16);
      std::transform(want.begin(), want.end(), want.begin(),
                     [](char c) { return static_cast<char>(std::toupper(c)); });
      return want == tac;
    }
  }
  return false;
}

// ---- The daemon ----

Daemon::~Daemon() { stop(); }

int Daemon::start(const std::string& bin, const std::string& dir, std::string* why,
                  const std::vector<std::string>& emulator) {
  // Built before the fork: the child only execs.
  const std::vector<std::string> argv = program_argv(emulator, bin);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    *why = "cannot fork";
    return -1;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    if (chdir(dir.c_str()) != 0) _exit(126);
    setenv("HOME", dir.c_str(), 1);
    // What the daemon prints (the modem's audio errors, a sanitizer's
    // report) is kept beside the board.
    const int devnull = ::open("/dev/null", O_RDONLY);
    const int out = ::open("ztpud.out", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  return 0;
}

bool Daemon::running() {
  if (pid_ <= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Daemon::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

long Daemon::rss_kb() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

double Daemon::cpu_seconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string cur;
  for (std::size_t i = close_paren + 2; i < text.size(); ++i) {
    if (text[i] == ' ') {
      fields.push_back(cur);
      cur.clear();
    } else {
      cur += text[i];
    }
  }
  // Fields from "state" on: utime and stime are the 12th and 13th.
  if (fields.size() < 13) return -1;
  const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string read_text(const std::string& file) {
  Bytes b;
  if (!read_file(file, b)) return "";
  return std::string(b.begin(), b.end());
}

bool wait_for_text(const std::string& file, const std::string& needle,
                   std::chrono::milliseconds timeout, std::size_t from) {
  const auto end = Clock::now() + timeout;
  do {
    const std::string text = read_text(file);
    if (text.size() > from && text.find(needle, from) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (Clock::now() < end);
  return false;
}

}  // namespace ztpu_station

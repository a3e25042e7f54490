// The board's serial lines as a test (or the latency benchmark) sees them:
// raw pseudo-terminals, gate frames, and the ALSA configuration that makes
// the capture device read a FIFO. No test framework: the benchmark uses it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "ztpu/serial.h"

namespace ztpu_test {

using LineBytes = std::vector<unsigned char>;

// A pseudo-terminal pair, both ends held open (a master's reads fail while
// no slave is open), the slave also at `link` if given, and made raw unless
// the code under test is to set the line up itself.
class Pty {
 public:
  explicit Pty(const char* link = nullptr, bool raw = true) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr || (link != nullptr && symlink(name, link) != 0)) return;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    raw_ = !raw;
    termios tio{};
    if (!raw || slave_ < 0 || tcgetattr(slave_, &tio) != 0) return;
    cfmakeraw(&tio);
    raw_ = tcsetattr(slave_, TCSANOW, &tio) == 0;
  }
  ~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0 && raw_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  // Reads from the master until `want` bytes came or `ms` passed without any.
  LineBytes read_bytes(size_t want, int ms = 1000) const {
    LineBytes got;
    pollfd p{master_, POLLIN, 0};
    std::array<unsigned char, 128> buf{};
    while (got.size() < want && poll(&p, 1, ms) > 0) {
      const ssize_t n = ::read(master_, buf.data(), std::min(buf.size(), want - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  bool raw_ = false;
};

// True once `raw` holds a start byte and, after it, an unescaped end byte.
inline bool frame_complete(const LineBytes& raw) {
  auto it = std::find(raw.begin(), raw.end(), 0x02);
  while (it != raw.end() && ++it != raw.end()) {
    if (*it == 0x03) return true;
    if (*it == 0x10 && ++it == raw.end()) return false;
  }
  return false;
}

// A gate command frame with its length and check set, escaped by hand: the
// codec refuses to encode the gate's 5-byte records.
inline LineBytes gate_frame(LineBytes rec) {
  rec[0] = static_cast<unsigned char>(rec.size() - 3);
  rec[1] = 0;
  rec.back() = comm_xor_calc(rec.data(), static_cast<int>(rec.size()) - 1);
  LineBytes f{0x02};
  for (unsigned char b : rec) {
    if (b == 0x02 || b == 0x03 || b == 0x10) f.push_back(0x10);
    f.push_back(b);
  }
  f.push_back(0x03);
  return f;
}

// One frame from `fd`, undecoded: read until it is complete, 256 bytes
// came, a read fails or `ms` passed without a byte.
inline LineBytes read_frame(int fd, int ms) {
  LineBytes raw;
  pollfd p{fd, POLLIN, 0};
  std::array<unsigned char, 64> buf{};
  while (raw.size() < 256 && poll(&p, 1, ms) > 0) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    raw.insert(raw.end(), buf.begin(), buf.begin() + n);
    if (frame_complete(raw)) break;
  }
  return raw;
}

// The record a frame carries; false when it does not decode.
inline bool frame_record(const LineBytes& frame, LineBytes* rec) {
  std::array<unsigned char, 128> out{};
  int n = 0;
  if (comm_protocol_parse(frame.data(), static_cast<int>(frame.size()), out.data(),
                          static_cast<int>(out.size()), &n) != 0)
    return false;
  rec->assign(out.begin(), out.begin() + n);
  return true;
}

// ALSA configuration ($HOME/.asoundrc) making "hw:0,0" a capture device
// that reads raw frames from `infile`.
inline std::string asoundrc(const std::string& infile) {
  return "pcm.!hw {\n  @args [ CARD DEV SUBDEV ]\n"
         "  @args.CARD { type string default \"0\" }\n"
         "  @args.DEV { type integer default 0 }\n"
         "  @args.SUBDEV { type integer default -1 }\n"
         "  type file\n  slave.pcm null\n  file \"/dev/null\"\n  infile \"" +
         infile + "\"\n  format raw\n}\n";
}

// Makes a FIFO in `dir` this process's capture device (its .asoundrc there,
// HOME pointed at `dir`); the FIFO's path, or "" when it cannot be made.
inline std::string fifo_microphone(const std::string& dir) {
  const std::string fifo = dir + "/air.fifo";
  if (mkfifo(fifo.c_str(), 0600) != 0) return "";
  std::ofstream(dir + "/.asoundrc") << asoundrc(fifo);
  return setenv("HOME", dir.c_str(), 1) == 0 ? fifo : "";
}

}  // namespace ztpu_test

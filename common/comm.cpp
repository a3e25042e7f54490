// Gate line frame codec: STX, DLE-escaped record, ETX.
#include <time.h>

#include <array>
#include <cerrno>

#include "ztpu/le.h"
#include "ztpu/log.h"
#include "ztpu/serial.h"

namespace {

constexpr unsigned char STX = 0x02;
constexpr unsigned char ETX = 0x03;
constexpr unsigned char DLE = 0x10;

bool needs_escape(unsigned char b) { return b == STX || b == ETX || b == DLE; }

}  // namespace

unsigned char comm_xor_calc(const unsigned char* data, int len) {
  if (data == nullptr) return 0;
  if (len <= 1) return data[0];
  unsigned char x = 0;
  for (int i = 0; i < len; ++i) x ^= data[i];
  return x;
}

int comm_protocol_parse(const unsigned char* cmd, int cmd_len, unsigned char* out, int out_cap,
                        int* outl) {
  if (cmd == nullptr || cmd_len < COMM_FRAME_MIN || cmd_len > COMM_FRAME_MAX || out == nullptr ||
      out_cap <= 0 || outl == nullptr) {
    ztpu_log(LOG_ERR, "protocol length or output buffer error, length=%d.\n", cmd_len);
    return -1;
  }
  if (cmd[0] != STX || cmd[cmd_len - 1] != ETX) {
    ztpu_log(LOG_ERR, "protocol locators error.\n");
    return -1;
  }
  int count = 0;
  const int end = cmd_len - 1;  // index of the closing ETX
  for (int i = 1; i < end; ++i) {
    unsigned char b = cmd[i];
    if (b == DLE) {
      if (i + 1 >= end || !needs_escape(cmd[i + 1])) {
        ztpu_log(LOG_ERR, "protocol format error.\n");
        return -1;
      }
      b = cmd[++i];
    }
    if (count >= out_cap) {
      ztpu_log(LOG_ERR, "protocol length or output buffer error, length=%d.\n", cmd_len);
      return -1;
    }
    out[count++] = b;
  }
  if (count < 3) return -1;
  const int len_field = ztpu::get_le16(out);
  if (len_field != count - 3) return -1;
  if (comm_xor_calc(out, count - 1) != out[count - 1]) return -1;
  *outl = count;
  return 0;
}

int comm_protocol_gen(const unsigned char* buf, int len, unsigned char* out, int out_cap,
                      int* outl) {
  if (buf == nullptr || len <= 5 || out == nullptr || outl == nullptr) return -1;
  int n = 0;
  auto put = [&](unsigned char b) {
    if (n >= out_cap) return false;
    out[n++] = b;
    return true;
  };
  if (!put(STX)) return -1;
  for (int i = 0; i < len; ++i) {
    if (needs_escape(buf[i]) && !put(DLE)) return -1;
    if (!put(buf[i])) return -1;
  }
  if (!put(ETX)) return -1;
  *outl = n;
  return 0;
}

int comm_protocol_flow_parse(int serial_fd, unsigned char* out, int out_cap, int* outl) {
  if (outl != nullptr) *outl = 0;
  if (out == nullptr || outl == nullptr || out_cap <= 0 || serial_fd <= 0) return -1;
  std::array<unsigned char, 48> chunk{};
  bool started = false;
  bool escape = false;
  int count = 0;
  int empty = 0;
  int total = 0;
  while (total < COMM_FLOW_MAX_READ) {
    const int n = serial_read(serial_fd, chunk.data(), chunk.size());
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
    if (n <= 0) {
      if (++empty >= 2) return -1;
      const timespec ts{0, 2'000'000};
      nanosleep(&ts, nullptr);
      continue;
    }
    empty = 0;
    total += n;
    for (int i = 0; i < n; ++i) {
      const unsigned char b = chunk[static_cast<size_t>(i)];
      bool store = false;
      if (escape) {
        escape = false;
        store = started;
      } else if (b == ETX) {
        if (!started) continue;  // noise before any frame
        *outl = count;
        return 0;
      } else if (b == DLE) {
        escape = true;
      } else if (b == STX) {
        started = true;
        count = 0;
      } else {
        store = started;
      }
      if (store) {
        if (count >= out_cap) {
          ztpu_log(LOG_ERR, "protocol length or output buffer error, length=%d.\n", count + 1);
          return -1;
        }
        out[count++] = b;
      }
    }
  }
  return -1;
}

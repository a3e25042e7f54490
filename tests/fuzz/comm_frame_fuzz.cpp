// Gate line frames: the one-shot decoder at the gate loop's capacity and at
// the largest one, the streaming reader on a pipe, and the encoder on every
// record the decoder accepts.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "ztpu/serial.h"

namespace {

// Decodes at capacity `cap`; an accepted record must fit it, carry its own
// length, and come back unchanged from the encoder and decoder.
void parse_at(const uint8_t* data, size_t size, int cap) {
  std::vector<unsigned char> out(static_cast<size_t>(cap));
  int outl = -1;
  if (comm_protocol_parse(data, static_cast<int>(size), out.data(), cap, &outl) != 0) return;
  if (outl < 3 || outl > cap || outl > static_cast<int>(size) - 2) ztpu_fuzz::fail("record size");
  if (outl <= 5) return;  // the encoder refuses records this short
  std::vector<unsigned char> frame(static_cast<size_t>(2 * outl + 2));
  int framel = 0;
  if (comm_protocol_gen(out.data(), outl, frame.data(), static_cast<int>(frame.size()), &framel) !=
      0)
    ztpu_fuzz::fail("encode of a decoded record");
  if (framel > COMM_FRAME_MAX) return;  // unescaped 0x02/0x03 grew it
  std::vector<unsigned char> again(static_cast<size_t>(cap));
  int againl = -1;
  if (comm_protocol_parse(frame.data(), framel, again.data(), cap, &againl) != 0 ||
      againl != outl || !std::equal(again.begin(), again.begin() + outl, out.begin()))
    ztpu_fuzz::fail("frame round trip");
}

void flow_parse(const uint8_t* data, size_t size) {
  int fds[2];
  if (pipe(fds) != 0) ztpu_fuzz::fail("pipe");
  // An empty frame after the input ends the read at once; otherwise the
  // reader would wait out the silence (2 ms) on every unfinished input.
  std::vector<uint8_t> line(data, data + size);
  line.push_back(0x02);
  line.push_back(0x03);
  // Inputs stay far below a pipe's capacity (libFuzzer's -max_len).
  size_t off = 0;
  while (off < line.size()) {
    ssize_t w = write(fds[1], line.data() + off, line.size() - off);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  close(fds[1]);
  std::vector<unsigned char> out(32);
  int outl = -1;
  if (comm_protocol_flow_parse(fds[0], out.data(), static_cast<int>(out.size()), &outl) == 0 &&
      (outl < 0 || outl > static_cast<int>(out.size())))
    ztpu_fuzz::fail("streamed frame size");
  close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  parse_at(data, size, 32);
  parse_at(data, size, COMM_FRAME_MAX);
  flow_parse(data, size);
  return 0;
}

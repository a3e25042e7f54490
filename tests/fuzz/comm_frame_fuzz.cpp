// Gate line frames: the decoder at the gate loop's capacity and at the
// largest, the encoder on every record it accepts, the streaming reader.

#include "fuzz_support.h"
#include "ztpu/serial.h"

// An accepted record fits, carries its own length, and round-trips.
static void parse_at(const uint8_t* data, size_t size, int cap) {
  std::vector<unsigned char> out(static_cast<size_t>(cap)), again(out.size());
  int outl = -1, againl = -1, framel = 0;
  if (comm_protocol_parse(data, static_cast<int>(size), out.data(), cap, &outl) != 0) return;
  if (outl < 3 || outl > cap || outl > static_cast<int>(size) - 2) ztpu_fuzz::fail("record size");
  if (outl <= 5) return;  // the encoder refuses records this short
  std::vector<unsigned char> frame(static_cast<size_t>(2 * outl + 2));
  if (comm_protocol_gen(out.data(), outl, frame.data(), static_cast<int>(frame.size()), &framel))
    ztpu_fuzz::fail("encode of a decoded record");
  if (framel > COMM_FRAME_MAX) return;  // unescaped 0x02/0x03 grew it
  if (comm_protocol_parse(frame.data(), framel, again.data(), cap, &againl) != 0 ||
      againl != outl || std::memcmp(again.data(), out.data(), static_cast<size_t>(outl)) != 0)
    ztpu_fuzz::fail("frame round trip");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(false);
  if (size > 4096) return 0;
  parse_at(data, size, 32);
  parse_at(data, size, COMM_FRAME_MAX);
  // The streaming reader; a closing empty frame ends the read at once
  // instead of the 2 ms silence, and inputs stay below a pipe's capacity.
  int fds[2];
  if (pipe(fds) != 0) ztpu_fuzz::fail("pipe");
  std::vector<uint8_t> line(data, data + size);
  line.insert(line.end(), {0x02, 0x03});
  if (write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    ztpu_fuzz::fail("pipe write");
  close(fds[1]);
  std::vector<unsigned char> out(32);
  int outl = -1;
  if (comm_protocol_flow_parse(fds[0], out.data(), 32, &outl) == 0 && (outl < 0 || outl > 32))
    ztpu_fuzz::fail("streamed frame size");
  close(fds[0]);
  return 0;
}

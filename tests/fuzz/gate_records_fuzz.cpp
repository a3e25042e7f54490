// The gate command loop on raw reads; each answer must be one good frame.
// Input: a mode byte (bit 0: a poll finds a card, bit 1: enter and exit are
// served), then reads of a length byte (1..48) and that many raw bytes.
#include <fcntl.h>
#include <sys/stat.h>

#include "fuzz_support.h"
#include "ztpu/gate.h"
#include "ztpu/interface.h"
#include "ztpu/serial.h"

static uint8_t mode = 0;
static int line = -1;  // our own end of the line, to take the loop's answers

// A FIFO stands in for the line: no terminal timing, each read whole.
static void open_line() {
  if (mkfifo(ztpu::path::gate_tty, 0600) != 0) ztpu_fuzz::fail("mkfifo");
  line = open(ztpu::path::gate_tty, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (line < 0) ztpu_fuzz::fail("open line");
}

// The station or fare comes back as the balance: answers may hold any byte.
u32 BleModuleInit() { return BLE_OK; }
void BleModuleExit() {}
u32 BlePollingCard(PollingRsp*) { return (mode & 1) != 0 ? BLE_OK : BLE_FAIL; }
u32 BleInGate(const InGateCmd* c, InGateRsp* r) {
  std::memcpy(r->balance, c->entSta, sizeof r->balance);
  return (mode & 2) != 0 ? BLE_OK : BLE_FAIL;
}
u32 BleOutGate(const OutGateCmd* c, OutGateRsp* r) {
  std::memcpy(r->balance, c->ticketFare, sizeof r->balance);
  return (mode & 2) != 0 ? BLE_OK : BLE_FAIL;
}
u32 BleSetPara(u8, u8, u8*, u8*) { return BLE_OK; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(true, open_line);
  if (size > 4096) return 0;
  ztpu_fuzz::Cursor in{data, size};
  mode = in.u8();
  if (gate_init() != 0) ztpu_fuzz::fail("gate_init");  // also clears the poll permission
  std::array<unsigned char, 512> buf{};
  std::array<unsigned char, 48> rec{};
  while (in.n > 0) {
    size_t n = 0;
    const uint8_t* raw = in.take(in.u8() % 48 + 1, &n);
    if (write(line, raw, n) != static_cast<ssize_t>(n)) ztpu_fuzz::fail("line write");
    gate_serve_once();
    const ssize_t got = read(line, buf.data(), buf.size());
    int recl = 0;
    if (got > 0 && comm_protocol_parse(buf.data(), static_cast<int>(got), rec.data(),
                                       static_cast<int>(rec.size()), &recl) != 0)
      ztpu_fuzz::fail("gate answer is not one good frame");
  }
  gate_close();
  while (read(line, buf.data(), buf.size()) > 0) {  // nothing unread reaches the next input
  }
  return 0;
}

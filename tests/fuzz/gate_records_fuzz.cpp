// The gate command loop on a sequence of raw reads: each read is framed,
// parsed and dispatched as the loop does it, with the card-style interface
// replaced by deterministic stand-ins. Every answer the loop writes must be a
// well-formed frame.
//
// Input: one byte of stand-in behaviour (bit 0: a poll finds a card, bit 1:
// enter and exit are served), then reads: a length byte (1..48) and that
// many raw bytes each.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "ztpu/gate.h"
#include "ztpu/interface.h"
#include "ztpu/paths.h"
#include "ztpu/serial.h"

namespace {

bool card = false;
bool pay_ok = false;
int reader = -1;  // our own end of the line, to take the loop's answers

void put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

// The loop's answers since the last call; each must decode.
void check_answers() {
  std::array<unsigned char, 512> buf{};
  ssize_t n = read(reader, buf.data(), buf.size());
  if (n <= 0) return;
  std::array<unsigned char, 48> rec{};
  int recl = 0;
  if (comm_protocol_parse(buf.data(), static_cast<int>(n), rec.data(), static_cast<int>(rec.size()),
                          &recl) != 0)
    ztpu_fuzz::fail("gate answer is not one good frame");
}

}  // namespace

u32 BleModuleInit() { return BLE_OK; }
void BleModuleExit() {}
u32 BlePollingCard(PollingRsp* r) {
  if (!card) return BLE_FAIL;
  r->cardType = 0xAA;
  put32(r->cardID, 0x01020304);
  std::memset(r->cardID + 4, 0, 4);
  r->antFlag = 3;
  put32(r->entSta, 101);
  return BLE_OK;
}
u32 BleInGate(const InGateCmd*, InGateRsp* r) {
  if (!pay_ok) return BLE_FAIL;
  put32(r->userID, 0x01020304);
  std::memset(r->userID + 4, 0, 4);
  put32(r->balance, 5000);
  return BLE_OK;
}
u32 BleOutGate(const OutGateCmd* c, OutGateRsp* r) {
  if (!pay_ok) return BLE_FAIL;
  put32(r->userID, 0x01020304);
  std::memset(r->userID + 4, 0, 4);
  u32 fare = 0;
  std::memcpy(&fare, c->ticketFare, sizeof fare);
  put32(r->balance, 5000 - fare);
  return BLE_OK;
}
u32 BleSetPara(u8, u8, u8*, u8*) { return BLE_OK; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  ztpu_fuzz::enter_scratch_board();
  // A FIFO stands in for the line: no terminal timing, each read whole.
  if (mkfifo(ztpu::path::gate_tty, 0600) != 0) ztpu_fuzz::fail("mkfifo");
  reader = open(ztpu::path::gate_tty, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (reader < 0) ztpu_fuzz::fail("open line");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  ztpu_fuzz::Cursor in(data, size);
  const uint8_t mode = in.u8();
  card = (mode & 1) != 0;
  pay_ok = (mode & 2) != 0;
  if (gate_init() != 0) ztpu_fuzz::fail("gate_init");  // also clears the poll permission
  while (in.left() > 0) {
    size_t n = 0;
    const uint8_t* raw = in.take(in.u8() % 48 + 1, &n);
    if (n == 0) break;
    if (write(reader, raw, n) != static_cast<ssize_t>(n)) ztpu_fuzz::fail("line write");
    gate_serve_once();
    check_answers();
  }
  gate_close();
  // Nothing the loop left unread may reach the next input.
  std::array<unsigned char, 512> rest{};
  while (read(reader, rest.data(), rest.size()) > 0) {
  }
  return 0;
}

// The gate command loop on a sequence of raw reads, framed, parsed and
// dispatched as the loop does it, with deterministic card-interface
// stand-ins. Every answer the loop writes must be a well-formed frame.
// Input: a mode byte (bit 0: a poll finds a card, bit 1: enter and exit are
// served), then reads of a length byte (1..48) and that many raw bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "fuzz_support.h"
#include "gate.h"
#include "interface.h"
#include "ztpu/serial.h"

namespace {

bool card = false;
bool pay_ok = false;
int reader = -1;  // our own end of the line, to take the loop's answers

void put32(u8* p, u32 v) { std::memcpy(p, &v, 4); }  // the board is little-endian too
u32 paid(u8* user, u8* balance, u32 fare) {
  if (!pay_ok) return BLE_FAIL;
  const u8 id[8] = {4, 3, 2, 1};
  std::memcpy(user, id, sizeof id);
  put32(balance, 5000 - fare);
  return BLE_OK;
}

}  // namespace

u32 BleModuleInit() { return BLE_OK; }
void BleModuleExit() {}
u32 BlePollingCard(PollingRsp* r) {
  if (!card) return BLE_FAIL;
  r->cardType = 0xAA;
  const u8 id[8] = {4, 3, 2, 1};
  std::memcpy(r->cardID, id, sizeof id);
  r->antFlag = 3;
  put32(r->entSta, 101);
  return BLE_OK;
}
u32 BleInGate(const InGateCmd*, InGateRsp* r) { return paid(r->userID, r->balance, 0); }
u32 BleOutGate(const OutGateCmd* c, OutGateRsp* r) {
  u32 fare = 0;
  std::memcpy(&fare, c->ticketFare, sizeof fare);
  return paid(r->userID, r->balance, fare);
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
  std::array<unsigned char, 512> buf{};
  std::array<unsigned char, 48> rec{};
  while (in.left() > 0) {
    size_t n = 0;
    const uint8_t* raw = in.take(in.u8() % 48 + 1, &n);
    if (n == 0) break;
    if (write(reader, raw, n) != static_cast<ssize_t>(n)) ztpu_fuzz::fail("line write");
    gate_serve_once();
    const ssize_t got = read(reader, buf.data(), buf.size());
    int recl = 0;
    if (got > 0 && comm_protocol_parse(buf.data(), static_cast<int>(got), rec.data(),
                                       static_cast<int>(rec.size()), &recl) != 0)
      ztpu_fuzz::fail("gate answer is not one good frame");
  }
  gate_close();
  while (read(reader, buf.data(), buf.size()) > 0) {  // nothing unread reaches the next input
  }
  return 0;
}

// Gate command loop. Get-state is answered at once; poll, enter and exit
// become calls of the card-style interface whose results are packed into
// fixed response records. A successful poll is a one-shot permission for
// the next enter or exit.
#include "ztpu/gate.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "ztpu/interface.h"
#include "ztpu/le.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/serial.h"

namespace {

constexpr u8 CMD_GET_STATE = 0x21;
constexpr u8 CMD_POLL = 0x31;
constexpr u8 CMD_ENTER = 0x32;
constexpr u8 CMD_EXIT = 0x33;
constexpr u8 CMD_MARK = 0x53;  // 'S', byte 3 of every record

constexpr int ENTER_CMD_SIZE = 18;
constexpr int EXIT_CMD_SIZE = 22;
constexpr int MIN_CMD_SIZE = 5;  // length, code, mark, check

// Offsets in the enter and exit records.
constexpr int OFF_DEAL_TIME = 5;
constexpr int OFF_STATION = 12;
constexpr int OFF_ENTER_RET = 16;
constexpr int OFF_EXIT_FARE = 16;
constexpr int OFF_EXIT_RET = 20;

#pragma pack(push, 1)
struct state_rsp_rec {
  u8 len[2];
  u8 cmd[2];
  u8 repeat_cnt;
  u8 rsp_code;
  u8 state;
  u8 check;
};
struct polling_rsp_rec {
  u8 len[2];
  u8 cmd[2];
  u8 repeat_cnt;
  u8 rsp_code;
  u8 card_type;
  u8 user_id[8];
  u8 ant_type;
  u8 ent_station_id[4];
  u8 check;
};
struct err_rsp_rec {
  u8 len[2];
  u8 cmd[2];
  u8 ret_count;
  u8 err_code;
  u8 chksum;
};
struct enter_exit_rsp_rec {
  u8 len[2];
  u8 cmd[2];
  u8 repeat_cnt;
  u8 rsp_code;
  u8 user_id[8];
  u8 balance[4];
  u8 card_type;
  u8 check;
};
#pragma pack(pop)

static_assert(sizeof(state_rsp_rec) == 8 && offsetof(state_rsp_rec, check) == 7);
static_assert(sizeof(polling_rsp_rec) == 21 && offsetof(polling_rsp_rec, user_id) == 7 &&
              offsetof(polling_rsp_rec, ant_type) == 15 &&
              offsetof(polling_rsp_rec, ent_station_id) == 16);
static_assert(sizeof(err_rsp_rec) == 7 && offsetof(err_rsp_rec, err_code) == 5);
static_assert(sizeof(enter_exit_rsp_rec) == 20 && offsetof(enter_exit_rsp_rec, user_id) == 6 &&
              offsetof(enter_exit_rsp_rec, balance) == 14 &&
              offsetof(enter_exit_rsp_rec, card_type) == 18);

int gate_fd = -1;
int polling_flag = 0;
state_rsp_rec state_rsp;
polling_rsp_rec polling_rsp;
enter_exit_rsp_rec enter_exit_rsp;

std::array<u8, 48> scmd;  // raw bytes of one read
std::array<u8, 32> cmd;   // unescaped command record
std::array<u8, 48> srsp;  // encoded response frame

template <typename Rec>
void set_head(Rec& r, u8 code) {
  constexpr u16 len = sizeof(Rec) - 3;
  ztpu::put_le16(r.len, len);
  r.cmd[0] = code;
  r.cmd[1] = CMD_MARK;
}

template <typename Rec>
u8 check_of(const Rec& r) {
  return comm_xor_calc(reinterpret_cast<const u8*>(&r), sizeof(Rec) - 1);
}

// Encodes a record into srsp; the frame's size, or -1.
template <typename Rec>
int encode(const Rec& r) {
  int n = 0;
  if (comm_protocol_gen(reinterpret_cast<const u8*>(&r), sizeof(Rec), srsp.data(),
                        static_cast<int>(srsp.size()), &n) != 0)
    return -1;
  return n;
}

void send(int n) { (void)serial_write(gate_fd, srsp.data(), static_cast<size_t>(n)); }

int serve_get_state() {
  std::memset(&state_rsp, 0, sizeof state_rsp);
  set_head(state_rsp, CMD_GET_STATE);
  state_rsp.check = check_of(state_rsp);
  const int n = encode(state_rsp);
  if (n < 0) return 0;
  ztpu_log(LOG_INFO, "response to tpu(get state)\n");
  send(n);
  return 1;
}

int serve_poll() {
  polling_flag = 0;
  set_head(polling_rsp, CMD_POLL);
  polling_rsp.repeat_cnt = 0;
  polling_rsp.card_type = 0xAA;
  polling_rsp.ant_type = 3;
  PollingRsp card{};
  if (BlePollingCard(&card) == BLE_OK) {
    polling_rsp.rsp_code = 0;
    std::memcpy(polling_rsp.user_id, card.cardID, sizeof card.cardID);
    std::memcpy(polling_rsp.ent_station_id, card.entSta, sizeof card.entSta);
    polling_rsp.check = check_of(polling_rsp);
    const int n = encode(polling_rsp);
    if (n < 0) return 0;
    polling_flag = 1;
    send(n);
    return 1;
  }
  err_rsp_rec err{};
  set_head(err, CMD_POLL);
  err.ret_count = 0;
  err.err_code = 1;
  err.chksum = check_of(err);
  const int n = encode(err);
  if (n < 0) return 0;
  send(n);
  return 1;
}

int serve_pay(u8 code, int len) {
  const bool enter = code == CMD_ENTER;
  set_head(enter_exit_rsp, code);
  enter_exit_rsp.repeat_cnt = 0;

  // A short record would leave the fields at their offsets stale.
  const bool whole = len >= (enter ? ENTER_CMD_SIZE : EXIT_CMD_SIZE);
  if (!whole)
    ztpu_log(LOG_ERR, "%s command too short, length=%d.\n", enter ? "enter" : "exit", len);

  InGateRsp rsp{};
  bool served = false;
  if (polling_flag == 1 && whole) {
    if (enter) {
      InGateCmd in{};
      std::memcpy(in.dealTime, &cmd[OFF_DEAL_TIME], sizeof in.dealTime);
      std::memcpy(in.entSta, &cmd[OFF_STATION], sizeof in.entSta);
      in.retFlag = cmd[OFF_ENTER_RET];
      served = BleInGate(&in, &rsp) == BLE_OK;
    } else {
      OutGateCmd out{};
      std::memcpy(out.dealTime, &cmd[OFF_DEAL_TIME], sizeof out.dealTime);
      std::memcpy(out.extSta, &cmd[OFF_STATION], sizeof out.extSta);
      std::memcpy(out.ticketFare, &cmd[OFF_EXIT_FARE], sizeof out.ticketFare);
      out.retFlag = cmd[OFF_EXIT_RET];
      served = BleOutGate(&out, &rsp) == BLE_OK;
    }
  }
  enter_exit_rsp.rsp_code = served ? 0 : 1;
  if (served) {
    std::memcpy(enter_exit_rsp.user_id, rsp.userID, sizeof rsp.userID);
    std::memcpy(enter_exit_rsp.balance, rsp.balance, sizeof rsp.balance);
  } else {
    std::memset(enter_exit_rsp.user_id, 0, sizeof enter_exit_rsp.user_id);
    std::memset(enter_exit_rsp.balance, 0, sizeof enter_exit_rsp.balance);
  }
  enter_exit_rsp.card_type = 0x13;
  enter_exit_rsp.check = check_of(enter_exit_rsp);
  if (enter) ztpu_log(LOG_INFO, "check=%02x\n", enter_exit_rsp.check);
  const int n = encode(enter_exit_rsp);
  if (n < 0) return 0;
  ztpu_log(LOG_INFO, enter ? "response to tpu(enter)\n" : "response to tpu(exit)\n");
  send(n);
  polling_flag = 0;
  return 1;
}

}  // namespace

int gate_init() {
  const int fd = serial_open(ztpu::path::gate_tty, 115200, nullptr);
  if (fd <= 0) {
    ztpu_log(LOG_ERR, "gate_init fail.\n");
    return -1;
  }
  gate_fd = fd;
  return 0;
}

int gate_start() {
  if (BleModuleInit() != BLE_OK) {
    ztpu_log(LOG_ERR, "BleModuleInit fail.\n");
    return -1;
  }
  if (gate_init() != 0) return -1;
  polling_flag = 0;
  return 0;
}

int gate_serve_once() {
  const int got = serial_read_timeout(gate_fd, scmd.data(), scmd.size(), 30);
  if (got <= 0) return 0;
  int len = 0;
  if (comm_protocol_parse(scmd.data(), got, cmd.data(), static_cast<int>(cmd.size()), &len) != 0 ||
      len < MIN_CMD_SIZE) {
    ztpu_log(LOG_ERR, "parse command error.\n");
    return 0;
  }
  if (cmd[3] != CMD_MARK) return 0;
  switch (cmd[2]) {
    case CMD_GET_STATE:
      return serve_get_state();
    case CMD_POLL:
      return serve_poll();
    case CMD_ENTER:
    case CMD_EXIT:
      return serve_pay(cmd[2], len);
    default:
      ztpu_log(LOG_ERR, "command error.\n");
      return 0;
  }
}

void gate_close() {
  if (gate_fd >= 0) serial_close(gate_fd);
  gate_fd = -1;
  polling_flag = 0;
}

void gate_stop() {
  gate_close();
  BleModuleExit();
}

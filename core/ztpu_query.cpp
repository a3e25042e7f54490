// Ticket query: admits the phone's latest ticket record (fresh, plausible
// issue time, not re-used within 3 seconds), deciphers and checks it and,
// on an exit gate, the entry information the phone brings along. The
// validated ticket is held for the payment.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ztpu/crypto.h"
#include "ztpu/le.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/secret.h"
#include "ztpu/security.h"
#include "ztpu/server.h"
#include "ztpu_internal.h"

namespace ztpu_txn {

voucher voucher_data{};
int ztpu_state = 0;
timeval test_tv{};

}  // namespace ztpu_txn

using namespace ztpu_txn;
using ztpu::get_le32;

namespace {

constexpr int kTicketLen = 10;
constexpr int kSameTicketBar = 2;  // seconds after admission still refused

u8 prev_ticket[kTicketLen];
std::time_t prev_time = 0;
std::atomic<ztpu_clock_fn> clock_fn{nullptr};

std::time_t now() {
  const ztpu_clock_fn fn = clock_fn.load();
  return fn != nullptr ? fn() : std::time(nullptr);
}

// Issue time against the clock, to the minute, with no wrap at midnight.
bool issue_time_ok(const phone_rx& rx, std::time_t t) {
  const int hour = rx.time[0];
  const int minute = rx.time[1];
  if (hour > 23 || minute > 59) {
    ztpu_log(LOG_ERR, "error time, %dh:%dm.\n", hour, minute);
    return false;
  }
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return false;
  const int ticket_now_time = tm.tm_hour * 3600 + tm.tm_min * 60;
  const int ticket_app_time = hour * 3600 + minute * 60;
  const int error_conf_time = mconf_get_int(MC_VOUCHER_CHECK_TIME);
  if (std::abs(ticket_now_time - ticket_app_time) > error_conf_time) {
    ztpu_log(LOG_ERR, "ticket time error, now=%dh%dm, ticket=%dh%dm, allow=%ds.\n", tm.tm_hour,
             tm.tm_min, hour, minute, error_conf_time);
    return false;
  }
  return true;
}

// Deciphers the ticket into ticket[] (room *ticket_len) and checks its CRC
// (high byte first).
bool decipher_ticket(phone_rx& rx, u8* ticket, int* ticket_len) {
  decrypt_voucher_param in{rx.ticket, kTicketLen, rx.key_id, 3};
  u8 algorithm = 0;
  const int rc = security_decipher_voucher(&in, ticket, ticket_len, &algorithm);
  if (rc == -1) {
    ztpu_log(LOG_ERR, "fail to get algorithm and key.\n");
    return false;
  }
  // A block mode can shorten the text; the fields need all ten bytes.
  if (rc != 0 || *ticket_len < kTicketLen) {
    ztpu_log(LOG_ERR, "decrypt ticket error.\n");
    return false;
  }
  const int n = *ticket_len;
  const int ticket_crc16 = ztpu::get_le16(ticket + n - 2);
  const unsigned calc = crypto_crc16(ticket, n - 2);
  const int ticket_calc_crc16 = static_cast<int>(((calc & 0xFF) << 8) | (calc >> 8));
  if (ticket_crc16 != ticket_calc_crc16) {
    ztpu_log(LOG_ERR, "keyid=0x%02X%02X%02X.\n", rx.key_id[0], rx.key_id[1], rx.key_id[2]);
    ztpu_log(LOG_ERR, "ticket crc16 error, ticket(0x%2X%2X)=%d<>calc=%d; algorithm=%u.\n",
             ticket[n - 2], ticket[n - 1], ticket_crc16, ticket_calc_crc16, algorithm);
    return false;
  }
  return true;
}

// On an exit gate: the entry station and time from the phone's pay_info.
bool entry_information(ztpu_query_rsp& q) {
  if (mconf_get_int(MC_EXIT_FLAG) != 1) {
    q.ent_station_id = 0;
    q.ent_time = 0;
    std::memset(q.ent_time_bcd, 0, sizeof q.ent_time_bcd);
    return true;
  }
  std::array<u8, ENT_INFO_LEN> ent_info{};
  int n = ENT_INFO_LEN;
  u8 check = 0;
  if (security_decipher_enterinfo(q.user_id, voucher_data.rx.pay_info, ENT_INFO_LEN,
                                  ent_info.data(), &n, &check) != 0 ||
      n != ENT_INFO_LEN)
    return false;
  if (check != ent_info[ENT_INFO_LEN - 1]) {
    ztpu_log(LOG_ERR, "exit's tpu, enter info error, crc8=%d<>%d\n", check,
             ent_info[ENT_INFO_LEN - 1]);
    return false;
  }
  if (get_le32(ent_info.data()) == 0) {
    if (mconf_get_int(MC_USE_DEFAULT_STATION) != 1) {
      ztpu_log(LOG_ERR, "exit's tpu, need enter info.\n");
      return false;
    }
    static constexpr u8 kDefaultTime[BCD_TIME_LEN] = {0x19, 0x70, 0x01, 0x01, 0x08, 0x00, 0x00};
    q.ent_station_id = static_cast<u32>(mconf_get_int(MC_DEFAULT_STATION));
    q.ent_time = 0;
    std::memcpy(q.ent_time_bcd, kDefaultTime, sizeof kDefaultTime);
    ztpu_log(LOG_WARNING, "exit's tpu, no enter info, use default.\n");
    return true;
  }
  q.ent_station_id = get_le32(ent_info.data());
  q.ent_time = get_le32(ent_info.data() + 4);
  // An entry time this platform cannot hold (logged) would reach the exit
  // order as a zero time.
  return time_stamp_to_bcd(q.ent_time, reinterpret_cast<char*>(q.ent_time_bcd)) == 0;
}

}  // namespace

void ztpu_set_clock(ztpu_clock_fn clock) { clock_fn.store(clock); }

int ztpu_get_state() { return ztpu_state; }

void ztpu_reset_state() { ztpu_state = 0; }

int ztpu_query(ztpu_query_rsp* rsp) {
  voucher_data.status = 0;
  ztpu_state = 0;
  if (server_is_offline() != 0) return -1;
  if (rsp == nullptr) {
    ztpu_log(LOG_ERR, "param rsp is NULL.\n");
    return -1;
  }
  phone_rx& rx = voucher_data.rx;
  if (phone_receive(&rx) != 0) return -1;
  get_print_time("t1(got ticket)", &test_tv, nullptr);
  ztpu_state = 1;

  const std::time_t t = now();
  if (!issue_time_ok(rx, t)) return -1;

  // long is 32 bits on the board: a 64-bit time difference would be cut.
  const auto diff_time = static_cast<long long>(t - prev_time);
  if (std::memcmp(rx.ticket, prev_ticket, kTicketLen) == 0 && diff_time <= kSameTicketBar) {
    ztpu_log(LOG_ERR, "the same ticket can't be used in 3s, now time diff = %llds.\n", diff_time);
    return -1;
  }
  // Barred from here on, even if a later step refuses it.
  prev_time = t;
  std::memcpy(prev_ticket, rx.ticket, kTicketLen);

  ztpu::Secret<kTicketLen + 32> clear;
  auto& ticket = clear.b;
  int ticket_len = static_cast<int>(ticket.size());
  if (!decipher_ticket(rx, ticket.data(), &ticket_len)) return -1;

  ztpu_query_rsp& q = voucher_data.query_rsp;
  q = ztpu_query_rsp{};
  q.ticket_id = ticket[0];
  q.user_id = get_le32(&ticket[1]);
  q.balance =
      static_cast<std::int32_t>(static_cast<u32>(ticket[5]) | static_cast<u32>(ticket[6]) << 8 |
                                static_cast<u32>(ticket[7]) << 16);
  if (!entry_information(q)) return -1;

  *rsp = q;
  voucher_data.status = 1;
  get_print_time("t2(checked ticket)", &test_tv, nullptr);
  ztpu_state = 2;
  return 0;
}

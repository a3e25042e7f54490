// Payment: consumes the ticket the query validated, stores one order line
// with a daily sequence id and a TAC, and sends the phone its enciphered
// reply. The id is stored before the line and the line is on disk before the
// gate is answered.
#include <fcntl.h>
#include <sys/file.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ztpu/crypto.h"
#include "ztpu/fileio.h"
#include "ztpu/le.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/security.h"
#include "ztpu_internal.h"

using namespace ztpu_txn;

namespace {

constexpr int kSeqIdLen = 12;
constexpr int kCounterMax = 999999;
constexpr int kRecordMax = 256;
constexpr int kMerchantMax = 20;
constexpr int kTacLen = 16;
constexpr int kLockTries = 3;
constexpr useconds_t kLockPauseUs = 5000;

// The next sequence id for the trade date into id (room 20). 0, or -1.
int get_sequence_id(const u8* bcd, char* id, size_t room) {
  unique_fd fd(::open(ztpu::path::seq_id, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() <= 0) {
    ztpu_log(LOG_ERR, "(get) can't open %s sequence id file.\n", ztpu::path::seq_id);
    return -1;
  }
  char stored[256];
  const ssize_t n = ::read(fd.get(), stored, sizeof stored);
  if (n != 0 && n != kSeqIdLen) {
    ztpu_log(LOG_ERR, "can't read %s sequence id file.\n", ztpu::path::seq_id);
    return -1;
  }
  char date[8];
  std::snprintf(date, sizeof date, "%02x%02x%02x", bcd[1], bcd[2], bcd[3]);
  int counter = 1;
  if (n == kSeqIdLen && std::memcmp(stored, date, 6) == 0) {
    // A counter that is not six digits would restart the day's ids.
    int value = 0;
    for (int i = 6; i < kSeqIdLen; ++i) {
      if (stored[i] < '0' || stored[i] > '9') {
        ztpu_log(LOG_ERR, "can't read %s sequence id file.\n", ztpu::path::seq_id);
        return -1;
      }
      value = value * 10 + (stored[i] - '0');
    }
    counter = value + 1;
  }
  // A seventh digit could not be stored, so every later order of the day
  // would get the same id again.
  if (counter > kCounterMax) {
    ztpu_log(LOG_ERR, "sequence ids of %02x%02x%02x used up.\n", bcd[1], bcd[2], bcd[3]);
    return -1;
  }
  std::snprintf(id, room, "%02x%02x%02x%06d", bcd[1], bcd[2], bcd[3], counter);
  return 0;
}

// Stores the id the order is about to use, synced, before its line is
// written: a crash after this leaves a gap in the day's ids, never a repeat.
bool set_sequence_id(const char* id) {
  if (ztpu::fileio::replace_file(ztpu::path::seq_id, id, kSeqIdLen, 0666) != 0) {
    ztpu_log(LOG_ERR, "write %s failed %d.\n", ztpu::path::seq_id, errno);
    return false;
  }
  return true;
}

// Appends the order line under the record-file lock, after its sequence id
// is stored. A line that cannot be written whole is cut back, so no torn
// line stays behind.
int save_order(const char* record_str, const char* sequenceid) {
  if (record_str[0] == '\0') {
    ztpu_log(LOG_ERR, "no record.\n");
    return -1;
  }
  unique_fd lock(::open(ztpu::path::record_lock, O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!lock.ok()) return -1;
  bool locked = false;
  for (int i = 0; i < kLockTries && !locked; ++i) {
    locked = ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
    if (!locked) ::usleep(kLockPauseUs);
  }
  if (!locked) {
    ztpu_log(LOG_ERR, "lock ZEF_BIZRECORD.lock failed.\n");
    return -1;
  }
  if (ztpu_repair_record_file() != 0) return -1;
  char line[kRecordMax + 1];
  const int n = std::snprintf(line, sizeof line, "%s\n", record_str);
  if (n <= 0 || n >= static_cast<int>(sizeof line)) return -1;
  if (!set_sequence_id(sequenceid)) return -1;
  if (ztpu::fileio::append_file(ztpu::path::record_file, line, static_cast<size_t>(n), 0666) != 0) {
    // The id stays used: the day's ids get a gap, never a repeat.
    ztpu_log(LOG_ERR, "can't append order %s to %s, error %d.\n", sequenceid,
             ztpu::path::record_file, errno);
    return -1;
  }
  return 0;
}

void bcd14(const u8* b, char* out, size_t room) {
  std::snprintf(out, room, "%02x%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5],
                b[6]);
}

int generate_order(const ztpu_pay_cmd* cmd) {
  char record_str[kRecordMax] = {};
  char sequenceid[20] = {};
  if (get_sequence_id(cmd->trade_time_bcd, sequenceid, sizeof sequenceid) != 0) {
    ztpu_log(LOG_ERR, "fail to get sequence id.\n");
    return -1;
  }
  // One byte more than the item's width: a code of exactly 20 characters
  // arrives without a terminator.
  char merchant_code[kMerchantMax + 1] = {};
  if (mconf_get_str(MC_MERCHANT_CODE, merchant_code, kMerchantMax) != 0) {
    ztpu_log(LOG_ERR, "fail to get merchant code.\n");
    return -1;
  }
  if (cmd->do_pay != mconf_get_int(MC_EXIT_FLAG)) {
    ztpu_log(LOG_ERR, "error command.\n");
    return -1;
  }
  const ztpu_query_rsp& q = voucher_data.query_rsp;
  const u8* d = cmd->trade_time_bcd;
  char trade[16];
  bcd14(d, trade, sizeof trade);
  int len = 0;
  if (cmd->do_pay == 0) {
    len = std::snprintf(record_str, sizeof record_str, "%s,%u,%d,%s,%u%02x%02x%02x%03u,%u,%s,",
                        sequenceid, q.user_id, 0, merchant_code, q.user_id, d[1], d[2], d[3],
                        q.ticket_id, cmd->station_id, trade);
  } else {
    char entry[16];
    bcd14(q.ent_time_bcd, entry, sizeof entry);
    len = std::snprintf(record_str, sizeof record_str,
                        "%s,%u,%d,%s,%u,%s,%u%02x%02x%02x%03u,%u,%s,%d,%lld,", sequenceid,
                        q.user_id, 0, merchant_code, q.ent_station_id, entry, q.user_id, d[1], d[2],
                        d[3], q.ticket_id, cmd->station_id, trade, cmd->trade_fare,
                        static_cast<long long>(q.balance) - cmd->trade_fare);
  }
  // Room for the TAC, a comma, the key id and the terminator.
  constexpr int kTail = 2 * kTacLen + 1 + 6 + 1;
  if (len <= 0 || len > kRecordMax - kTail) return -1;

  u8 keyid[3] = {};
  u8 tac[kTacLen] = {};
  int tac_len = kTacLen;
  // An order without a valid TAC would be rejected by the server after the
  // passenger went through: refuse it instead.
  if (security_gen_tac(reinterpret_cast<u8*>(record_str), len - 1, keyid, tac, &tac_len) != 0 ||
      tac_len != kTacLen) {
    ztpu_log(LOG_ERR, "fail to generate tac.\n");
    return -1;
  }
  byte_to_hex(reinterpret_cast<const char*>(tac), tac_len, record_str + len, nullptr);
  len += 2 * tac_len;
  std::snprintf(record_str + len, sizeof record_str - static_cast<size_t>(len), ",%02x%02x%02x",
                keyid[0], keyid[1], keyid[2]);

  if (save_order(record_str, sequenceid) != 0) {
    ztpu_log(LOG_ERR, "fail to save order.\n");
    return -1;
  }
  return 0;
}

// Fills, seals and enciphers the reply; a reply that could not be built or
// enciphered is not sent. phone_transmit's result, or -1.
int writeback_phone(const ztpu_pay_cmd* cmd) {
  const ztpu_query_rsp& q = voucher_data.query_rsp;
  phone_rx& rx = voucher_data.rx;

  phone_tx tx{};
  tx.status = 0;
  u32 flag = 0;
  std::memcpy(&flag, rx.ticket + 6, sizeof flag);
  tx.flag = flag;
  if (cmd->do_pay == 1) {
    tx.pay_type = 2;  // pay_info stays nine zero bytes
  } else {
    if (cmd->station_id == 0) ztpu_log(LOG_WARNING, "enter station id=%d\n", 0);
    tx.pay_type = 1;
    std::array<u8, ENT_INFO_LEN> ent{};
    ztpu::put_le32(ent.data(), cmd->station_id);
    ztpu::put_le32(ent.data() + 4, cmd->trade_time);
    int n = ENT_INFO_LEN;
    if (security_encrypt_enterinfo(q.user_id, ent.data(), ENT_INFO_LEN, tx.pay_info, &n) != 0 ||
        n != ENT_INFO_LEN)
      return -1;
  }
  tx.pay_time = cmd->trade_time;
  std::array<u8, sizeof(phone_tx)> clear{};
  std::memcpy(clear.data(), &tx, clear.size());
  std::array<u8, 16> md{};
  if (crypto_md5(clear.data(), 19, md.data()) != 0) return -1;
  tx.crc = crypto_crc16(md.data(), static_cast<int>(md.size()));
  std::memcpy(clear.data(), &tx, clear.size());

  // Key: the ten enciphered ticket bytes as received.
  encrypt_rsp2app_param p{q.user_id, rx.ticket, static_cast<int>(sizeof rx.ticket), clear.data(),
                          static_cast<int>(clear.size())};
  std::array<u8, sizeof(phone_tx) + 16> sealed{};
  int n = 0;
  if (security_encrypt_rsp2app_data(&p, sealed.data(), &n) != 0 ||
      n != static_cast<int>(sizeof(phone_tx)))
    return -1;
  phone_tx out{};
  std::memcpy(&out, sealed.data(), sizeof out);
  return phone_transmit(&out);
}

}  // namespace

int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp) {
  get_print_time("t3(open gate cmd)", &test_tv, nullptr);
  if (cmd == nullptr) {
    ztpu_log(LOG_ERR, "param cmd is NULL.\n");
    return -1;
  }
  if (rsp == nullptr) {
    ztpu_log(LOG_ERR, "param rsp is NULL.\n");
    return -1;
  }
  if (voucher_data.status == 0) {
    ztpu_log(LOG_ERR, "please polling first.\n");
    return -1;
  }
  if (generate_order(cmd) != 0) {
    ztpu_log(LOG_ERR, "generate order record error.\n");
    return -1;
  }
  get_print_time("t4(generated order record)", &test_tv, nullptr);
  if (writeback_phone(cmd) < static_cast<int>(sizeof(phone_tx)))
    ztpu_log(LOG_ERR, "writeback phone error.\n");
  get_print_time("t5(writenback to phone)", &test_tv, nullptr);
  rsp->user_id = voucher_data.query_rsp.user_id;
  rsp->balance = voucher_data.query_rsp.balance;
  voucher_data.status = 0;
  ztpu_state = 3;
  return 0;
}

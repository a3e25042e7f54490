// A provisioned board and the phone's side of every exchange.
#pragma once

#include "../security/sec_fixture.h"
#include "gate_line.h"
#include "ztpu/mconf.h"
#include "ztpu/phone.h"
#include "ztpu/ztpu.h"

namespace txntest {

using sectest::Bytes;

// Key rows A0 B0 r; 14 is AES-128-CFB and 15 AES-128-OFB.
inline const Bytes kFactor = sectest::factor(0x01, 0x01, 16, 0xA0, 0xB0, 0);

// The lines of `first` win: an item's first definition counts.
inline std::string conf_text(const std::string& first = "") {
  return first +
         "config_ver=T1\nipaddr=127.0.0.1\nnetmask=255.0.0.0\ngateway=127.0.0.1\ndns=127.0.0.1\n"
         "dns2=127.0.0.1\ntime_server=127.0.0.1\ntpu_code=TPU1\nmerchant_code=M001\n"
         "server_ip=127.0.0.1\nexit_flag=0\nserver_port=9\nupload_interval=3600\n"
         "heartbeat_interval=1\nheartbeat_retries=3\nvoucher_check_time=300\n"
         "file_block_size=1024\ndefault_station=77\nuse_default_station=1\noffline_delay=600\n"
         "old_security_life=60\n";
}

inline void provision() {
  sectest::provision_identity();
  Bytes pl = sectest::payload(sectest::plugin_image(), kFactor);
  ASSERT_EQ(security_save_pf2file(pl.data(), static_cast<u32>(pl.size())), 0);
  ASSERT_EQ(security_set_tpustate(2), 0);
  security_exit();
}

struct Ticket {
  u8 ticket_id = 7;
  u32 user_id = 258;
  u8 balance[3] = {0x10, 0x27, 0x00};  // 10000, low byte first
  u8 key_ver = 0xB0;
  u8 row = 14;
  bool crc_low_first = false;  // the wrong order
  u8 hour = 10;
  u8 minute = 0;
  Bytes pay_info = Bytes(9, 0);  // already enciphered
};

inline std::array<u8, 16> userid_key(u32 uid) {
  std::array<u8, 16> k{};
  for (int i = 0; i < 16; ++i) k[i] = static_cast<u8>(uid >> (8 * (i % 4)));
  return k;
}

inline Bytes cipher(int alg, Bytes in, const u8* key, int keyl, const u8* iv, int ivl, int enc) {
  Bytes out(in.size() + 32);
  std::array<u8, 32> k{}, v{};
  std::memcpy(k.data(), key, static_cast<size_t>(keyl));
  std::memcpy(v.data(), iv, static_cast<size_t>(ivl));
  crypto_param p{alg, in.data(), static_cast<int>(in.size()), k.data(), keyl, v.data(), ivl, enc};
  int n = 0;
  EXPECT_EQ(crypto_crypt(&p, out.data(), &n), 0);
  out.resize(static_cast<size_t>(n));
  return out;
}

// Entry information as an entry gate seals it (station 0: none recorded).
inline Bytes sealed_entry(u32 uid, u32 station, u32 time, bool break_check = false) {
  Bytes clear(9);
  std::memcpy(clear.data(), &station, 4);
  std::memcpy(clear.data() + 4, &time, 4);
  std::array<u8, 16> md{};
  crypto_md5(clear.data(), 8, md.data());
  clear[8] = static_cast<u8>(crypto_crc8(md.data() + 4, 8) ^ (break_check ? 0x5A : 0));
  const auto k = userid_key(uid);
  return cipher(CRYPTO_AES128_CFB, clear, k.data(), 16, k.data(), 16, 1);
}

inline Bytes record(const Ticket& t) {
  Bytes clear(8);
  clear[0] = t.ticket_id;
  std::memcpy(&clear[1], &t.user_id, 4);
  std::memcpy(&clear[5], t.balance, 3);
  const u16 crc = crypto_crc16(clear.data(), 8);
  clear.push_back(static_cast<u8>(t.crc_low_first ? crc & 0xFF : crc >> 8));
  clear.push_back(static_cast<u8>(t.crc_low_first ? crc >> 8 : crc & 0xFF));
  const security_key_row row = sectest::predicted_row(kFactor, t.row);
  Bytes rec = cipher(row.alg, clear, row.key, 32, row.key, 32, 1);
  EXPECT_EQ(rec.size(), 10u);
  rec.resize(10);
  rec.insert(rec.end(), t.pay_info.begin(), t.pay_info.end());
  rec.insert(rec.end(), {0xA0, t.key_ver, t.row, t.hour, t.minute});
  const u16 rc = crypto_crc16(rec.data(), 24);
  rec.insert(rec.end(), {static_cast<u8>(rc & 0xFF), static_cast<u8>(rc >> 8)});
  return rec;
}

// The reply as the phone deciphers it, its length and CRC checked.
inline phone_tx open_reply(const Bytes& sealed, const Bytes& rec, u32 uid) {
  std::array<u8, 16> key{}, md{};
  std::memcpy(key.data(), rec.data(), 10);
  const auto iv = userid_key(uid);
  Bytes clear = cipher(CRYPTO_AES128_CFB, sealed, key.data(), 10, iv.data(), 16, 0);
  EXPECT_EQ(clear.size(), sizeof(phone_tx));
  clear.resize(sizeof(phone_tx));
  phone_tx tx{};
  std::memcpy(&tx, clear.data(), sizeof tx);
  crypto_md5(clear.data(), 19, md.data());
  EXPECT_EQ(crypto_crc16(md.data(), 16), tx.crc);
  return tx;
}

// The TAC recomputed with the key row the line names.
inline bool tac_verifies(const std::string& line) {
  const size_t k = line.rfind(',');
  if (k == std::string::npos || k < 33 || line.compare(k + 1, 4, "a0b0") != 0) return false;
  const auto r = static_cast<u32>(std::stoul(line.substr(k + 5), nullptr, 16));
  const security_key_row row = sectest::predicted_row(kFactor, r);
  Bytes enc = cipher(row.alg, Bytes(line.begin(), line.begin() + static_cast<long>(k - 33)),
                     row.key, 32, row.key, 32, 1);
  std::array<u8, 16> md{};
  crypto_md5(enc.data(), static_cast<int>(enc.size()), md.data());
  std::string hex = ",";
  for (u8 b : md) hex += "0123456789ABCDEF"[b >> 4], hex += "0123456789ABCDEF"[b & 15];
  return line.size() == k + 7 && line.compare(k - 33, 33, hex) == 0;
}

}  // namespace txntest

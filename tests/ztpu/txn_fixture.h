// A started board for the transaction core's tests: configuration, a key
// table from the test plug-in, and the phone's side of every exchange (the
// ticket record it plays, the reply it deciphers, the order line's TAC
// recomputed from the plug-in's rows).
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

#include "../security/sec_fixture.h"
#include "gate_line.h"
#include "ztpu/mconf.h"
#include "ztpu/phone.h"
#include "ztpu/ztpu.h"

namespace txntest {

using sectest::Bytes;

// Key rows of the test table: ids A0 B0 r, modes varied by row; row 14 is
// AES-128-CFB and row 15 AES-128-OFB, both keep a 10-byte ticket's length.
inline const Bytes kFactor = sectest::factor(0x01, 0x01, 16, 0xA0, 0xB0, 0);
inline constexpr u8 kCfbRow = 14;
inline constexpr u8 kOfbRow = 15;

inline std::string conf_text(const std::map<std::string, std::string>& over = {}) {
  std::map<std::string, std::string> items = {
      {"config_ver", "T1"},          {"ipaddr", "127.0.0.1"},     {"netmask", "255.0.0.0"},
      {"gateway", "127.0.0.1"},      {"dns", "127.0.0.1"},        {"dns2", "127.0.0.1"},
      {"time_server", "127.0.0.1"},  {"tpu_code", "TPU1"},        {"merchant_code", "M001"},
      {"server_ip", "127.0.0.1"},    {"exit_flag", "0"},          {"server_port", "9"},
      {"upload_interval", "3600"},   {"heartbeat_interval", "1"}, {"heartbeat_retries", "3"},
      {"voucher_check_time", "300"}, {"file_block_size", "1024"}, {"default_station", "77"},
      {"use_default_station", "1"},  {"offline_delay", "600"},    {"old_security_life", "60"}};
  for (const auto& [k, v] : over) items[k] = v;
  std::string s;
  for (const auto& [k, v] : items) s += k + "=" + v + "\n";
  return s;
}

// Stores identity, base key and the key payload of kFactor in the store and
// leaves the unit ready (state 2) with the security module stopped.
inline void provision() {
  sectest::provision_identity();
  Bytes pl = sectest::payload(sectest::plugin_image(), kFactor);
  ASSERT_EQ(security_save_pf2file(pl.data(), static_cast<u32>(pl.size())), 0);
  ASSERT_EQ(security_set_tpustate(2), 0);
  security_exit();
}

// What the ticket issuer puts in the phone.
struct Ticket {
  u8 ticket_id = 7;
  u32 user_id = 258;
  u8 balance[3] = {0x10, 0x27, 0x00};  // 10000 in the board's byte order
  u8 row = kCfbRow;
  bool crc_low_first = false;  // the wrong order
  u8 hour = 10;
  u8 minute = 0;
  std::array<u8, 9> pay_info{};  // already enciphered
  std::array<u8, 3> key_id() const { return {0xA0, 0xB0, row}; }
};

inline std::array<u8, 16> userid_key(u32 uid) {
  std::array<u8, 16> k{};
  for (int i = 0; i < 16; ++i) k[i] = static_cast<u8>(uid >> (8 * (i % 4)));
  return k;
}

// Enciphers (or deciphers) with key and IV zero-padded to 32 bytes, as the
// board's cipher takes them; empty when the cipher fails.
inline Bytes cipher(int alg, Bytes in, const u8* key, int keyl, const u8* iv, int ivl, int enc) {
  Bytes out(in.size() + 32);
  std::array<u8, 32> k{}, v{};
  std::memcpy(k.data(), key, static_cast<size_t>(keyl));
  std::memcpy(v.data(), iv, static_cast<size_t>(ivl));
  crypto_param p{alg, in.data(), static_cast<int>(in.size()), k.data(), keyl, v.data(), ivl, enc};
  int n = 0;
  if (crypto_crypt(&p, out.data(), &n) != 0) return {};
  out.resize(static_cast<size_t>(n));
  return out;
}

inline Bytes aes_cfb(Bytes in, const u8* key, int keyl, const u8* iv, int encrypt) {
  Bytes out = cipher(CRYPTO_AES128_CFB, std::move(in), key, keyl, iv, 16, encrypt);
  EXPECT_FALSE(out.empty());
  return out;
}

// Entry information as an entry gate seals it (station 0: none recorded).
inline std::array<u8, 9> sealed_entry(u32 uid, u32 station, u32 time, bool break_check = false) {
  Bytes clear(9);
  std::memcpy(clear.data(), &station, 4);
  std::memcpy(clear.data() + 4, &time, 4);
  std::array<u8, 16> md{};
  crypto_md5(clear.data(), 8, md.data());
  clear[8] = static_cast<u8>(crypto_crc8(md.data() + 4, 8) ^ (break_check ? 0x5A : 0));
  const auto k = userid_key(uid);
  Bytes enc = aes_cfb(clear, k.data(), 16, k.data(), 1);
  std::array<u8, 9> out{};
  std::memcpy(out.data(), enc.data(), 9);
  return out;
}

// The 26-byte record the phone plays.
inline Bytes record(const Ticket& t) {
  Bytes clear(8);
  clear[0] = t.ticket_id;
  std::memcpy(&clear[1], &t.user_id, 4);
  std::memcpy(&clear[5], t.balance, 3);
  const u16 crc = crypto_crc16(clear.data(), 8);
  clear.push_back(static_cast<u8>(t.crc_low_first ? crc & 0xFF : crc >> 8));
  clear.push_back(static_cast<u8>(t.crc_low_first ? crc >> 8 : crc & 0xFF));
  const security_key_row row = sectest::predicted_row(kFactor, t.row);
  const Bytes enc = cipher(row.alg, clear, row.key, 32, row.key, 32, 1);
  EXPECT_EQ(enc.size(), 10u);
  if (enc.size() != 10) return {};
  Bytes rec(enc.begin(), enc.begin() + 10);
  rec.insert(rec.end(), t.pay_info.begin(), t.pay_info.end());
  const auto id = t.key_id();
  rec.insert(rec.end(), id.begin(), id.end());
  rec.push_back(t.hour);
  rec.push_back(t.minute);
  const u16 rc = crypto_crc16(rec.data(), 24);
  rec.push_back(static_cast<u8>(rc & 0xFF));
  rec.push_back(static_cast<u8>(rc >> 8));
  return rec;
}

// The phone's view of the reply: deciphered with its own ticket bytes.
struct Reply {
  phone_tx tx{};
  bool crc_ok = false;
};

inline Reply open_reply(const Bytes& cipher, const Bytes& rec, u32 uid) {
  std::array<u8, 16> key{};
  std::memcpy(key.data(), rec.data(), 10);
  const auto iv = userid_key(uid);
  Bytes clear = aes_cfb(cipher, key.data(), 10, iv.data(), 0);
  Reply r;
  if (clear.size() != sizeof(phone_tx)) return r;
  std::memcpy(&r.tx, clear.data(), sizeof r.tx);
  std::array<u8, 16> md{};
  crypto_md5(clear.data(), 19, md.data());
  r.crc_ok = crypto_crc16(md.data(), 16) == r.tx.crc;
  return r;
}

// Splits an order line at its commas.
inline std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream ss(line);
  std::string f;
  while (std::getline(ss, f, ',')) out.push_back(f);
  return out;
}

// Recomputes the TAC of an order line from the plug-in's row named by its
// key id: MD5 of the ciphertext of the text before the TAC's comma.
inline bool tac_verifies(const std::string& line) {
  const size_t key_comma = line.rfind(',');
  if (key_comma == std::string::npos || key_comma < 33) return false;
  const std::string keyid = line.substr(key_comma + 1);
  const std::string tac = line.substr(key_comma - 32, 32);
  if (line[key_comma - 33] != ',' || keyid.size() != 6) return false;
  if (keyid.substr(0, 4) != "a0b0") return false;
  const u32 r = static_cast<u32>(std::stoul(keyid.substr(4), nullptr, 16));
  const security_key_row row = sectest::predicted_row(kFactor, r);
  Bytes text(line.begin(), line.begin() + static_cast<long>(key_comma - 33));
  Bytes enc = cipher(row.alg, text, row.key, 32, row.key, 32, 1);
  if (enc.empty()) return false;
  std::array<u8, 16> md{};
  crypto_md5(enc.data(), static_cast<int>(enc.size()), md.data());
  char hex[33] = {};
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", md[i]);
  return tac == hex;
}

using ztpu_test::Pty;

}  // namespace txntest

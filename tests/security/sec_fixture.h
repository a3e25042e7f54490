// A simulated board and the server's side of the key material.
#pragma once

#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "../../tools/testplugin/testpcode.h"
#include "security_store.h"
#include "test_support.h"
#include "ztpu/crypto.h"
#include "ztpu/keyfilehandle.h"
#include "ztpu/security.h"

namespace sectest {

using Bytes = std::vector<u8>;
using ztpu_test::LogCapture;

inline const std::array<u8, 16> kDeviceId = {0xD0, 1, 2,  3,  4,  5,  6,  7,
                                             8,    9, 10, 11, 12, 13, 14, 15};
inline const std::array<u8, 12> kTpuSsn = {'Q', 'R', 'S', 'T', 'U', 'V',
                                           'W', 'X', 'Y', 'Z', '[', '\\'};
inline const Bytes kBaseKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA};

struct Board {
  explicit Board(const std::string& fuse = "0x0123456789ABCDEF\n") {
    dir.write("sys/fsl_otp/HW_OCOTP_CUST0", fuse);
    for (const char* d : {"etc/poskey", "tmp", "var/log"}) dir.mkdirs(d);
  }
  ~Board() { security_exit(); }
  ztpu_test::ScratchDir dir;
};

inline Bytes encipher(int mode, Bytes in, u8* key, int keyl, u8* iv, int ivl) {
  Bytes out(in.size() + 32);
  crypto_param p{mode, in.data(), static_cast<int>(in.size()), key, keyl, iv, ivl, 1};
  int n = 0;
  out.resize(crypto_crypt(&p, out.data(), &n) == 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// What the server does: 3DES-OFB under MD5(tpuSSN) extended to 24 bytes.
inline Bytes srv_encipher(const Bytes& clear) {
  std::array<u8, 24> key{};
  crypto_md5(const_cast<u8*>(kTpuSsn.data()), 12, key.data());
  for (int i = 0; i < 8; ++i) key[16 + i] = key[2 * i];
  return encipher(11, clear, key.data(), 24, key.data(), 24);
}

inline Bytes plugin_image(const std::string& variant = "") {
  std::ifstream in(ztpu_test::build_dir() + "/lib/libztpu_testpcode" + variant + ".so");
  EXPECT_TRUE(in.good()) << variant;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Clear factor: version, row count, key-id bytes (default: the version), mode (0: varied).
inline Bytes factor(u8 v0, u8 v1, u8 rows = 8, u8 id0 = 0, u8 id1 = 0, u8 alg = 0) {
  return Bytes{v0, v1, rows, id0 == 0 && id1 == 0 ? v0 : id0, id0 == 0 && id1 == 0 ? v1 : id1, alg};
}

// Key payload as the server delivers it: P (4 bytes), image, F (2 bytes), factor.
inline Bytes payload(const Bytes& image, const Bytes& factor_clear) {
  Bytes img = image.empty() ? Bytes{} : srv_encipher(image), f = srv_encipher(factor_clear);
  const auto p = static_cast<u32>(img.size());
  Bytes out{u8(p), u8(p >> 8), u8(p >> 16), u8(p >> 24)};
  out.insert(out.end(), img.begin(), img.end());
  out.insert(out.end(), {u8(f.size() & 0xFF), u8(f.size() >> 8)});
  out.insert(out.end(), f.begin(), f.end());
  return out;
}
inline int save_pf(Bytes pl) { return security_save_pf2file(pl.data(), u32(pl.size())); }

inline security_key_row predicted_row(const Bytes& factor_clear, u32 r) {
  security_key_row row{};
  testpcode_row(kBaseKey.data(), u32(kBaseKey.size()), factor_clear.data(),
                u32(factor_clear.size()), r, reinterpret_cast<u8*>(&row));
  return row;
}

inline void expect_lookup(const u8* id, const security_key_row* want) {
  security_key_row got{0, {}, {id[0], id[1], id[2]}};
  int keylen = 0;
  ASSERT_EQ(security_get_algorithm_and_key(got.id, &got.alg, got.key, &keylen), want ? 0 : -1);
  EXPECT_TRUE(!want || (keylen == 32 && !std::memcmp(&got, want, sizeof got)));
}

inline void provision_identity(u8 state = 1) {
  std::array<u8, 16> id = kDeviceId;
  std::array<u8, 12> ssn = kTpuSsn;
  Bytes v0 = srv_encipher(kBaseKey);
  ASSERT_EQ(security_save_deviceid_and_ssn(id.data(), ssn.data()), 0);
  ASSERT_EQ(security_save_v0(v0.data(), static_cast<int>(v0.size())), 0);
  ASSERT_EQ(state == 1 ? 0 : security_set_tpustate(state), 0);
}

inline void store_version(const Bytes& f, const std::string& variant = "") {
  ASSERT_EQ(save_pf(payload(plugin_image(variant), f)), 0);
}

using DbCopy = std::unique_ptr<security_db, decltype(&security_dbdetach)>;
inline DbCopy held() { return {security_dbattach(&security_get_ctx()->dbFd), security_dbdetach}; }
inline int flush(const DbCopy& db) { return security_dbflush(security_get_ctx()->dbFd, db.get()); }
inline security_db read_db() {
  security_db copy{};
  if (DbCopy db = held()) std::memcpy(&copy, db.get(), sizeof copy);
  return copy;
}

inline std::string rec() {
  const security_db db = read_db();
  char s[32];
  std::snprintf(s, sizeof s, "%d %02x%02x %02x%02x", db.state, db.savekeyver[0], db.savekeyver[1],
                db.runkeyver[0], db.runkeyver[1]);
  return s;
}

inline std::string store_file(const std::string& logical) {
  char out[33] = {};
  EXPECT_EQ(security_get_encfilename(logical.c_str(), out), 0);
  return std::string("etc/poskey/") + out;
}

inline void start_unit(const Bytes& f) {
  provision_identity();
  store_version(f);
  ASSERT_EQ(security_set_tpustate(2), 0);
  security_exit();
  ASSERT_EQ(security_init(), 0);
}

}  // namespace sectest

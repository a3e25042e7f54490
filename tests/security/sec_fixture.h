// A simulated board for the security tests: fuse file, store and temporary
// directories in a scratch root, and the server's side of the key material
// (items enciphered under the unit's server data key, key payloads, the
// rows the test plug-in will produce).
#pragma once

#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../core/security_store.h"
#include "../../tools/testplugin/testpcode.h"
#include "test_support.h"
#include "ztpu/crypto.h"
#include "ztpu/keyfilehandle.h"
#include "ztpu/security.h"

namespace sectest {

using Bytes = std::vector<u8>;

inline const std::array<u8, 16> kDeviceId = {0xD0, 1, 2,  3,  4,  5,  6,  7,
                                             8,    9, 10, 11, 12, 13, 14, 15};
inline const std::array<u8, 12> kTpuSsn = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56,
                                           0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C};
inline const Bytes kBaseKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA};

class Board {
 public:
  explicit Board(const std::string& fuse = "0x0123456789ABCDEF\n") {
    dir.write("sys/fsl_otp/HW_OCOTP_CUST0", fuse);
    dir.mkdirs("etc/poskey");
    dir.mkdirs("tmp");
    dir.mkdirs("var/log");
  }
  ~Board() { security_exit(); }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  ztpu_test::ScratchDir dir;
};

// What the server does: 3DES-OFB under MD5(tpuSSN) extended to 24 bytes.
inline Bytes srv_encipher(const Bytes& clear, const std::array<u8, 12>& ssn = kTpuSsn) {
  std::array<u8, 16> md{};
  crypto_md5(const_cast<u8*>(ssn.data()), 12, md.data());
  std::array<u8, 24> key{};
  std::memcpy(key.data(), md.data(), 16);
  for (int i = 0; i < 8; ++i) key[16 + i] = md[2 * i];
  Bytes in = clear;
  Bytes out(in.size() + 16);
  crypto_param p{11, in.data(), static_cast<int>(in.size()), key.data(), 24, key.data(), 24, 1};
  int n = 0;
  EXPECT_EQ(crypto_crypt(&p, out.data(), &n), 0);
  out.resize(static_cast<size_t>(n));
  return out;
}

inline Bytes plugin_image(const std::string& variant = "") {
  std::string path = ztpu_test::build_dir() + "/lib/libztpu_testpcode" +
                     (variant.empty() ? "" : "_" + variant) + ".so";
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Clear factor: version, row count, key-id bytes, mode (0: varied).
inline Bytes factor(u8 v0, u8 v1, u8 rows = 8, u8 id0 = 0, u8 id1 = 0, u8 alg = 0) {
  return Bytes{v0, v1, rows, id0 == 0 && id1 == 0 ? v0 : id0, id0 == 0 && id1 == 0 ? v1 : id1, alg};
}

// Key payload as the server delivers it; an empty image gives P = 0.
inline Bytes payload(const Bytes& image, const Bytes& factor_clear) {
  Bytes enc_img = image.empty() ? Bytes{} : srv_encipher(image);
  Bytes enc_f = srv_encipher(factor_clear);
  Bytes out(4);
  u32 p = static_cast<u32>(enc_img.size());
  std::memcpy(out.data(), &p, 4);
  out.insert(out.end(), enc_img.begin(), enc_img.end());
  u16 f = static_cast<u16>(enc_f.size());
  out.push_back(static_cast<u8>(f & 0xFF));
  out.push_back(static_cast<u8>(f >> 8));
  out.insert(out.end(), enc_f.begin(), enc_f.end());
  return out;
}

inline security_key_row predicted_row(const Bytes& factor_clear, u32 r,
                                      const Bytes& base = kBaseKey) {
  security_key_row row{};
  testpcode_row(base.data(), static_cast<u32>(base.size()), factor_clear.data(),
                static_cast<u32>(factor_clear.size()), r, reinterpret_cast<u8*>(&row));
  return row;
}

// Identity and base key stored through the module; the unit stays in state 1
// unless `state` says otherwise.
inline void provision_identity(u8 state = 1) {
  std::array<u8, 16> id = kDeviceId;
  std::array<u8, 12> ssn = kTpuSsn;
  ASSERT_EQ(security_save_deviceid_and_ssn(id.data(), ssn.data()), 0);
  Bytes v0 = srv_encipher(kBaseKey);
  ASSERT_EQ(security_save_v0(v0.data(), static_cast<int>(v0.size())), 0);
  if (state != 1) {
    ASSERT_EQ(security_set_tpustate(state), 0);
  }
}

// Stores the key files of a version (in state 1 the unit also switches to it).
inline void store_version(const Bytes& factor_clear, const std::string& variant = "") {
  Bytes pl = payload(plugin_image(variant), factor_clear);
  ASSERT_EQ(security_save_pf2file(pl.data(), static_cast<u32>(pl.size())), 0);
}

inline security_db* attach() { return security_dbattach(&security_get_ctx()->dbFd); }

// Reads the record through a fresh attach.
inline security_db read_db() {
  security_db copy{};
  security_db* db = attach();
  EXPECT_NE(db, nullptr);
  if (db != nullptr) std::memcpy(&copy, db, sizeof copy);
  security_dbdetach(db);
  return copy;
}

inline std::string enc_name(const std::string& logical) {
  char out[33] = {};
  EXPECT_EQ(security_get_encfilename(logical.c_str(), out), 0);
  return out;
}

// Path of a store file from its logical name.
inline std::string store_file(const std::string& logical) {
  return "etc/poskey/" + enc_name(logical);
}

// A unit started (state 2) on the key files of `f`.
inline void start_unit(const Bytes& f) {
  provision_identity();
  store_version(f);
  ASSERT_EQ(security_set_tpustate(2), 0);
  security_exit();
  ASSERT_EQ(security_init(), 0);
}

}  // namespace sectest

#include "ztpu/crypto.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>
#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using ztpu_test::LogCapture;
using ztpu_test::ScratchDir;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes hex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(std::stoi(h.substr(i, 2), nullptr, 16));
  return b;
}

std::string to_hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

struct Result {
  int rc;
  Bytes out;
};

Result run(int mode, Bytes in, Bytes key, Bytes iv, bool encrypt) {
  const auto n = [](const Bytes& b) { return static_cast<int>(b.size()); };
  crypto_param p{mode, in.data(), n(in), key.data(), n(key), iv.data(), n(iv), encrypt ? 1 : 0};
  Bytes out(in.size() + 32, 0xEE);
  int outl = 0;
  int rc = crypto_crypt(&p, out.data(), &outl);
  out.resize(rc == 0 ? static_cast<size_t>(outl) : 0);
  return {rc, out};
}

struct ModeInfo {
  const char* enc_name;  // name for the openssl command
  int keylen;
  int ivlen;
};

// Indexed by mode.
// clang-format off
constexpr ModeInfo kModes[] = {
  {"", 0, 0},
  {"des-cbc", 8, 8}, {"des-ecb", 8, 0}, {"des-cfb", 8, 8}, {"des-ofb", 8, 8},
  {"des-ede-cbc", 16, 8}, {"des-ede", 16, 0}, {"des-ede-ofb", 16, 8}, {"des-ede-cfb", 16, 8},
  {"des-ede3-cbc", 24, 8}, {"des-ede3", 24, 0}, {"des-ede3-ofb", 24, 8}, {"des-ede3-cfb", 24, 8},
  {"aes-128-ecb", 16, 0}, {"aes-128-cbc", 16, 16}, {"aes-128-cfb", 16, 16}, {"aes-128-ofb", 16, 16},
  {"aes-192-ecb", 24, 0}, {"aes-192-cbc", 24, 16}, {"aes-192-cfb", 24, 16}, {"aes-192-ofb", 24, 16},
  {"aes-256-ecb", 32, 0}, {"aes-256-cbc", 32, 16}, {"aes-256-cfb", 32, 16}, {"aes-256-ofb", 32, 16},
  {"bf-ecb", 16, 0}, {"bf-cbc", 16, 8}, {"bf-cfb", 16, 8}, {"bf-ofb", 16, 8}};
// clang-format on

// Runs the openssl command line tool on `in`; returns its output.
Bytes openssl_enc(int mode, const Bytes& in, const Bytes& key, const Bytes& iv) {
  ScratchDir dir;
  dir.write("in.bin", std::string(in.begin(), in.end()));
  const ModeInfo& mi = kModes[mode];
  std::string cmd = std::string("openssl enc -e -") + mi.enc_name + " -nosalt -K " +
                    to_hex(key.data(), static_cast<size_t>(mi.keylen));
  if (mi.ivlen > 0) cmd += " -iv " + to_hex(iv.data(), static_cast<size_t>(mi.ivlen));
  if (mode <= 4 || mode >= 25) cmd += " -provider legacy -provider default";
  cmd += " -in in.bin 2>/dev/null";
  Bytes out;
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return out;
  std::array<unsigned char, 256> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), f)) > 0)
    out.insert(out.end(), buf.data(), buf.data() + n);
  EXPECT_EQ(pclose(f), 0) << cmd;
  return out;
}

}  // namespace

TEST(CryptoChecksum, CrcCheckValuesAndEmptyInput) {
  unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crypto_crc8(digits, 9), 0xA1);
  EXPECT_EQ(crypto_crc16(digits, 9), 0x31C3);
  EXPECT_EQ(crypto_crc8(digits, 0), 0);
  EXPECT_EQ(crypto_crc16(digits, 0), 0);
  EXPECT_EQ(crypto_crc8(digits, -5), 0);
  EXPECT_EQ(crypto_crc16(digits, -5), 0);
  std::array<unsigned char, 24> zeros{};
  EXPECT_EQ(crypto_crc16(zeros.data(), 24), 0);
}

TEST(CryptoDigest, Md5OfBufferAndFile) {
  std::array<unsigned char, 16> d{};
  unsigned char abc[] = {'a', 'b', 'c'};
  ASSERT_EQ(crypto_md5(abc, 0, d.data()), 0);
  EXPECT_EQ(to_hex(d.data(), 16), "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_EQ(crypto_md5(abc, 3, d.data()), 0);
  EXPECT_EQ(to_hex(d.data(), 16), "900150983cd24fb0d6963f7d28e17f72");

  LogCapture cap;
  EXPECT_EQ(crypto_md5(abc, 3, nullptr), -1);
  EXPECT_EQ(crypto_md5(abc, -1, d.data()), -1);
  EXPECT_EQ(cap.count("no data.\n"), 2u);

  ScratchDir dir;
  std::string big(1000, 'x');  // several 256-byte chunks and a partial one
  dir.write("f.bin", big);
  std::array<unsigned char, 16> fd{};
  ASSERT_GE(crypto_file_md5("f.bin", fd.data()), 0);
  ASSERT_EQ(crypto_md5(reinterpret_cast<unsigned char*>(big.data()), 1000, d.data()), 0);
  EXPECT_EQ(fd, d);
  EXPECT_EQ(crypto_file_md5("missing.bin", fd.data()), -1);
  // A directory opens but cannot be read: no digest is claimed for it.
  dir.mkdirs("sub");
  EXPECT_EQ(crypto_file_md5("sub", fd.data()), -1);
}

// Published vectors: FIPS 81 (DES), SP 800-67 (TDEA), SP 800-38A (AES; the
// chained modes of the longer keys are left to the openssl comparison),
// Schneier's and Eric Young's Blowfish sets. Only the blocks given are
// compared; padding may follow.
TEST(CryptoCipher, KnownVectors) {
  struct V {
    int mode;
    const char* key;
    const char* iv;
    const char* pt;
    const char* ct;
  };
  const char* fips81_pt = "4e6f77206973207468652074696d6520666f7220616c6c20";
  const char* sp38a_pt = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51";
  const char* k128 = "2b7e151628aed2a6abf7158809cf4f3c";
  const char* k192 = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b";
  const char* k256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
  const char* iv16 = "000102030405060708090a0b0c0d0e0f";
  const V vs[] = {
      {1, "0123456789abcdef", "1234567890abcdef", fips81_pt,
       "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
      {2, "0123456789abcdef", "", fips81_pt, "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
      {3, "0123456789abcdef", "1234567890abcdef", fips81_pt,
       "f3096249c7f46e51a69e839b1a92f78403467133898ea622"},
      {4, "0123456789abcdef", "1234567890abcdef", fips81_pt,
       "f3096249c7f46e5135f24a242eeb3d3f3d6d5be3255af8c3"},
      // Two-key triple DES with K1 = K2 is single DES.
      {6, "133457799bbcdff1133457799bbcdff1", "", "0123456789abcdef", "85e813540f0ab405"},
      {10, "0123456789abcdef23456789abcdef01456789abcdef0123", "",
       "5468652071756663"
       "6b2062726f776e20"
       "666f78206a756d70",
       "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
      {13, k128, "", sp38a_pt, "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"},
      {14, k128, iv16, sp38a_pt,
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"},
      {15, k128, iv16, sp38a_pt,
       "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"},
      {16, k128, iv16, sp38a_pt,
       "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"},
      {17, k192, "", sp38a_pt, "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"},
      {21, k256, "", sp38a_pt, "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"},
      {25, "", "", "0000000000000000", "4ef997456198dd78"},
      {25, "f0e1d2c3b4a5968778695a4b3c2d1e0f", "", "fedcba9876543210", "93142887ee3be15c"},
      {26, "0123456789abcdeff0e1d2c3b4a59687", "fedcba9876543210",
       "37363534333231204e6f77206973207468652074696d6520666f722000000000",
       "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc"},
  };
  for (const V& v : vs) {
    SCOPED_TRACE(testing::Message() << "mode " << v.mode << " key " << v.key);
    Bytes pt = hex(v.pt);
    Result e = run(v.mode, pt, hex(v.key), hex(v.iv), true);
    ASSERT_EQ(e.rc, 0);
    std::string want = v.ct;
    ASSERT_GE(e.out.size() * 2, want.size());
    EXPECT_EQ(to_hex(e.out).substr(0, want.size()), want);
    Result d = run(v.mode, e.out, hex(v.key), hex(v.iv), false);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.out, pt);
  }
}

// Every mode against the openssl command on input that is not a whole
// number of blocks, and back again.
TEST(CryptoCipher, AllModesMatchOpensslCommand) {
  Bytes key(32), iv(32), pt(37);
  for (size_t i = 0; i < 32; ++i) {
    key[i] = static_cast<unsigned char>(0x11 * (i % 15) + i);
    iv[i] = static_cast<unsigned char>(0xA5 ^ (i * 7));
  }
  for (size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<unsigned char>(i * 13 + 1);
  for (int mode = 1; mode <= 28; ++mode) {
    SCOPED_TRACE(testing::Message() << "mode " << mode << " (" << kModes[mode].enc_name << ")");
    Result e = run(mode, pt, key, iv, true);
    ASSERT_EQ(e.rc, 0);
    EXPECT_EQ(to_hex(e.out), to_hex(openssl_enc(mode, pt, key, iv)));
    Result d = run(mode, e.out, key, iv, false);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.out, pt);
  }
}

TEST(CryptoCipher, OutputLengthsAndPadding) {
  Bytes key(16, 0x42);
  // A whole block in CBC gains a full padding block; CFB keeps the length.
  EXPECT_EQ(run(14, Bytes(16, 1), key, key, true).out.size(), 32u);
  EXPECT_EQ(run(15, Bytes(21, 1), key, key, true).out.size(), 21u);
  EXPECT_EQ(run(5, Bytes(8, 1), key, key, true).out.size(), 16u);
  EXPECT_EQ(run(25, Bytes(0), key, key, true).out.size(), 8u);
  EXPECT_EQ(run(24, Bytes(0), key, key, true).out.size(), 0u);
}

TEST(CryptoCipher, KeyAndIvAreZeroPaddedOrIgnored) {
  Bytes pt(40, 0x5A);
  Bytes k16(16);
  for (size_t i = 0; i < 16; ++i) k16[i] = static_cast<unsigned char>(i + 1);
  Bytes k32 = k16;
  k32.resize(32, 0);
  // AES-256 with a 16-byte key uses 16 zero bytes behind it.
  EXPECT_EQ(run(22, pt, k16, k16, true).out, run(22, pt, k32, k16, true).out);
  // 10-byte key with AES-128.
  Bytes k10(k16.begin(), k16.begin() + 10), k10p = k10;
  k10p.resize(16, 0);
  EXPECT_EQ(run(15, pt, k10, k16, true).out, run(15, pt, k10p, k16, true).out);
  // Only the first 8 bytes of a 24-byte IV reach triple DES.
  Bytes k24(24, 0x33), iv24(24), iv8;
  for (size_t i = 0; i < 24; ++i) iv24[i] = static_cast<unsigned char>(0xF0 - i);
  iv8.assign(iv24.begin(), iv24.begin() + 8);
  EXPECT_EQ(run(11, pt, k24, iv24, true).out, run(11, pt, k24, iv8, true).out);
  // Bytes beyond the key length of the cipher are ignored.
  Bytes k24b = k24;
  k24b[20] ^= 0xFF;
  EXPECT_NE(run(9, pt, k24, iv8, true).out, run(9, pt, k24b, iv8, true).out);
  EXPECT_EQ(run(5, pt, k24, iv8, true).out, run(5, pt, k24b, iv8, true).out);
  // Lengths 0 and 33 leave the key all zeros; IV length 0 leaves the IV zero.
  Bytes zeros(32, 0), k33(33, 0x77);
  Bytes all0 = run(14, pt, zeros, zeros, true).out;
  EXPECT_EQ(run(14, pt, Bytes{}, Bytes{}, true).out, all0);
  EXPECT_EQ(run(14, pt, k33, k33, true).out, all0);
  EXPECT_NE(run(14, pt, k16, Bytes{}, true).out, all0);
}

TEST(CryptoCipher, BadModeAndBadDecipherFail) {
  LogCapture cap;
  Bytes in(16, 1);
  for (int mode : {0, 29, -1}) {
    crypto_param p{mode, in.data(), 16, in.data(), 16, in.data(), 16, 1};
    std::array<unsigned char, 48> out{};
    out.fill(0xEE);
    int outl = 1234;
    EXPECT_EQ(crypto_crypt(&p, out.data(), &outl), -1);
    EXPECT_EQ(outl, 1234);
    for (unsigned char c : out) ASSERT_EQ(c, 0xEE);
  }
  EXPECT_EQ(cap.count("algorithm error.\n"), 3u);

  Bytes key(16, 0x01), wrong(16, 0x02);
  Bytes ct = run(14, Bytes(21, 9), key, key, true).out;
  ASSERT_EQ(ct.size(), 32u);
  EXPECT_EQ(run(14, ct, wrong, key, false).rc, -1);
  EXPECT_TRUE(cap.contains("EVP_DecryptFinal_ex() error...", LOG_ERR));
  // A truncated block cannot be deciphered either.
  ct.resize(31);
  EXPECT_EQ(run(14, ct, key, key, false).rc, -1);

  crypto_param p{14, nullptr, 5, key.data(), 16, key.data(), 16, 1};
  int outl = 0;
  std::array<unsigned char, 32> out{};
  EXPECT_EQ(crypto_crypt(&p, out.data(), &outl), -1);
}

// One key pair serves every case: generating it is the slow part.
TEST(CryptoRsa, RoundTripsBothWaysAndRefusesBadInput) {
  ScratchDir dir;
  ASSERT_EQ(std::system("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 "
                        "-out priv.pem 2>/dev/null && "
                        "openssl pkey -in priv.pem -pubout -out pub.pem 2>/dev/null"),
            0);
  using Rsa = std::unique_ptr<crypto_rsa, decltype(&crypto_rsa_free)>;
  Rsa pub(ssl_rsa_new("pub.pem", 1), crypto_rsa_free),
      priv(ssl_rsa_new("priv.pem", 0), crypto_rsa_free);
  ASSERT_TRUE(pub && priv);
  EXPECT_EQ(pub->pub, 1);
  EXPECT_EQ(priv->pub, 0);

  unsigned char msg[] = "fare gate board";
  std::array<unsigned char, 128> ct{}, back{};
  // Public-key encryption recovered with the private key and the other way round.
  for (auto [enc, dec] : {std::pair{pub.get(), priv.get()}, {priv.get(), pub.get()}}) {
    int outl = 1, backl = 1;
    ASSERT_EQ(crypto_rsa_encrypt(msg, 15, ct.data(), &outl, enc, RSA_PKCS1_PADDING), 0);
    EXPECT_EQ(outl, 128);
    ASSERT_EQ(crypto_rsa_decrypt(ct.data(), outl, back.data(), &backl, dec, RSA_PKCS1_PADDING), 0);
    ASSERT_EQ(backl, 15);
    EXPECT_EQ(std::memcmp(back.data(), msg, 15), 0);
  }
  // A tampered text fails the RSA operation: 1, and -1 at outl.
  ct[5] ^= 0x01;
  int backl = 1;
  EXPECT_EQ(crypto_rsa_decrypt(ct.data(), 128, back.data(), &backl, pub.get(), RSA_PKCS1_PADDING),
            1);
  EXPECT_EQ(backl, -1);

  LogCapture cap;
  int outl = 0;
  EXPECT_EQ(crypto_rsa_encrypt(msg, 4, ct.data(), &outl, pub.get(), RSA_PKCS1_PADDING), -1);
  outl = 1;
  EXPECT_EQ(crypto_rsa_encrypt(msg, 0, ct.data(), &outl, pub.get(), RSA_PKCS1_PADDING), -1);
  EXPECT_EQ(crypto_rsa_decrypt(msg, 4, ct.data(), &outl, nullptr, RSA_PKCS1_PADDING), -1);
  EXPECT_EQ(cap.count("parameters is NULL.\n"), 3u);

  EXPECT_EQ(ssl_rsa_new("nothing.pem", 1), nullptr);
  EXPECT_TRUE(cap.contains("ERROR: BIO_new_file().\n"));
  dir.write("junk.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
  EXPECT_EQ(ssl_rsa_new("junk.pem", 1), nullptr);
  // A public key file gives no private handle.
  EXPECT_EQ(ssl_rsa_new("pub.pem", 0), nullptr);
  EXPECT_EQ(cap.count("create RSA FAIL.\n"), 2u);
  crypto_rsa_free(nullptr);
}

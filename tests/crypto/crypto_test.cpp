#include "ztpu/crypto.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using ztpu_test::ScratchDir;
using Bytes = std::vector<unsigned char>;

namespace {

std::string to_hex(const Bytes& b) {
  std::string s;
  for (unsigned char c : b) s += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return s;
}

const Bytes kFailed = {0xFF, 0xFF};
Bytes run(int mode, Bytes in, Bytes key, Bytes iv, bool encrypt = true) {
  const auto n = [](const Bytes& b) { return static_cast<int>(b.size()); };
  crypto_param p{mode, in.data(), n(in), key.data(), n(key), iv.data(), n(iv), encrypt ? 1 : 0};
  Bytes out(in.size() + 32);
  int outl = 0;
  if (crypto_crypt(&p, out.data(), &outl) != 0) return kFailed;
  out.resize(static_cast<size_t>(outl));
  return out;
}

// clang-format off
const char* const kModes[] = {"",
    "des-cbc", "des-ecb", "des-cfb", "des-ofb", "des-ede-cbc", "des-ede", "des-ede-ofb",
    "des-ede-cfb", "des-ede3-cbc", "des-ede3", "des-ede3-ofb", "des-ede3-cfb", "aes-128-ecb",
    "aes-128-cbc", "aes-128-cfb", "aes-128-ofb", "aes-192-ecb", "aes-192-cbc", "aes-192-cfb",
    "aes-192-ofb", "aes-256-ecb", "aes-256-cbc", "aes-256-cfb", "aes-256-ofb", "bf-ecb", "bf-cbc",
    "bf-cfb", "bf-ofb"};
// clang-format on

Bytes openssl_enc(int mode, const Bytes& in, const Bytes& key, const Bytes& iv) {
  ScratchDir dir;
  dir.write("in.bin", std::string(in.begin(), in.end()));
  const std::string cmd = std::string("openssl enc -e -") + kModes[mode] + " -nosalt -K " +
                          to_hex(key) + " -iv " + to_hex(iv) +
                          " -provider legacy -provider default -in in.bin 2>/dev/null";
  Bytes out(256);
  FILE* f = popen(cmd.c_str(), "r");
  out.resize(f != nullptr ? fread(out.data(), 1, out.size(), f) : 0);
  EXPECT_EQ(f != nullptr ? pclose(f) : -1, 0) << cmd;
  return out;
}

}  // namespace

TEST(CryptoChecksum, CrcAndMd5) {
  unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crypto_crc8(digits, 9) * 0x10000 + crypto_crc16(digits, 9), 0xA131C3);
  for (int len : {0, -5}) EXPECT_EQ(crypto_crc8(digits, len) + crypto_crc16(digits, len), 0);
  Bytes d(16), fd(16);
  EXPECT_EQ(crypto_md5(digits, 0, d.data()) + crypto_md5(digits, 3, fd.data()), 0);
  EXPECT_EQ(to_hex(d) + to_hex(fd),
            "d41d8cd98f00b204e9800998ecf8427e202cb962ac59075b964b07152d234b70");
  EXPECT_EQ(crypto_md5(digits, 3, nullptr) + crypto_md5(digits, -1, d.data()), -2);
  ScratchDir dir;
  std::string big(1000, 'x');  // several 256-byte chunks and a partial one
  dir.write("f.bin", big);
  ASSERT_EQ(crypto_file_md5("f.bin", fd.data()), 0);
  ASSERT_EQ(crypto_md5(reinterpret_cast<unsigned char*>(big.data()), 1000, d.data()), 0);
  EXPECT_EQ(fd, d);
  dir.mkdirs("sub");  // opens but cannot be read: no digest is claimed for it
  EXPECT_EQ(crypto_file_md5("missing.bin", fd.data()) + crypto_file_md5("sub", fd.data()), -2);
}

// Every mode against the openssl command, on input not a whole number of blocks.
TEST(CryptoCipher, AllModesMatchOpensslCommand) {
  Bytes key(32), iv(32), pt(37);
  for (size_t i = 0; i < pt.size(); ++i) {
    pt[i] = static_cast<unsigned char>(i * 13 + 1);
    if (i < 32) key[i] = static_cast<unsigned char>(0x11 * (i % 15) + i), iv[i] = pt[i] ^ 0xA5;
  }
  for (int mode = 1; mode <= 28; ++mode) {
    const Bytes ct = run(mode, pt, key, iv);
    EXPECT_EQ(ct, openssl_enc(mode, pt, key, iv)) << kModes[mode];
    EXPECT_EQ(run(mode, ct, key, iv, false), pt) << kModes[mode];
  }
  // AES-256 with a 16-byte key uses 16 zero bytes behind it.
  Bytes k16(key.begin(), key.begin() + 16), k16z = k16;
  k16z.resize(32, 0);
  EXPECT_EQ(run(22, pt, k16, k16), run(22, pt, k16z, k16));
  // Lengths 0 and 33 leave the key all zeros; IV length 0 leaves the IV zero.
  const Bytes zeros(32, 0), k33(33, 0x77), all0 = run(14, pt, zeros, zeros);
  EXPECT_EQ(run(14, pt, Bytes{}, Bytes{}), all0);
  EXPECT_EQ(run(14, pt, k33, k33), all0);
  EXPECT_EQ(run(14, pt, k16, Bytes{}), run(14, pt, k16, zeros));
  // No input: a padding block in ECB, nothing in a stream mode.
  EXPECT_EQ(run(25, Bytes{}, key, iv).size() * 10 + run(24, Bytes{}, key, iv).size(), 80u);
}

TEST(CryptoCipher, BadModeAndBadDecipherFail) {
  Bytes in(16, 1);
  for (int mode : {0, 29, -1}) {
    crypto_param p{mode, in.data(), 16, in.data(), 16, in.data(), 16, 1};
    int outl = 1234;
    EXPECT_EQ(crypto_crypt(&p, in.data(), &outl), -1);
    EXPECT_EQ(outl, 1234);  // output untouched
  }
  Bytes key(16, 0x01), wrong(16, 0x02), ct = run(14, Bytes(21, 9), key, key);
  ASSERT_EQ(ct.size(), 32u);
  EXPECT_EQ(run(14, ct, wrong, key, false), kFailed);
  ct.resize(31);  // a truncated block cannot be deciphered either
  EXPECT_EQ(run(14, ct, key, key, false), kFailed);
  crypto_param p{14, nullptr, 5, key.data(), 16, key.data(), 16, 1};
  int outl = 0;
  EXPECT_EQ(crypto_crypt(&p, ct.data(), &outl), -1);
}

TEST(CryptoRsa, RoundTripsBothWaysAndRefusesBadInput) {
  ScratchDir dir;
  ASSERT_EQ(
      std::system("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out priv.pem "
                  "2>/dev/null && openssl pkey -in priv.pem -pubout -out pub.pem 2>/dev/null"),
      0);
  using Rsa = std::unique_ptr<crypto_rsa, decltype(&crypto_rsa_free)>;
  Rsa pub(ssl_rsa_new("pub.pem", 1), crypto_rsa_free),
      priv(ssl_rsa_new("priv.pem", 0), crypto_rsa_free);
  ASSERT_TRUE(pub && priv);
  EXPECT_EQ(pub->pub * 10 + priv->pub, 10);
  unsigned char msg[] = "fare gate board", ct[128], back[128];
  const int pad = RSA_PKCS1_PADDING;
  int outl = 1, backl = 1;
  for (auto [enc, dec] : {std::pair{pub.get(), priv.get()}, {priv.get(), pub.get()}}) {
    ASSERT_EQ(crypto_rsa_encrypt(msg, 15, ct, &outl, enc, pad), 0);
    ASSERT_EQ(crypto_rsa_decrypt(ct, outl, back, &backl, dec, pad), 0);
    EXPECT_EQ(outl * 1000 + backl, 128015);
    EXPECT_EQ(std::memcmp(back, msg, 15), 0);
  }
  ct[5] ^= 0x01;  // a tampered text fails the RSA operation: 1, and -1 at outl
  EXPECT_EQ(crypto_rsa_decrypt(ct, 128, back, &backl, pub.get(), pad) * 10 + backl, 9);
  outl = 0;
  EXPECT_EQ(crypto_rsa_encrypt(msg, 4, ct, &outl, pub.get(), pad), -1);
  outl = 1;
  EXPECT_EQ(crypto_rsa_encrypt(msg, 0, ct, &outl, pub.get(), pad), -1);
  EXPECT_EQ(crypto_rsa_decrypt(msg, 4, ct, &outl, nullptr, pad), -1);
  dir.write("junk.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
  for (auto [file, want_pub] : {std::pair{"nothing.pem", 1}, {"junk.pem", 1}, {"pub.pem", 0}})
    EXPECT_EQ(ssl_rsa_new(file, want_pub), nullptr) << file;
  crypto_rsa_free(nullptr);
}

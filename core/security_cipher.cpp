// Ticket and record cryptography on the key tables.
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "ztpu/crypto.h"
#include "ztpu/le.h"
#include "ztpu/log.h"
#include "ztpu/secret.h"
#include "ztpu/security.h"

namespace {

using KeyBuf = ztpu::Secret<32>;

// The user id's 4 bytes, little-endian, four times.
std::array<u8, 16> userid_key(u32 userid) {
  std::array<u8, 16> key{};
  for (size_t i = 0; i < key.size(); i += 4) ztpu::put_le32(&key[i], userid);
  return key;
}

int cipher(int mode, u8* in, int inl, u8* key, int keyl, u8* iv, int ivl, bool enc, u8* out,
           int* outl) {
  crypto_param p{mode, in, inl, key, keyl, iv, ivl, enc ? 1 : 0};
  return crypto_crypt(&p, out, outl);
}

// CRC-8 of bytes 4 to 11 of the MD5 of the first n bytes.
int sign_code(u8* data, int n, u8* code) {
  std::array<u8, 16> md{};
  if (crypto_md5(data, n, md.data()) != 0) return -1;
  *code = crypto_crc8(md.data() + 4, 8);
  return 0;
}

constexpr int kVoucherWork = 256;
using VoucherClear = ztpu::Secret<kVoucherWork>;

// Looks the voucher's key up and deciphers it into `clear` (n bytes): 0,
// -1 on an unknown key id (the lookup logs), -2 on a refused length or a
// cipher failure.
int decipher(const decrypt_voucher_param& in, VoucherClear& clear, int& n, u8& alg) {
  KeyBuf key;
  int keylen = 0;
  if (security_get_algorithm_and_key(in.keyid, &alg, key.b.data(), &keylen) != 0) return -1;
  if (in.voucher == nullptr || in.voucherlen < 0 || in.voucherlen > SECURITY_VOUCHER_MAX) {
    ztpu_log(LOG_ERR, "%s: voucher length %d refused\n", "security_decrypt_voucher", in.voucherlen);
    return -2;
  }
  n = 0;
  if (cipher(alg, in.voucher, in.voucherlen, key.b.data(), 32, key.b.data(), 32, false,
             clear.b.data(), &n) != 0)
    return -2;
  return 0;
}

// Deciphers an entry record and gives the sign code its clear bytes call for.
int open_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl, u8* code) {
  if (data == nullptr || out == nullptr || outl == nullptr || datalen < 1) return -1;
  if (*outl < datalen) return -1;
  std::array<u8, 16> key = userid_key(userid);
  const int rc =
      cipher(CRYPTO_AES128_CFB, data, datalen, key.data(), 16, key.data(), 16, false, out, outl);
  ztpu_wipe(key.data(), key.size());
  if (rc != 0) {
    ztpu_log(LOG_ERR, "crypto_crypt entInfo err!!\n");
    return -1;
  }
  if (sign_code(out, datalen - 1, code) != 0) {
    ztpu_log(LOG_ERR, "%s crypto_md5 err!!\n", "security_decrypt_enterinfo");
    return -1;
  }
  return 0;
}

}  // namespace

int security_decrypt_voucher(struct decrypt_voucher_param* in, u8* out, int* outl) {
  if (in == nullptr || in->keyid == nullptr || out == nullptr || outl == nullptr) return -1;
  VoucherClear clear;
  int n = 0;
  u8 alg = 0;
  if (decipher(*in, clear, n, alg) != 0) return -1;
  if (n < 2) {
    ztpu_log(LOG_ERR, "%s: voucher length %d refused\n", "security_decrypt_voucher", n);
    return -1;
  }
  if (*outl < n) return -1;
  std::memcpy(out, clear.b.data(), static_cast<size_t>(n));
  *outl = n;
  const u16 crc = crypto_crc16(clear.b.data(), n - 2);
  const u8 a = clear.b[static_cast<size_t>(n - 2)];
  const u8 b = clear.b[static_cast<size_t>(n - 1)];
  if ((a == (crc >> 8) && b == (crc & 0xFF)) || (a == (crc & 0xFF) && b == (crc >> 8))) return 0;
  ztpu_log(LOG_ERR, "signature err(%s)!!!\n", "security_decrypt_voucher");
  return -1;
}

int security_decipher_voucher(struct decrypt_voucher_param* in, u8* out, int* outl, u8* alg) {
  if (in == nullptr || in->keyid == nullptr || out == nullptr || outl == nullptr || alg == nullptr)
    return -2;
  VoucherClear clear;
  int n = 0;
  if (const int rc = decipher(*in, clear, n, *alg); rc != 0) return rc;
  if (*outl < n) return -2;
  std::memcpy(out, clear.b.data(), static_cast<size_t>(n));
  *outl = n;
  return 0;
}

int security_gen_tac(u8* data, int datalen, u8* nOutKeyId, u8* out, int* outl) {
  if (outl == nullptr || *outl < 16) return -1;
  if ((data == nullptr && datalen > 0) || datalen < 0 || datalen > (1 << 20) ||
      nOutKeyId == nullptr || out == nullptr)
    return -1;
  std::array<u8, 3> id{};
  int idlen = 3;
  u8 alg = 0;
  KeyBuf key;
  int keylen = 32;
  if (security_get_random_alg_and_key(id.data(), &idlen, &alg, key.b.data(), &keylen) != 0)
    return -1;
  // Room for the data and one block of padding.
  std::unique_ptr<u8[]> ct(new (std::nothrow) u8[static_cast<size_t>(datalen) + 32]);
  if (!ct) {
    ztpu_log(LOG_ERR, "%s: alloc %d bytes error\n", "security_gen_tac", datalen + 32);
    return -1;
  }
  int n = 0;
  if (cipher(alg, data, datalen, key.b.data(), 32, key.b.data(), 32, true, ct.get(), &n) != 0) {
    ztpu_log(LOG_ERR, "%s: crypto_crypt err...\n", "security_gen_tac");
    return -1;
  }
  if (crypto_md5(ct.get(), n, out) != 0) {
    ztpu_log(LOG_ERR, "%s tac calculate failed...\n", "security_gen_tac");
    return -1;
  }
  std::memcpy(nOutKeyId, id.data(), 3);
  *outl = 16;
  return 0;
}

int security_encrypt_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl) {
  if (data == nullptr || out == nullptr || outl == nullptr || datalen < 1) return -1;
  if (*outl < datalen) return -1;
  u8 code = 0;
  if (sign_code(data, datalen - 1, &code) != 0) return -1;
  data[datalen - 1] = code;
  std::array<u8, 16> key = userid_key(userid);
  const int rc =
      cipher(CRYPTO_AES128_CFB, data, datalen, key.data(), 16, key.data(), 16, true, out, outl);
  ztpu_wipe(key.data(), key.size());
  return rc;
}

int security_decrypt_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl) {
  u8 code = 0;
  if (open_enterinfo(userid, data, datalen, out, outl, &code) != 0) return -1;
  if (out[datalen - 1] == code) return 0;
  ztpu_log(LOG_ERR, "%s: signCode:%x, crc8Cal:%0x\n", "security_decrypt_enterinfo",
           out[datalen - 1], code);
  return -1;
}

int security_decipher_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl, u8* code) {
  if (code == nullptr) return -1;
  return open_enterinfo(userid, data, datalen, out, outl, code);
}

int security_encrypt_rsp2app_data(struct encrypt_rsp2app_param* in, u8* out, int* outl) {
  if (in == nullptr || out == nullptr || outl == nullptr || in->datalen < 0 ||
      (in->data == nullptr && in->datalen > 0))
    return -1;
  std::array<u8, 16> iv = userid_key(in->userid);
  if (cipher(CRYPTO_AES128_CFB, in->data, in->datalen, in->ticket, in->ticketlen, iv.data(), 16,
             true, out, outl) != 0) {
    ztpu_log(LOG_ERR, "%s crypto_crypt err!!\n", "security_encrypt_rsp2app_data");
    return -1;
  }
  return 0;
}

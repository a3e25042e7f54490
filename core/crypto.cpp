#include "ztpu/crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "ztpu/log.h"
#include "ztpu/secret.h"

namespace {

// ---- CRC tables, built by the compiler --------------------------------------

constexpr std::array<std::uint8_t, 256> make_crc8_table() {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    auto c = static_cast<std::uint8_t>(i);
    for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<std::uint8_t>((c >> 1) ^ 0x8C) : c >> 1;
    t[i] = c;
  }
  return t;
}

constexpr std::array<std::uint16_t, 256> make_crc16_table() {
  std::array<std::uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    auto c = static_cast<std::uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b)
      c = (c & 0x8000) ? static_cast<std::uint16_t>((c << 1) ^ 0x1021)
                       : static_cast<std::uint16_t>(c << 1);
    t[i] = c;
  }
  return t;
}

constexpr std::array<std::uint8_t, 256> crc8_table = make_crc8_table();
constexpr std::array<std::uint16_t, 256> crc16_table = make_crc16_table();

static_assert(crc8_table[1] == 0x5E && crc8_table[255] == 0x35);
static_assert(crc16_table[1] == 0x1021 && crc16_table[255] == 0x1EF0);

// ---- Library object owners ---------------------------------------------------

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// ---- Providers ---------------------------------------------------------------

// Single DES and Blowfish live in OpenSSL 3's legacy provider. Loading any
// provider explicitly stops the default one from loading by itself, so both
// are loaded, once, and unloaded at exit (before the library's own cleanup).
struct Providers {
  OSSL_PROVIDER* def = nullptr;
  OSSL_PROVIDER* legacy = nullptr;
  Providers() {
    def = OSSL_PROVIDER_load(nullptr, "default");
    legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    if (def == nullptr) ztpu_log(LOG_ERR, "crypto: default provider not loaded\n");
    if (legacy == nullptr)
      ztpu_log(LOG_ERR, "crypto: legacy provider not loaded, DES and Blowfish unavailable\n");
  }
  ~Providers() {
    if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
    if (def != nullptr) OSSL_PROVIDER_unload(def);
  }
  Providers(const Providers&) = delete;
  Providers& operator=(const Providers&) = delete;
};

bool legacy_available() {
  static const Providers providers;
  return providers.legacy != nullptr;
}

bool needs_legacy(int mode) { return (mode >= 1 && mode <= 4) || (mode >= 25 && mode <= 28); }

const EVP_CIPHER* cipher_of(int mode) {
  switch (mode) {
    case 1:
      return EVP_des_cbc();
    case 2:
      return EVP_des_ecb();
    case 3:
      return EVP_des_cfb64();
    case 4:
      return EVP_des_ofb();
    case 5:
      return EVP_des_ede_cbc();
    case 6:
      return EVP_des_ede();
    case 7:
      return EVP_des_ede_ofb();
    case 8:
      return EVP_des_ede_cfb64();
    case 9:
      return EVP_des_ede3_cbc();
    case 10:
      return EVP_des_ede3();
    case 11:
      return EVP_des_ede3_ofb();
    case 12:
      return EVP_des_ede3_cfb64();
    case 13:
      return EVP_aes_128_ecb();
    case 14:
      return EVP_aes_128_cbc();
    case 15:
      return EVP_aes_128_cfb128();
    case 16:
      return EVP_aes_128_ofb();
    case 17:
      return EVP_aes_192_ecb();
    case 18:
      return EVP_aes_192_cbc();
    case 19:
      return EVP_aes_192_cfb128();
    case 20:
      return EVP_aes_192_ofb();
    case 21:
      return EVP_aes_256_ecb();
    case 22:
      return EVP_aes_256_cbc();
    case 23:
      return EVP_aes_256_cfb128();
    case 24:
      return EVP_aes_256_ofb();
    case 25:
      return EVP_bf_ecb();
    case 26:
      return EVP_bf_cbc();
    case 27:
      return EVP_bf_cfb64();
    case 28:
      return EVP_bf_ofb();
    default:
      return nullptr;
  }
}

EVP_PKEY* pkey_of(const crypto_rsa* r) { return static_cast<EVP_PKEY*>(r->rsa); }

bool rsa_args_ok(const unsigned char* in, int inl, const unsigned char* out, const int* outl,
                 const crypto_rsa* rsa) {
  return in != nullptr && inl > 0 && out != nullptr && rsa != nullptr && outl != nullptr &&
         *outl > 0 && rsa->rsa != nullptr;
}

// One raw RSA operation; returns the output length or -1.
int rsa_op(bool encrypt, const unsigned char* in, int inl, unsigned char* out, crypto_rsa* rsa,
           int padding) {
  EVP_PKEY* key = pkey_of(rsa);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx) return -1;
  const bool pub = rsa->pub != 0;
  int rc;
  if (encrypt)
    rc = pub ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_sign_init(ctx.get());
  else
    rc = pub ? EVP_PKEY_verify_recover_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get());
  if (rc <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) <= 0) return -1;

  const int size = EVP_PKEY_get_size(key);
  if (size <= 0) return -1;
  size_t outlen = static_cast<size_t>(size);
  const auto n = static_cast<size_t>(inl);
  if (encrypt)
    rc = pub ? EVP_PKEY_encrypt(ctx.get(), out, &outlen, in, n)
             : EVP_PKEY_sign(ctx.get(), out, &outlen, in, n);
  else
    rc = pub ? EVP_PKEY_verify_recover(ctx.get(), out, &outlen, in, n)
             : EVP_PKEY_decrypt(ctx.get(), out, &outlen, in, n);
  if (rc <= 0) return -1;
  return static_cast<int>(outlen);
}

int rsa_run(bool encrypt, unsigned char* in, int inl, unsigned char* out, int* outl,
            crypto_rsa* rsa, int padding) {
  if (!rsa_args_ok(in, inl, out, outl, rsa)) {
    ztpu_log(LOG_ERR, "parameters is NULL.\n");
    return -1;
  }
  *outl = rsa_op(encrypt, in, inl, out, rsa, padding);
  return *outl > 0 ? 0 : 1;
}

}  // namespace

int crypto_md5(unsigned char* data, int len, unsigned char* out) {
  if (data == nullptr || out == nullptr || len < 0) {
    ztpu_log(LOG_ERR, "no data.\n");
    return -1;
  }
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    ztpu_log(LOG_ERR, "MD5_Init() failed.\n");
    return -1;
  }
  if (len != 0 && EVP_DigestUpdate(ctx.get(), data, static_cast<size_t>(len)) != 1) {
    ztpu_log(LOG_ERR, "MD5_Update() failed.\n");
    return -1;
  }
  if (EVP_DigestFinal_ex(ctx.get(), out, nullptr) != 1) {
    ztpu_log(LOG_ERR, "MD5_Final() failed.\n");
    return -1;
  }
  return 0;
}

int crypto_file_md5(const char* file, unsigned char* out) {
  if (file == nullptr || out == nullptr) return -1;
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  MdCtx ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
  std::array<unsigned char, 256> chunk{};
  while (ok) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // A digest of part of the file would be reported as the file's own.
      ok = false;
      break;
    }
    ok = EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<size_t>(n)) == 1;
  }
  close(fd);
  if (!ok || EVP_DigestFinal_ex(ctx.get(), out, nullptr) != 1) return -1;
  return 0;
}

unsigned char crypto_crc8(unsigned char* data, int len) {
  std::uint8_t crc = 0;
  if (data == nullptr) return 0;
  for (int i = 0; i < len; ++i) crc = crc8_table[crc ^ data[i]];
  return crc;
}

unsigned short crypto_crc16(unsigned char* data, int len) {
  std::uint16_t crc = 0;
  if (data == nullptr) return 0;
  for (int i = 0; i < len; ++i)
    crc = static_cast<std::uint16_t>(crc16_table[(data[i] ^ (crc >> 8)) & 0xFF] ^
                                     ((crc & 0xFF) << 8));
  return crc;
}

int crypto_crypt(struct crypto_param* in, unsigned char* out, int* outl) {
  const EVP_CIPHER* cipher = in != nullptr ? cipher_of(in->mode) : nullptr;
  if (cipher == nullptr) {
    ztpu_log(LOG_ERR, "algorithm error.\n");
    return -1;
  }
  if (out == nullptr || outl == nullptr || in->inl < 0 || (in->inl > 0 && in->in == nullptr)) {
    ztpu_log(LOG_ERR, "crypto_crypt: bad parameters\n");
    return -1;
  }
  const bool legacy = legacy_available();  // loads the default provider too
  if (needs_legacy(in->mode) && !legacy) {
    ztpu_log(LOG_ERR, "crypto_crypt: cipher mode %d unavailable\n", in->mode);
    return -1;
  }

  // Wiped on every way out.
  ztpu::Secret<32> key;
  ztpu::Secret<32> iv;
  if (in->key != nullptr && in->keyl >= 1 && in->keyl <= 32)
    std::memcpy(key.b.data(), in->key, static_cast<size_t>(in->keyl));
  if (in->iv != nullptr && in->ivl >= 1 && in->ivl <= 32)
    std::memcpy(iv.b.data(), in->iv, static_cast<size_t>(in->ivl));

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  const bool enc = in->encrypt != 0;
  if (!ctx) {
    ztpu_log(LOG_ERR, enc ? "EVP_EncryptInit_ex() error..." : "EVP_DecryptInit_ex() error...");
    return -1;
  }
  int tail = 0;
  if (enc) {
    if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.b.data(), iv.b.data()) != 1) {
      ztpu_log(LOG_ERR, "EVP_EncryptInit_ex() error...");
      return -1;
    }
    if (EVP_EncryptUpdate(ctx.get(), out, outl, in->in, in->inl) != 1) {
      ztpu_log(LOG_ERR, "EVP_EncryptUpdate() error...");
      return -1;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out + *outl, &tail) != 1) {
      ztpu_log(LOG_ERR, "EVP_EncryptFinal_ex() error...");
      return -1;
    }
  } else {
    if (EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.b.data(), iv.b.data()) != 1) {
      ztpu_log(LOG_ERR, "EVP_DecryptInit_ex() error...");
      return -1;
    }
    if (EVP_DecryptUpdate(ctx.get(), out, outl, in->in, in->inl) != 1) {
      ztpu_log(LOG_ERR, "EVP_DecryptUpdate() error...");
      return -1;
    }
    if (EVP_DecryptFinal_ex(ctx.get(), out + *outl, &tail) != 1) {
      ztpu_log(LOG_ERR, "EVP_DecryptFinal_ex() error...");
      return -1;
    }
  }
  *outl += tail;
  return 0;
}

struct crypto_rsa* ssl_rsa_new(const char* keyfile, int pub) {
  Bio bio(keyfile != nullptr ? BIO_new_file(keyfile, "r") : nullptr);
  if (!bio) {
    ztpu_log(LOG_ERR, "ERROR: BIO_new_file().\n");
    return nullptr;
  }
  Pkey key(pub ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)
               : PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  bio.reset();
  if (!key || EVP_PKEY_is_a(key.get(), "RSA") != 1) {
    ztpu_log(LOG_ERR, "create RSA FAIL.\n");
    return nullptr;
  }
  auto* handle = new (std::nothrow) crypto_rsa{};
  if (handle == nullptr) {
    ztpu_log(LOG_ERR, "malloc ssl_rsa\n");
    return nullptr;
  }
  handle->rsa = key.release();
  handle->pub = pub ? 1 : 0;
  return handle;
}

void crypto_rsa_free(struct crypto_rsa* rsa) {
  if (rsa == nullptr) return;
  EVP_PKEY_free(pkey_of(rsa));
  delete rsa;
}

int crypto_rsa_encrypt(unsigned char* in, int inl, unsigned char* out, int* outl,
                       struct crypto_rsa* rsa, int padding) {
  return rsa_run(true, in, inl, out, outl, rsa, padding);
}

int crypto_rsa_decrypt(unsigned char* in, int inl, unsigned char* out, int* outl,
                       struct crypto_rsa* rsa, int padding) {
  return rsa_run(false, in, inl, out, outl, rsa, padding);
}

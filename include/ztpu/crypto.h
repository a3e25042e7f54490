// Cipher, digest and checksum primitives: the only code of the system that
// talks to libcrypto.
//
// Every function is stateless and reentrant: each call builds and frees its
// own library context, the CRC tables are constant. Failures are logged with
// ztpu_log at LOG_ERR; key bytes are never logged.
#pragma once

// Cipher request of crypto_crypt.
struct crypto_param {
  int mode;           // cipher and chaining mode, 1..28 (see crypto_crypt)
  unsigned char* in;  // input bytes
  int inl;            // input length, 0 or more
  unsigned char* key;
  int keyl;  // honoured only from 1 to 32; otherwise the key is all zeros
  unsigned char* iv;
  int ivl;      // honoured only from 1 to 32; otherwise the IV is all zeros
  int encrypt;  // non-zero: encipher; 0: decipher
};

// Cipher mode numbers. They are stored in key-table rows and derived by the
// device store, so the numbering never changes.
enum crypto_mode {
  CRYPTO_DES_CBC = 1,
  CRYPTO_DES_ECB = 2,
  CRYPTO_DES_CFB64 = 3,
  CRYPTO_DES_OFB = 4,
  CRYPTO_DES_EDE_CBC = 5,
  CRYPTO_DES_EDE_ECB = 6,
  CRYPTO_DES_EDE_OFB = 7,
  CRYPTO_DES_EDE_CFB64 = 8,
  CRYPTO_DES_EDE3_CBC = 9,
  CRYPTO_DES_EDE3_ECB = 10,
  CRYPTO_DES_EDE3_OFB = 11,
  CRYPTO_DES_EDE3_CFB64 = 12,
  CRYPTO_AES128_ECB = 13,
  CRYPTO_AES128_CBC = 14,
  CRYPTO_AES128_CFB = 15,
  CRYPTO_AES128_OFB = 16,
  CRYPTO_AES192_ECB = 17,
  CRYPTO_AES192_CBC = 18,
  CRYPTO_AES192_CFB = 19,
  CRYPTO_AES192_OFB = 20,
  CRYPTO_AES256_ECB = 21,
  CRYPTO_AES256_CBC = 22,
  CRYPTO_AES256_CFB = 23,
  CRYPTO_AES256_OFB = 24,
  CRYPTO_BF_ECB = 25,
  CRYPTO_BF_CBC = 26,
  CRYPTO_BF_CFB64 = 27,
  CRYPTO_BF_OFB = 28,
};

// RSA key handle made by ssl_rsa_new, released by crypto_rsa_free.
struct crypto_rsa {
  void* rsa;  // the library's key object (EVP_PKEY)
  int pub;    // 1: public key, 0: private key
};

// MD5 of `len` bytes at `data` into the 16 bytes at `out`. A length of 0
// gives the digest of the empty message. 0, or -1 ("no data.\n" for a null
// pointer or a negative length).
int crypto_md5(unsigned char* data, int len, unsigned char* out);

// MD5 of a whole file into the 16 bytes at `out`. 0, or -1 when the file
// cannot be opened or a read fails (no message).
int crypto_file_md5(const char* file, unsigned char* out);

// CRC-8/MAXIM-DOW (check value 0xA1) and CRC-16/XMODEM (check value 0x31C3)
// of `len` bytes. A length of 0 or less, or a null `data`, gives 0.
unsigned char crypto_crc8(unsigned char* data, int len);
unsigned short crypto_crc16(unsigned char* data, int len);

// Enciphers or deciphers `in->inl` bytes with the cipher of `in->mode`:
//   1..4   single DES        CBC, ECB, CFB-64, OFB
//   5..8   two-key 3DES      CBC, ECB, OFB, CFB-64
//   9..12  three-key 3DES    CBC, ECB, OFB, CFB-64
//   13..24 AES-128/192/256   ECB, CBC, CFB-128, OFB (each key size in turn)
//   25..28 Blowfish          ECB, CBC, CFB-64, OFB
// Key and IV are copied into zeroed 32-byte buffers, and the cipher takes
// its own lengths from those (short values are zero-padded, long ones cut).
// ECB and CBC use PKCS#7 padding: enciphering rounds up to the next whole
// block (a full extra block for whole-block input), deciphering checks and
// strips it. CFB and OFB give exactly `inl` bytes. `out` must have room for
// `inl` plus one block (16 bytes). Returns 0 with the length at `*outl`, or
// -1 with a log line; after a failure `out` and `*outl` are not to be used.
// Single DES and Blowfish need OpenSSL's legacy provider; if it cannot be
// loaded those modes fail with a log line.
int crypto_crypt(struct crypto_param* in, unsigned char* out, int* outl);

// Reads an RSA key from a PEM file: with `pub` non-zero a public key
// (SubjectPublicKeyInfo), otherwise a private key (PKCS#1 or PKCS#8, no
// password). The handle belongs to the caller. Null on failure.
struct crypto_rsa* ssl_rsa_new(const char* keyfile, int pub);

// Releases a handle; null is ignored.
void crypto_rsa_free(struct crypto_rsa* rsa);

// Raw RSA with a library padding constant (RSA_PKCS1_PADDING, ...).
// Encrypt: public handle = public-key encryption, private handle = private-
// key signing of the raw bytes. Decrypt: public handle = recovery of signed
// bytes, private handle = private-key decryption. `*outl` must be positive
// on entry (it is not a capacity: `out` must hold the modulus size); on
// return it holds the output length or -1. Returns 0 on success, 1 when the
// RSA operation fails, -1 on bad parameters ("parameters is NULL.\n").
int crypto_rsa_encrypt(unsigned char* in, int inl, unsigned char* out, int* outl,
                       struct crypto_rsa* rsa, int padding);
int crypto_rsa_decrypt(unsigned char* in, int inl, unsigned char* out, int* outl,
                       struct crypto_rsa* rsa, int padding);

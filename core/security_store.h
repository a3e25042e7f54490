// The device store's and the security module's internals: the record file
// and its descriptor, the store file helpers, the cryptfiles, the key-table
// context and the plug-in call. For the security module's own files (and
// its tests) only; other units use ztpu/security.h.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdlib>

#include "ztpu/common.h"
#include "ztpu/keyfilehandle.h"
#include "ztpu/secret.h"
#include "ztpu/security.h"

// Open flags of security_open_file (bit set).
inline constexpr u32 SECURITY_OPEN_CREATE = 1;   // create when missing
inline constexpr u32 SECURITY_OPEN_ENCNAME = 2;  // use the encrypted file name

// Opens "basePath/name" (the encrypted name with SECURITY_OPEN_ENCNAME)
// read-write, creating it (mode 0600) when missing with SECURITY_OPEN_CREATE. Returns the
// descriptor and the file's length at *outFileLen (0 when just created; may
// be null), or a negative value.
int security_open_file(const char* basePath, const char* name, u32 opFlag, u32* outFileLen);

// Reads the whole open file into a new buffer (left untouched when the file
// is empty, with length 0).
int security_read_file(int fd, u8** pOutData, u32* outDataLen);

// Replaces the whole content of the open file with `len` bytes: the old
// content goes whole to "path.b" (mode 0600, synced) first, then the file is
// rewritten and synced, "path.d" receives the MD5 of the new content (32 hex
// digits and a line feed) and the backup is removed. Reads of records and
// cryptfiles check the file against "path.d" when it exists.
int security_write_file(int fd, u8* pData, u32 len);

// Path of an open descriptor into `name` (room *len); internal.
int security_filenameofod(int fd, char* name, u32* len);

// ---- Device record and cryptfiles --------------------------------------

// Writes the record with its CRC, enciphered, to the open record file by the
// safe rewrite; `db` itself is left as it was.
int security_dbflush(int fd, struct security_db* db);

// Deciphered, verified copy of the record (crc field 0), or null. When *pfd
// is negative the record file is opened first (created with a fresh record
// when missing) and its descriptor stored there; it stays open on failure.
// A record file that is damaged (empty, short, wrong version or CRC, or not
// the content its digest names) is restored from its backup when the backup
// passes the same checks; an empty one with neither backup nor digest
// becomes a fresh store. Other failures (fuse, cipher, memory, I/O) touch
// no file.
struct security_db* security_dbattach(int* pfd);

// Zeroes and frees a copy from security_dbattach; null is ignored.
void security_dbdetach(struct security_db* db);

// Reads and deciphers the cryptfile of logical name `fileName`; the payload
// comes back in a new buffer of exactly *len bytes. A missing cryptfile is
// created empty and fails. A damaged one is restored from its backup as the
// record is.
int security_get_cryptfile(struct security_db* pdb, char* fileName, u8** pData, u32* len);

// Enciphers `len` bytes as the cryptfile `fileName` (safe rewrite); the file
// is created when missing only if nCreateFlag is 1.
int security_save_cryptfile(struct security_db* pDb, char* fileName, int nCreateFlag, u8* pData,
                            u32 len);

// Deciphers data the server enciphered for this unit (three-key 3DES OFB
// under the key of the record's tpuSSN) into a new buffer; *noutlen == len.
int security_decrypt_srvdata(struct security_db* pdb, u8* pdata, int len, u8** poutdata,
                             int* noutlen);

// Server data key (24 bytes) of the record's tpuSSN; keylen must be >= 24.
int security_get_3deskey(struct security_db* pdb, u8* key, int keylen);

// Scrambling of the 8-byte store secret; exact inverses.
void security_flag_decode(u8* flag, u8* skey);
void security_flag_encode(u8* skey, u8* flag);

// Internal, declared for the tests: the base table, a new store secret, the
// same from a given seed, the bounds it draws under (position 0 is the bound
// itself, later positions the constant added to the sum of earlier bytes;
// a bound whose low 8 bits are 0 draws from the whole byte), and the fresh
// record written into a new file.
void security_Key_base(u8* base);
void security_Key_gen(u8* key);
void security_Key_gen_seeded(u8* key, unsigned int seed);
inline constexpr u8 SECURITY_KEYGEN_BOUNDS[8] = {251, 239, 227, 211, 197, 181, 163, 149};
int security_init_dbfile(int fd);

// Plug-in entry "Zef_Pcode": fills `rows` (room *rowslen bytes on entry)
// from the base key and the factor, sets *rowslen to the bytes written;
// 0 on success.
typedef int (*security_pcodefn)(u8* base, u32 baselen, u8* factor, u32 factorlen, u8* rows,
                                u32* rowslen);

// Logical names of the key items and the plug-in's file and symbol.
inline constexpr const char* SECURITY_V0_NAME = "key_v0";
inline constexpr const char* SECURITY_PCODE_NAME = "pcode";
inline constexpr const char* SECURITY_FACTOR_NAME = "factor";
inline constexpr const char* SECURITY_PLUGIN_FILE = "tpupcx.so";
inline constexpr const char* SECURITY_PLUGIN_ENTRY = "Zef_Pcode";

struct security_remove_mark {
  u8 flag;  // 1: the table of `ver` is to be removed
  u8 ver[2];
};

// The single security context.
struct security_context {
  int dbFd;                 // record file, open from security_init on; -1 closed
  struct security_db* pdb;  // held copy of the record, or null
  pthread_rwlock_t lock;    // guards cur_table_num and table
  u32 state;                // record state taken at start; 0 before
  u8 tpuSSN[12];            // taken at start
  u8 deviceID[16];          // taken at start
  u8 cur_table_num;         // loaded tables, 0..8
  struct security_remove_mark need_remove_ver;            // guarded by the removal lock
  struct security_key_table* table[SECURITY_MAX_TABLES];  // in load order
};

// Runs the plug-in of version `ver` on the stored base key and factor and
// fills table->nRow and table->rows. The plug-in is written to the temporary
// directory as a new file only the owner can read and write, loaded, and
// removed again on every path.
int security_call_pcode(struct security_db* pdb, u8* ver, struct security_key_table* table);

// Reads and deciphers (server data key) the key item `pfv`, versioned by
// `ver` unless `pfv` is "key_v0"; the result is a new buffer. Internal.
int security_get_pfv(struct security_db* pdb, char* pfv, u8* ver, u8** pOutData, u32* nOutLen);

// Logical key-file name "name_VVVV" (or "name" with a null ver) into
// `filename` (room namelen, at most 128). Internal.
int security_get_pfname(const char* name, u8* ver, char* filename, int namelen);

struct security_context* security_get_ctx();
struct security_db* security_get_pdb();  // may be null

// Deletes the store file of logical name `name` under basePath. Internal.
int security_remove_cryptfile(const char* basePath, const char* name);

namespace ztpu_store {

// A malloc'd buffer handed out by the store (security_read_file and the
// cryptfile getters), wiped and freed on scope exit.
struct WipedBuf {
  u8* p = nullptr;
  u32 n = 0;
  WipedBuf() = default;
  WipedBuf(const WipedBuf&) = delete;
  WipedBuf& operator=(const WipedBuf&) = delete;
  ~WipedBuf() {
    if (p != nullptr) {
      ztpu_wipe(p, n);
      free(p);
    }
  }
};

}  // namespace ztpu_store

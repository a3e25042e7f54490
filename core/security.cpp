#include "ztpu/security.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "security_store.h"
#include "ztpu/fileio.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/secret.h"

namespace {

security_context db_ctx = {-1, nullptr, PTHREAD_RWLOCK_INITIALIZER, 0, {}, {}, 0, {}, {}};
// Guards db_ctx.need_remove_ver; always taken before db_ctx.lock.
pthread_rwlock_t remove_keytable_lock = PTHREAD_RWLOCK_INITIALIZER;
// Loads run one at a time: they share the plug-in file.
std::mutex load_mutex;

// Holds a read or write lock of a pthread rwlock for its scope.
template <int (*Take)(pthread_rwlock_t*)>
class RwGuard {
 public:
  explicit RwGuard(pthread_rwlock_t* l) : l_(l) { Take(l_); }
  ~RwGuard() { pthread_rwlock_unlock(l_); }
  RwGuard(const RwGuard&) = delete;
  RwGuard& operator=(const RwGuard&) = delete;

 private:
  pthread_rwlock_t* l_;
};
using ReadLock = RwGuard<pthread_rwlock_rdlock>;
using WriteLock = RwGuard<pthread_rwlock_wrlock>;

// A record copy released on scope exit.
struct DbCopy {
  security_db* p = nullptr;
  explicit DbCopy(security_db* db) : p(db) {}
  ~DbCopy() { security_dbdetach(p); }
  DbCopy(const DbCopy&) = delete;
  DbCopy& operator=(const DbCopy&) = delete;
};

// A record on the stack, wiped when it goes (its flag scrambles the secret).
struct Record {
  security_db r;
  ~Record() { ztpu_wipe(&r, sizeof r); }
};

using Owned = ztpu_store::WipedBuf;
using ztpu::fileio::Fd;
using ztpu::fileio::write_all;

struct DlHandle {
  void* h = nullptr;
  ~DlHandle() {
    if (h != nullptr) dlclose(h);
  }
};

struct TableOwner {
  security_key_table* t = nullptr;
  ~TableOwner() {
    if (t != nullptr) {
      ztpu_wipe(t, sizeof *t);
      delete t;
    }
  }
};

void free_table(security_key_table* t) {
  ztpu_wipe(t, sizeof *t);
  delete t;
}

std::array<char, 5> ver_text(const u8* ver) {
  std::array<char, 5> t{};
  security_hex2str(const_cast<u8*>(ver), 2, t.data());
  return t;
}

bool store_path(const char* name, std::array<char, 512>& path) {
  std::array<char, 33> enc{};
  if (security_get_encfilename(name, enc.data()) != 0) return false;
  int n = snprintf(path.data(), path.size(), "%s/%s", ztpu::path::store_dir, enc.data());
  return n > 0 && static_cast<size_t>(n) < path.size();
}

// Writes the plug-in image to a file of our own: whatever sits at the path
// (a file or link someone planted) goes first, and the new file is created
// exclusively, without following links, for the owner alone.
bool write_plugin(const char* path, const u8* image, u32 len) {
  if (unlink(path) != 0 && errno != ENOENT) return false;
  Fd fd(open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    ztpu_log(LOG_ERR, "open file %s error", SECURITY_PLUGIN_FILE);
    return false;
  }
  if (!write_all(fd.get(), image, len) || fsync(fd.get()) != 0) {
    ztpu_log(LOG_ERR, "write file error");
    return false;
  }
  return true;
}

// Writes a changed record to the file and only then, when a copy is held,
// makes it the held copy: on failure the held copy stays as it was.
int commit(security_db& next) {
  if (security_dbflush(db_ctx.dbFd, &next) != 0) return -1;
  if (db_ctx.pdb != nullptr) *db_ctx.pdb = next;
  return 0;
}

bool table_loaded(const u8* ver) {
  for (int i = 0; i < db_ctx.cur_table_num; ++i)
    if (std::memcmp(db_ctx.table[i]->version, ver, 2) == 0) return true;
  return false;
}

void close_ctx() {
  if (db_ctx.dbFd >= 0) close(db_ctx.dbFd);
  db_ctx.dbFd = -1;
  security_dbdetach(db_ctx.pdb);
  db_ctx.pdb = nullptr;
}

void free_tables() {
  WriteLock g(&db_ctx.lock);
  for (auto& t : db_ctx.table) {
    if (t != nullptr) free_table(t);
    t = nullptr;
  }
  db_ctx.cur_table_num = 0;
}

// Setter of a held-copy field of `n` bytes at `offset`.
int set_held(size_t offset, const u8* value, int verlen, int want) {
  if (value == nullptr || verlen != want || db_ctx.pdb == nullptr) return -1;
  const auto n = static_cast<size_t>(want);
  if (std::memcmp(reinterpret_cast<u8*>(db_ctx.pdb) + offset, value, n) == 0) return 0;
  Record next{*db_ctx.pdb};
  std::memcpy(reinterpret_cast<u8*>(&next.r) + offset, value, n);
  return commit(next.r);
}

}  // namespace

// ---- Key tables ------------------------------------------------------------------

int security_get_pfname(const char* name, u8* ver, char* filename, int namelen) {
  if (name == nullptr || filename == nullptr || namelen <= 0) return -1;
  const int room = namelen < 128 ? namelen : 128;
  int n = ver != nullptr
              ? snprintf(filename, static_cast<size_t>(room), "%s_%s", name, ver_text(ver).data())
              : snprintf(filename, static_cast<size_t>(room), "%s", name);
  return (n < 0 || n >= room) ? -1 : 0;
}

int security_get_pfv(struct security_db* pdb, char* pfv, u8* ver, u8** pOutData, u32* nOutLen) {
  if (pdb == nullptr || pfv == nullptr || pOutData == nullptr || nOutLen == nullptr) return -1;
  std::array<char, 128> name{};
  const bool plain = std::strcmp(pfv, SECURITY_V0_NAME) == 0;
  if (!plain && ver == nullptr) return -1;
  if (security_get_pfname(pfv, plain ? nullptr : ver, name.data(), static_cast<int>(name.size())) !=
      0)
    return -1;
  Owned item;
  if (security_get_cryptfile(pdb, name.data(), &item.p, &item.n) != 0) {
    ztpu_log(LOG_ERR, "%s security_get_cryptfile fail", "security_get_pfv");
    return -1;
  }
  u8* out = nullptr;
  int outl = 0;
  if (security_decrypt_srvdata(pdb, item.p, static_cast<int>(item.n), &out, &outl) != 0) {
    ztpu_log(LOG_ERR, "%s security_decrypt_serverdata fail", "security_get_pfv");
    return -1;
  }
  *pOutData = out;
  *nOutLen = static_cast<u32>(outl);
  return 0;
}

int security_call_pcode(struct security_db* pdb, u8* ver, struct security_key_table* table) {
  if (pdb == nullptr || ver == nullptr || table == nullptr) return -1;
  Owned base, pcode, factor;
  if (security_get_pfv(pdb, const_cast<char*>(SECURITY_V0_NAME), nullptr, &base.p, &base.n) != 0) {
    ztpu_log(LOG_ERR, "security_get_cryptfile[v0] failed");
    return -1;
  }
  if (security_get_pfv(pdb, const_cast<char*>(SECURITY_PCODE_NAME), ver, &pcode.p, &pcode.n) != 0) {
    ztpu_log(LOG_ERR, "security_get_pfv[pcode] fail");
    return -1;
  }
  if (security_get_pfv(pdb, const_cast<char*>(SECURITY_FACTOR_NAME), ver, &factor.p, &factor.n) !=
      0) {
    ztpu_log(LOG_ERR, "security_get_pfv[factor] fail");
    return -1;
  }
  std::array<char, 512> path{};
  snprintf(path.data(), path.size(), "%s/%s", ztpu::path::tmp_dir, SECURITY_PLUGIN_FILE);

  int rc = -1;
  {
    DlHandle lib;
    if (write_plugin(path.data(), pcode.p, pcode.n)) {
      lib.h = dlopen(path.data(), RTLD_NOW);
      if (lib.h == nullptr) {
        const char* err = dlerror();
        ztpu_log(LOG_ERR, "dlopen error %s", err != nullptr ? err : "");
      }
    }
    void* sym = nullptr;
    if (lib.h != nullptr) {
      dlerror();
      sym = dlsym(lib.h, SECURITY_PLUGIN_ENTRY);
      if (sym == nullptr) {
        const char* err = dlerror();
        ztpu_log(LOG_ERR, "dlsym error %s", err != nullptr ? err : "");
      }
    }
    if (sym != nullptr) {
      auto fn = reinterpret_cast<security_pcodefn>(sym);
      u32 count = SECURITY_ROWS_ROOM;
      if (fn(base.p, base.n, factor.p, factor.n, reinterpret_cast<u8*>(table->rows), &count) != 0) {
        ztpu_log(LOG_ERR, "call fn error");
      } else if (count == 0 || count % sizeof(security_key_row) != 0 ||
                 count > SECURITY_ROWS_ROOM) {
        ztpu_log(LOG_ERR, "invalid keyTable len %d", static_cast<int>(count));
      } else {
        table->nRow = static_cast<u16>(count / sizeof(security_key_row));
        rc = 0;
      }
    }
  }  // dlclose before the file goes
  unlink(path.data());
  return rc;
}

int security_load_keytable(u8* ver, int verlen) {
  std::lock_guard<std::mutex> serial(load_mutex);
  DbCopy db(security_dbattach(&db_ctx.dbFd));
  if (db.p == nullptr) {
    ztpu_log(LOG_ERR, "security_dbattach err!!");
    return -1;
  }
  if (ver == nullptr || verlen < 2) return -1;
  {
    ReadLock g(&db_ctx.lock);
    if (table_loaded(ver)) return 0;
    if (db_ctx.cur_table_num >= SECURITY_MAX_TABLES) return -1;
  }
  TableOwner t;
  t.t = new (std::nothrow) security_key_table{};
  if (t.t == nullptr) {
    ztpu_log(LOG_ERR, "alloc mem fail\n");
    return -1;
  }
  if (security_call_pcode(db.p, ver, t.t) != 0) {
    ztpu_log(LOG_ERR, "security_call_pcode fail\n");
    return -1;
  }
  std::memcpy(t.t->version, ver, 2);
  WriteLock g(&db_ctx.lock);
  // Loads are serialised and removals only shrink the set, so the checks
  // above still hold; kept as a guard for the slot index.
  if (db_ctx.cur_table_num >= SECURITY_MAX_TABLES) return -1;
  db_ctx.table[db_ctx.cur_table_num++] = t.t;
  t.t = nullptr;
  return 0;
}

int security_get_algorithm_and_key(u8* nInKeyId, u8* nOutAlg, u8* nOutKey, int* keylen) {
  if (nInKeyId == nullptr || nOutAlg == nullptr || nOutKey == nullptr || keylen == nullptr)
    return -1;
  const security_key_row* last = nullptr;
  std::array<u8, 3> last_id{};
  {
    ReadLock g(&db_ctx.lock);
    if (db_ctx.cur_table_num == 0) {
      ztpu_log(LOG_ERR, "key table is not init(%s)\n", "security_get_algorithm_and_key");
      return -1;
    }
    for (int t = 0; t < db_ctx.cur_table_num; ++t) {
      const security_key_table* tab = db_ctx.table[t];
      for (int r = 0; r < tab->nRow; ++r) {
        const security_key_row& row = tab->rows[r];
        last = &row;
        if (std::memcmp(row.id, nInKeyId, 3) == 0) {
          *nOutAlg = row.alg;
          std::memcpy(nOutKey, row.key, 32);
          *keylen = 32;
          return 0;
        }
      }
    }
    if (last != nullptr) std::memcpy(last_id.data(), last->id, 3);
  }
  if (last != nullptr)
    ztpu_log(LOG_INFO, "[%s] now use keyid[1]:%02x keyid[2]:%02x\n",
             "security_get_algorithm_and_key", last_id[1], last_id[2]);
  ztpu_log(LOG_ERR, "[%s] unkown keyid[0]:%02x keyid[1]:%02x keyid[2]:%02x\n",
           "security_get_algorithm_and_key", nInKeyId[0], nInKeyId[1], nInKeyId[2]);
  return -1;
}

int security_get_random_alg_and_key(u8* nOutKeyId, int* idLen, u8* nOutAlg, u8* nOutKey,
                                    int* keylen) {
  if (nOutKeyId == nullptr || idLen == nullptr || nOutAlg == nullptr || nOutKey == nullptr ||
      keylen == nullptr || *idLen < 3 || *keylen < 32)
    return -1;
  // Seeded from the clock on every call: picks within one second agree. A
  // generator of the call's own keeps concurrent callers apart.
  auto seed = static_cast<unsigned int>(time(nullptr));
  ReadLock g(&db_ctx.lock);
  if (db_ctx.cur_table_num == 0) {
    ztpu_log(LOG_ERR, "key table is not init(%s)\n", "security_get_random_alg_and_key");
    return -1;
  }
  const security_key_table* tab =
      db_ctx.table[static_cast<unsigned>(rand_r(&seed)) % db_ctx.cur_table_num];
  const security_key_row& row = tab->rows[static_cast<unsigned>(rand_r(&seed)) % tab->nRow];
  std::memcpy(nOutKeyId, row.id, 3);
  *nOutAlg = row.alg;
  std::memcpy(nOutKey, row.key, 32);
  *idLen = 3;
  *keylen = 32;
  return 0;
}

int security_is_need_remove_old_keytable() {
  ReadLock g(&remove_keytable_lock);
  return db_ctx.need_remove_ver.flag == 1 ? 1 : 0;
}

int security_remove_keytable() {
  WriteLock mark(&remove_keytable_lock);
  if (db_ctx.need_remove_ver.flag != 1) {
    ztpu_log(LOG_ERR, "no keytable need to remove!!\n");
    return -1;
  }
  int slot = -1;
  {
    ReadLock g(&db_ctx.lock);
    if (db_ctx.cur_table_num == 1) {
      ztpu_log(LOG_ERR, "only one keytable, could not remove it\n");
      return -1;
    }
    for (int i = 0; i < db_ctx.cur_table_num; ++i)
      if (std::memcmp(db_ctx.table[i]->version, db_ctx.need_remove_ver.ver, 2) == 0) {
        slot = i;
        break;
      }
  }
  if (slot < 0) {
    ztpu_log(LOG_ERR, "could not found the table of this ver\n");
    return -1;
  }
  security_key_table* gone = nullptr;
  {
    WriteLock g(&db_ctx.lock);
    gone = db_ctx.table[slot];
    for (int i = slot; i + 1 < db_ctx.cur_table_num; ++i) db_ctx.table[i] = db_ctx.table[i + 1];
    db_ctx.table[--db_ctx.cur_table_num] = nullptr;
  }
  free_table(gone);
  db_ctx.need_remove_ver = {};
  return 0;
}

// ---- Module -------------------------------------------------------------------------

int security_init() {
  close_ctx();
  free_tables();
  db_ctx.state = 0;
  std::memset(db_ctx.tpuSSN, 0, sizeof db_ctx.tpuSSN);
  std::memset(db_ctx.deviceID, 0, sizeof db_ctx.deviceID);
  {
    WriteLock g(&remove_keytable_lock);
    db_ctx.need_remove_ver = {};
  }
  security_db* db = security_dbattach(&db_ctx.dbFd);
  if (db == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    close_ctx();
    return -1;
  }
  db_ctx.pdb = db;
  db_ctx.state = db->state;
  if (db->state == 1) {
    ztpu_log(LOG_ERR, "security_init_ctx,tpu is not init!!\n");
    close_ctx();
    db_ctx.state = 0;
    return -1;
  }
  std::memcpy(db_ctx.deviceID, db->deviceID, 16);
  std::memcpy(db_ctx.tpuSSN, db->tpuSSN, 12);
  u8 ver[2] = {db->runkeyver[0], db->runkeyver[1]};
  if (security_load_keytable(ver, 2) != 0) {
    ztpu_log(LOG_ERR, "security_load_keytable failed...\n");
    close_ctx();
    free_tables();
    db_ctx.state = 0;
    return -1;
  }
  return 0;
}

void security_exit() {
  close_ctx();
  free_tables();
  WriteLock g(&remove_keytable_lock);
  db_ctx.need_remove_ver = {};
}

int security_read_record(struct security_db* out) {
  if (out == nullptr) return -1;
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) return -1;
  *out = *fresh.p;
  return 0;
}

struct security_context* security_get_ctx() {
  return &db_ctx;
}

struct security_db* security_get_pdb() {
  return db_ctx.pdb;
}

int security_get_tpussn(u8* tpussn, int ssnlen) {
  if (tpussn == nullptr || ssnlen < 12) return -1;
  std::memcpy(tpussn, db_ctx.tpuSSN, 12);
  return 12;
}

int security_get_deviceid(u8* id, int len) {
  if (id == nullptr) return -1;
  if (len > 0) std::memset(id, 0, static_cast<size_t>(len));
  if (len < 16) return -1;
  std::memcpy(id, db_ctx.deviceID, 16);
  return 0;
}

int security_get_tpustate(u8* state) {
  if (state == nullptr) return -1;
  *state = db_ctx.state == 0 ? 1 : static_cast<u8>(db_ctx.state);
  return 0;
}

int security_set_tpustate(u8 state) {
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  if (fresh.p->state == state) return 0;
  fresh.p->state = state;
  if (commit(*fresh.p) != 0) return -1;
  db_ctx.state = state;
  return 0;
}

int security_get_confver(u8* confVer, int verlen) {
  if (confVer == nullptr || verlen < 16 || db_ctx.pdb == nullptr) return -1;
  std::memcpy(confVer, db_ctx.pdb->confVer, 16);
  return 16;
}

int security_get_runkeyver(u8* runkeyver, int verlen) {
  if (runkeyver == nullptr || verlen < 2 || db_ctx.pdb == nullptr) return -1;
  std::memcpy(runkeyver, db_ctx.pdb->runkeyver, 2);
  return 0;
}

int security_get_savekeyver(u8* savekeyver, int verlen) {
  if (savekeyver == nullptr || verlen < 2 || db_ctx.pdb == nullptr) return -1;
  std::memcpy(savekeyver, db_ctx.pdb->savekeyver, 2);
  return 0;
}

int security_set_confver(u8* confVer, int verlen) {
  return set_held(offsetof(security_db, confVer), confVer, verlen, 16);
}

int security_set_runkeyver(u8* runkeyver, int verlen) {
  return set_held(offsetof(security_db, runkeyver), runkeyver, verlen, 2);
}

int security_set_savekeyver(u8* savekeyver, int verlen) {
  return set_held(offsetof(security_db, savekeyver), savekeyver, verlen, 2);
}

int security_save_deviceid_and_ssn(u8* id, u8* ssn) {
  if (id == nullptr || ssn == nullptr) return -1;
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  std::memcpy(fresh.p->deviceID, id, 16);
  std::memcpy(fresh.p->tpuSSN, ssn, 12);
  fresh.p->deviceIDSetted = 1;
  return commit(*fresh.p);
}

int security_get_deviceid_and_ssn(u8* id, u8* ssn) {
  if (id == nullptr || ssn == nullptr) return -1;
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  std::memcpy(id, fresh.p->deviceID, 16);
  std::memcpy(ssn, fresh.p->tpuSSN, 12);
  return 0;
}

int security_save_config(u8* confdata, int len) {
  if (confdata == nullptr || len < 1) {
    ztpu_log(LOG_ERR, "config data len(%d) is invalid\n", len);
    return -1;
  }
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "attach tpu db failed.\n");
    return -1;
  }
  // Replaced through a synced temporary file (behind a symbolic link, the
  // file it leads to), so that an interruption never leaves half a
  // configuration and the file keeps its owner and mode.
  if (ztpu::fileio::replace_file(ztpu::path::conf, confdata, static_cast<size_t>(len), 0666) != 0) {
    ztpu_log(LOG_ERR, "%s write data err!!\n", "security_save_config");
    return -1;
  }
  fresh.p->confSetted = 1;
  if (commit(*fresh.p) != 0) {
    ztpu_log(LOG_ERR, "%s err!!\n", "security_save_config");
    return -1;
  }
  return 0;
}

int security_save_v0(u8* v0data, int len) {
  if (v0data == nullptr || len < 1) {
    ztpu_log(LOG_ERR, "v0 data len(%d) is invalid", len);
    return -1;
  }
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  if (security_save_cryptfile(fresh.p, const_cast<char*>(SECURITY_V0_NAME), 1, v0data,
                              static_cast<u32>(len)) != 0) {
    ztpu_log(LOG_ERR, "%s write data err!!\n", "security_save_v0");
    return -1;
  }
  fresh.p->v0Setted = 1;
  return commit(*fresh.p);
}

namespace {

// Copies the stored plug-in of version `from` to version `to`, bytes as
// they are: the file key does not depend on the name. The source is read
// through the store first, so damaged bytes are refused (or restored), never
// copied under a new digest.
int copy_pcode(security_db* db, const u8* from, const u8* to) {
  std::array<char, 128> src_name{}, dst_name{};
  std::array<char, 512> src{};
  if (security_get_pfname(SECURITY_PCODE_NAME, const_cast<u8*>(from), src_name.data(), 128) != 0 ||
      security_get_pfname(SECURITY_PCODE_NAME, const_cast<u8*>(to), dst_name.data(), 128) != 0 ||
      !store_path(src_name.data(), src)) {
    ztpu_log(LOG_ERR, "security_get_encfilename failed\n");
    return -1;
  }
  if (access(src.data(), F_OK) != 0) {
    ztpu_log(LOG_ERR, "pcode file(%s) is not exist!!", src.data());
    return -1;
  }
  {
    Owned check;
    if (security_get_cryptfile(db, src_name.data(), &check.p, &check.n) != 0) {
      ztpu_log(LOG_ERR, "read file(%s) err!!", src.data());
      return -1;
    }
  }
  Fd in(open(src.data(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    ztpu_log(LOG_ERR, "open file(%s) err!!", src.data());
    return -1;
  }
  Owned bytes;
  if (security_read_file(in.get(), &bytes.p, &bytes.n) != 0) {
    ztpu_log(LOG_ERR, "read file(%s) err!!", src.data());
    return -1;
  }
  Fd out(security_open_file(ztpu::path::store_dir, dst_name.data(),
                            SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, nullptr));
  if (out.get() < 0) {
    ztpu_log(LOG_ERR, "open file(%s) err!!", dst_name.data());
    return -1;
  }
  if (security_write_file(out.get(), bytes.p, bytes.n) != 0) {
    ztpu_log(LOG_ERR, "save cryptfile fail\n");
    return -1;
  }
  return 0;
}

}  // namespace

int security_save_pf2file(u8* pData, u32 len) {
  if (pData == nullptr || len == 0) {
    ztpu_log(LOG_ERR, "pf data len(%d) is invalid", static_cast<int>(len));
    return -1;
  }
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  if (len <= 4) {
    ztpu_log(LOG_ERR, "%s: data too small\n", "security_save_pf2file");
    return -1;
  }
  u32 p = 0;
  std::memcpy(&p, pData, 4);
  if (static_cast<u64>(p) + 4 > len) {
    ztpu_log(LOG_ERR, "invalid pcode-len:%u\n", p);
    return -1;
  }
  u16 f = 0;
  if (static_cast<u64>(p) + 6 <= len) std::memcpy(&f, pData + 4 + p, 2);
  if (f == 0 || static_cast<u64>(p) + 6 + f != len) {
    ztpu_log(LOG_ERR, "invalid factor-len:%u\n", static_cast<unsigned>(f));
    return -1;
  }
  u8* factor = pData + 6 + p;
  u8 v[2];
  {
    Owned clear;
    int n = 0;
    if (security_decrypt_srvdata(fresh.p, factor, f, &clear.p, &n) != 0) {
      ztpu_log(LOG_ERR, "decrypt srv data err!!\n");
      return -1;
    }
    clear.n = static_cast<u32>(n);
    // A factor too short to carry its version cannot name one.
    if (n < 2) {
      ztpu_log(LOG_ERR, "%s: factor too short (%d)\n", "security_save_pf2file", n);
      return -1;
    }
    v[0] = clear.p[0];
    v[1] = clear.p[1];
  }
  u8 s[2] = {fresh.p->savekeyver[0], fresh.p->savekeyver[1]};
  std::array<char, 128> name{};
  if (p < 2) {
    ztpu_log(LOG_ERR, "copy %02x%02x ver pcode data to %02x%02x ver", s[0], s[1], v[0], v[1]);
    if (copy_pcode(fresh.p, s, v) != 0) return -1;
  } else {
    security_get_pfname(SECURITY_PCODE_NAME, v, name.data(), 128);
    if (security_save_cryptfile(fresh.p, name.data(), 1, pData + 4, p) != 0) {
      ztpu_log(LOG_ERR, "save cryptfile fail\n");
      return -1;
    }
  }
  security_get_pfname(SECURITY_FACTOR_NAME, v, name.data(), 128);
  if (security_save_cryptfile(fresh.p, name.data(), 1, factor, f) != 0) {
    ztpu_log(LOG_ERR, "save cryptfile fail\n");
    return -1;
  }
  std::memcpy(fresh.p->savekeyver, v, 2);
  // Key files the record does not name are no stored payload: reported.
  if (security_dbflush(db_ctx.dbFd, fresh.p) != 0) return -1;
  if (fresh.p->state == 1) security_enable_pf(v);
  return 0;
}

int security_remove_cryptfile(const char* basePath, const char* name) {
  if (basePath == nullptr || name == nullptr) return -1;
  std::array<char, 33> enc{};
  if (security_get_encfilename(name, enc.data()) != 0) {
    ztpu_log(LOG_ERR, "security_get_encfilename failed\n");
    return -1;
  }
  // Backup and digest first: left behind, they could bring back a removed
  // file under the same name.
  std::array<char, 520> path{};
  for (const char* suffix : {".b", ".d"}) {
    snprintf(path.data(), path.size(), "%s/%s%s", basePath, enc.data(), suffix);
    unlink(path.data());
  }
  snprintf(path.data(), path.size(), "%s/%s", basePath, enc.data());
  return unlink(path.data()) == 0 ? 0 : -1;
}

int security_enable_pf(u8* ver) {
  if (ver == nullptr) return -1;
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  if (std::memcmp(fresh.p->runkeyver, ver, 2) == 0) return 0;
  if (security_is_need_remove_old_keytable()) security_remove_keytable();
  const u8 o[2] = {fresh.p->runkeyver[0], fresh.p->runkeyver[1]};
  const u8 s[2] = {fresh.p->savekeyver[0], fresh.p->savekeyver[1]};
  if (security_load_keytable(ver, 2) != 0) {
    ztpu_log(LOG_ERR, "%s: security_load_keytable() err!!\n", "security_enable_pf");
    return -1;
  }
  std::memcpy(fresh.p->runkeyver, ver, 2);
  // The old version's files go only once the record no longer names it.
  if (security_dbflush(db_ctx.dbFd, fresh.p) != 0) return -1;
  if ((o[0] == 0 && o[1] == 0) || std::memcmp(o, s, 2) == 0) return 0;

  std::array<char, 128> name{};
  security_get_pfname(SECURITY_PCODE_NAME, const_cast<u8*>(o), name.data(), 128);
  security_remove_cryptfile(ztpu::path::store_dir, name.data());
  security_get_pfname(SECURITY_FACTOR_NAME, const_cast<u8*>(o), name.data(), 128);
  security_remove_cryptfile(ztpu::path::store_dir, name.data());
  WriteLock g(&remove_keytable_lock);
  db_ctx.need_remove_ver.flag = 1;
  std::memcpy(db_ctx.need_remove_ver.ver, o, 2);
  return 0;
}

int security_get_cryptfile_stat(u8* v0setted, u8* confsetted, u8* pfsetted) {
  if (v0setted == nullptr || confsetted == nullptr || pfsetted == nullptr) return -1;
  DbCopy fresh(security_dbattach(&db_ctx.dbFd));
  if (fresh.p == nullptr) {
    ztpu_log(LOG_ERR, "open tpu db failed.\n");
    return -1;
  }
  *v0setted = fresh.p->v0Setted;
  *confsetted = fresh.p->confSetted;
  *pfsetted = 0;
  u8* s = fresh.p->savekeyver;
  if (s[0] == 0 && s[1] == 0) return 0;
  bool both = true;
  for (const char* item : {SECURITY_PCODE_NAME, SECURITY_FACTOR_NAME}) {
    std::array<char, 128> name{};
    std::array<char, 512> path{};
    struct stat st {};
    if (security_get_pfname(item, s, name.data(), 128) != 0 || !store_path(name.data(), path) ||
        stat(path.data(), &st) != 0 || st.st_size <= 0)
      both = false;
  }
  *pfsetted = both ? 1 : 0;
  return 0;
}

int security_get_device_info(u8* devinfo) {
  if (devinfo == nullptr) return -1;
  security_get_devtype(devinfo);
  if (security_get_cpussn(devinfo + 4) != 0) return -1;
  return 12;
}

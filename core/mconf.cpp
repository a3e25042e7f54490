// Configuration store. A load parses into a private set and installs it
// under the write lock only when all 21 items were given a valid value.
#include "ztpu/mconf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>

#include "ztpu/common.h"
#include "ztpu/fileio.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"

namespace {

enum : int { MCONF_INT = 0, MCONF_STR = 1 };

struct mconf_def {
  const char* name;
  int type;
};

constexpr std::array<mconf_def, MC_ITEMS> initconfig{{
    {"config_ver", MCONF_STR},
    {"ipaddr", MCONF_STR},
    {"netmask", MCONF_STR},
    {"gateway", MCONF_STR},
    {"dns", MCONF_STR},
    {"dns2", MCONF_STR},
    {"time_server", MCONF_STR},
    {"tpu_code", MCONF_STR},
    {"merchant_code", MCONF_STR},
    {"exit_flag", MCONF_INT},
    {"server_ip", MCONF_STR},
    {"server_port", MCONF_INT},
    {"upload_interval", MCONF_INT},
    {"heartbeat_interval", MCONF_INT},
    {"heartbeat_retries", MCONF_INT},
    {"voucher_check_time", MCONF_INT},
    {"file_block_size", MCONF_INT},
    {"default_station", MCONF_INT},
    {"use_default_station", MCONF_INT},
    {"offline_delay", MCONF_INT},
    {"old_security_life", MCONF_INT},
}};

// Allocations below use the non-throwing forms: an allocation failure fails
// the operation with -1 and leaves the current set in force.
struct mconf_item {
  const char* name = nullptr;
  int type = MCONF_INT;
  int valid = 0;
  int i = 0;
  char* s = nullptr;  // owned copy of a string item's text
  mconf_item() = default;
  ~mconf_item() { delete[] s; }
  mconf_item(const mconf_item&) = delete;
  mconf_item& operator=(const mconf_item&) = delete;
};

using mconf_set = std::array<mconf_item, MC_ITEMS>;

// A configuration file is a few hundred bytes; refuse to slurp anything huge.
constexpr off_t max_file_size = 1 << 20;

std::shared_mutex mconf_lock;
std::unique_ptr<mconf_set> currconfig;  // guarded by mconf_lock

bool key_ok(mconf_key key) { return key >= 0 && key < MC_ITEMS; }

// A private copy of a text, or null when memory is short.
char* copy_text(const char* text) {
  const size_t n = std::strlen(text) + 1;
  char* out = new (std::nothrow) char[n];
  if (out != nullptr) std::memcpy(out, text, n);
  return out;
}

std::unique_ptr<mconf_set> new_set() {
  std::unique_ptr<mconf_set> set(new (std::nothrow) mconf_set{});
  if (!set) return set;
  for (size_t k = 0; k < initconfig.size(); ++k) {
    (*set)[k].name = initconfig[k].name;
    (*set)[k].type = initconfig[k].type;
  }
  return set;
}

// Base 16 after "0x"/"0X", else base 10 ("010" is ten). Text after the number
// is ignored. False when nothing was consumed or the value does not fit.
bool parse_int(const char* value, int* out) {
  const int base = (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) ? 16 : 10;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(value, &end, base);
  if (end == value) return false;
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// False only when memory is short.
bool mconf_set_item(mconf_set& set, const char* key, const char* value) {
  mconf_item* item = nullptr;
  for (auto& it : set) {
    if (std::strcmp(it.name, key) == 0) {
      item = &it;
      break;
    }
  }
  if (item == nullptr) {
    ztpu_log(LOG_WARNING, "[MCONF] unkown configuration item '%s'\n", key);
    return true;
  }
  if (item->valid) {
    ztpu_log(LOG_WARNING, "[MCONF] item '%s' redefined\n", key);
    return true;
  }
  if (item->type == MCONF_STR) {
    if (value[0] == '\0') {
      ztpu_log(LOG_ERR, "[MCONF] empty value for item '%s'\n", key);
      return true;
    }
    item->s = copy_text(value);
    if (item->s == nullptr) return false;
  } else {
    int v = 0;
    if (!parse_int(value, &v)) {
      ztpu_log(LOG_ERR, "[MCONF] bad value '%s' for item '%s'\n", value, key);
      return true;
    }
    item->i = v;
  }
  item->valid = 1;
  return true;
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Splits one line into key and value and stores the item. False only when
// memory is short.
bool parse_line(mconf_set& set, char* line) {
  if (!is_ascii_letter(line[0])) return true;
  char* eq = std::strchr(line, '=');
  if (eq == nullptr) return true;
  *eq = '\0';
  const char* key = trim(line, " \t");
  const char* value = trim(eq + 1, " ;'\"\t\r\n");
  return mconf_set_item(set, key, value);
}

// Parses a terminated, writable text and installs it when complete.
int mconf_do_load(char* text) {
  auto set = new_set();
  if (!set) return -1;
  char* save = nullptr;
  for (char* line = strtok_r(text, "\n", &save); line != nullptr;
       line = strtok_r(nullptr, "\n", &save)) {
    if (!parse_line(*set, line)) return -1;
  }
  for (const auto& it : *set) {
    if (!it.valid) {
      ztpu_log(LOG_ERR, "[MCONF] item '%s' not found\n", it.name);
      return -1;
    }
  }
  std::unique_ptr<mconf_set> old;
  {
    std::unique_lock lock(mconf_lock);
    old = std::exchange(currconfig, std::move(set));
  }
  return 0;  // the old set is freed here, outside the lock
}

int mconf_load() {
  const char* path = ztpu::path::conf;
  ztpu::fileio::Fd f(::open(path, O_RDONLY | O_CLOEXEC));
  if (!f.ok()) {
    ztpu_log(LOG_ERR, "[MCONF] failed to open %s\n", path);
    return -1;
  }
  struct stat st {};
  if (::fstat(f.get(), &st) != 0 || st.st_size > max_file_size) {
    ztpu_log(LOG_ERR, "[MCONF] failed to read %s\n", path);
    return -1;
  }
  if (st.st_size == 0) {
    ztpu_log(LOG_ERR, "[MCONF] empty file: %s\n", path);
    return -1;
  }
  const auto size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> text(new (std::nothrow) char[size + 1]);
  if (!text) return -1;
  const ssize_t n = ::read(f.get(), text.get(), size);
  if (n != st.st_size) {
    ztpu_log(LOG_ERR, "[MCONF] failed to read %s\n", path);
    return -1;
  }
  text[size] = '\0';
  return mconf_do_load(text.get());
}

}  // namespace

int mconf_init() { return mconf_load(); }

void mconf_exit() {
  std::unique_ptr<mconf_set> old;
  {
    // Readers copy values out under the read lock, so once the write lock is
    // held no reader can be looking at the set.
    std::unique_lock lock(mconf_lock);
    old = std::move(currconfig);
  }
}

int mconf_get_int(mconf_key key) {
  if (!key_ok(key)) return -1;
  std::shared_lock lock(mconf_lock);
  if (!currconfig) return -1;
  const mconf_item& it = (*currconfig)[key];
  if (!it.valid || it.type != MCONF_INT) return -1;
  return it.i;
}

int mconf_set_int(mconf_key key, int value) {
  if (!key_ok(key)) return -1;
  std::unique_lock lock(mconf_lock);
  if (!currconfig) return -1;
  mconf_item& it = (*currconfig)[key];
  if (it.type != MCONF_INT) return -1;
  it.i = value;
  it.valid = 1;
  return 0;
}

int mconf_get_str(mconf_key key, char* value, int maxlen) {
  if (!key_ok(key) || value == nullptr || maxlen < 0) return -1;
  std::shared_lock lock(mconf_lock);
  if (!currconfig) return -1;
  const mconf_item& it = (*currconfig)[key];
  if (!it.valid || it.type != MCONF_STR) return -1;
  const size_t len = std::strlen(it.s);
  if (len > static_cast<size_t>(maxlen)) return -1;
  std::memcpy(value, it.s, len);
  if (len < static_cast<size_t>(maxlen)) value[len] = '\0';
  return 0;
}

int mconf_set_str(mconf_key key, const char* value) {
  if (!key_ok(key) || value == nullptr) return -1;
  std::unique_ptr<char[]> copy(copy_text(value));  // allocated before taking the lock
  if (!copy) return -1;
  std::unique_lock lock(mconf_lock);
  if (!currconfig) return -1;
  mconf_item& it = (*currconfig)[key];
  if (it.type != MCONF_STR) return -1;
  copy.reset(std::exchange(it.s, copy.release()));  // the old text goes with `copy`
  return 0;
}

int mconf_load_from_buffer(const char* buf, int size) {
  if (size < 0 || (buf == nullptr && size > 0)) return -1;
  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
  if (!text) return -1;
  if (size > 0) std::memcpy(text.get(), buf, static_cast<size_t>(size));
  text[static_cast<size_t>(size)] = '\0';
  return mconf_do_load(text.get());
}

int mconf_do_store(const char* buf, int size) {
  if (buf == nullptr || size <= 0) return -1;
  // Replaced through a synced temporary file beside it (behind a symbolic
  // link, beside the file it leads to): a failed write never leaves a
  // truncated configuration, and the file keeps its owner and mode.
  if (ztpu::fileio::replace_file(ztpu::path::conf, buf, static_cast<size_t>(size), 0644) != 0) {
    ztpu_log(LOG_ERR, "[MCONF] failed to write %s\n", ztpu::path::conf);
    return -1;
  }
  return 0;
}

int mconf_load_store_from_buffer(const char* buf, int size) {
  if (mconf_load_from_buffer(buf, size) != 0) return -1;
  return mconf_do_store(buf, size);
}

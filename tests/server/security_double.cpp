#include "security_double.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "ztpu/common.h"
#include "ztpu/paths.h"

namespace {
std::atomic<bool> need_remove{false};
std::atomic<int> removed{0};
std::mutex mu;
std::vector<std::vector<std::uint8_t>> saved;
std::vector<std::array<std::uint8_t, 2>> enabled;
int enable_result = 0;
std::atomic<int> repairs{0};
std::atomic<int> repairs_locked{0};
}  // namespace

namespace security_double {
void set_need_remove(bool need) { need_remove = need; }
int remove_calls() { return removed.load(); }
std::vector<std::vector<std::uint8_t>> saved_payloads() {
  std::lock_guard<std::mutex> g(mu);
  return saved;
}
std::vector<std::array<std::uint8_t, 2>> enabled_versions() {
  std::lock_guard<std::mutex> g(mu);
  return enabled;
}
void set_enable_result(int result) {
  std::lock_guard<std::mutex> g(mu);
  enable_result = result;
}
int repair_calls() { return repairs.load(); }
int repair_calls_locked() { return repairs_locked.load(); }
}  // namespace security_double

int security_get_deviceid(u8* id, int len) {
  if (id == nullptr || len < 16) return -1;
  std::memset(id, 0, static_cast<std::size_t>(len));
  std::memcpy(id, security_double::kDeviceId.data(), 16);
  return 0;
}

int security_gen_tac(u8* data, int datalen, u8* nOutKeyId, u8* out, int* outl) {
  if (data == nullptr || datalen < 1 || outl == nullptr || *outl < 16) return -1;
  std::memset(out, security_double::kTacByte, 16);
  std::memcpy(nOutKeyId, security_double::kKeyId.data(), 3);
  *outl = 16;
  return 0;
}

int security_is_need_remove_old_keytable() { return need_remove.load() ? 1 : 0; }

int security_remove_keytable() {
  if (!need_remove.exchange(false)) return -1;
  ++removed;
  return 0;
}

int security_save_pf2file(u8* pData, u32 len) {
  std::lock_guard<std::mutex> g(mu);
  saved.emplace_back(pData, pData + len);
  return 0;
}

int security_enable_pf(u8* ver) {
  std::lock_guard<std::mutex> g(mu);
  enabled.push_back({ver[0], ver[1]});
  return enable_result;
}

// A second open file description cannot take the lock while the caller
// holds it.
int ztpu_repair_record_file() {
  ++repairs;
  int fd = open(ztpu::path::record_lock, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ++repairs_locked;
  close(fd);
  return 0;
}

#include "security_double.h"

#include <atomic>
#include <cstring>

#include "ztpu/common.h"

namespace {
std::atomic<bool> need_remove{false};
std::atomic<int> removed{0};
}  // namespace

namespace security_double {
void set_need_remove(bool need) { need_remove = need; }
int remove_calls() { return removed.load(); }
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

// Phone link: the receiver thread stores the latest good ticket record with
// its arrival time; the gate thread takes it at most once, and only while it
// is fresh.
#include "ztpu/phone.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "kalvo/kalvo.h"
#include "ztpu/crypto.h"
#include "ztpu/le.h"
#include "ztpu/log.h"

namespace {

constexpr int kRecordSize = sizeof(phone_rx);
constexpr std::time_t kMaxAge = 1;  // seconds

struct phone_cached_data {
  phone_rx data;
  std::time_t time;
  std::atomic<int> valid;  // also tested before the lock is taken
};

phone_cached_data cached_data{};
std::shared_mutex cached_data_lock;
kalvo_receiver* kalvo_rx = nullptr;
std::atomic<phone_clock_fn> clock_fn{nullptr};

std::time_t now() {
  const phone_clock_fn fn = clock_fn.load();
  return fn != nullptr ? fn() : std::time(nullptr);
}

}  // namespace

void phone_set_clock(phone_clock_fn clock) { clock_fn.store(clock); }

void phone_read_handler(unsigned char* buf, int count, void* /*arg*/) {
  if (buf == nullptr || count != kRecordSize) return;
  const unsigned stored = ztpu::get_le16(buf + 24);
  if (crypto_crc16(buf, 24) != stored) return;
  std::unique_lock lock(cached_data_lock);
  std::memcpy(&cached_data.data, buf, kRecordSize);
  cached_data.time = now();
  cached_data.valid = 1;
}

int phone_receive(phone_rx* rx) {
  if (cached_data.valid.load() == 0) return -1;
  std::shared_lock lock(cached_data_lock);
  const std::time_t age = now() - cached_data.time;
  int result = -1;
  // A negative age (clock set back) still counts as fresh.
  if (age <= kMaxAge && rx != nullptr) {
    std::memcpy(rx, &cached_data.data, kRecordSize);
    result = 0;
  }
  cached_data.valid = 0;
  return result;
}

int phone_transmit(const phone_tx* tx) { return bt_write(tx, sizeof(phone_tx)); }

int phone_init() {
  {
    std::unique_lock lock(cached_data_lock);
    std::memset(&cached_data.data, 0, sizeof cached_data.data);
    cached_data.time = 0;
    cached_data.valid = 0;
  }
  if (bt_open() != 0) {
    ztpu_log(LOG_ERR, "failed to initialize bluetooth module\n");
    return -1;
  }
  kalvo_rx = kalvo_receiver_new(phone_read_handler, nullptr);
  if (kalvo_rx == nullptr) {
    ztpu_log(LOG_ERR, "failed to initialize sound module\n");
    bt_close();
    return -1;
  }
  kalvo_receiver_start(kalvo_rx);
  return 0;
}

unsigned phone_rx_progress() {
  return kalvo_rx != nullptr ? kalvo_rx->progress.load(std::memory_order_relaxed) : 0;
}

void phone_exit() {
  kalvo_receiver_free(kalvo_rx);
  kalvo_rx = nullptr;
  bt_close();
}

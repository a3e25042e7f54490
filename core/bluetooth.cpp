// The Bluetooth serial module's port: a plain UART, written to from the
// gate thread only, so no lock. Nothing reads from the phone over it.
#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/phone.h"
#include "ztpu/serial.h"

namespace {

// Negative while closed; after a failed open it keeps serial_open's result.
int bt_fd = -1;

}  // namespace

int bt_open() {
  bt_fd = serial_open(ztpu::path::bt_tty, 115200, nullptr);
  if (bt_fd < 0) {
    ztpu_log(LOG_ERR, "failed to open bluetooth device\n");
    return -1;
  }
  return 0;
}

void bt_close() {
  if (bt_fd >= 0) serial_close(bt_fd);
  bt_fd = -1;
}

int bt_write(const void* buf, size_t n) { return serial_write(bt_fd, buf, n); }

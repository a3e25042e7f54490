// Serial port module: raw tty set-up, reads with a time-out.
#include "ztpu/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "ztpu/log.h"

namespace {

constexpr serial_attr default_attr{1, 255};

speed_t speed_const(int speed) {
  switch (speed) {
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 230400:
      return B230400;
    default:
      return B115200;
  }
}

size_t clamp_len(size_t n) { return std::min(n, static_cast<size_t>(INT_MAX)); }

}  // namespace

void serial_attr_get_default(serial_attr* attr) {
  if (attr != nullptr) *attr = default_attr;
}

int serial_open(const char* dev, int speed, const serial_attr* attr) {
  const int fd = dev != nullptr ? ::open(dev, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (fd < 0) {
    ztpu_log(LOG_ERR, "[SERIAL] failed to open device: %s\n", dev != nullptr ? dev : "(null)");
    return SERIAL_EOPEN;
  }
  const serial_attr& a = attr != nullptr ? *attr : default_attr;
  termios tio{};
  tio.c_cflag = CS8 | CREAD | CLOCAL;
  tio.c_cc[VTIME] = static_cast<cc_t>(a.vtime);
  tio.c_cc[VMIN] = static_cast<cc_t>(a.vmin);
  const speed_t s = speed_const(speed);
  cfsetispeed(&tio, s);
  cfsetospeed(&tio, s);
  tcflush(fd, TCIOFLUSH);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) ztpu_log(LOG_ERR, "[SERIAL] tcsetattr() failed\n");
  return fd;
}

int serial_close(int fd) { return ::close(fd); }

int serial_write(int fd, const void* buf, size_t n) {
  return static_cast<int>(::write(fd, buf, clamp_len(n)));
}

int serial_read(int fd, void* buf, size_t n) {
  return static_cast<int>(::read(fd, buf, clamp_len(n)));
}

int serial_read_timeout(int fd, void* buf, size_t n, int timeout) {
  // poll rather than select: no FD_SETSIZE limit on the descriptor.
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, std::max(timeout, 0));
  if (r < 0) return SERIAL_EOPEN;
  if (r == 0) return SERIAL_ETIMEDOUT;
  return serial_read(fd, buf, n);
}

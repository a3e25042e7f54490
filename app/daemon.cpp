// Clean stop and service manager notifications of ztpud.
#include "ztpu/daemon.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/phone.h"
#include "ztpu/security.h"
#include "ztpu/server.h"

namespace {

constexpr std::int64_t kStatusPeriodNs = 2'000'000'000;  // without a watchdog

int signal_fd = -1;
bool stop_seen = false;

bool notify_on = false;           // NOTIFY_SOCKET is set
std::uint64_t watchdog_usec = 0;  // 0: no watchdog asked for
std::int64_t next_check_ns = 0;   // monotonic time of the next check
unsigned last_rx = 0;             // receiver progress at the last check
bool rx_stalled = false;          // logged once per stall
std::array<char, 128> last_status{};

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

const char* link_text(int status) {
  switch (status) {
    case SERVER_STATUS_SIGNED_IN:
      return "signed in";
    case SERVER_STATUS_ONLINE:
      return "signing in again";
    default:
      return "offline";
  }
}

// One line: link status, key version in use, orders not yet uploaded (the
// queued order files and the record file's bytes not yet rotated).
void status_line(std::array<char, 128>& out) {
  u8 ver[2] = {};
  const bool have_ver = security_get_runkeyver(ver, sizeof ver) == 0;
  struct stat st {};
  const long long unrotated =
      stat(ztpu::path::record_file, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  char ver_text[8] = "none";
  if (have_ver) std::snprintf(ver_text, sizeof ver_text, "%02x%02x", ver[0], ver[1]);
  std::snprintf(out.data(), out.size(),
                "server %s, key version %s, orders waiting: %d files + %lld B",
                link_text(server_get_status()), ver_text, server_orders_waiting(), unrotated);
}

void send_status(bool ready) {
  std::array<char, 128> line{};
  status_line(line);
  if (!ready && std::strcmp(line.data(), last_status.data()) == 0) return;
  last_status = line;
  sd_notifyf(0, "%sSTATUS=%s", ready ? "READY=1\n" : "", line.data());
}

std::int64_t check_period_ns() {
  return watchdog_usec > 0 ? static_cast<std::int64_t>(watchdog_usec) * 1000 / 3 : kStatusPeriodNs;
}

}  // namespace

int daemon_signals_init() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    ztpu_log(LOG_ERR, "signalfd failed, error %d.\n", errno);
    return -1;
  }
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
    close(fd);
    ztpu_log(LOG_ERR, "blocking the stop signals failed.\n");
    return -1;
  }
  signal_fd = fd;
  return 0;
}

int daemon_stop_requested() {
  if (stop_seen || signal_fd < 0) return stop_seen ? 1 : 0;
  signalfd_siginfo info{};
  const ssize_t n = read(signal_fd, &info, sizeof info);
  if (n == static_cast<ssize_t>(sizeof info)) {
    stop_seen = true;
    ztpu_log(LOG_INFO, "stop requested by signal %u\n", info.ssi_signo);
  }
  return stop_seen ? 1 : 0;
}

void daemon_signals_close() {
  if (signal_fd >= 0) close(signal_fd);
  signal_fd = -1;
}

void daemon_notify_ready() {
  notify_on = std::getenv("NOTIFY_SOCKET") != nullptr;
  if (!notify_on) return;
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_usec = usec;
  last_rx = phone_rx_progress();
  next_check_ns = now_ns() + check_period_ns();
  send_status(true);
}

void daemon_notify_tick() {
  if (!notify_on) return;
  const std::int64_t now = now_ns();
  if (now < next_check_ns) return;
  next_check_ns = now + check_period_ns();
  if (watchdog_usec > 0) {
    const unsigned rx = phone_rx_progress();
    if (rx != last_rx) {
      sd_notify(0, "WATCHDOG=1");
      if (rx_stalled) ztpu_log(LOG_INFO, "audio receiver running again\n");
      rx_stalled = false;
    } else if (!rx_stalled) {
      // No ping: the service manager restarts us if it does not come back.
      ztpu_log(LOG_ERR, "audio receiver stalled, watchdog not fed\n");
      rx_stalled = true;
    }
    last_rx = rx;
  }
  send_status(false);
}

void daemon_notify_stopping() {
  if (notify_on) sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

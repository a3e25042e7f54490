#include "ztpu/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string_view>

#include "ztpu/paths.h"

namespace {

std::mutex sink_mutex;
ztpu_log_sink sink_fn = nullptr;
void* sink_ctx = nullptr;
std::atomic<bool> sink_set{false};

const char* level_name(int priority) {
  switch (priority & LOG_PRIMASK) {
    case LOG_EMERG:
    case LOG_ALERT:
    case LOG_CRIT:
    case LOG_ERR:
      return "err";
    case LOG_WARNING:
      return "warning";
    default:
      return "info";
  }
}

void append_to_file(int priority, std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);

  std::array<char, 1280> line{};
  time_t now = time(nullptr);
  struct tm tm_now {};
  localtime_r(&now, &tm_now);
  int head = snprintf(line.data(), line.size(),
                      "%04d-%02d-%02dT%02d:%02d:%02d ztpud[%ld]: %s: ", tm_now.tm_year + 1900,
                      tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min,
                      tm_now.tm_sec, static_cast<long>(getpid()), level_name(priority));
  if (head < 0) return;
  size_t pos = static_cast<size_t>(head);
  size_t room = line.size() - pos - 1;  // keep one byte for the line feed
  size_t n = text.size() < room ? text.size() : room;
  text.copy(line.data() + pos, n);
  pos += n;
  line[pos++] = '\n';

  int fd = open(ztpu::path::log_file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // nowhere to report it; the board keeps running
  // One write per line keeps concurrent writers' lines whole (O_APPEND).
  ssize_t w = write(fd, line.data(), pos);
  (void)w;
  close(fd);
}

}  // namespace

void ztpu_vlog(int priority, const char* fmt, va_list ap) {
  std::array<char, 1024> text{};
  int n = vsnprintf(text.data(), text.size(), fmt, ap);
  if (n < 0) return;

  if (sink_set.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(sink_mutex);
    if (sink_fn != nullptr) {
      sink_fn(priority, text.data(), sink_ctx);
      return;
    }
  }
  if constexpr (ztpu::path::simulated) {
    append_to_file(priority, text.data());
  } else {
    syslog(priority, "%s", text.data());
  }
}

void ztpu_log(int priority, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  ztpu_vlog(priority, fmt, ap);
  va_end(ap);
}

void ztpu_log_set_sink(ztpu_log_sink sink, void* ctx) {
  std::lock_guard<std::mutex> guard(sink_mutex);
  sink_fn = sink;
  sink_ctx = ctx;
  sink_set.store(sink != nullptr, std::memory_order_release);
}

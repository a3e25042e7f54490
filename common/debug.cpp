// Debugging helpers: the timing hook and the hex dump to the log.
#include <array>
#include <cstdio>

#include "ztpu/common.h"
#include "ztpu/log.h"

void get_print_time(const char* /*tag*/, timeval* /*start_tv*/, timeval* /*out_tv*/) {}

void hexdump(const char* title, const void* buf, int n) {
  if (title != nullptr) ztpu_log(LOG_INFO, "%s (%d):\n", title, n);
  const auto* b = static_cast<const unsigned char*>(buf);
  std::array<char, 64> line{};
  int pos = 0;
  for (int i = 0; b != nullptr && i < n; ++i) {
    if (i > 0 && i % 16 == 0) {
      ztpu_log(LOG_INFO, "%s\n", line.data());
      pos = 0;
      line[0] = '\0';
    }
    pos += std::snprintf(line.data() + pos, line.size() - static_cast<size_t>(pos), " %02x", b[i]);
  }
  ztpu_log(LOG_INFO, "%s\n", line.data());
}

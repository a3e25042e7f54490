// Text and time helpers shared by the configuration parser, the card-style
// interface and the transaction core.
#include "ztpu/common.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>

#include "ztpu/log.h"

namespace {

int bcd_digits(unsigned char b) { return (b >> 4) * 10 + (b & 0x0f); }

unsigned char to_bcd(int v) { return static_cast<unsigned char>(((v / 10) % 10) << 4 | (v % 10)); }

}  // namespace

char* trim(char* str, const char* match) {
  if (str == nullptr || match == nullptr) return str;
  size_t n = std::strlen(str);
  while (n > 0 && std::strchr(match, str[n - 1]) != nullptr) str[--n] = '\0';
  if (n == 0) return str;
  char* p = str;
  while (*p != '\0' && std::strchr(match, *p) != nullptr) ++p;
  return p;
}

int time_bcd_to_stamp(const char* bcd, unsigned int* stamp) {
  if (bcd == nullptr || stamp == nullptr) return -1;
  const auto* b = reinterpret_cast<const unsigned char*>(bcd);
  std::tm tm{};
  tm.tm_year = bcd_digits(b[0]) * 100 + bcd_digits(b[1]) - 1900;
  tm.tm_mon = bcd_digits(b[2]) - 1;
  tm.tm_mday = bcd_digits(b[3]);
  tm.tm_hour = bcd_digits(b[4]);
  tm.tm_min = bcd_digits(b[5]);
  tm.tm_sec = bcd_digits(b[6]);
  tm.tm_isdst = -1;  // let the zone decide
  const time_t t = std::mktime(&tm);
  // Compared by value, not in time_t: a 32-bit time_t cannot hold
  // UINT32_MAX. mktime gives -1 for a time the platform cannot hold.
  if (std::cmp_less(t, 0) || std::cmp_greater(t, std::numeric_limits<std::uint32_t>::max())) {
    ztpu_log(LOG_ERR, "time %02x%02x%02x%02x%02x%02x%02x out of range.\n", b[0], b[1], b[2], b[3],
             b[4], b[5], b[6]);
    return -1;
  }
  *stamp = static_cast<unsigned int>(t);
  return 0;
}

int time_stamp_to_bcd(unsigned int stamp, char* bcd) {
  if (bcd == nullptr) return -1;
  // A 32-bit time_t ends in 2038: a later count would wrap to 1901.
  if (std::cmp_greater(stamp, std::numeric_limits<time_t>::max())) {
    ztpu_log(LOG_ERR, "time %u out of range.\n", stamp);
    return -1;
  }
  const auto t = static_cast<time_t>(stamp);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return -1;
  const int year = tm.tm_year + 1900;
  bcd[0] = static_cast<char>(to_bcd(year / 100));
  bcd[1] = static_cast<char>(to_bcd(year % 100));
  bcd[2] = static_cast<char>(to_bcd(tm.tm_mon + 1));
  bcd[3] = static_cast<char>(to_bcd(tm.tm_mday));
  bcd[4] = static_cast<char>(to_bcd(tm.tm_hour));
  bcd[5] = static_cast<char>(to_bcd(tm.tm_min));
  bcd[6] = static_cast<char>(to_bcd(tm.tm_sec));
  return 0;
}

int byte_to_hex(const char* data, int len, char* str, const char* split_str) {
  if (data == nullptr || str == nullptr || len < 1) return -1;
  static constexpr char digits[] = "0123456789ABCDEF";
  const bool split = split_str != nullptr && split_str[0] != '\0';
  const size_t split_len = split ? std::strlen(split_str) : 0;
  char* p = str;
  for (int i = 0; i < len; ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    *p++ = digits[b >> 4];
    *p++ = digits[b & 0x0f];
    if (split && i + 1 < len) {
      std::memcpy(p, split_str, split_len);
      p += split_len;
    }
  }
  *p = '\0';
  return 0;
}

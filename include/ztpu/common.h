// Shared fixed-width types and small helpers: text trimming, conversions
// between the 7-byte BCD times of the gate protocol and second counts,
// hexadecimal rendering, a timing hook and a hex dump to the log.
//
// BCD time: century, year, month, day, hour, minute, second, two decimal
// digits per byte, high digit first ("%02x" per byte reads YYYYMMDDhhmmss).
// Conversions use the local time zone. No helper keeps state.
#pragma once

#include <sys/time.h>

#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Size of a BCD time.
inline constexpr int BCD_TIME_LEN = 7;

// Cuts trailing characters found in `match` (in place), then skips leading
// ones; returns a pointer into `str` to the trimmed text.
char* trim(char* str, const char* match);

// BCD time (7 bytes, local time) to seconds since the epoch. 0, or -1 when a
// pointer is NULL or the time lies outside the unsigned 32-bit count or what
// the platform's time_t can hold (logged).
int time_bcd_to_stamp(const char* bcd, unsigned int* stamp);

// Seconds since the epoch to a BCD time (7 bytes, local time). 0, or -1 when
// bcd is NULL or the count is beyond the platform's time_t (logged) or the
// local time cannot be formed.
int time_stamp_to_bcd(unsigned int stamp, char* bcd);

// Renders len bytes as uppercase hex pairs ("%02X"), split_str (if not NULL
// or empty) between consecutive bytes, terminated. str must hold
// 2*len + (len-1)*strlen(split_str) + 1 bytes. 0, or -1 when data or str is
// NULL or len < 1.
int byte_to_hex(const char* data, int len, char* str, const char* split_str);

// Timing hook at marked points of a transaction; has no effect.
void get_print_time(const char* tag, timeval* start_tv, timeval* out_tv);

// Logs buf as lines of 16 " %02x" groups at LOG_INFO, preceded by
// "title (n):" when title is not NULL.
void hexdump(const char* title, const void* buf, int n);

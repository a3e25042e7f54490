// A stand-in for the security module in server link tests: a fixed device
// identifier, a fixed authentication code, an old-key-table mark that the
// test sets and the removal clears, and a key store that keeps what it is
// given. Also a stand-in for the record-file repair that checks that the
// caller holds the record lock.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace security_double {

inline constexpr std::array<std::uint8_t, 16> kDeviceId = {
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};
inline constexpr std::uint8_t kTacByte = 0x5A;
inline constexpr std::array<std::uint8_t, 3> kKeyId = {0x01, 0x02, 0x03};

void set_need_remove(bool need);
int remove_calls();

// Key payloads stored with security_save_pf2file, in order; the next
// result of enabling.
std::vector<std::vector<std::uint8_t>> saved_payloads();
// Versions passed to security_enable_pf (2 bytes each), in order.
std::vector<std::array<std::uint8_t, 2>> enabled_versions();
void set_enable_result(int result);

// Calls of the record-file repair, and how many found the lock held.
int repair_calls();
int repair_calls_locked();

}  // namespace security_double

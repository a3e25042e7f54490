// A stand-in for the security module in server link tests: a fixed device
// identifier, a fixed authentication code, and an old-key-table mark that the
// test sets and the removal clears.
#pragma once

#include <array>
#include <cstdint>

namespace security_double {

inline constexpr std::array<std::uint8_t, 16> kDeviceId = {
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};
inline constexpr std::uint8_t kTacByte = 0x5A;
inline constexpr std::array<std::uint8_t, 3> kKeyId = {0x01, 0x02, 0x03};

void set_need_remove(bool need);
int remove_calls();

}  // namespace security_double

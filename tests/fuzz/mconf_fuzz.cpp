// The configuration text loaded from the board's file (start-up) and from a
// buffer (an update): both must agree; every item is read back.
#include <array>

#include "fuzz_support.h"
#include "ztpu/mconf.h"

namespace {

void read_all() {
  for (int k = -1; k <= MC_ITEMS; ++k) {
    const auto key = static_cast<mconf_key>(k);
    (void)mconf_get_int(key);
    std::array<char, 256> big{};
    (void)mconf_get_str(key, big.data(), static_cast<int>(big.size()));
    std::array<char, 16> field{};  // a fixed-width field, no terminator when full
    (void)mconf_get_str(key, field.data(), static_cast<int>(field.size()));
  }
  mconf_exit();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  ztpu_fuzz::enter_scratch_board();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  ztpu_fuzz::write_file(ztpu::path::conf, data, size);
  const int from_file = mconf_init();
  read_all();
  // An empty file is refused, an empty buffer merely incomplete: both fail.
  if (mconf_load_from_buffer(reinterpret_cast<const char*>(data), static_cast<int>(size)) !=
      from_file)
    ztpu_fuzz::fail("file and buffer loads disagree");
  read_all();
  return 0;
}

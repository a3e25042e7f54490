// The configuration text, loaded from the board's configuration file as at
// start-up and from a buffer as a configuration update does; both must agree.
// Every item is read back through the getters.
#include <array>
#include <cstdint>

#include "fuzz_support.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"

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
  mconf_exit();

  const int from_buffer =
      mconf_load_from_buffer(reinterpret_cast<const char*>(data), static_cast<int>(size));
  // An empty file is refused where an empty buffer is merely incomplete:
  // both fail.
  if (from_file != from_buffer) ztpu_fuzz::fail("file and buffer loads disagree");
  read_all();
  mconf_exit();
  return 0;
}

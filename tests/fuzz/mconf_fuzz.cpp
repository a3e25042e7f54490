// The configuration text loaded from the board's file (start-up) and from a
// buffer (an update): both must agree; every item is read back.

#include "fuzz_support.h"
#include "ztpu/mconf.h"

static void read_all() {
  for (int k = -1; k <= MC_ITEMS; ++k) {
    (void)mconf_get_int(static_cast<mconf_key>(k));
    for (int cap : {256, 16}) {  // 16: a fixed-width field, no terminator when full
      std::vector<char> s(static_cast<size_t>(cap));
      (void)mconf_get_str(static_cast<mconf_key>(k), s.data(), cap);
    }
  }
  mconf_exit();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(true);
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

#include <gtest/gtest.h>

#include <cstdlib>

#include "ztpu/crypto.h"

// Its own program, so that no earlier call has loaded the legacy provider.
TEST(CryptoLegacy, MissingProviderFailsOnlyLegacyModes) {
  ASSERT_EQ(setenv("OPENSSL_MODULES", "/nonexistent-ztpu-modules", 1), 0);
  unsigned char buf[48] = {};
  for (int mode : {1, 2, 3, 4, 25, 26, 27, 28, 5, 11, 14, 15}) {
    crypto_param p{mode, buf, 16, buf, 16, buf, 16, 1};
    int outl = 0;
    EXPECT_EQ(crypto_crypt(&p, buf + 16, &outl), (mode <= 4 || mode >= 25) ? -1 : 0) << mode;
  }
}

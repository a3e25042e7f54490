#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdlib>

#include "test_support.h"
#include "ztpu/crypto.h"

// Without the legacy provider single DES and Blowfish fail with a log line;
// the other modes keep working. Its own program, so that no earlier call
// has loaded the provider yet.
TEST(CryptoLegacy, MissingProviderFailsOnlyLegacyModes) {
  ASSERT_EQ(setenv("OPENSSL_MODULES", "/nonexistent-ztpu-modules", 1), 0);
  ztpu_test::LogCapture cap;
  std::array<unsigned char, 16> key{}, in{};
  std::array<unsigned char, 48> out{};
  for (int mode : {1, 2, 3, 4, 25, 26, 27, 28, 5, 11, 14, 15}) {
    crypto_param p{mode, in.data(), 16, key.data(), 16, key.data(), 16, 1};
    int outl = 0;
    EXPECT_EQ(crypto_crypt(&p, out.data(), &outl), (mode <= 4 || mode >= 25) ? -1 : 0) << mode;
  }
  EXPECT_TRUE(cap.contains("legacy provider not loaded", LOG_ERR));
  EXPECT_EQ(cap.count("unavailable\n"), 9u);  // the provider line and eight refusals
}

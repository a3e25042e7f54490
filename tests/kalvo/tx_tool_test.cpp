// ztpu-kalvo-tx: its output decodes to the payload it was given.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "frames.h"
#include "kalvo/kalvo.h"
#include "test_support.h"

namespace {

using namespace kalvo_test;

int run(const std::string& args) {
  const std::string cmd =
      ztpu_test::program_command(ztpu_test::build_dir() + "/bin/ztpu-kalvo-tx") + " " + args +
      " 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

Samples first_channel(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Samples s;
  for (size_t i = 0; i + 4 <= raw.size(); i += 4) {
    const auto lo = static_cast<unsigned char>(raw[i]), hi = static_cast<unsigned char>(raw[i + 1]);
    s.push_back(static_cast<pcm_t>(lo | hi << 8));
  }
  EXPECT_EQ(raw.size() % 4, 0u);
  return s;
}

TEST(KalvoTxTool, WritesDecodableStereoFrames) {
  ztpu_test::ScratchDir dir;
  const std::string hex = "00112233445566778899aabbccddeeff0123456789abcdefcafe";
  ASSERT_EQ(run("-o once.raw " + hex), 0);
  ASSERT_EQ(run("-3 -p 32767 -o three.raw " + hex), 0);
  ASSERT_EQ(run(hex + " > stdout.raw"), 0);
  Bytes expect;
  for (size_t i = 0; i < hex.size(); i += 2)
    expect.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));

  const Samples once = first_channel("once.raw");
  EXPECT_EQ(once.size(), static_cast<size_t>(kalvo_tx_frame_samples(26)));
  EXPECT_EQ(once, first_channel("stdout.raw"));
  EXPECT_EQ(once, frame(expect));
  const Samples three = first_channel("three.raw");
  EXPECT_EQ(three.size(), 3 * once.size() + 200 + 1234);

  std::unique_ptr<kalvo_decoder, void (*)(kalvo_decoder*)> d(kalvo_decoder_new(),
                                                             kalvo_decoder_free);
  Samples s(three);
  s.insert(s.end(), 1000, 0);
  const auto got = decode_stream(d.get(), s, 128);
  ASSERT_FALSE(got.empty());
  for (const Bytes& b : got) EXPECT_EQ(b, expect);
}

TEST(KalvoTxTool, RejectsBadInput) {
  ztpu_test::ScratchDir dir;
  EXPECT_EQ(run("abc"), 2);                 // odd digits
  EXPECT_EQ(run("001122"), 2);              // odd byte count
  EXPECT_EQ(run("zz11"), 2);                // not hex
  EXPECT_EQ(run(std::string(68, 'a')), 2);  // 34 bytes
  EXPECT_EQ(run("-p 40000 0011"), 2);       // would clip
  EXPECT_EQ(run("-o no/such/dir/x.raw 0011"), 1);
  EXPECT_FALSE(dir.exists("no"));
}

}  // namespace

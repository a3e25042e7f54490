// Stream decoder, transmitter and its tool: alignment, header and XOR checks,
// block sizes, silence and the frame layout.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>

#include "frames.h"
#include "kalvo/kalvo.h"
#include "test_support.h"

namespace {

using namespace kalvo_test;

using Decoder = std::unique_ptr<kalvo_decoder, void (*)(kalvo_decoder*)>;
Decoder make() { return Decoder(kalvo_decoder_new(), kalvo_decoder_free); }

Samples with_tail(Samples s) {
  s.insert(s.end(), 1000, 0);
  return s;
}
// Decodes `s` and a tail of silence in blocks of 128.
std::vector<Bytes> heard(const Samples& s, kalvo_decoder* d = nullptr) {
  return decode_stream(d ? d : make().get(), with_tail(s), 128);
}

// A frame built by hand from the modulator with a chosen header word.
Samples raw_frame(unsigned header, const std::vector<uint16_t>& symbols) {
  std::vector<int64_t> body(256);
  kalvo_get_preamble(body.data());
  Samples s;
  for (size_t p = 0; p <= symbols.size() + 1; ++p) {
    if (p > 0) kalvo_modulate(p == 1 ? header : symbols[p - 2], body.data());
    // Preamble at 1:1, symbols scaled down to fit 16 bits.
    for (int64_t v : body) s.push_back(static_cast<pcm_t>(p == 0 ? v / 3 : v / 1000));
    s.insert(s.end(), KALVO_GUARD, 0);
  }
  return s;
}

TEST(KalvoDecoder, EveryLengthAtAlignments) {
  struct Case {
    int lead, lag;
  } const cases[] = {{0, 0}, {37, -37}, {251, 0}};
  for (int len = 2; len <= 32; len += 2) {
    const Bytes t = ticket(static_cast<uint8_t>(len), len);
    const Case c = cases[len % 3];
    Decoder d = make();
    EXPECT_EQ(heard(frame(t, c.lead), d.get()), std::vector<Bytes>{t}) << len;
    EXPECT_EQ(d->offset, c.lag) << len;
    EXPECT_EQ(d->state, 0);
  }
  // Blocks of one decode like blocks of 128.
  const Samples s = with_tail(played(ticket(3)));
  EXPECT_EQ(decode_stream(make().get(), s, 1), decode_stream(make().get(), s, 128));
  EXPECT_EQ(heard(played(ticket(3))).front(), ticket(3));
  // A lag of exactly 128 counts as positive: the frame is missed.
  Decoder d = make();
  EXPECT_TRUE(heard(frame(ticket(1), 128), d.get()).empty());
  EXPECT_EQ(d->offset, 128);
}

TEST(KalvoDecoder, SilenceAndEmptyCalls) {
  Decoder d = make();
  const Samples silence(512, 0);
  for (const int n : {512, 0}) {  // searching consumes 251 per step; nothing is no step
    unsigned char* out = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(kalvo_decoder_decode(d.get(), silence.data(), n, &out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(d->count, 512 - 251);
  }
  EXPECT_TRUE(decode_stream(d.get(), Samples(44100, 0), 128).empty());
  EXPECT_EQ(d->state, 0);
  kalvo_decoder_flush(d.get());
  EXPECT_EQ(d->count, 0);
}

TEST(KalvoDecoder, HeaderAndXorChecks) {
  // 0x0000: length code 0, four data symbols, expected XOR 0xFF.
  const Bytes two = {0x5A, 0xA5};
  std::vector<uint16_t> sym(KALVO_MAX_SYMBOLS);
  ASSERT_EQ(kalvo_tx_symbols(two.data(), 2, sym.data()), 4);
  sym.resize(4);
  ASSERT_EQ(kalvo_tx_header_word(two.data(), 2), 0x0000);
  EXPECT_EQ(heard(raw_frame(0x0000, sym)), std::vector<Bytes>{two});
  EXPECT_TRUE(heard(raw_frame(0x1000, sym)).empty());  // high nibble off by one
  const Bytes zeros(26, 0);
  EXPECT_EQ(kalvo_tx_header_word(zeros.data(), 26), 0xACFF);
  EXPECT_EQ(heard(frame(zeros)), std::vector<Bytes>{zeros});
  // Same length code, checksum off by one, nibble sum kept valid: discarded,
  // and the next frame still decodes.
  const Bytes t = ticket(4);
  sym.resize(static_cast<size_t>(kalvo_tx_symbols(t.data(), 26, sym.data())));
  const unsigned low = (static_cast<unsigned>(kalvo_tx_header_word(t.data(), 26)) & 0xFF) ^ 1;
  Samples s = raw_frame(((((low & 15) + (low >> 4) + 12) & 15) << 12) | 0xC00 | low, sym);
  const Samples next = frame(t);
  s.insert(s.end(), next.begin(), next.end());
  EXPECT_EQ(heard(s), std::vector<Bytes>{t});
}

TEST(KalvoTransmitter, FrameLayoutAndNoClipping) {
  EXPECT_EQ(kalvo_tx_frame_samples(26), 316 * 30);
  EXPECT_EQ(kalvo_tx_frame_samples(2), 316 * 6);
  for (int bad : {0, 1, 3, 25, 34, -2}) EXPECT_EQ(kalvo_tx_frame_samples(bad), -1) << bad;
  const Bytes t(32, 0xFF);
  Samples s(static_cast<size_t>(kalvo_tx_frame_samples(32)), 1);
  const int size = static_cast<int>(s.size());
  EXPECT_EQ(kalvo_tx_build(t.data(), 32, 0, s.data(), size), -1);
  EXPECT_EQ(kalvo_tx_build(t.data(), 32, 32767, s.data(), size - 1), -1);
  EXPECT_EQ(s[0], 1);  // untouched on failure
  ASSERT_EQ(kalvo_tx_build(t.data(), 32, 32767, s.data(), size), size);
  int peak = 0;
  for (pcm_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
  EXPECT_EQ(peak, 32767);
  // Silent gaps; header and symbols carry the words the modulator would give them.
  std::vector<int64_t> window(256);
  std::vector<kalvo_complex> spec(256);
  std::vector<uint16_t> sym(KALVO_MAX_SYMBOLS);
  ASSERT_EQ(kalvo_tx_symbols(t.data(), 32, sym.data()), 34);
  for (int j = 0; j < 36; ++j) {
    const pcm_t* at = &s[static_cast<size_t>(j) * 316];
    EXPECT_EQ(std::count(at + 256, at + 316, 0), 60) << j;
    std::copy(at, at + 256, window.begin());
    const int want = j == 0 ? 0 : j == 1 ? kalvo_tx_header_word(t.data(), 32) : sym[j - 2];
    EXPECT_EQ(j == 0 ? 0 : kalvo_demodulate(window.data(), spec.data()), want) << j;
  }
  for (unsigned word = 0; word < 0x10000; word += 257) {
    kalvo_modulate(word, window.data());
    ASSERT_EQ(kalvo_demodulate(window.data(), spec.data()), word);
  }
}

int run_tx(const std::string& args) {
  const std::string cmd = ztpu_test::program_command(ztpu_test::build_dir() + "/bin/ztpu-kalvo-tx");
  const int rc = std::system((cmd + " " + args + " 2>/dev/null").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Both channels alike, 16-bit little-endian.
std::string stereo(const Samples& s) {
  std::string r;
  for (pcm_t v : s) r += {char(v & 0xff), char(v >> 8 & 0xff), char(v & 0xff), char(v >> 8 & 0xff)};
  return r;
}

TEST(KalvoTxTool, WritesStereoFramesAndRejectsBadInput) {
  ztpu_test::ScratchDir dir;
  const std::string hex = "00112233445566778899aabbccddeeff0123456789abcdefcafe";
  ASSERT_EQ(run_tx("-p 32767 -o loud.raw " + hex), 0);
  ASSERT_EQ(run_tx("-3 " + hex + " > three.raw"), 0);
  Bytes expect;
  for (size_t i = 0; i < hex.size(); i += 2)
    expect.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  Samples loud(static_cast<size_t>(kalvo_tx_frame_samples(26)));
  ASSERT_GT(kalvo_tx_build(expect.data(), 26, 32767, loud.data(), static_cast<int>(loud.size())),
            0);
  EXPECT_EQ(dir.read("loud.raw"), stereo(loud));
  EXPECT_EQ(dir.read("three.raw"), stereo(played(expect)));
  // Odd digits, odd byte count, not hex, would clip, 34 bytes; unwritable.
  for (const std::string& bad :
       std::vector<std::string>{"abc", "001122", "zz11", "-p 40000 0011", std::string(68, 'a')})
    EXPECT_EQ(run_tx(bad), 2) << bad;
  EXPECT_EQ(run_tx("-o no/such/dir/x.raw 0011"), 1);
  EXPECT_FALSE(dir.exists("no"));
}

}  // namespace

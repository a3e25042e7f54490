#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "frames.h"
#include "kalvo/kalvo.h"

namespace {

using namespace kalvo_test;

using Decoder = std::unique_ptr<kalvo_decoder, void (*)(kalvo_decoder*)>;
Decoder make() { return Decoder(kalvo_decoder_new(), kalvo_decoder_free); }

// Decodes `s` and a tail of silence.
std::vector<Bytes> heard(Samples s, kalvo_decoder* d = nullptr, int block = 128) {
  s.insert(s.end(), 1000, 0);
  return decode_stream(d ? d : make().get(), s, block);
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
  const std::pair<int, int> cases[] = {{0, 0}, {37, -37}, {251, 0}};
  for (int len = 2; len <= 32; len += 2) {
    const Bytes t = ticket(static_cast<uint8_t>(len), len);
    const auto [lead, lag] = cases[len % 3];
    Decoder d = make();
    EXPECT_EQ(heard(frame(t, lead), d.get()), std::vector<Bytes>{t}) << len;
    EXPECT_EQ(d->offset, lag) << len;
    EXPECT_EQ(d->state, 0);
  }
  for (const int block : {1, 128})
    EXPECT_EQ(heard(played(ticket(3)), nullptr, block), std::vector<Bytes>(2, ticket(3)));
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
  std::vector<int> sizes;
  for (int len : {26, 2, 0, 1, 3, 25, 34, -2}) sizes.push_back(kalvo_tx_frame_samples(len));
  EXPECT_EQ(sizes, (std::vector<int>{316 * 30, 316 * 6, -1, -1, -1, -1, -1, -1}));
  const Bytes t(32, 0xFF);
  Samples s(static_cast<size_t>(kalvo_tx_frame_samples(32)), 1);
  const int size = static_cast<int>(s.size());
  EXPECT_EQ(kalvo_tx_build(t.data(), 32, 0, s.data(), size) +
                kalvo_tx_build(t.data(), 32, 32767, s.data(), size - 1),
            -2);
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
}

}  // namespace

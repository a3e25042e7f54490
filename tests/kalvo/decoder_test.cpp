// Stream decoder and transmitter: alignment, header and XOR checks, block
// sizes, silence and noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "frames.h"
#include "kalvo/kalvo.h"

namespace {

using namespace kalvo_test;

struct DecoderFree {
  void operator()(kalvo_decoder* d) const { kalvo_decoder_free(d); }
};
using Decoder = std::unique_ptr<kalvo_decoder, DecoderFree>;

Decoder make() {
  Decoder d(kalvo_decoder_new());
  EXPECT_NE(d, nullptr);
  return d;
}

Samples with_tail(Samples s, int tail = 1000) {
  s.insert(s.end(), static_cast<size_t>(tail), 0);
  return s;
}

// Builds a frame by hand from the modulator with a chosen header word.
Samples raw_frame(unsigned header, const std::vector<uint16_t>& symbols) {
  std::vector<std::vector<int64_t>> parts;
  std::vector<int64_t> body(256);
  kalvo_get_preamble(body.data());
  parts.push_back(body);
  kalvo_modulate(header, body.data());
  parts.push_back(body);
  for (uint16_t w : symbols) {
    kalvo_modulate(w, body.data());
    parts.push_back(body);
  }
  Samples s;
  for (size_t p = 0; p < parts.size(); ++p) {
    // Preamble at 1:1, symbols scaled down to fit 16 bits.
    for (int64_t v : parts[p]) s.push_back(static_cast<pcm_t>(p == 0 ? v / 3 : v / 1000));
    s.insert(s.end(), KALVO_GUARD, 0);
  }
  return s;
}

TEST(KalvoDecoder, CleanFrameAtAlignments) {
  const Bytes t = ticket(1);
  struct Case {
    int lead;
    int lag;
  };
  for (Case c : {Case{0, 0}, Case{37, -37}, Case{251, 0}}) {
    Decoder d = make();
    const auto got = decode_stream(d.get(), with_tail(frame(t, c.lead)), 128);
    ASSERT_EQ(got.size(), 1u) << "lead " << c.lead;
    EXPECT_EQ(got[0], t) << "lead " << c.lead;
    EXPECT_EQ(d->offset, c.lag) << "lead " << c.lead;
    EXPECT_EQ(d->state, 0);
  }
  // A lag of exactly 128 counts as positive: the frame is missed.
  Decoder d = make();
  EXPECT_TRUE(decode_stream(d.get(), with_tail(frame(t, 128)), 128).empty());
  EXPECT_EQ(d->offset, 128);
}

TEST(KalvoDecoder, EveryPayloadLength) {
  for (int len = 2; len <= 32; len += 2) {
    const Bytes t = ticket(static_cast<uint8_t>(len), len);
    Decoder d = make();
    const auto got = decode_stream(d.get(), with_tail(frame(t)), 128);
    ASSERT_EQ(got.size(), 1u) << len;
    EXPECT_EQ(got[0], t) << len;
  }
}

TEST(KalvoDecoder, BlocksOfOneDecodeLikeBlocksOf128) {
  const Samples s = with_tail(played(ticket(3)));
  Decoder a = make(), b = make();
  const auto ones = decode_stream(a.get(), s, 1);
  const auto blocks = decode_stream(b.get(), s, 128);
  ASSERT_FALSE(ones.empty());
  EXPECT_EQ(ones, blocks);
}

TEST(KalvoDecoder, SilenceAndEmptyCalls) {
  Decoder d = make();
  unsigned char* out = reinterpret_cast<unsigned char*>(1);
  const Samples silence(512 + 251 * 3, 0);
  EXPECT_EQ(kalvo_decoder_decode(d.get(), silence.data(), 512, &out), 0);
  EXPECT_EQ(out, nullptr);
  // Searching consumes 251 per step.
  EXPECT_EQ(d->count, 512 - 251);
  const int before = d->count;
  out = reinterpret_cast<unsigned char*>(1);
  EXPECT_EQ(kalvo_decoder_decode(d.get(), silence.data(), 0, &out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(d->count, before);
  EXPECT_TRUE(decode_stream(d.get(), Samples(44100, 0), 128).empty());
  EXPECT_EQ(d->state, 0);
  kalvo_decoder_flush(d.get());
  EXPECT_EQ(d->count, 0);
}

TEST(KalvoDecoder, HeaderChecks) {
  // 0x0000: length code 0, four data symbols, expected XOR 0xFF.
  const Bytes two = {0x5A, 0xA5};  // XOR 0xFF
  std::vector<uint16_t> sym(4);
  ASSERT_EQ(kalvo_tx_symbols(two.data(), 2, sym.data()), 4);
  ASSERT_EQ(kalvo_tx_header_word(two.data(), 2), 0x0000);
  Decoder d = make();
  auto got = decode_stream(d.get(), with_tail(raw_frame(0x0000, sym)), 128);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], two);
  // High nibble off by one: the frame is abandoned.
  d = make();
  EXPECT_TRUE(decode_stream(d.get(), with_tail(raw_frame(0x1000, sym)), 128).empty());
  // A ticket of 26 zero bytes needs 0xACFF.
  const Bytes zeros(26, 0);
  EXPECT_EQ(kalvo_tx_header_word(zeros.data(), 26), 0xACFF);
  d = make();
  got = decode_stream(d.get(), with_tail(frame(zeros)), 128);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], zeros);
}

TEST(KalvoDecoder, XorMismatchIsDiscardedAndDecodingGoesOn) {
  const Bytes t = ticket(4);
  std::vector<uint16_t> sym(KALVO_MAX_SYMBOLS);
  const int count = kalvo_tx_symbols(t.data(), 26, sym.data());
  sym.resize(static_cast<size_t>(count));
  const unsigned good = static_cast<unsigned>(kalvo_tx_header_word(t.data(), 26));
  // Same length code, checksum off by one, nibble sum kept valid.
  const unsigned low = (good & 0xFF) ^ 0x01;
  const unsigned bad = ((((low & 15) + (low >> 4) + 12) & 15) << 12) | 0xC00 | low;
  Samples s = raw_frame(bad, sym);
  const Samples next = frame(t);
  s.insert(s.end(), next.begin(), next.end());
  Decoder d = make();
  const auto got = decode_stream(d.get(), with_tail(s), 128);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], t);
}

TEST(KalvoDecoder, ModerateNoiseStillDecodes) {
  std::mt19937 rng(8);
  std::normal_distribution<double> noise(0.0, 1500.0);
  const Bytes t = ticket(5);
  int decoded = 0;
  for (int trial = 0; trial < 5; ++trial) {
    Samples s = with_tail(played(t));
    for (auto& v : s)
      v = static_cast<pcm_t>(std::clamp<long>(v + std::lround(noise(rng)), -32768, 32767));
    Decoder d = make();
    const auto got = decode_stream(d.get(), s, 128);
    for (const Bytes& b : got) EXPECT_EQ(b, t);
    decoded += got.empty() ? 0 : 1;
  }
  EXPECT_EQ(decoded, 5);
}

TEST(KalvoTransmitter, FrameLayoutAndNoClipping) {
  EXPECT_EQ(kalvo_tx_frame_samples(26), 316 * 30);
  EXPECT_EQ(kalvo_tx_frame_samples(2), 316 * 6);
  for (int bad : {0, 1, 3, 25, 34, -2}) EXPECT_EQ(kalvo_tx_frame_samples(bad), -1) << bad;
  const Bytes t(32, 0xFF);
  Samples s(static_cast<size_t>(kalvo_tx_frame_samples(32)), 1);
  EXPECT_EQ(kalvo_tx_build(t.data(), 32, 0, s.data(), static_cast<int>(s.size())), -1);
  EXPECT_EQ(kalvo_tx_build(t.data(), 32, 32767, s.data(), static_cast<int>(s.size()) - 1), -1);
  EXPECT_EQ(s[0], 1);  // untouched on failure
  ASSERT_EQ(kalvo_tx_build(t.data(), 32, 32767, s.data(), static_cast<int>(s.size())),
            static_cast<int>(s.size()));
  int peak = 0;
  for (pcm_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
  EXPECT_EQ(peak, 32767);
  // The gaps are silent.
  for (int sym = 0; sym < 36; ++sym)
    for (int i = 256; i < 316; ++i) ASSERT_EQ(s[static_cast<size_t>(sym * 316 + i)], 0);
  // The symbols carry the words the modulator would give them.
  std::vector<int64_t> window(256);
  std::vector<kalvo_complex> spec(256);
  std::vector<uint16_t> sym(KALVO_MAX_SYMBOLS);
  ASSERT_EQ(kalvo_tx_symbols(t.data(), 32, sym.data()), 34);
  for (int j = 0; j < 34; ++j) {
    for (int i = 0; i < 256; ++i)
      window[i] = s[(static_cast<size_t>(j) + 2) * 316 + static_cast<size_t>(i)];
    ASSERT_EQ(kalvo_demodulate(window.data(), spec.data()), sym[j]) << j;
  }
}

TEST(KalvoModulation, EveryWordSurvivesDemodulation) {
  kalvo_fft_init();
  std::vector<int64_t> w(256);
  std::vector<kalvo_complex> spec(256);
  for (unsigned word = 0; word < 0x10000; word += 257) {
    kalvo_modulate(word, w.data());
    ASSERT_EQ(kalvo_demodulate(w.data(), spec.data()), word);
  }
}

}  // namespace

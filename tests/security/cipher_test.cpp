#include "sec_fixture.h"

using namespace sectest;
using ztpu_test::LogCapture;

namespace {

// A started unit whose table holds the rows of one factor; all rows use
// mode `alg` (0: varied modes).
class TicketCrypto : public testing::Test {
 protected:
  void start(u8 alg, u8 rows = 8) {
    fac_ = factor(0x01, 0x01, rows, 0xA0, 0xB0, alg);
    start_unit(fac_);
  }

  // Enciphers a voucher the way a ticket issuer would, with the signature
  // high byte first or low byte first (or a wrong one).
  Bytes voucher(u32 r, Bytes body, bool high_first, u16 flip = 0) {
    security_key_row row = predicted_row(fac_, r);
    u16 crc = crypto_crc16(body.data(), static_cast<int>(body.size())) ^ flip;
    body.push_back(static_cast<u8>(high_first ? crc >> 8 : crc & 0xFF));
    body.push_back(static_cast<u8>(high_first ? crc & 0xFF : crc >> 8));
    Bytes out(body.size() + 32);
    crypto_param p{row.alg, body.data(), static_cast<int>(body.size()), row.key, 32, row.key, 32,
                   1};
    int n = 0;
    EXPECT_EQ(crypto_crypt(&p, out.data(), &n), 0);
    out.resize(static_cast<size_t>(n));
    return out;
  }

  Board board_;
  Bytes fac_;
};

}  // namespace

TEST_F(TicketCrypto, VoucherSignatureInBothByteOrders) {
  start(0);
  Bytes body = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
  for (u32 r : {0u, 1u, 5u}) {  // modes 1, 2 and 6: stream and block
    for (bool high : {true, false}) {
      SCOPED_TRACE(testing::Message() << "row " << r << (high ? " high first" : " low first"));
      Bytes v = voucher(r, body, high);
      u8 id[3] = {0xA0, 0xB0, static_cast<u8>(r)};
      decrypt_voucher_param p{v.data(), static_cast<int>(v.size()), id, 3};
      std::array<u8, 64> out{};
      int outl = 64;
      ASSERT_EQ(security_decrypt_voucher(&p, out.data(), &outl), 0);
      ASSERT_EQ(outl, 15);
      EXPECT_EQ(Bytes(out.begin(), out.begin() + 13), body);
      // Too little room fails without a message.
      LogCapture cap;
      outl = 14;
      EXPECT_EQ(security_decrypt_voucher(&p, out.data(), &outl), -1);
      EXPECT_TRUE(cap.messages().empty());
    }
  }
  // A wrong signature.
  LogCapture cap;
  Bytes enc = voucher(0, body, true, 0x1234);
  u8 id[3] = {0xA0, 0xB0, 0};
  decrypt_voucher_param p{enc.data(), static_cast<int>(enc.size()), id, 3};
  std::array<u8, 64> out{};
  int outl = 64;
  EXPECT_EQ(security_decrypt_voucher(&p, out.data(), &outl), -1);
  EXPECT_TRUE(cap.contains("signature err(security_decrypt_voucher)!!!\n"));
  EXPECT_EQ(out[0], 0x10);  // the clear bytes are there all the same
  // An unknown key id.
  u8 unknown[3] = {0xA0, 0xB0, 0x99};
  p.keyid = unknown;
  outl = 64;
  EXPECT_EQ(security_decrypt_voucher(&p, out.data(), &outl), -1);
  EXPECT_TRUE(cap.contains("unkown keyid[0]:a0 keyid[1]:b0 keyid[2]:99"));
  // Oversized and undersized vouchers are refused.
  p.keyid = id;
  Bytes big(SECURITY_VOUCHER_MAX + 1, 0);
  p.voucher = big.data();
  p.voucherlen = static_cast<int>(big.size());
  outl = 64;
  EXPECT_EQ(security_decrypt_voucher(&p, out.data(), &outl), -1);
  u8 stream_id[3] = {0xA0, 0xB0, 2};  // row 2: DES-CFB, one clear byte
  p.keyid = stream_id;
  p.voucherlen = 1;
  EXPECT_EQ(security_decrypt_voucher(&p, out.data(), &outl), -1);
  EXPECT_TRUE(cap.contains("voucher length 1 refused"));
}

TEST_F(TicketCrypto, TacIsTheDigestOfTheRowsCiphertext) {
  start(0, 1);  // one row: the pick is known
  std::string order = "20261206183000,000123,0001,150";
  auto* data = reinterpret_cast<u8*>(order.data());
  const int len = static_cast<int>(order.size());
  std::array<u8, 3> id{};
  std::array<u8, 16> tac{}, again{};
  int outl = 15;
  EXPECT_EQ(security_gen_tac(data, len, id.data(), tac.data(), &outl), -1);
  outl = 16;
  ASSERT_EQ(security_gen_tac(data, len, id.data(), tac.data(), &outl), 0);
  EXPECT_EQ(outl, 16);
  EXPECT_EQ(id, (std::array<u8, 3>{0xA0, 0xB0, 0}));
  ASSERT_EQ(security_gen_tac(data, len, id.data(), again.data(), &outl), 0);
  EXPECT_EQ(tac, again);

  security_key_row row = predicted_row(fac_, 0);
  Bytes ct(order.size() + 16);
  crypto_param p{row.alg, data, len, row.key, 32, row.key, 32, 1};
  int n = 0;
  ASSERT_EQ(crypto_crypt(&p, ct.data(), &n), 0);
  std::array<u8, 16> want{};
  ASSERT_EQ(crypto_md5(ct.data(), n, want.data()), 0);
  EXPECT_EQ(tac, want);
}

TEST_F(TicketCrypto, EntryInformationRoundTrip) {
  start(0);
  std::array<u8, 21> rec{};
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<u8>(i * 11);
  std::array<u8, 21> enc{}, dec{};
  int outl = 20;
  EXPECT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), -1);
  outl = 21;
  ASSERT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), 0);
  EXPECT_EQ(outl, 21);
  std::array<u8, 16> md{};
  crypto_md5(rec.data(), 20, md.data());
  EXPECT_EQ(rec[20], crypto_crc8(md.data() + 4, 8));

  outl = 21;
  ASSERT_EQ(security_decrypt_enterinfo(1234567, enc.data(), 21, dec.data(), &outl), 0);
  EXPECT_EQ(dec, rec);

  // Another user: the sign code does not match (for this record).
  LogCapture cap;
  outl = 21;
  EXPECT_EQ(security_decrypt_enterinfo(1234568, enc.data(), 21, dec.data(), &outl), -1);
  EXPECT_TRUE(cap.contains("security_decrypt_enterinfo: signCode:"));
  EXPECT_EQ(security_encrypt_enterinfo(1, rec.data(), 0, enc.data(), &outl), -1);
}

TEST_F(TicketCrypto, ReplyForThePhone) {
  start(0);
  std::array<u8, 10> reply{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::array<u8, 26> ticket{};
  ticket.fill(0x5C);
  encrypt_rsp2app_param p{0x01020304, ticket.data(), 26, reply.data(), 10};
  std::array<u8, 32> out{};
  int outl = 0;
  ASSERT_EQ(security_encrypt_rsp2app_data(&p, out.data(), &outl), 0);
  EXPECT_EQ(outl, 10);
  // AES-128-CFB with the first 16 ticket bytes and the user-id IV.
  u8 iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<u8>(0x01020304u >> (8 * (i % 4)));
  std::array<u8, 32> want{};
  crypto_param cp{15, reply.data(), 10, ticket.data(), 16, iv, 16, 1};
  int n = 0;
  ASSERT_EQ(crypto_crypt(&cp, want.data(), &n), 0);
  EXPECT_EQ(out, want);
}

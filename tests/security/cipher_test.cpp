#include "sec_fixture.h"

using namespace sectest;

namespace {

// A started unit whose table holds the rows of one factor (ids A0 B0 r).
class TicketCrypto : public testing::Test {
 protected:
  void SetUp() override { start_unit(fac_); }
  // Enciphers a voucher the way a ticket issuer would, with the signature
  // high byte first or low byte first (or a wrong one).
  Bytes voucher(u32 r, Bytes body, bool high_first, u16 flip = 0) {
    security_key_row row = predicted_row(fac_, r);
    const u16 crc = crypto_crc16(body.data(), static_cast<int>(body.size())) ^ flip;
    body.push_back(static_cast<u8>(high_first ? crc >> 8 : crc & 0xFF));
    body.push_back(static_cast<u8>(high_first ? crc & 0xFF : crc >> 8));
    return encipher(row.alg, body, row.key, 32, row.key, 32);
  }
  int decrypt(Bytes v, u8 r, std::array<u8, 64>& out, int outl = 64) {
    u8 id[3] = {0xA0, 0xB0, r};
    decrypt_voucher_param p{v.data(), static_cast<int>(v.size()), id, 3};
    return security_decrypt_voucher(&p, out.data(), &outl) == 0 ? outl : -1;
  }

  Board board_;
  Bytes fac_ = factor(0x01, 0x01, 8, 0xA0, 0xB0);
};

}  // namespace

TEST_F(TicketCrypto, VoucherSignatureInBothByteOrders) {
  const Bytes body = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
  std::array<u8, 64> out{};
  for (u8 r : {0, 1, 5}) {  // modes 1, 2 and 6: stream and block
    for (bool high : {true, false}) {
      SCOPED_TRACE(testing::Message() << "row " << int(r) << " high first " << high);
      LogCapture cap;
      ASSERT_EQ(decrypt(voucher(r, body, high), r, out), 15);
      EXPECT_EQ(Bytes(out.begin(), out.begin() + 13), body);
      EXPECT_EQ(decrypt(voucher(r, body, high), r, out, 14), -1);  // too little room
      EXPECT_TRUE(cap.messages().empty());
    }
  }
  LogCapture cap;
  out.fill(0);
  EXPECT_EQ(decrypt(voucher(0, body, true, 0x1234), 0, out), -1);
  EXPECT_TRUE(cap.contains("signature err(security_decrypt_voucher)!!!\n"));
  EXPECT_EQ(out[0], 0x10);  // the clear bytes are there all the same
  EXPECT_EQ(decrypt(voucher(0, body, true), 0x99, out), -1);
  EXPECT_TRUE(cap.contains("unkown keyid[0]:a0 keyid[1]:b0 keyid[2]:99"));
  EXPECT_EQ(decrypt(Bytes(SECURITY_VOUCHER_MAX + 1, 0), 0, out), -1);
  EXPECT_EQ(decrypt(Bytes(1, 0), 2, out), -1);  // row 2: DES-CFB, one clear byte
  EXPECT_TRUE(cap.contains("voucher length 1 refused"));
}

TEST_F(TicketCrypto, TacIsTheDigestOfTheRowsCiphertextAndReplyForThePhone) {
  std::string order = "20261206183000,000123,0001,150";
  auto* data = reinterpret_cast<u8*>(order.data());
  const int len = static_cast<int>(order.size());
  std::array<u8, 3> id{};
  std::array<u8, 16> tac{}, again{}, want{};
  int outl = 15;
  EXPECT_EQ(security_gen_tac(data, len, id.data(), tac.data(), &outl), -1);
  outl = 16;
  ASSERT_EQ(security_gen_tac(data, len, id.data(), tac.data(), &outl), 0);
  EXPECT_EQ(outl, 16);
  ASSERT_EQ(Bytes(id.begin(), id.begin() + 2), (Bytes{0xA0, 0xB0}));
  ASSERT_LT(id[2], 8);
  ASSERT_EQ(security_gen_tac(data, len, id.data(), again.data(), &outl), 0);
  EXPECT_EQ(tac, again);
  security_key_row row = predicted_row(fac_, id[2]);
  Bytes ct = encipher(row.alg, Bytes(order.begin(), order.end()), row.key, 32, row.key, 32);
  ASSERT_EQ(crypto_md5(ct.data(), static_cast<int>(ct.size()), want.data()), 0);
  EXPECT_EQ(tac, want);

  // The reply: AES-128-CFB with the first 16 ticket bytes and the user-id IV.
  std::array<u8, 10> reply{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::array<u8, 26> ticket{};
  ticket.fill(0x5C);
  encrypt_rsp2app_param p{0x01020304, ticket.data(), 26, reply.data(), 10};
  Bytes out(32);
  ASSERT_EQ(security_encrypt_rsp2app_data(&p, out.data(), &outl), 0);
  out.resize(static_cast<size_t>(outl));
  u8 iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<u8>(0x01020304u >> (8 * (i % 4)));
  EXPECT_EQ(out, encipher(15, Bytes(reply.begin(), reply.end()), ticket.data(), 16, iv, 16));
}

TEST_F(TicketCrypto, EntryInformationRoundTrip) {
  std::array<u8, 21> rec{}, enc{}, dec{};
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<u8>(i * 11);
  int outl = 20;
  EXPECT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), -1);
  outl = 21;
  ASSERT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), 0);
  EXPECT_EQ(outl, 21);
  std::array<u8, 16> md{};
  crypto_md5(rec.data(), 20, md.data());
  EXPECT_EQ(rec[20], crypto_crc8(md.data() + 4, 8));
  ASSERT_EQ(security_decrypt_enterinfo(1234567, enc.data(), 21, dec.data(), &outl), 0);
  EXPECT_EQ(dec, rec);
  // Another user: the sign code does not match (for this record).
  LogCapture cap;
  EXPECT_EQ(security_decrypt_enterinfo(1234568, enc.data(), 21, dec.data(), &outl), -1);
  EXPECT_TRUE(cap.contains("security_decrypt_enterinfo: signCode:"));
  EXPECT_EQ(security_encrypt_enterinfo(1, rec.data(), 0, enc.data(), &outl), -1);
}

#include "sec_fixture.h"

using namespace sectest;

namespace {

// A started unit whose table holds the rows of one factor (ids A0 B0 r).
class TicketCrypto : public testing::Test {
 protected:
  void SetUp() override { start_unit(fac_); }
  // Deciphers `v` under row `r`: the clear length, or -1.
  int open(Bytes v, u8 r, int room = 64) {
    u8 id[3] = {0xA0, 0xB0, r};
    decrypt_voucher_param p{v.data(), static_cast<int>(v.size()), id, 3};
    out_.fill(0);
    return security_decrypt_voucher(&p, out_.data(), &room) == 0 ? room : -1;
  }
  // A voucher as an issuer enciphers it under row `r`.
  Bytes voucher(u8 r, Bytes body, bool high_first, u16 flip = 0) {
    security_key_row row = predicted_row(fac_, r);
    const u16 crc = crypto_crc16(body.data(), static_cast<int>(body.size())) ^ flip;
    body.push_back(static_cast<u8>(high_first ? crc >> 8 : crc & 0xFF));
    body.push_back(static_cast<u8>(high_first ? crc & 0xFF : crc >> 8));
    return encipher(row.alg, body, row.key, 32, row.key, 32);
  }
  Board board_;
  Bytes fac_ = factor(0x01, 0x01, 8, 0xA0, 0xB0);
  std::array<u8, 64> out_{};
};

}  // namespace

TEST_F(TicketCrypto, VoucherSignatureInBothByteOrders) {
  const Bytes body = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
  for (u8 r : {0, 1, 5}) {  // modes 1, 2 and 6: stream and block
    for (bool high : {true, false}) {
      ASSERT_EQ(open(voucher(r, body, high), r), 15) << int(r) << high;
      EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 13), body);
      EXPECT_EQ(open(voucher(r, body, high), r, 14), -1);  // too little room
    }
  }
  EXPECT_EQ(open(voucher(0, body, true, 0x1234), 0), -1);
  EXPECT_EQ(open(voucher(0, body, true), 0x99), -1);  // no such key
  EXPECT_EQ(open(Bytes(SECURITY_VOUCHER_MAX + 1, 0), 0), -1);
  LogCapture cap;
  EXPECT_EQ(open(Bytes(1, 0), 2), -1);  // row 2: DES-CFB, one clear byte
  EXPECT_TRUE(cap.contains("voucher length 1 refused"));
}

TEST_F(TicketCrypto, EntryInformationTacRoomAndReplyForThePhone) {
  std::array<u8, 21> rec{}, enc{}, dec{};
  std::array<u8, 16> md{};
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<u8>(i * 11);
  int outl = 20;
  EXPECT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), -1);
  outl = 21;
  ASSERT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), 0);
  EXPECT_EQ(outl, 21);
  crypto_md5(rec.data(), 20, md.data());
  EXPECT_EQ(rec[20], crypto_crc8(md.data() + 4, 8));  // the sign code, put in place
  ASSERT_EQ(security_decrypt_enterinfo(1234567, enc.data(), 21, dec.data(), &outl), 0);
  EXPECT_EQ(dec, rec);
  // Another user: the sign code does not match (for this record).
  EXPECT_EQ(security_decrypt_enterinfo(1234568, enc.data(), 21, dec.data(), &outl), -1);
  EXPECT_EQ(security_encrypt_enterinfo(1, rec.data(), 0, enc.data(), &outl), -1);
  u8 id[3];
  outl = 15;  // a TAC needs 16 bytes
  EXPECT_EQ(security_gen_tac(rec.data(), 21, id, md.data(), &outl), -1);
  // The reply: AES-128-CFB with the first 16 ticket bytes and the user-id IV.
  Bytes reply = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, ticket(26, 0x5C), out(32);
  encrypt_rsp2app_param p{0x01020304, ticket.data(), 26, reply.data(), 10};
  ASSERT_EQ(security_encrypt_rsp2app_data(&p, out.data(), &outl), 0);
  out.resize(static_cast<size_t>(outl));
  u8 iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<u8>(0x01020304u >> (8 * (i % 4)));
  EXPECT_EQ(out, encipher(15, reply, ticket.data(), 16, iv, 16));
}

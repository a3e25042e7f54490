// Writes the seed corpora of the fuzz targets into DIR/<target>/, each seed
// a valid input made by the project's own encoders:
//   fuzz_seeds DIR
// Run from any directory; the store seeds are made on a scratch board.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kalvo/kalvo.h"
#include "sproto/sp_common.h"
#include "store_unit.h"
#include "ztpu/crypto.h"
#include "ztpu/serial.h"
#include "ztpu/server_records.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string out_dir;

void seed(const char* target, const char* name, const Bytes& b) {
  const std::string dir = out_dir + "/" + target;
  mkdir(dir.c_str(), 0755);
  ztpu_fuzz::write_file((dir + "/" + name).c_str(), b.data(), b.size());
}

void put(Bytes& b, const void* p, size_t n) {
  const auto* c = static_cast<const uint8_t*>(p);
  b.insert(b.end(), c, c + n);
}
void put16(Bytes& b, uint16_t v) { put(b, &v, 2); }
void put32(Bytes& b, uint32_t v) { put(b, &v, 4); }

// ---- gate line ----

// A gate record: length, code, 'S', fields, check.
Bytes gate_record(uint8_t code, const Bytes& fields) {
  Bytes r;
  put16(r, static_cast<uint16_t>(fields.size() + 2));
  r.push_back(code);
  r.push_back(0x53);
  put(r, fields.data(), fields.size());
  r.push_back(comm_xor_calc(r.data(), static_cast<int>(r.size())));
  return r;
}

Bytes frame(const Bytes& rec) {
  Bytes f(rec.size() * 2 + 2);
  int n = 0;
  if (rec.size() <= 5) {  // the encoder refuses these; escape by hand
    f.assign({0x02});
    for (uint8_t c : rec) {
      if (c == 0x02 || c == 0x03 || c == 0x10) f.push_back(0x10);
      f.push_back(c);
    }
    f.push_back(0x03);
    return f;
  }
  comm_protocol_gen(rec.data(), static_cast<int>(rec.size()), f.data(), static_cast<int>(f.size()),
                    &n);
  f.resize(static_cast<size_t>(n));
  return f;
}

const Bytes kBcd = {0x20, 0x26, 0x01, 0x02, 0x10, 0x30, 0x00};

Bytes enter_record() {
  Bytes f = {0};  // ret_count
  put(f, kBcd.data(), kBcd.size());
  put32(f, 101);
  f.push_back(0);  // return_immed
  return gate_record(0x32, f);
}

Bytes exit_record() {
  Bytes f = {0};
  put(f, kBcd.data(), kBcd.size());
  put32(f, 205);
  put32(f, 300);
  f.push_back(0);
  return gate_record(0x33, f);
}

void gate_seeds() {
  const Bytes state = frame(gate_record(0x21, {}));
  const Bytes state_rsp = frame(gate_record(0x21, {0, 0, 0}));
  const Bytes poll = frame(gate_record(0x31, {}));
  const Bytes enter = frame(enter_record());
  const Bytes exit = frame(exit_record());
  seed("comm_frame", "get_state", state);
  seed("comm_frame", "state_answer", state_rsp);
  seed("comm_frame", "enter", enter);
  seed("comm_frame", "exit", exit);
  Bytes escaped = gate_record(0x31, {0x10, 0x02, 0x03});
  seed("comm_frame", "escapes", frame(escaped));

  auto line = [](uint8_t mode, std::initializer_list<const Bytes*> reads) {
    Bytes b = {mode};
    for (const Bytes* r : reads) {
      b.push_back(static_cast<uint8_t>(r->size() - 1));
      put(b, r->data(), r->size());
    }
    return b;
  };
  seed("gate_records", "poll_enter", line(3, {&state, &poll, &enter}));
  seed("gate_records", "poll_exit", line(3, {&poll, &state, &exit, &exit}));
  seed("gate_records", "refused", line(1, {&poll, &enter}));
  seed("gate_records", "no_card", line(0, {&poll, &exit}));
}

// ---- configuration ----

const char kConf[] =
    "config_ver=1.0.3\nipaddr=192.168.1.20\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
    "dns=192.168.1.1\ndns2=8.8.8.8\ntime_server=192.168.1.1\ntpu_code=0101\n"
    "merchant_code=M01\nexit_flag=0\nserver_ip=192.168.1.2\nserver_port=9000\n"
    "upload_interval=60\nheartbeat_interval=10\nheartbeat_retries=3\n"
    "voucher_check_time=300\nfile_block_size=1024\ndefault_station=101\n"
    "use_default_station=0\noffline_delay=60\nold_security_life=600\n";

void mconf_seeds() {
  Bytes plain(kConf, kConf + sizeof kConf - 1);
  seed("mconf", "plain", plain);
  std::string odd =
      "# comment\r\n config_ver = '2.0' ;\r\nipaddr=\"10.0.0.1\"\nnetmask=255.0.0.0\n"
      "gateway=10.0.0.1\ndns=10.0.0.1\ndns2=10.0.0.2\ntime_server=10.0.0.1\ntpu_code=7\n"
      "merchant_code=8\nexit_flag=0x1\nserver_ip=10.0.0.9\nserver_port=010\n"
      "upload_interval=-1\nheartbeat_interval=2147483647\nheartbeat_retries=3 # three\n"
      "voucher_check_time=\t60\nfile_block_size=1024\ndefault_station=205\n"
      "use_default_station=1\noffline_delay=5\nold_security_life=5\nextra=1\nexit_flag=1\n";
  seed("mconf", "odd", Bytes(odd.begin(), odd.end()));
  seed("mconf", "incomplete", Bytes(kConf, kConf + 200));
}

// ---- SP packets ----

Bytes sp_packet(uint16_t cmd, uint16_t status, const Bytes& data) {
  sp_protocol_header h{SP_HEADER_IDENT,
                       SP_VERSION,
                       SP_SEQUENCE,
                       static_cast<uint16_t>(data.size()),
                       SP_PTL_TYPE,
                       cmd,
                       2,
                       status,
                       0,
                       0};
  Bytes p(data.size() + SP_OVERHEAD);
  uint16_t n = 0;
  sp_pack(&h, data.data(), p.data(), &n);
  p.resize(n);
  return p;
}

void sp_seeds() {
  Bytes hb(sizeof(heartbeat_rsp), 0xD0);
  hb.resize(HB_RSP_NONE);
  Bytes a = {8};  // capacity 64
  put(a, sp_packet(SERVER_SP_HEARTBEAT, 0, hb).data(), HB_RSP_NONE + SP_OVERHEAD);
  seed("sp_packet", "heartbeat", a);
  Bytes b = {0x20, 0x00, 0xEE, 0x01};  // capacity 256, noise before the packet
  Bytes cfg(100, 'c');
  Bytes pk = sp_packet(SERVER_SP_UPDATE_CFG, 0, cfg);
  put(b, pk.data(), pk.size());
  b.push_back(0x55);  // and after it
  seed("sp_packet", "config_noise", b);
  Bytes c = {1};
  Bytes refused = sp_packet(SERVER_SP_RECEIPT, 3, {0, 0});
  put(c, refused.data(), refused.size());
  seed("sp_packet", "status", c);
}

// ---- server responses ----

struct Script {
  Bytes b;
  void answer(const Bytes& data, uint8_t flags = 0) {
    put16(b, static_cast<uint16_t>(data.size()));
    b.push_back(flags);
    put(b, data.data(), data.size());
  }
};

Bytes hb_rsp(uint16_t code, size_t len, const Bytes& arg) {
  heartbeat_rsp r{};
  std::memset(r.tpu_id, 0xD0, sizeof r.tpu_id);
  r.expire_time = 3600;
  std::memcpy(r.cmd.cmd_id, "CMD001", 6);
  r.cmd.cmd = code;
  if (!arg.empty()) std::memcpy(&r.cmd.arg, arg.data(), arg.size());
  Bytes b(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + len);
  return b;
}

template <typename T>
Bytes rec(const T& t) {
  return Bytes(reinterpret_cast<const uint8_t*>(&t),
               reinterpret_cast<const uint8_t*>(&t) + sizeof t);
}

void server_seeds() {
  receipt_cmd receipt{};
  {
    Script s{{0}};
    s.answer(hb_rsp(0, HB_RSP_NONE, {}));
    seed("server_responses", "heartbeat", s.b);
  }
  {
    Script s{{0}};
    s.answer(hb_rsp(HB_CMD_SIGNIN, HB_RSP_NO_ARG, {}));
    seed("server_responses", "heartbeat_signin", s.b);
  }
  {
    Script s{{0}};
    s.answer(hb_rsp(HB_CMD_UPDATE_CFG, HB_RSP_CFG, Bytes(16, '2')));
    update_cfg_rsp head{};
    Bytes r(reinterpret_cast<uint8_t*>(&head),
            reinterpret_cast<uint8_t*>(&head) + offsetof(update_cfg_rsp, content));
    put(r, kConf, sizeof kConf - 1);
    s.answer(r, 2);  // digest filled in
    s.answer(rec(receipt));
    seed("server_responses", "update_cfg", s.b);
  }
  {
    Script s{{0}};
    s.answer(hb_rsp(HB_CMD_UPDATE_KEY, HB_RSP_KEY, {0x02, 0x00}));
    update_key_rsp info{};
    info.key_ver = 2;
    info.blocks = 2;
    info.block_size = 16;
    s.answer(rec(info), 2);
    for (int i = 0; i < 2; ++i) {
      Bytes blk(sizeof(download_key_rsp) + (i == 0 ? 16 : 7), static_cast<uint8_t>(0x40 + i));
      uint16_t dlen = static_cast<uint16_t>(blk.size() - sizeof(download_key_rsp));
      std::memcpy(blk.data() + offsetof(download_key_rsp, data_len), &dlen, 2);
      s.answer(blk);
    }
    s.answer(rec(receipt));
    seed("server_responses", "update_key", s.b);
  }
  {
    Script s{{0}};
    s.answer(hb_rsp(HB_CMD_APPLY_KEY, HB_RSP_KEY, {0x02, 0x02}));
    s.answer(rec(receipt));
    seed("server_responses", "apply_key", s.b);
  }
  {
    Script s{{4}};  // with a log to upload
    s.answer(hb_rsp(HB_CMD_UPLOAD_LOG, HB_RSP_NO_ARG, {}));
    s.answer(rec(upload_log_notify_rsp{}));
    upload_log_rsp blk{};
    s.answer(rec(blk));
    blk.block_nr = 2;
    s.answer(rec(blk));
    seed("server_responses", "upload_log", s.b);
  }
  {
    Script s{{1}};
    signin_rsp r{};
    r.expire_time = 3600;
    s.answer(rec(r));
    seed("server_responses", "signin", s.b);
  }
  {
    Script s{{2}};
    heartbeat_cmd c{};
    c.cmd = HB_CMD_APPLY_KEY;
    c.arg.key.key_ver = 0x0303;
    put(s.b, &c, sizeof c);
    s.answer(rec(receipt));
    seed("server_responses", "direct_apply", s.b);
  }
  {
    Script s{{3}};
    s.answer(rec(upload_order_notify_rsp{}));
    upload_order_rsp blk{};
    blk.block_nr = 1;
    s.answer(rec(blk));
    blk.block_nr = 2;
    s.answer(rec(blk));
    seed("server_responses", "upload_order", s.b);
  }
}

// ---- phone record ----

void phone_seeds() {
  Bytes rx(26);
  for (size_t i = 0; i < 24; ++i) rx[i] = static_cast<uint8_t>(i * 7 + 1);
  rx[22] = 10;  // 10:30
  rx[23] = 30;
  const unsigned crc = crypto_crc16(rx.data(), 24);
  rx[24] = static_cast<uint8_t>(crc & 0xFF);
  rx[25] = static_cast<uint8_t>(crc >> 8);
  Bytes good = {0, 26};
  put(good, rx.data(), rx.size());
  seed("phone_record", "good", good);
  Bytes mixed = {1, 12};
  put(mixed, rx.data(), 12);
  mixed.push_back(26);
  put(mixed, rx.data(), rx.size());
  mixed.push_back(26);
  Bytes bad = rx;
  bad[3] ^= 1;
  put(mixed, bad.data(), bad.size());
  seed("phone_record", "mixed", mixed);
}

// ---- acoustic frames ----

// A frame of `len` payload bytes after `lead` zero samples and before the
// silence the decoder's last step reads, kept only when the decoder finds it
// in chunks of `chunk`.
bool kalvo_seed(const char* name, int len, int chunk) {
  Bytes payload(static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) payload[static_cast<size_t>(i)] = static_cast<uint8_t>(0x31 + i);
  const int n = kalvo_tx_frame_samples(len);
  for (int lead = 0; lead < 251; lead += 8) {
    std::vector<pcm_t> s(static_cast<size_t>(lead + n + 512), 0);
    if (kalvo_tx_build(payload.data(), len, 8000, s.data() + lead, n) != n) return false;
    kalvo_decoder* d = kalvo_decoder_new();
    bool found = false;
    for (size_t at = 0; at < s.size() && !found; at += static_cast<size_t>(chunk)) {
      unsigned char* out = nullptr;
      int m = static_cast<int>(std::min(s.size() - at, static_cast<size_t>(chunk)));
      found = kalvo_decoder_decode(d, s.data() + at, m, &out) == len;
    }
    kalvo_decoder_free(d);
    if (!found) continue;
    Bytes b = {0, static_cast<uint8_t>(chunk - 1)};
    put(b, s.data(), s.size() * sizeof(pcm_t));
    seed("kalvo_decoder", name, b);
    return true;
  }
  return false;
}

// ---- store files ----

Bytes file_bytes(const char* name) {
  char enc[33] = {};
  security_get_encfilename(name, enc);
  const std::string path = std::string(ztpu::path::store_dir) + "/" + enc;
  Bytes b;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return b;
  int c;
  while ((c = fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return b;
}

void store_seeds() {
  ztpu_fuzz::enter_scratch_board();
  security_db unit{};
  ztpu_fuzz::make_store_unit(&unit);

  Bytes sealed_rec = {2};
  put(sealed_rec, &unit, sizeof unit);
  seed("store_files", "record_sealed", sealed_rec);

  int fd = security_open_file(ztpu::path::store_dir, SECURITY_DB_NAME,
                              SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, nullptr);
  security_dbflush(fd, &unit);
  close(fd);
  const Bytes rec_file = file_bytes(SECURITY_DB_NAME);
  Bytes raw_rec = {0};
  put(raw_rec, rec_file.data(), rec_file.size());
  seed("store_files", "record", raw_rec);
  Bytes restore = {4, 0, 0};  // empty record, good backup
  put(restore, rec_file.data(), rec_file.size());
  seed("store_files", "record_backup", restore);

  char item[sizeof ztpu_fuzz::kStoreItem];
  std::memcpy(item, ztpu_fuzz::kStoreItem, sizeof item);
  Bytes content(40);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
  security_save_cryptfile(&unit, item, 1, content.data(), static_cast<u32>(content.size()));
  const Bytes cf = file_bytes(item);
  Bytes raw_cf = {1};
  put(raw_cf, cf.data(), cf.size());
  seed("store_files", "cryptfile", raw_cf);
  Bytes cf_restore = {5, 3, 0, 1, 2, 3};  // damaged file, good backup
  put(cf_restore, cf.data(), cf.size());
  seed("store_files", "cryptfile_backup", cf_restore);
  Bytes sealed_cf = {3};
  put(sealed_cf, content.data(), content.size());
  seed("store_files", "cryptfile_sealed", sealed_cf);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  ztpu_fuzz::quiet_log();
  char* abs = realpath(argv[1], nullptr);
  if (abs == nullptr) {
    fprintf(stderr, "fuzz_seeds: %s: no such directory\n", argv[1]);
    return 1;
  }
  out_dir = abs;
  free(abs);
  gate_seeds();
  mconf_seeds();
  sp_seeds();
  server_seeds();
  phone_seeds();
  if (!kalvo_seed("frame2", 2, 128) || !kalvo_seed("frame4", 4, 100)) {
    fprintf(stderr, "fuzz_seeds: no decodable acoustic frame\n");
    return 1;
  }
  store_seeds();  // last: it moves into a scratch board
  return 0;
}

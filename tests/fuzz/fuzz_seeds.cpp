// Writes the seed corpora of the fuzz targets into DIR/<target>/, each seed
// a valid input made by the project's own encoders:  fuzz_seeds DIR
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"
#include "kalvo/kalvo.h"
#include "sproto/sp_common.h"
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

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
template <typename T>
Bytes raw(const T& t, size_t n = sizeof(T)) {
  return Bytes(reinterpret_cast<const uint8_t*>(&t), reinterpret_cast<const uint8_t*>(&t) + n);
}

// A gate frame: length, code, 'S', fields and check, escaped.
Bytes gate(uint8_t code, const Bytes& fields) {
  Bytes r = Bytes{static_cast<uint8_t>(fields.size() + 2), 0, code, 0x53} + fields;
  r.push_back(comm_xor_calc(r.data(), static_cast<int>(r.size())));
  Bytes f{0x02};
  for (uint8_t c : r) {
    if (c == 0x02 || c == 0x03 || c == 0x10) f.push_back(0x10);
    f.push_back(c);
  }
  f.push_back(0x03);
  return f;
}

void gate_seeds() {
  const Bytes bcd = {0, 0x20, 0x26, 0x01, 0x02, 0x10, 0x30, 0x00};  // after the ret_count
  const Bytes state = gate(0x21, {}), poll = gate(0x31, {});
  const Bytes enter = gate(0x32, bcd + Bytes{101, 0, 0, 0, 0});
  const Bytes exit = gate(0x33, bcd + Bytes{205, 0, 0, 0, 0x2C, 0x01, 0, 0, 0});
  const std::pair<const char*, Bytes> frames[] = {{"get_state", state},
                                                  {"state_answer", gate(0x21, {0, 0, 0})},
                                                  {"enter", enter},
                                                  {"exit", exit},
                                                  {"escapes", gate(0x31, {0x10, 0x02, 0x03})}};
  for (const auto& [name, f] : frames) seed("comm_frame", name, f);
  // The stand-ins' mode, then each read as its length - 1 and its bytes.
  const auto line = [](uint8_t mode, std::initializer_list<const Bytes*> reads) {
    Bytes b = {mode};
    for (const Bytes* r : reads) b = b + Bytes{static_cast<uint8_t>(r->size() - 1)} + *r;
    return b;
  };
  seed("gate_records", "poll_enter", line(3, {&state, &poll, &enter}));
  seed("gate_records", "poll_exit", line(3, {&poll, &state, &exit, &exit}));
  seed("gate_records", "refused", line(1, {&poll, &enter}));
  seed("gate_records", "no_card", line(0, {&poll, &exit}));
}

const std::string kConf =
    "config_ver=1.0.3\nipaddr=192.168.1.20\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
    "dns=192.168.1.1\ndns2=8.8.8.8\ntime_server=192.168.1.1\ntpu_code=0101\n"
    "merchant_code=M01\nexit_flag=0\nserver_ip=192.168.1.2\nserver_port=9000\n"
    "upload_interval=60\nheartbeat_interval=10\nheartbeat_retries=3\n"
    "voucher_check_time=300\nfile_block_size=1024\ndefault_station=101\n"
    "use_default_station=0\noffline_delay=60\nold_security_life=600\n";

void mconf_seeds() {
  const std::string odd =
      "# comment\r\n config_ver = '2.0' ;\r\nipaddr=\"10.0.0.1\"\nnetmask=255.0.0.0\n"
      "gateway=10.0.0.1\ndns=10.0.0.1\ndns2=10.0.0.2\ntime_server=10.0.0.1\ntpu_code=7\n"
      "merchant_code=8\nexit_flag=0x1\nserver_ip=10.0.0.9\nserver_port=010\n"
      "upload_interval=-1\nheartbeat_interval=2147483647\nheartbeat_retries=3 # three\n"
      "voucher_check_time=\t60\nfile_block_size=1024\ndefault_station=205\n"
      "use_default_station=1\noffline_delay=5\nold_security_life=5\nextra=1\nexit_flag=1\n";
  seed("mconf", "plain", Bytes(kConf.begin(), kConf.end()));
  seed("mconf", "odd", Bytes(odd.begin(), odd.end()));
  seed("mconf", "incomplete", Bytes(kConf.begin(), kConf.begin() + 200));
}

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

void sp_seeds() {  // the caller's capacity / 8, then what arrives
  seed("sp_packet", "heartbeat",
       Bytes{8} + sp_packet(SERVER_SP_HEARTBEAT, 0, Bytes(HB_RSP_NONE, 0xD0)));
  seed("sp_packet", "config_noise",
       Bytes{0x20, 0x00, 0xEE, 0x01} + sp_packet(SERVER_SP_UPDATE_CFG, 0, Bytes(100, 'c')) +
           Bytes{0x55});
  seed("sp_packet", "status", Bytes{1} + sp_packet(SERVER_SP_RECEIPT, 3, {0, 0}));
}

// One scripted answer: its length, flags and data.
Bytes ans(const Bytes& data, uint8_t flags = 0) {
  return raw(static_cast<uint16_t>(data.size())) + Bytes{flags} + data;
}

Bytes hb(uint16_t code, size_t len, const Bytes& arg = {}) {
  heartbeat_rsp r{};
  std::memset(r.tpu_id, 0xD0, sizeof r.tpu_id);
  r.expire_time = 3600;
  std::memcpy(r.cmd.cmd_id, "CMD001", 6);
  r.cmd.cmd = code;
  if (!arg.empty()) std::memcpy(&r.cmd.arg, arg.data(), arg.size());
  return ans(raw(r, len));
}

void server_seeds() {
  const Bytes receipt = ans(raw(receipt_cmd{}));
  update_key_rsp info{};
  info.key_ver = 2;
  info.blocks = 2;
  info.block_size = 16;
  Bytes key_blocks;
  for (uint16_t i = 0; i < 2; ++i) {
    const uint16_t dlen = i == 0 ? 16 : 7;
    Bytes blk(sizeof(download_key_rsp) + dlen, static_cast<uint8_t>(0x40 + i));
    std::memcpy(blk.data() + offsetof(download_key_rsp, data_len), &dlen, 2);
    key_blocks = key_blocks + ans(blk);
  }
  upload_log_rsp log2{};
  log2.block_nr = 2;
  upload_order_rsp order1{}, order2{};
  order1.block_nr = 1;
  order2.block_nr = 2;
  signin_rsp signin{};
  signin.expire_time = 3600;
  heartbeat_cmd apply{};
  apply.cmd = HB_CMD_APPLY_KEY;
  apply.arg.key.key_ver = 0x0303;
  const Bytes cfg =
      raw(update_cfg_rsp{}, offsetof(update_cfg_rsp, content)) + Bytes(kConf.begin(), kConf.end());
  // The entry point byte, then the answers in exchange order.
  const std::pair<const char*, Bytes> seeds[] = {
      {"heartbeat", Bytes{0} + hb(0, HB_RSP_NONE)},
      {"heartbeat_signin", Bytes{0} + hb(HB_CMD_SIGNIN, HB_RSP_NO_ARG)},
      {"update_cfg",
       Bytes{0} + hb(HB_CMD_UPDATE_CFG, HB_RSP_CFG, Bytes(16, '2')) + ans(cfg, 2) + receipt},
      {"update_key", Bytes{0} + hb(HB_CMD_UPDATE_KEY, HB_RSP_KEY, {2, 0}) + ans(raw(info), 2) +
                         key_blocks + receipt},
      {"apply_key", Bytes{0} + hb(HB_CMD_APPLY_KEY, HB_RSP_KEY, {2, 2}) + receipt},
      {"upload_log", Bytes{4} + hb(HB_CMD_UPLOAD_LOG, HB_RSP_NO_ARG) +
                         ans(raw(upload_log_notify_rsp{})) + ans(raw(upload_log_rsp{})) +
                         ans(raw(log2))},
      {"signin", Bytes{1} + ans(raw(signin))},
      {"direct_apply", Bytes{2} + raw(apply) + receipt},
      {"upload_order",
       Bytes{3} + ans(raw(upload_order_notify_rsp{})) + ans(raw(order1)) + ans(raw(order2))},
  };
  for (const auto& [name, b] : seeds) seed("server_responses", name, b);
}

void phone_seeds() {  // flags, then blocks of a length byte and the bytes
  Bytes rx(26);
  for (size_t i = 0; i < 24; ++i) rx[i] = static_cast<uint8_t>(i * 7 + 1);
  rx[22] = 10;  // 10:30
  rx[23] = 30;
  const unsigned crc = crypto_crc16(rx.data(), 24);
  rx[24] = static_cast<uint8_t>(crc & 0xFF);
  rx[25] = static_cast<uint8_t>(crc >> 8);
  Bytes bad = rx;
  bad[3] ^= 1;
  seed("phone_record", "good", Bytes{0, 26} + rx);
  seed("phone_record", "mixed",
       Bytes{1, 12} + Bytes(rx.begin(), rx.begin() + 12) + Bytes{26} + rx + Bytes{26} + bad);
}

// A frame of `len` payload bytes after some zero samples and before the
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
      const auto m = static_cast<int>(std::min(s.size() - at, static_cast<size_t>(chunk)));
      found = kalvo_decoder_decode(d, s.data() + at, m, &out) == len;
    }
    kalvo_decoder_free(d);
    if (!found) continue;
    seed("kalvo_decoder", name,
         Bytes{0, static_cast<uint8_t>(chunk - 1)} + raw(*s.data(), s.size() * sizeof(pcm_t)));
    return true;
  }
  return false;
}

Bytes store_file(const char* name) {
  char enc[33] = {};
  security_get_encfilename(name, enc);
  std::ifstream f(std::string(ztpu::path::store_dir) + "/" + enc, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void store_seeds() {  // flags (see the store target), then the bytes
  ztpu_fuzz::enter_scratch_board();
  security_db unit{};
  ztpu_fuzz::make_store_unit(&unit);
  seed("store_files", "record_sealed", Bytes{2} + raw(unit));
  const int fd = security_open_file(ztpu::path::store_dir, SECURITY_DB_NAME,
                                    SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, nullptr);
  security_dbflush(fd, &unit);
  close(fd);
  const Bytes rec = store_file(SECURITY_DB_NAME);
  seed("store_files", "record", Bytes{0} + rec);
  seed("store_files", "record_backup", Bytes{4, 0, 0} + rec);  // empty record, good backup
  char item[sizeof ztpu_fuzz::kStoreItem];
  std::memcpy(item, ztpu_fuzz::kStoreItem, sizeof item);
  Bytes content(40);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
  security_save_cryptfile(&unit, item, 1, content.data(), static_cast<u32>(content.size()));
  const Bytes cf = store_file(item);
  seed("store_files", "cryptfile", Bytes{1} + cf);
  seed("store_files", "cryptfile_backup",
       Bytes{5, 3, 0, 1, 2, 3} + cf);  // damaged file, good backup
  seed("store_files", "cryptfile_sealed", Bytes{3} + content);
}

}  // namespace

int main(int argc, char** argv) {
  char* abs = argc == 2 ? realpath(argv[1], nullptr) : nullptr;
  if (abs == nullptr) {
    fprintf(stderr, "usage: fuzz_seeds DIR (an existing directory)\n");
    return 2;
  }
  ztpu_fuzz::quiet_log();
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

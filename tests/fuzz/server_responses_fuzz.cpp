// Server answers to the server link's own code; the SP client is played from
// the input, security by stand-ins. Input: the entry point byte (for a
// direct command 24 bytes of it), then answers: a 16-bit length, flags (bit
// 0: the exchange fails; bit 1: a configuration's digest is made right) and
// the data.

#include "fuzz_support.h"
#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/crypto.h"
#include "ztpu/mconf.h"
#include "ztpu/security.h"

constexpr char kConfig[] =
    "config_ver=fuzz-1\nipaddr=127.0.0.2\nnetmask=255.0.0.0\ngateway=127.0.0.1\ndns=127.0.0.1\n"
    "dns2=127.0.0.1\ntime_server=127.0.0.1\ntpu_code=0001\nmerchant_code=0002\nexit_flag=0\n"
    "server_ip=127.0.0.1\nserver_port=9000\nupload_interval=1\nheartbeat_interval=1\n"
    "heartbeat_retries=3\nvoucher_check_time=60\nfile_block_size=1024\ndefault_station=0\n"
    "use_default_station=0\noffline_delay=5\nold_security_life=5\n";
constexpr char kOrderName[] = "ZEF20260101120000000.csv";

static ztpu_fuzz::Cursor script{nullptr, 0};

static void write_order() {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "1,2,3,4,5\n";  // two blocks
  ztpu_fuzz::write_file(std::string(ztpu::path::upload_dir) + kOrderName, text.data(), text.size());
}

int sp_init_conf(sp_config_t* config) { return config == nullptr ? -1 : 0; }
void sp_cancel(int) {}
// The server's answer to one exchange, as the real client hands it over.
int sp_tcp_chan(uint16_t cmd, const uint8_t*, size_t, uint8_t* out, size_t* outlen) {
  const size_t want = script.u16();
  const uint8_t flags = script.u8();
  size_t len = 0;
  const uint8_t* data = script.take(want, &len);
  if ((flags & 1) != 0 || len < SP_MIN_RSP_DATA || len > *outlen) return -1;
  std::memcpy(out, data, len);
  *outlen = len;
  constexpr size_t head = offsetof(update_cfg_rsp, content);
  if ((flags & 2) != 0 && cmd == SERVER_SP_UPDATE_CFG && len > head)
    crypto_md5(out + head, static_cast<int>(len - head), out + offsetof(update_cfg_rsp, hash));
  return 0;
}
int sp_udp_chan(uint16_t cmd, const uint8_t* in, size_t inlen, uint8_t* out, size_t* outlen) {
  return inlen + SP_OVERHEAD > SP_UDP_MAX ? -1 : sp_tcp_chan(cmd, in, inlen, out, outlen);
}

int security_get_deviceid(u8* id, int len) {
  std::memset(id, 0xD0, static_cast<size_t>(len));
  return 0;
}
int security_gen_tac(u8*, int, u8* keyid, u8* out, int* outl) {
  std::memset(keyid, 0x01, 3);
  std::memset(out, 0x5A, 16);
  *outl = 16;
  return 0;
}
int security_is_need_remove_old_keytable() { return 0; }
int security_remove_keytable() { return -1; }
int security_save_pf2file(u8*, u32) { return 0; }
int security_enable_pf(u8* ver) { return ver[0] == ver[1] ? 0 : -1; }
int ztpu_repair_record_file() { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(true, write_order);
  if (size > 16384) return 0;
  if (mconf_load_from_buffer(kConfig, sizeof kConfig - 1) != 0) ztpu_fuzz::fail("base config");
  ztpu_fuzz::Cursor in{data, size};
  const uint8_t op = in.u8();
  heartbeat_cmd direct{};
  if (op % 4 == 2) {
    size_t got = 0;
    std::memcpy(&direct, in.take(sizeof direct, &got), got);
  }
  script = in;
  static const std::string log(1500, 'L');  // two blocks
  if (op & 4) ztpu_fuzz::write_file(ztpu::path::log_file, log.data(), log.size());
  heartbeat_rsp rsp{};
  size_t len = 0;
  if (op % 4 == 0 && server_do_heartbeat(&rsp, &len) == 0) {
    if (len > sizeof rsp) ztpu_fuzz::fail("heartbeat length");
    // The command it would queue, run as the command thread runs it.
    if (server_heartbeat_parse(&rsp, len) == SERVER_HB_QUEUE) server_do_command(&rsp.cmd);
  }
  if (op % 4 == 1) (void)server_do_signin();
  if (op % 4 == 2) (void)server_do_command(&direct);
  if (op % 4 == 3) (void)server_do_upload_order(kOrderName);
  ztpu_fuzz::empty_dir(ztpu::path::log_dir);  // where the log upload moved the log
  mconf_exit();
  return 0;
}

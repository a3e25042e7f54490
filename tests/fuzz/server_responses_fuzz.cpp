// Every record the server sends back, taken by the server link's own code
// (sign-in, heartbeat and the commands it queues, run as the command thread
// does, updates and their blocks, uploads, receipts), the SP client played
// from the input and the security module by fixed stand-ins.
// Input: the entry point byte, for a direct command 24 bytes of it, then the
// answers, each a 16-bit length, flags (bit 0: the exchange fails; bit 1:
// the digest the next check compares with is made right) and the data.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/common.h"
#include "ztpu/crypto.h"
#include "ztpu/mconf.h"

namespace {

constexpr char kConfig[] =
    "config_ver=fuzz-1\nipaddr=127.0.0.2\nnetmask=255.0.0.0\ngateway=127.0.0.1\n"
    "dns=127.0.0.1\ndns2=127.0.0.1\ntime_server=127.0.0.1\ntpu_code=0001\n"
    "merchant_code=0002\nexit_flag=0\nserver_ip=127.0.0.1\nserver_port=9000\n"
    "upload_interval=1\nheartbeat_interval=1\nheartbeat_retries=3\n"
    "voucher_check_time=60\nfile_block_size=1024\ndefault_station=0\n"
    "use_default_station=0\noffline_delay=5\nold_security_life=5\n";
constexpr char kOrderName[] = "ZEF20260101120000000.csv";
constexpr std::size_t kLogSize = 1500;  // two blocks

ztpu_fuzz::Cursor script(nullptr, 0);
std::vector<uint8_t> scratch;

struct answer {
  const uint8_t* data;
  size_t len;
  uint8_t flags;
};

answer next_answer(ztpu_fuzz::Cursor& c) {
  const size_t want = c.u16();
  answer a{nullptr, 0, c.u8()};
  a.data = c.take(want, &a.len);
  return a;
}

// MD5 of the data parts of the key blocks that follow in the script.
void key_file_digest(uint16_t blocks, uint8_t* digest) {
  ztpu_fuzz::Cursor ahead = script;
  std::vector<uint8_t> file;
  for (uint16_t i = 0; i < blocks && ahead.left() > 0; ++i) {
    answer b = next_answer(ahead);
    if (b.len > sizeof(download_key_rsp))
      file.insert(file.end(), b.data + sizeof(download_key_rsp), b.data + b.len);
  }
  crypto_md5(file.data(), static_cast<int>(file.size()), digest);
}

// The server's side of one exchange, as the real client would hand it over.
int fake_exchange(uint16_t cmd, uint8_t* out, size_t* outlen) {
  if (script.left() == 0) return -1;  // server gone
  answer a = next_answer(script);
  if ((a.flags & 1) != 0 || a.len < SP_MIN_RSP_DATA || a.len > *outlen) return -1;
  std::memcpy(out, a.data, a.len);
  *outlen = a.len;
  if ((a.flags & 2) == 0) return 0;
  if (cmd == SERVER_SP_UPDATE_CFG && a.len > offsetof(update_cfg_rsp, content)) {
    constexpr size_t head = offsetof(update_cfg_rsp, content);
    crypto_md5(out + head, static_cast<int>(a.len - head), out + offsetof(update_cfg_rsp, hash));
  } else if (cmd == SERVER_SP_UPDATE_KEY && a.len == sizeof(update_key_rsp)) {
    uint16_t blocks = 0;
    std::memcpy(&blocks, out + offsetof(update_key_rsp, blocks), sizeof blocks);
    key_file_digest(blocks, out + offsetof(update_key_rsp, hash));
  }
  return 0;
}

void clear_queue() {
  std::lock_guard<std::mutex> guard(command_lock);
  while (!list_empty(&command_list)) list_del(command_list.next);
  while (server.command_sem.try_acquire()) {
  }
}

// What the command thread does with the queue, without the thread.
void run_queue() {
  for (int i = 0; i < 8; ++i) {
    server_command* head = nullptr;
    {
      std::lock_guard<std::mutex> guard(command_lock);
      if (list_empty(&command_list)) return;
      head = list_entry<server_command>(command_list.next);
    }
    server_do_command(&head->cmd);
    std::lock_guard<std::mutex> guard(command_lock);
    list_del(&head->node);
  }
}

void heartbeat() {
  heartbeat_rsp rsp{};
  size_t len = 0;
  if (server_do_heartbeat(&rsp, &len) != 0) return;
  if (len > sizeof rsp) ztpu_fuzz::fail("heartbeat length");
  if (server_heartbeat_parse(&rsp, len) == SERVER_HB_QUEUE) server_command_add(rsp.cmd);
  run_queue();
}

}  // namespace

int sp_init_conf(sp_config_t* config) { return config == nullptr ? -1 : 0; }
void sp_cancel(int /*on*/) {}  // the script never waits
int sp_tcp_chan(uint16_t cmd, const uint8_t* in, size_t inlen, uint8_t* out, size_t* outlen) {
  if (inlen > 0) scratch.assign(in, in + inlen);  // the request must be readable
  return fake_exchange(cmd, out, outlen);
}
int sp_udp_chan(uint16_t cmd, const uint8_t* in, size_t inlen, uint8_t* out, size_t* outlen) {
  if (inlen + SP_OVERHEAD > SP_UDP_MAX) return -1;
  return sp_tcp_chan(cmd, in, inlen, out, outlen);
}

int security_get_deviceid(u8* id, int len) {
  if (id == nullptr || len < 16) return -1;
  std::memset(id, 0xD0, static_cast<size_t>(len));
  return 0;
}
int security_gen_tac(u8* data, int datalen, u8* keyid, u8* out, int* outl) {
  if (data == nullptr || datalen < 1 || outl == nullptr || *outl < 16) return -1;
  std::memset(out, 0x5A, 16);
  std::memset(keyid, 0x01, 3);
  *outl = 16;
  return 0;
}
int security_is_need_remove_old_keytable() { return 0; }
int security_remove_keytable() { return -1; }
int security_save_pf2file(u8* data, u32 len) {
  if (len > SERVER_KEY_FILE_MAX) ztpu_fuzz::fail("key file above its bound");
  scratch.assign(data, data + len);  // every byte must be readable
  return 0;
}
int security_enable_pf(u8* ver) { return ver[0] == ver[1] ? 0 : -1; }
int ztpu_repair_record_file() { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  ztpu_fuzz::enter_scratch_board();
  std::string text;
  for (int i = 0; i < 150; ++i) text += "1,2,3,4,5\n";  // two blocks
  ztpu_fuzz::write_file((std::string(ztpu::path::upload_dir) + kOrderName).c_str(), text.data(),
                        text.size());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  if (mconf_load_from_buffer(kConfig, sizeof kConfig - 1) != 0) ztpu_fuzz::fail("base config");
  clear_queue();
  ztpu_fuzz::Cursor in(data, size);
  const uint8_t op = in.u8();
  heartbeat_cmd direct{};
  if (op % 4 == 2) {
    size_t got = 0;
    std::memcpy(&direct, in.take(sizeof direct, &got), got);
  }
  script = in;
  static const std::string log(kLogSize, 'L');
  if (op & 4) ztpu_fuzz::write_file(ztpu::path::log_file, log.data(), log.size());
  if (op % 4 == 0) heartbeat();
  if (op % 4 == 1) (void)server_do_signin();
  if (op % 4 == 2) (void)server_do_command(&direct);
  if (op % 4 == 3) (void)server_do_upload_order(kOrderName);
  clear_queue();
  // The log upload renames the log into the log directory: empty it.
  ztpu_fuzz::remove_dir_files(ztpu::path::log_dir);
  mconf_exit();
  return 0;
}

// The command thread: carries out the commands the server delivers in
// heartbeat responses (log upload, configuration update, key download, key
// apply), one at a time, and acknowledges each but the log upload.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "server_exchange.h"
#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/crypto.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/secret.h"
#include "ztpu/security.h"

namespace {

constexpr std::size_t kLogNameLen = 18;
constexpr std::size_t kPathMax = 256;
// Room to read "config_ver" whole before it is cut to its field.
constexpr int kCfgVerReadMax = 255;

// Only the command thread uses it.
upload_log_req log_block;

}  // namespace

int server_do_upload_log(const heartbeat_cmd* cmd) {
  if (access(ztpu::path::log_file, F_OK) != 0) return -1;

  std::time_t now = std::time(nullptr);
  struct tm tm_now {};
  if (localtime_r(&now, &tm_now) == nullptr) return -1;
  char name[kLogNameLen + 8] = {};
  int nlen = std::snprintf(name, sizeof(name), "%04d%02d%02d%02d%02d%02d.log",
                           tm_now.tm_year + 1900, tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour,
                           tm_now.tm_min, tm_now.tm_sec);
  if (nlen != static_cast<int>(kLogNameLen)) return -1;
  char path[kPathMax] = {};
  std::snprintf(path, sizeof(path), "%s%s", ztpu::path::log_dir, name);

  // An earlier upload in the same second left its log under this name;
  // renaming over it would destroy that log.
  if (access(path, F_OK) == 0) {
    ztpu_log(LOG_ERR, "[SERVER] log file %s already exists\n", path);
    return -1;
  }
  if (std::rename(ztpu::path::log_file, path) != 0) return -1;
  server_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    ztpu_log(LOG_ERR, "[SERVER] open log file %s failed\n", path);
    return -1;
  }

  upload_log_notify_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  std::memcpy(req.cmd_id, cmd->cmd_id, sizeof(req.cmd_id));
  std::memset(req.filename, '0', sizeof(req.filename));
  std::memcpy(req.filename, name, kLogNameLen);
  long long size = 0;
  if (server_file_announce(fd.get(), path, "log", req.hash, &size) != 0) return -1;
  req.blocks = static_cast<std::uint16_t>(server_blocks(size));

  upload_log_notify_rsp rsp{};
  if (server_exchange(
          SERVER_SP_UPLOAD_LOG_NOTIFY, req, sizeof(req), &rsp,
          {"upload log notification request failed\n", "invalid upload log notification response\n",
           "upload log notification response status"}) != 0) {
    return -1;
  }

  log_block = upload_log_req{};
  std::memcpy(log_block.tpu_id, req.tpu_id, sizeof(log_block.tpu_id));
  std::memcpy(log_block.filename, req.filename, sizeof(log_block.filename));
  ztpu_log(LOG_INFO, "[SERVER] uploading syslog %s (%lld B)\n", path, size);
  return server_send_blocks<upload_log_rsp>(SERVER_SP_UPLOAD_LOG, "log", log_block, fd.get(), size);
}

int server_do_update_cfg(const heartbeat_cmd* cmd) {
  update_cfg_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  std::memcpy(req.cmd_id, cmd->cmd_id, sizeof(req.cmd_id));
  // A version longer than the field is sent as its first 16 characters.
  char ver[kCfgVerReadMax + 1] = {};
  if (mconf_get_str(MC_CONFIG_VER, ver, kCfgVerReadMax) == 0) {
    std::size_t n = strnlen(ver, sizeof(ver));
    std::memcpy(req.cur_cfg_ver, ver, n < sizeof(req.cur_cfg_ver) ? n : sizeof(req.cur_cfg_ver));
  }

  std::unique_ptr<update_cfg_rsp> rsp(new (std::nothrow) update_cfg_rsp);
  if (!rsp) return -1;
  std::size_t len = sizeof(update_cfg_rsp);
  if (sp_tcp_chan(SERVER_SP_UPDATE_CFG, reinterpret_cast<const std::uint8_t*>(&req), sizeof(req),
                  reinterpret_cast<std::uint8_t*>(rsp.get()), &len) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] update_cfg request failed\n");
    return -1;
  }
  constexpr std::size_t head = offsetof(update_cfg_rsp, content);
  if (len <= head) {
    ztpu_log(LOG_ERR, "[SERVER] no configuration content response\n");
    return -1;
  }
  int clen = static_cast<int>(len - head);
  std::uint8_t digest[SERVER_HASH_LEN] = {};
  if (crypto_md5(rsp->content, clen, digest) < 0 ||
      std::memcmp(digest, rsp->hash, sizeof(digest)) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] update config md5 check failed\n");
    return -1;
  }
  return mconf_load_store_from_buffer(reinterpret_cast<const char*>(rsp->content), clen);
}

int server_do_update_key(const heartbeat_cmd* cmd) {
  update_key_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  std::memcpy(req.cmd_id, cmd->cmd_id, sizeof(req.cmd_id));
  req.key_ver = cmd->arg.key.key_ver;  // the version the command names

  update_key_rsp info{};
  if (server_exchange(SERVER_SP_UPDATE_KEY, req, sizeof(req), &info,
                      {"update key request failed\n", "update key failed\n", nullptr}) != 0) {
    return -1;
  }

  const std::size_t blocks = info.blocks;
  const std::size_t block_size = info.block_size;
  const std::size_t total = blocks * block_size;
  if ((blocks > 0 && block_size == 0) || total > SERVER_KEY_FILE_MAX) {
    ztpu_log(LOG_ERR, "[SERVER] update key: refused %zu blocks of %zu B\n", blocks, block_size);
    return -1;
  }
  // One byte at least, so that an empty file still has a buffer to digest.
  ztpu::SecretBuf file(total > 0 ? total : 1);
  const std::size_t rsp_cap = block_size + sizeof(update_key_rsp);
  ztpu::SecretBuf block(rsp_cap);
  if (!file.ok() || !block.ok()) return -1;

  std::size_t got = 0;
  download_key_req breq{};
  std::memcpy(breq.tpu_id, req.tpu_id, sizeof(breq.tpu_id));
  std::memcpy(breq.cmd_id, req.cmd_id, sizeof(breq.cmd_id));
  for (std::size_t nr = 1; nr <= blocks; ++nr) {
    breq.block_nr = static_cast<std::uint16_t>(nr);
    std::size_t blen = rsp_cap;
    bool ok = sp_tcp_chan(SERVER_SP_DOWNLOAD_KEY, reinterpret_cast<const std::uint8_t*>(&breq),
                          sizeof(breq), block.data(), &blen) == 0 &&
              blen >= sizeof(download_key_rsp);
    std::size_t dlen = 0;
    if (ok) {
      download_key_rsp head{};
      std::memcpy(&head, block.data(), sizeof(head));
      dlen = head.data_len;
      ok = dlen == blen - sizeof(download_key_rsp) && dlen <= total - got;
    }
    if (!ok) {
      ztpu_log(LOG_ERR, "[SERVER] downlod key block %d failed\n", static_cast<int>(nr));
      return -1;
    }
    std::memcpy(file.data() + got, block.data() + sizeof(download_key_rsp), dlen);
    got += dlen;
  }

  std::uint8_t digest[SERVER_HASH_LEN] = {};
  if (crypto_md5(file.data(), static_cast<int>(got), digest) < 0 ||
      std::memcmp(digest, info.hash, sizeof(digest)) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] download key md5 check failed\n");
    return -1;
  }
  return security_save_pf2file(file.data(), static_cast<u32>(got));
}

int server_do_apply_key(const heartbeat_cmd* cmd) {
  u8 ver[sizeof(cmd_arg_key)] = {};
  std::memcpy(ver, &cmd->arg, sizeof(ver));
  return security_enable_pf(ver);
}

int server_do_receipt(const heartbeat_cmd* cmd, int status) {
  receipt_cmd req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  std::memcpy(req.cmd_id, cmd->cmd_id, sizeof(req.cmd_id));
  req.cmd = cmd->cmd;
  req.status = static_cast<std::uint8_t>(status);
  char invalid[48];
  std::snprintf(invalid, sizeof(invalid), "receipt failed (cmd:0x%x\n\n",
                static_cast<unsigned>(cmd->cmd));
  receipt_cmd rsp{};
  return server_exchange(SERVER_SP_RECEIPT, req, sizeof(req), &rsp,
                         {"receipt request failed\n", invalid, nullptr});
}

int server_do_command(const heartbeat_cmd* cmd) {
  int result = 0;
  switch (cmd->cmd) {
    case HB_CMD_UPLOAD_LOG:
      return server_do_upload_log(cmd);  // no receipt: the blocks tell the server
    case HB_CMD_UPDATE_CFG:
      result = server_do_update_cfg(cmd);
      break;
    case HB_CMD_UPDATE_KEY:
      result = server_do_update_key(cmd);
      break;
    default:
      result = server_do_apply_key(cmd);
      break;
  }
  return server_do_receipt(cmd, result < 0 ? 1 : 0);
}

void server_command_thread(server_data* arg) {
  while (arg->command_running) {
    arg->command_sem.acquire();
    // A stop that comes while commands wait leaves them unstarted.
    if (!arg->command_running) break;
    server_command* head = nullptr;
    {
      std::lock_guard<std::mutex> guard(command_lock);
      if (list_empty(&command_list)) continue;
      head = list_entry<server_command>(command_list.next);
    }
    // The buffer stays linked, so its code is not delivered again, and the
    // heartbeat thread does not write it meanwhile.
    server_do_command(&head->cmd);
    std::lock_guard<std::mutex> guard(command_lock);
    list_del(&head->node);
  }
}

// Records exchanged with the back-end server, one per SP request or response
// data area. Packed, little-endian (the board's own order); fixed-width text
// fields carry no terminator when full.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "server records are little-endian");

// SP command codes: the `cmd` of a request's SP header.
enum server_sp_cmd : std::uint16_t {
  SERVER_SP_SIGNIN = 0x10,     // TCP
  SERVER_SP_HEARTBEAT = 0x11,  // UDP
  SERVER_SP_UPLOAD_ORDER_NOTIFY = 0x12,
  SERVER_SP_UPLOAD_ORDER = 0x13,
  SERVER_SP_UPDATE_CFG = 0x14,
  SERVER_SP_UPDATE_KEY = 0x15,
  SERVER_SP_DOWNLOAD_KEY = 0x16,
  SERVER_SP_UPLOAD_LOG_NOTIFY = 0x18,
  SERVER_SP_UPLOAD_LOG = 0x19,
  SERVER_SP_RECEIPT = 0xAA,
};

// Codes of the commands the server delivers inside heartbeat responses.
enum server_hb_cmd : std::uint16_t {
  HB_CMD_SIGNIN = 0x10,      // sign in again (28-byte response)
  HB_CMD_UPDATE_CFG = 0x14,  // 44-byte response, argument cfg_ver
  HB_CMD_UPDATE_KEY = 0x15,  // 30-byte response, argument key_ver
  HB_CMD_APPLY_KEY = 0x17,   // 30-byte response, argument key_ver
  HB_CMD_UPLOAD_LOG = 0x19,  // 28-byte response
};

inline constexpr std::size_t SERVER_TPU_ID_LEN = 16;
inline constexpr std::size_t SERVER_CMD_ID_LEN = 6;
inline constexpr std::size_t SERVER_HASH_LEN = 16;
inline constexpr std::size_t SERVER_BLOCK_SIZE = 1024;  // file upload block
inline constexpr std::size_t SERVER_CFG_CONTENT_MAX = 10240;

#define SERVER_RECORD struct __attribute__((packed))

SERVER_RECORD signin_req {
  std::uint8_t tpu_id[16];
  std::uint8_t passwd[16];
  std::uint32_t time;
  std::uint8_t key_id[3];
};
static_assert(sizeof(signin_req) == 39);
static_assert(offsetof(signin_req, passwd) == 16 && offsetof(signin_req, time) == 32);
static_assert(offsetof(signin_req, key_id) == 36);

SERVER_RECORD signin_rsp {
  std::uint8_t tpu_id[16];
  std::uint32_t expire_time;
};
static_assert(sizeof(signin_rsp) == 20 && offsetof(signin_rsp, expire_time) == 16);

SERVER_RECORD heartbeat_req {
  std::uint8_t tpu_id[16];
  std::uint32_t time;
};
static_assert(sizeof(heartbeat_req) == 20 && offsetof(heartbeat_req, time) == 16);

SERVER_RECORD cmd_arg_cfg { std::uint8_t cfg_ver[16]; };
SERVER_RECORD cmd_arg_key { std::uint16_t key_ver; };

SERVER_RECORD heartbeat_cmd {
  std::uint8_t cmd_id[6];
  std::uint16_t cmd;
  union __attribute__((packed)) {
    cmd_arg_cfg cfg;
    cmd_arg_key key;
  } arg;
};
static_assert(sizeof(heartbeat_cmd) == 24);
static_assert(offsetof(heartbeat_cmd, cmd) == 6 && offsetof(heartbeat_cmd, arg) == 8);

SERVER_RECORD heartbeat_rsp {
  std::uint8_t tpu_id[16];
  std::uint32_t expire_time;
  heartbeat_cmd cmd;  // only 8 or 10 bytes present in 28- and 30-byte responses
};
static_assert(sizeof(heartbeat_rsp) == 44 && offsetof(heartbeat_rsp, cmd) == 20);

// The valid heartbeat response lengths.
inline constexpr std::size_t HB_RSP_NONE = 20;
inline constexpr std::size_t HB_RSP_NO_ARG = 28;
inline constexpr std::size_t HB_RSP_KEY = 30;
inline constexpr std::size_t HB_RSP_CFG = 44;

SERVER_RECORD upload_log_notify_req {
  std::uint8_t tpu_id[16];
  std::uint8_t cmd_id[6];
  std::uint8_t filename[18];
  std::uint16_t blocks;
  std::uint8_t hash[16];
};
static_assert(sizeof(upload_log_notify_req) == 58);
static_assert(offsetof(upload_log_notify_req, filename) == 22);
static_assert(offsetof(upload_log_notify_req, blocks) == 40);
static_assert(offsetof(upload_log_notify_req, hash) == 42);

SERVER_RECORD upload_log_notify_rsp {
  std::uint8_t tpu_id[16];
  std::uint8_t filename[18];
  std::uint8_t status;
};
static_assert(sizeof(upload_log_notify_rsp) == 35 && offsetof(upload_log_notify_rsp, status) == 34);

SERVER_RECORD upload_log_req {
  std::uint8_t tpu_id[16];
  std::uint8_t filename[18];
  std::uint16_t block_nr;
  std::uint16_t data_len;
  std::uint8_t data[1024];  // only data_len bytes are sent
};
static_assert(sizeof(upload_log_req) == 1062);
static_assert(offsetof(upload_log_req, block_nr) == 34 && offsetof(upload_log_req, data) == 38);

SERVER_RECORD upload_log_rsp {
  std::uint8_t tpu_id[16];
  std::uint8_t filename[18];
  std::uint16_t block_nr;
  std::uint8_t status;
};
static_assert(sizeof(upload_log_rsp) == 37 && offsetof(upload_log_rsp, status) == 36);

SERVER_RECORD update_cfg_req {
  std::uint8_t tpu_id[16];
  std::uint8_t cmd_id[6];
  std::uint8_t cur_cfg_ver[16];
};
static_assert(sizeof(update_cfg_req) == 38 && offsetof(update_cfg_req, cur_cfg_ver) == 22);

SERVER_RECORD update_cfg_rsp {
  std::uint8_t tpu_id[16];
  std::uint8_t cfg_ver[16];
  std::uint8_t filename[16];
  std::uint8_t hash[16];
  std::uint8_t content[10240];  // response length - 64 bytes of it are present
};
static_assert(sizeof(update_cfg_rsp) == 10304 && offsetof(update_cfg_rsp, content) == 64);
static_assert(offsetof(update_cfg_rsp, hash) == 48);

SERVER_RECORD update_key_req {
  std::uint8_t tpu_id[16];
  std::uint8_t cmd_id[6];
  std::uint16_t key_ver;
};
static_assert(sizeof(update_key_req) == 24 && offsetof(update_key_req, key_ver) == 22);

SERVER_RECORD update_key_rsp {
  std::uint8_t tpu_id[16];
  std::uint16_t key_ver;
  std::uint8_t filename[16];
  std::uint8_t hash[16];
  std::uint16_t blocks;
  std::uint16_t block_size;
};
static_assert(sizeof(update_key_rsp) == 54);
static_assert(offsetof(update_key_rsp, hash) == 34 && offsetof(update_key_rsp, blocks) == 50);
static_assert(offsetof(update_key_rsp, block_size) == 52);

SERVER_RECORD download_key_req {
  std::uint8_t tpu_id[16];
  std::uint8_t cmd_id[6];
  std::uint16_t block_nr;
};
static_assert(sizeof(download_key_req) == 24 && offsetof(download_key_req, block_nr) == 22);

// Head of a key file block response; data_len bytes of data follow it.
SERVER_RECORD download_key_rsp {
  std::uint8_t tpu_id[16];
  std::uint16_t data_len;
};
static_assert(sizeof(download_key_rsp) == 18 && offsetof(download_key_rsp, data_len) == 16);

SERVER_RECORD receipt_cmd {
  std::uint8_t tpu_id[16];
  std::uint8_t cmd_id[6];
  std::uint16_t cmd;
  std::uint8_t status;  // 0 carried out, 1 failed
};
static_assert(sizeof(receipt_cmd) == 25 && offsetof(receipt_cmd, cmd) == 22);
static_assert(offsetof(receipt_cmd, status) == 24);

SERVER_RECORD upload_order_notify_req {
  std::uint8_t tpu_id[16];
  std::uint8_t type;
  std::uint8_t filename[24];
  std::uint16_t blocks;
  std::uint8_t hash[16];
};
static_assert(sizeof(upload_order_notify_req) == 59);
static_assert(offsetof(upload_order_notify_req, filename) == 17);
static_assert(offsetof(upload_order_notify_req, blocks) == 41);
static_assert(offsetof(upload_order_notify_req, hash) == 43);

SERVER_RECORD upload_order_notify_rsp {
  std::uint8_t tpu_id[16];
  std::uint8_t type;
  std::uint8_t filename[24];
  std::uint8_t status;
};
static_assert(sizeof(upload_order_notify_rsp) == 42);
static_assert(offsetof(upload_order_notify_rsp, status) == 41);

SERVER_RECORD upload_order_req {
  std::uint8_t tpu_id[16];
  std::uint8_t filename[24];
  std::uint16_t block_nr;
  std::uint16_t data_len;
  std::uint8_t data[1024];  // only data_len bytes are sent
};
static_assert(sizeof(upload_order_req) == 1068);
static_assert(offsetof(upload_order_req, block_nr) == 40 && offsetof(upload_order_req, data) == 44);

SERVER_RECORD upload_order_rsp {
  std::uint8_t tpu_id[16];
  std::uint8_t filename[24];
  std::uint16_t block_nr;
  std::uint8_t status;
};
static_assert(sizeof(upload_order_rsp) == 43 && offsetof(upload_order_rsp, status) == 42);

#undef SERVER_RECORD

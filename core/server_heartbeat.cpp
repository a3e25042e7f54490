// The heartbeat thread: configures the SP client, signs in, sends a heartbeat
// every period, keeps the link status, queues delivered commands and removes
// a superseded key table once its life is over.
#include <chrono>
#include <cstring>
#include <ctime>

#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/security.h"

namespace {

constexpr int kFirstPeriodSec = 2;
constexpr int kDefaultPeriodSec = 10;
constexpr int kAfterSigninSec = 1;
constexpr std::uint32_t kTimeoutSec = 10;
constexpr std::uint16_t kApiVersion = 2;
constexpr int kServerIpMax = 64;

// Deadlines are kept on the monotonic clock: setting the wall clock (the
// board syncs its time after boot) must not declare the link offline early
// or keep it online for ever.
double monotonic_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint32_t wall_now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

struct heartbeat_state {
  int retries = 0;
  double offline_deadline = 0;
  int period = kFirstPeriodSec;
  int old_cnt = 0;
};

void go_online(server_data* srv, heartbeat_state& st) {
  st.retries = mconf_get_int(MC_HEARTBEAT_RETRIES);
  st.offline_deadline = monotonic_now() + mconf_get_int(MC_OFFLINE_DELAY);
  srv->status = SERVER_STATUS_ONLINE;
  ztpu_log(LOG_INFO, "[SERVER] server status: online\n");
}

void handle_signin(server_data* srv, heartbeat_state& st) {
  if (server_do_signin() == 0) {
    srv->status = SERVER_STATUS_SIGNED_IN;
    ztpu_log(LOG_INFO, "[SERVER] server status: signed in\n");
    st.period = kAfterSigninSec;
    return;
  }
  if (srv->status == SERVER_STATUS_ONLINE && monotonic_now() > st.offline_deadline) {
    srv->status = SERVER_STATUS_OFFLINE;
    ztpu_log(LOG_INFO, "[SERVER] server status: offline\n");
  }
}

void handle_old_keytable(heartbeat_state& st) {
  if (security_is_need_remove_old_keytable() == 0) return;
  int life = mconf_get_int(MC_OLD_SECURITY_LIFE);
  if (life <= st.old_cnt * st.period) {
    security_remove_keytable();
    st.old_cnt = 0;
  } else {
    st.old_cnt++;
  }
  ztpu_log(LOG_ERR, "[SERVER] old_securit_life:%d,old_securit_cnt:%d,old_securit_cnt * delay:%d\n",
           life, st.old_cnt, st.old_cnt * st.period);
}

void handle_heartbeat(server_data* srv, heartbeat_state& st) {
  heartbeat_rsp rsp{};
  std::size_t len = 0;
  bool ok = false;
  if (server_do_heartbeat(&rsp, &len) == 0) {
    switch (server_heartbeat_parse(&rsp, len)) {
      case SERVER_HB_NONE:
        ok = true;
        break;
      case SERVER_HB_QUEUE: {
        heartbeat_cmd queued = rsp.cmd;
        server_command_add(queued);
        ok = true;
        break;
      }
      case SERVER_HB_SIGNIN:
        break;
      default:
        ztpu_log(LOG_ERR, "[SERVER] hearbeat failed: cmd:%d, len:%d\n", rsp.cmd.cmd,
                 static_cast<int>(len));
        break;
    }
  }
  if (ok) {
    st.retries = mconf_get_int(MC_HEARTBEAT_RETRIES);
    return;
  }
  st.retries--;
  bool signin_asked = len >= HB_RSP_NO_ARG && rsp.cmd.cmd == HB_CMD_SIGNIN;
  if (st.retries < 0 || signin_asked) go_online(srv, st);
}

}  // namespace

int server_heartbeat_parse(const heartbeat_rsp* rsp, std::size_t len) {
  const std::uint16_t cmd = rsp->cmd.cmd;
  switch (len) {
    case HB_RSP_NONE:
      return SERVER_HB_NONE;
    case HB_RSP_NO_ARG:
      if (cmd == HB_CMD_UPLOAD_LOG) return SERVER_HB_QUEUE;
      return cmd == HB_CMD_SIGNIN ? SERVER_HB_SIGNIN : SERVER_HB_INVALID;
    case HB_RSP_KEY:
      return cmd == HB_CMD_UPDATE_KEY || cmd == HB_CMD_APPLY_KEY ? SERVER_HB_QUEUE
                                                                 : SERVER_HB_INVALID;
    case HB_RSP_CFG:
      return cmd == HB_CMD_UPDATE_CFG ? SERVER_HB_QUEUE : SERVER_HB_INVALID;
    default:
      return SERVER_HB_INVALID;
  }
}

int server_init_connection() {
  sp_config_t cfg{};
  char ip[kServerIpMax + 1] = {};
  mconf_get_str(MC_SERVER_IP, ip, kServerIpMax);
  std::memcpy(cfg.tcp_ip, ip, sizeof(ip));
  std::memcpy(cfg.udp_ip, ip, sizeof(ip));
  auto port = static_cast<std::uint16_t>(mconf_get_int(MC_SERVER_PORT) & 0xFFFF);
  cfg.tcp_port = port;
  cfg.udp_port = port;
  cfg.conn_timeout_sec = kTimeoutSec;
  cfg.rw_timeout_sec = kTimeoutSec;
  cfg.apiver = kApiVersion;
  if (sp_init_conf(&cfg) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] failed to initialize connection\n");
    return -1;
  }
  return 0;
}

int server_do_signin() {
  if (server_init_connection() != 0) {
    ztpu_log(LOG_ERR, "[SERVER] init connection failed\n");
    return -1;
  }
  signin_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  req.time = wall_now();
  int tac_len = sizeof(req.passwd);
  // A failed TAC leaves passwd zeroed; the server refuses the sign-in.
  security_gen_tac(req.tpu_id, SERVER_TPU_ID_LEN, req.key_id, req.passwd, &tac_len);

  signin_rsp rsp{};
  std::size_t len = sizeof(rsp);
  if (sp_tcp_chan(SERVER_SP_SIGNIN, reinterpret_cast<const std::uint8_t*>(&req), sizeof(req),
                  reinterpret_cast<std::uint8_t*>(&rsp), &len) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] signin request failed\n");
    return -1;
  }
  if (len != sizeof(signin_rsp)) {
    ztpu_log(LOG_ERR, "[SERVER] signin failed\n");
    return -1;
  }
  return 0;
}

int server_do_heartbeat(heartbeat_rsp* rsp, std::size_t* len) {
  // Zeroed every cycle: a command left from an earlier response is never seen again.
  *rsp = heartbeat_rsp{};
  *len = sizeof(heartbeat_rsp);
  heartbeat_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  req.time = wall_now();
  if (sp_udp_chan(SERVER_SP_HEARTBEAT, reinterpret_cast<const std::uint8_t*>(&req), sizeof(req),
                  reinterpret_cast<std::uint8_t*>(rsp), len) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] heartbeat request failed\n");
    *rsp = heartbeat_rsp{};
    *len = 0;
    return -1;
  }
  return 0;
}

void server_heartbeat_thread(server_data* arg) {
  heartbeat_state st;
  st.retries = mconf_get_int(MC_HEARTBEAT_RETRIES);
  st.offline_deadline = monotonic_now() + mconf_get_int(MC_OFFLINE_DELAY);
  st.period = kFirstPeriodSec;

  while (arg->heartbeat_running) {
    if (!server_wait(heartbeat_mutex, heartbeat_cond, arg->heartbeat_running, st.period)) break;

    int interval = mconf_get_int(MC_HEARTBEAT_INTERVAL);
    st.period = interval > 0 ? interval : kDefaultPeriodSec;

    if (arg->status != SERVER_STATUS_SIGNED_IN) {
      handle_signin(arg, st);
      continue;
    }
    handle_old_keytable(st);
    handle_heartbeat(arg, st);
  }
}

// Server link life cycle: the three threads, the link status and the command
// queue that the heartbeat thread fills and the command thread empties.
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <system_error>

#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"

server_data server;

std::mutex command_lock;
list_node command_list{&command_list, &command_list};

std::mutex heartbeat_mutex;
std::condition_variable heartbeat_cond;
std::mutex order_mutex;
std::condition_variable order_cond;

namespace {

struct cmd_buffer {
  int cmd;
  server_command buf;
};

// One preallocated buffer per queueable code: at most one pending command per code.
cmd_buffer cmdbuf[4] = {
    {HB_CMD_UPLOAD_LOG, {}},
    {HB_CMD_UPDATE_CFG, {}},
    {HB_CMD_UPDATE_KEY, {}},
    {HB_CMD_APPLY_KEY, {}},
};

// Starts one thread named `name` (seen in ps and /proc); a failure is
// logged with `failure` and reported as false.
template <typename Fn>
bool start_thread(std::thread& t, Fn fn, const char* name, const char* failure) {
  try {
    t = std::thread(fn, &server);
  } catch (const std::system_error&) {
    ztpu_log(LOG_ERR, "%s", failure);
    return false;
  }
  pthread_setname_np(t.native_handle(), name);
  return true;
}

void signal_under(std::mutex& m, std::condition_variable& c) {
  std::lock_guard<std::mutex> guard(m);
  c.notify_all();
}

void join(std::thread& t) {
  if (t.joinable()) t.join();
}

}  // namespace

bool server_wait(std::mutex& mutex, std::condition_variable& cond, const std::atomic<int>& running,
                 int seconds) {
  // The stop flag is tested under the mutex that server_exit takes to
  // signal, so a stop is never missed between the test and the wait.
  std::unique_lock<std::mutex> lock(mutex);
  cond.wait_for(lock, std::chrono::seconds(seconds), [&] { return running.load() == 0; });
  return running.load() != 0;
}

server_command* server_command_get_buffer(int cmd) {
  for (cmd_buffer& b : cmdbuf) {
    if (b.cmd == cmd) return &b.buf;
  }
  return nullptr;
}

void server_command_add(const heartbeat_cmd& cmd) {
  std::lock_guard<std::mutex> guard(command_lock);
  std::uint16_t code = cmd.cmd;
  bool pending = false;
  list_for_each(&command_list, [&](list_node* n) {
    if (list_entry<server_command>(n)->cmd.cmd == code) pending = true;
  });
  if (pending) {
    ztpu_log(LOG_INFO, "[SERVER] ignore the same command 0x%x\n", code);
    return;
  }
  server_command* buf = server_command_get_buffer(code);
  if (buf == nullptr) return;  // only queueable codes reach here
  buf->cmd = cmd;
  list_add_tail(&buf->node, &command_list);
  server.command_sem.release();
}

int server_command_pending(heartbeat_cmd* out, int max) {
  std::lock_guard<std::mutex> guard(command_lock);
  int n = 0;
  list_for_each(&command_list, [&](list_node* node) {
    if (n < max) out[n++] = list_entry<server_command>(node)->cmd;
  });
  return n;
}

int server_is_offline() { return server.status.load() == SERVER_STATUS_OFFLINE ? 1 : 0; }

int server_get_status() { return server.status.load(); }

int server_orders_waiting() { return server.orders_waiting.load(std::memory_order_relaxed); }

int server_init() {
  // A second start would overwrite running thread handles.
  if (server.command_thread.joinable() || server.heartbeat_thread.joinable() ||
      server.order_thread.joinable()) {
    ztpu_log(LOG_ERR, "[SERVER] server link already started\n");
    return -1;
  }
  server.status = SERVER_STATUS_OFFLINE;
  {
    std::lock_guard<std::mutex> guard(command_lock);
    list_init(&command_list);
    for (cmd_buffer& b : cmdbuf) b.buf = server_command{};
  }
  while (server.command_sem.try_acquire()) {
  }
  // Raised before the threads exist: a stop that comes first is still seen.
  server.command_running = 1;
  server.heartbeat_running = 1;
  server.order_running = 1;

  // The module runner stops only the modules before a failing one: the
  // threads already created are stopped here.
  if (!start_thread(server.command_thread, server_command_thread, "srv-cmd",
                    "[SERVER] failed to create command thread\n") ||
      !start_thread(server.heartbeat_thread, server_heartbeat_thread, "srv-hb",
                    "[SERVER] failed to create heartbeat thread\n") ||
      !start_thread(server.order_thread, server_order_thread, "srv-order",
                    "[SERVER] failed to create order thread\n")) {
    server_exit();
    return -1;
  }
  return 0;
}

void server_exit() {
  server.command_running = 0;
  server.order_running = 0;
  server.heartbeat_running = 0;
  // An exchange in progress gives up instead of waiting out its time-outs.
  sp_cancel(1);

  server.command_sem.release();
  signal_under(order_mutex, order_cond);
  signal_under(heartbeat_mutex, heartbeat_cond);

  join(server.command_thread);
  join(server.order_thread);
  join(server.heartbeat_thread);
  sp_cancel(0);
  while (server.command_sem.try_acquire()) {
  }
}

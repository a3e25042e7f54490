// State shared by the server link's threads; for the module's own files and
// its tests only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <semaphore>
#include <thread>

#include "ztpu/server.h"

struct server_data {
  std::atomic<int> status{SERVER_STATUS_OFFLINE};
  std::atomic<int> command_running{0};
  std::thread command_thread;
  std::counting_semaphore<64> command_sem{0};  // one post per queued command
  std::atomic<int> heartbeat_running{0};
  std::thread heartbeat_thread;
  std::atomic<int> order_running{0};
  std::thread order_thread;
};

extern server_data server;

// Command queue: command_list and the cmdbuf buffers are guarded by command_lock.
extern std::mutex command_lock;
extern list_node command_list;

// Timed waits of the heartbeat and order threads; server_exit signals both.
extern std::mutex heartbeat_mutex;
extern std::condition_variable heartbeat_cond;
extern std::mutex order_mutex;
extern std::condition_variable order_cond;

void server_command_thread(server_data* arg);
void server_heartbeat_thread(server_data* arg);
void server_order_thread(server_data* arg);

int server_init_connection();
int server_do_signin();
// One heartbeat exchange; *rsp is zeroed first and *len receives the
// response length (0 when the exchange failed). 0, or -1.
int server_do_heartbeat(heartbeat_rsp* rsp, std::size_t* len);
// Queues a delivered command unless one of its code is pending.
void server_command_add(const heartbeat_cmd& cmd);

// Waits on cond until `seconds` have passed or `running` drops. Returns the
// value of `running` after the wait.
bool server_wait(std::mutex& mutex, std::condition_variable& cond, const std::atomic<int>& running,
                 int seconds);

// Copies up to max queued commands in queue order; returns how many.
int server_command_pending(heartbeat_cmd* out, int max);

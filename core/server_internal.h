// State shared by the server link's threads; for the module's own files and
// its tests only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>

#include "ztpu/fileio.h"
#include "ztpu/server.h"

// Owner of a file descriptor; closes it exactly once.
using server_fd = ztpu::fileio::Fd;

// Size and MD5 of an open file that agree with each other: a file that
// grows while it is digested (a log still written to) is measured again.
// 0, or -1.
int server_file_digest(int fd, const char* path, long long* size, std::uint8_t* hash);

// Reads up to len bytes, going on after short reads. The count read (0 at
// the end of the file), or -1.
long server_read_full(int fd, std::uint8_t* buf, std::size_t len);

// Blocks of SERVER_BLOCK_SIZE bytes for a file of `size` bytes.
inline long long server_blocks(long long size) {
  return (size + static_cast<long long>(SERVER_BLOCK_SIZE) - 1) /
         static_cast<long long>(SERVER_BLOCK_SIZE);
}

struct server_data {
  std::atomic<int> status{SERVER_STATUS_OFFLINE};
  std::atomic<int> command_running{0};
  std::thread command_thread;
  std::counting_semaphore<64> command_sem{0};  // one post per queued command
  std::atomic<int> heartbeat_running{0};
  std::thread heartbeat_thread;
  std::atomic<int> order_running{0};
  std::thread order_thread;
  std::atomic<int> orders_waiting{0};  // queued order files, for the status line
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
// What a heartbeat response of `len` bytes (its record in *rsp) asks for:
// nothing, queueing rsp->cmd, a new sign-in, or nothing valid.
enum server_hb_action : int {
  SERVER_HB_INVALID = -1,
  SERVER_HB_NONE = 0,
  SERVER_HB_QUEUE = 1,
  SERVER_HB_SIGNIN = 2,
};
int server_heartbeat_parse(const heartbeat_rsp* rsp, std::size_t len);
// Queues a delivered command unless one of its code is pending.
void server_command_add(const heartbeat_cmd& cmd);

// Waits on cond until `seconds` have passed or `running` drops. Returns the
// value of `running` after the wait.
bool server_wait(std::mutex& mutex, std::condition_variable& cond, const std::atomic<int>& running,
                 int seconds);

// Copies up to max queued commands in queue order; returns how many.
int server_command_pending(heartbeat_cmd* out, int max);

// ---- Command thread ----

// Carries out one command and, except for the log upload, sends its
// receipt. The log upload's result for 0x19; for the other codes 0 when the
// receipt was acknowledged, else -1.
int server_do_command(const heartbeat_cmd* cmd);
int server_do_upload_log(const heartbeat_cmd* cmd);
int server_do_update_cfg(const heartbeat_cmd* cmd);
int server_do_update_key(const heartbeat_cmd* cmd);
int server_do_apply_key(const heartbeat_cmd* cmd);
int server_do_receipt(const heartbeat_cmd* cmd, int status);

// ---- Order thread ----

// One queue slot of the order thread.
struct server_order {
  list_node node;
  int used;      // 1 while the slot holds a queued file
  int uploaded;  // 1 once the server took the file; only the move is left
  char filename[25];
};

struct order_buffer {
  int size = 0;  // number of slots; the array never grows
  std::unique_ptr<server_order[]> order;
};

// Upload order of the queued slots; the order thread is its only user.
extern list_node order_list;

struct dirent;
// Scan filter of the upload directory: 1 for names of the order file form.
int server_order_filter(const struct dirent* dent);
// The first free slot, or null.
server_order* server_order_get_buffer(order_buffer* orderbuf);
// Creates the directories, allocates the slots and queues the files left
// in the upload directory in name order. 0, or -1 (no slots).
int server_order_init(order_buffer* orderbuf);
// Moves the record file into the upload directory under a new name and
// queues it. 0 when a file was queued, else -1.
int server_order_add(order_buffer* orderbuf);
// Tries every queued file once, in queue order, while `running` stays set.
// A file larger than server_order_part_max is first split into parts that
// take its place in the queue.
void server_order_upload_pass(order_buffer* orderbuf, const std::atomic<int>& running);

// Largest order file announced whole (the 16-bit block count's limit);
// tests lower it before the order thread runs.
extern long long server_order_part_max;
// One file: 0 when the server took all of it (or it is gone), -1 when it
// must be tried again.
int server_do_upload_order(const char* filename);

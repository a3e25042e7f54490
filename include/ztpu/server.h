// Server link: sign-in and heartbeat with the link status, the queue of
// commands delivered by the server, and the three threads that serve the
// link (command, heartbeat, order).
#pragma once

#include <cstddef>

#include "ztpu/list.h"
#include "ztpu/server_records.h"

// Largest key file a key update accepts: the size the server announces
// (blocks x block_size) must not exceed 1 MiB, far above a key payload (a
// plug-in of some tens of kilobytes and a short factor). A larger
// announcement, or a zero block size with blocks to fetch, is refused
// before anything is allocated.
inline constexpr std::size_t SERVER_KEY_FILE_MAX = std::size_t{1} << 20;

// Largest file an order or log upload can announce: the block count is a
// 16-bit field. A larger file is not announced.
inline constexpr long long SERVER_UPLOAD_FILE_MAX = 65535LL * SERVER_BLOCK_SIZE;

// Link status (an atomic word written by the heartbeat thread only).
enum server_status : int {
  SERVER_STATUS_ONLINE = 0,  // must sign in again, not yet declared offline
  SERVER_STATUS_SIGNED_IN = 1,
  SERVER_STATUS_OFFLINE = 2,
};

// A command waiting in the command queue.
struct server_command {
  list_node node;
  heartbeat_cmd cmd;
};

// Starts the command, heartbeat and order threads. 0, or -1 when a thread
// could not be created (the threads already created are stopped again).
int server_init();

// Stops and joins the three threads. An exchange in progress is cut short
// (sp_cancel) and fails. Safe right after server_init and when nothing runs.
void server_exit();

// 1 while the link is offline, else 0. Lock-free; any thread.
int server_is_offline();

// The link status (a server_status value). Lock-free; any thread.
int server_get_status();

// Order files queued for upload, as the order thread last counted them.
// Lock-free; any thread.
int server_orders_waiting();

// The preallocated buffer for a queueable command code (0x19, 0x14, 0x15,
// 0x17), or null for any other code.
server_command* server_command_get_buffer(int cmd);

// The order thread: once per upload interval, while signed in, moves the
// record file into the upload directory under a new time-stamped name and
// uploads every queued order file; a file the server took whole goes to the
// backup directory. Files left in the upload directory are queued again at
// start.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "server_exchange.h"
#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/security.h"
#include "ztpu/ztpu.h"

list_node order_list{&order_list, &order_list};

namespace {

constexpr int kMinSlots = 64;
constexpr int kNamesPerSecond = 1000;
constexpr std::size_t kNameLen = 24;
constexpr std::size_t kPathMax = 256;
constexpr mode_t kDirMode = 0775;

// Only the order thread uses it.
upload_order_req order_block;

// The listing of scandir, released on every path.
struct dir_listing {
  dirent** list = nullptr;
  int n = 0;
  ~dir_listing() {
    for (int i = 0; i < n; ++i) std::free(list[i]);
    std::free(list);
  }
};

void make_dir(const char* path) {
  if (mkdir(path, kDirMode) != 0 && errno != EEXIST) {
    ztpu_log(LOG_ERR, "[SERVER] create directory %s failed\n", path);
  }
}

bool path_of(char (&out)[kPathMax], const char* dir, const char* name) {
  int n = std::snprintf(out, sizeof(out), "%s%s", dir, name);
  return n > 0 && static_cast<std::size_t>(n) < sizeof(out);
}

bool exists(const char* dir, const char* name) {
  char path[kPathMax];
  return path_of(path, dir, name) && access(path, F_OK) == 0;
}

bool queued(const char* name) {
  bool found = false;
  list_for_each(&order_list, [&](list_node* n) {
    if (std::strncmp(list_entry<server_order>(n)->filename, name, kNameLen) == 0) found = true;
  });
  return found;
}

void drop(server_order* slot) {
  list_del(&slot->node);
  slot->used = 0;
  slot->uploaded = 0;
}

void queue(server_order* slot, const char* name) {
  std::memset(slot->filename, 0, sizeof(slot->filename));
  std::memcpy(slot->filename, name, kNameLen);
  slot->used = 1;
  slot->uploaded = 0;
  list_add_tail(&slot->node, &order_list);
}

// Picks a name for a rotation at `tm_now` that no file, waiting or backed
// up, has yet. False when all 1000 of this second are taken.
bool pick_name(const struct tm& tm_now, char (&name)[kNameLen + 8]) {
  for (int nr = 0; nr < kNamesPerSecond; ++nr) {
    int n = std::snprintf(name, sizeof(name), "ZEF%04d%02d%02d%02d%02d%02d%03d.csv",
                          tm_now.tm_year + 1900, tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour,
                          tm_now.tm_min, tm_now.tm_sec, nr);
    if (n != static_cast<int>(kNameLen)) return false;
    // A clock set back can repeat a name still waiting for upload; the
    // rename would then replace that file.
    if (!exists(ztpu::path::backup_dir, name) && !exists(ztpu::path::upload_dir, name) &&
        !queued(name)) {
      return true;
    }
  }
  return false;
}

// Moves an uploaded file to the backup directory. A file that is gone
// leaves the queue; a failed move is tried again in the next pass.
void move_to_backup(server_order* slot) {
  char from[kPathMax];
  char to[kPathMax];
  if (!path_of(from, ztpu::path::upload_dir, slot->filename) ||
      !path_of(to, ztpu::path::backup_dir, slot->filename)) {
    return;
  }
  if (access(from, F_OK) != 0 || std::rename(from, to) == 0) {
    drop(slot);
    return;
  }
  ztpu_log(LOG_ERR, "[SERVER] move order %s to backup failed\n", slot->filename);
  make_dir(ztpu::path::backup_dir);
}

}  // namespace

int server_order_filter(const struct dirent* dent) {
  const char* n = dent->d_name;
  return strnlen(n, kNameLen + 1) == kNameLen && std::strncmp(n, "ZEF", 3) == 0 &&
                 std::strncmp(n + 20, ".csv", 4) == 0
             ? 1
             : 0;
}

server_order* server_order_get_buffer(order_buffer* orderbuf) {
  if (orderbuf->size <= 0 || !orderbuf->order) return nullptr;
  for (int i = 0; i < orderbuf->size; ++i) {
    if (orderbuf->order[i].used == 0) return &orderbuf->order[i];
  }
  return nullptr;
}

int server_order_init(order_buffer* orderbuf) {
  make_dir(ztpu::path::ulocal_dir);
  make_dir(ztpu::path::upload_dir);
  make_dir(ztpu::path::backup_dir);
  make_dir(ztpu::path::lock_dir);

  dir_listing found;
  found.n = scandir(ztpu::path::upload_dir, &found.list, server_order_filter, alphasort);
  if (found.n < 0) {
    ztpu_log(LOG_ERR, "[SERVER] scan %s failed\n", ztpu::path::upload_dir);
    found.n = 0;
    found.list = nullptr;
  }
  int slots = found.n > kMinSlots ? found.n : kMinSlots;
  orderbuf->order.reset(new (std::nothrow) server_order[slots]());
  if (!orderbuf->order) {
    orderbuf->size = 0;
    ztpu_log(LOG_ERR, "[SERVER] failed to malloc order buffer\n");
    return -1;
  }
  orderbuf->size = slots;
  list_init(&order_list);
  for (int i = 0; i < found.n; ++i) queue(&orderbuf->order[i], found.list[i]->d_name);
  return 0;
}

int server_order_add(order_buffer* orderbuf) {
  if (access(ztpu::path::record_file, F_OK) != 0) return -1;
  server_order* slot = server_order_get_buffer(orderbuf);
  if (slot == nullptr) {
    ztpu_log(LOG_ERR, "[SERVER] server order buffer is full\n");
    return -1;
  }

  // Held only for the name search and the rename: the payment on the gate
  // thread gives up after a few tries.
  server_fd lock(open(ztpu::path::record_lock, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lock.ok()) return -1;
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return -1;
  }
  // A torn last line (an append cut short) must not reach the server
  // merged with the next record; when it cannot be cut, wait a cycle.
  if (ztpu_repair_record_file() != 0) return -1;

  std::time_t now = std::time(nullptr);
  struct tm tm_now {};
  if (localtime_r(&now, &tm_now) == nullptr) return -1;
  char name[kNameLen + 8] = {};
  if (!pick_name(tm_now, name)) return -1;
  char to[kPathMax];
  if (!path_of(to, ztpu::path::upload_dir, name)) return -1;
  if (std::rename(ztpu::path::record_file, to) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] move record file to %s failed\n", to);
    return -1;
  }
  queue(slot, name);
  return 0;  // closing the lock file releases the lock
}

int server_do_upload_order(const char* filename) {
  char path[kPathMax];
  if (!path_of(path, ztpu::path::upload_dir, filename)) return -1;
  if (access(path, F_OK) != 0) return 0;  // removed by hand: nothing to send

  server_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    ztpu_log(LOG_ERR, "[SERVER] open order file %s failed\n", path);
    return -1;
  }
  upload_order_notify_req req{};
  security_get_deviceid(req.tpu_id, SERVER_TPU_ID_LEN);
  req.type = static_cast<std::uint8_t>(mconf_get_int(MC_EXIT_FLAG) & 0xFF);
  std::memcpy(req.filename, filename, sizeof(req.filename));
  long long size = 0;
  if (server_file_announce(fd.get(), path, "order", req.hash, &size) != 0) return -1;
  req.blocks = static_cast<std::uint16_t>(server_blocks(size));

  upload_order_notify_rsp rsp{};
  if (server_exchange(SERVER_SP_UPLOAD_ORDER_NOTIFY, req, sizeof(req), &rsp,
                      {"upload order notification request failed\n",
                       "invalid upload order notification response\n",
                       "order notification response status"}) != 0) {
    return -1;
  }

  order_block = upload_order_req{};
  std::memcpy(order_block.tpu_id, req.tpu_id, sizeof(order_block.tpu_id));
  std::memcpy(order_block.filename, req.filename, sizeof(order_block.filename));
  ztpu_log(LOG_INFO, "[SERVER] uploading order %s (%lld B)\n", filename, size);
  return server_send_blocks<upload_order_rsp>(SERVER_SP_UPLOAD_ORDER, "order", order_block,
                                              fd.get(), size);
}

void server_order_upload_pass(const std::atomic<int>& running) {
  list_node* next = nullptr;
  for (list_node* n = order_list.next; n != &order_list; n = next) {
    next = n->next;
    // A stop ends the pass between files; what is left stays queued.
    if (!running) return;
    server_order* slot = list_entry<server_order>(n);
    if (slot->uploaded == 0) {
      if (server_do_upload_order(slot->filename) != 0) continue;
      slot->uploaded = 1;
    }
    move_to_backup(slot);
  }
}

void server_order_thread(server_data* arg) {
  order_buffer orders;
  if (server_order_init(&orders) != 0) return;
  while (arg->order_running) {
    int interval = mconf_get_int(MC_UPLOAD_INTERVAL);
    if (interval < 1) interval = 1;
    if (!server_wait(order_mutex, order_cond, arg->order_running, interval)) break;
    if (arg->status != SERVER_STATUS_SIGNED_IN) continue;
    server_order_add(&orders);
    server_order_upload_pass(arg->order_running);
  }
  list_init(&order_list);  // the slots go with `orders`
}

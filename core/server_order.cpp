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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "server_exchange.h"
#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/fileio.h"
#include "ztpu/log.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/security.h"
#include "ztpu/ztpu.h"

list_node order_list{&order_list, &order_list};
long long server_order_part_max = SERVER_UPLOAD_FILE_MAX;

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
  dir_listing() = default;
  ~dir_listing() {
    for (int i = 0; i < n; ++i) std::free(list[i]);
    std::free(list);
  }
  dir_listing(const dir_listing&) = delete;
  dir_listing& operator=(const dir_listing&) = delete;
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

int count_queued() {
  int n = 0;
  list_for_each(&order_list, [&](list_node*) { ++n; });
  return n;
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
// up, has yet, trying the numbers from *nr on; *nr is left at the number
// taken. False when all of this second are taken.
bool pick_name(const struct tm& tm_now, char (&name)[kNameLen + 8], int* nr_from = nullptr) {
  for (int nr = nr_from != nullptr ? *nr_from : 0; nr < kNamesPerSecond; ++nr) {
    int n = std::snprintf(name, sizeof(name), "ZEF%04d%02d%02d%02d%02d%02d%03d.csv",
                          tm_now.tm_year + 1900, tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour,
                          tm_now.tm_min, tm_now.tm_sec, nr);
    if (n != static_cast<int>(kNameLen)) return false;
    // A clock set back can repeat a name still waiting for upload; the
    // rename would then replace that file.
    if (!exists(ztpu::path::backup_dir, name) && !exists(ztpu::path::upload_dir, name) &&
        !queued(name)) {
      if (nr_from != nullptr) *nr_from = nr;
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

// ---- Splitting an order file too large to announce ----
//
// The block count of an announcement is 16-bit, so a file of more than
// server_order_part_max bytes (orders piled up while not signed in) would
// be refused for ever. It is cut at line ends into parts, each an order
// file of its own. The plan (part names, offsets, lengths) is first stored
// as NAME.split beside the source; then every part is written under a
// temporary name, synced and renamed into place; only then is the source
// removed, and the plan last. A crash at any point leaves either no plan
// (the source untouched, split again later) or a plan with its source
// (written again from the start: the same bytes under the same names, so
// nothing is lost or sent twice) or a plan alone (all parts are in place).

constexpr char kPlanSuffix[] = ".split";
constexpr char kTempSuffix[] = ".tmp";
constexpr std::size_t kCopyChunk = 64 * 1024;

struct split_part {
  char name[kNameLen + 1];
  long long offset;
  long long length;
};

// Writes `len` bytes to `path` through a synced temporary file and a rename.
// `fill` produces the bytes into the open descriptor.
template <typename Fill>
bool write_synced(const char* path, Fill fill) {
  char tmp[kPathMax];
  if (!path_of(tmp, path, kTempSuffix)) return false;
  {
    server_fd out(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.ok() || !fill(out.get()) || fsync(out.get()) != 0) {
      unlink(tmp);
      return false;
    }
  }
  if (std::rename(tmp, path) != 0) {
    unlink(tmp);
    return false;
  }
  return true;
}

// Cuts [0, size) into parts of at most `limit` bytes that end at line
// ends; a single line longer than that becomes a part of its own.
bool plan_parts(int fd, long long size, long long limit, std::vector<split_part>& parts,
                const std::atomic<int>& running) {
  std::vector<char> buf(kCopyChunk);
  long long start = 0;     // first byte of the part being measured
  long long last_end = 0;  // end of the last whole line that fits into it
  long long pos = 0;
  auto cut = [&](long long end) {
    parts.push_back(split_part{{}, start, end - start});
    start = end;
    last_end = end;
  };
  while (pos < size) {
    if (running.load() == 0) return false;
    const long n = server_read_full(fd, reinterpret_cast<std::uint8_t*>(buf.data()),
                                    static_cast<std::size_t>(std::min<long long>(
                                        static_cast<long long>(buf.size()), size - pos)));
    if (n <= 0) return false;
    for (long i = 0; i < n; ++i) {
      if (buf[static_cast<std::size_t>(i)] != '\n') continue;
      const long long end = pos + i + 1;
      if (end - start > limit) {
        if (last_end > start) cut(last_end);
        if (end - start > limit) cut(end);  // one line alone is too long
      }
      last_end = end;
    }
    pos += n;
  }
  if (size - start > limit && last_end > start) cut(last_end);
  if (size > start) cut(size);
  return true;
}

bool load_plan(const char* plan_path, std::vector<split_part>& parts) {
  std::FILE* f = std::fopen(plan_path, "re");
  if (f == nullptr) return false;
  char name[kNameLen + 8];
  long long offset = 0;
  long long length = 0;
  bool ok = true;
  int got;
  while ((got = std::fscanf(f, "%28s %lld %lld", name, &offset, &length)) == 3) {
    split_part p{};
    if (std::strlen(name) != kNameLen || offset < 0 || length <= 0) {
      ok = false;
      break;
    }
    std::memcpy(p.name, name, kNameLen);
    p.offset = offset;
    p.length = length;
    parts.push_back(p);
  }
  ok = ok && got == EOF && !parts.empty();
  std::fclose(f);
  return ok;
}

bool store_plan(const char* plan_path, const std::vector<split_part>& parts) {
  std::string text;
  for (const split_part& p : parts)
    text += std::string(p.name) + " " + std::to_string(p.offset) + " " + std::to_string(p.length) +
            "\n";
  return ztpu::fileio::replace_file(plan_path, text.data(), text.size(), 0644) == 0;
}

bool copy_range(int in, int out, long long offset, long long length, std::vector<char>& buf) {
  while (length > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<long long>(length, static_cast<long long>(buf.size())));
    const ssize_t n = pread(in, buf.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !ztpu::fileio::write_all(out, buf.data(), static_cast<std::size_t>(n)))
      return false;
    offset += n;
    length -= n;
  }
  return true;
}

// Carries out a stored plan: writes every part, then removes the source and
// the plan. True when the plan is done (also when its source was gone).
bool finish_split(const char* name, const std::atomic<int>* running) {
  char source[kPathMax];
  char plan[kPathMax];
  if (!path_of(source, ztpu::path::upload_dir, name) || !path_of(plan, source, kPlanSuffix))
    return false;
  std::vector<split_part> parts;
  if (!load_plan(plan, parts)) {
    ztpu_log(LOG_ERR, "[SERVER] order split plan %s unreadable\n", plan);
    unlink(plan);
    return false;
  }
  server_fd in(open(source, O_RDONLY | O_CLOEXEC));
  if (!in.ok() && errno != ENOENT) return false;
  if (in.ok()) {
    std::vector<char> buf(kCopyChunk);
    for (const split_part& p : parts) {
      // A stop leaves the plan to the next start.
      if (running != nullptr && running->load() == 0) return false;
      char to[kPathMax];
      if (!path_of(to, ztpu::path::upload_dir, p.name) || !write_synced(to, [&](int out) {
            return copy_range(in.get(), out, p.offset, p.length, buf);
          })) {
        ztpu_log(LOG_ERR, "[SERVER] write order part %s failed\n", p.name);
        return false;
      }
    }
    if (ztpu::fileio::sync_dir_of(source) != 0 || unlink(source) != 0 ||
        ztpu::fileio::sync_dir_of(source) != 0) {
      return false;
    }
  }
  unlink(plan);
  return true;
}

// Plans the split of `source` when it is too large: parts cut at line ends,
// each with a new order file name. False when there is nothing to split.
bool plan_split(const char* source, std::vector<split_part>& parts,
                const std::atomic<int>& running) {
  server_fd in(open(source, O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!in.ok() || fstat(in.get(), &st) != 0 || st.st_size <= server_order_part_max) return false;
  // A single line over the limit cannot be cut: it is announced whole.
  if (!plan_parts(in.get(), st.st_size, server_order_part_max, parts, running) || parts.size() < 2)
    return false;
  const std::time_t now = std::time(nullptr);
  struct tm tm_now {};
  if (localtime_r(&now, &tm_now) == nullptr) return false;
  int nr = 0;
  for (split_part& p : parts) {
    char name[kNameLen + 8] = {};
    // Names planned here are not on disk yet: skip them by number.
    if (!pick_name(tm_now, name, &nr)) return false;
    ++nr;
    std::memcpy(p.name, name, kNameLen);
  }
  return true;
}

// Splits a queued file that is too large (or finishes a split that stopped
// half-way). The parts take the source's slot and free slots after it, in
// order. True when the file was split.
bool split_order(order_buffer* orderbuf, server_order* slot, const std::atomic<int>& running) {
  char source[kPathMax];
  char plan[kPathMax];
  if (!path_of(source, ztpu::path::upload_dir, slot->filename) ||
      !path_of(plan, source, kPlanSuffix))
    return false;
  std::vector<split_part> parts;
  // A plan already stored must be carried out as it is: some of its parts
  // may be in place.
  const bool planned = access(plan, F_OK) == 0;
  if (planned && !load_plan(plan, parts)) {
    ztpu_log(LOG_ERR, "[SERVER] order split plan %s unreadable\n", plan);
    unlink(plan);
    return false;
  }
  if (!planned && !plan_split(source, parts, running)) return false;
  int free_slots = 0;
  for (int i = 0; i < orderbuf->size; ++i) free_slots += orderbuf->order[i].used == 0 ? 1 : 0;
  if (free_slots < static_cast<int>(parts.size()) - 1) {
    ztpu_log(LOG_ERR, "[SERVER] server order buffer is full\n");
    return false;
  }
  if (!planned) {
    if (!store_plan(plan, parts)) {
      unlink(plan);
      return false;
    }
    ztpu_log(LOG_INFO, "[SERVER] splitting order %s into %d files\n", slot->filename,
             static_cast<int>(parts.size()));
  }
  // From here a failure or a stop is finished by the next pass or start.
  if (!finish_split(slot->filename, &running)) return false;

  // The parts take the source's place in the queue, in order.
  list_node* after = slot->node.next;
  drop(slot);
  for (const split_part& p : parts) {
    server_order* s = server_order_get_buffer(orderbuf);  // counted above
    if (s == nullptr) break;
    std::memset(s->filename, 0, sizeof(s->filename));
    std::memcpy(s->filename, p.name, kNameLen);
    s->used = 1;
    s->uploaded = 0;
    list_add_tail(&s->node, after);
  }
  return true;
}

// Finishes the splits a crash interrupted and removes half-written files,
// before the upload directory is scanned.
void recover_splits() {
  DIR* d = opendir(ztpu::path::upload_dir);
  if (d == nullptr) return;
  std::vector<std::string> plans;
  std::vector<std::string> temps;
  const std::size_t plan_len = kNameLen + sizeof(kPlanSuffix) - 1;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.compare(0, 3, "ZEF") != 0) continue;
    if (n.size() == plan_len && n.compare(kNameLen, std::string::npos, kPlanSuffix) == 0)
      plans.push_back(n.substr(0, kNameLen));
    else if (n.size() > 4 && n.compare(n.size() - 4, 4, kTempSuffix) == 0)
      temps.push_back(n);
  }
  closedir(d);
  for (const std::string& t : temps) {
    char path[kPathMax];
    if (path_of(path, ztpu::path::upload_dir, t.c_str())) unlink(path);
  }
  for (const std::string& p : plans) {
    if (finish_split(p.c_str(), nullptr))
      ztpu_log(LOG_INFO, "[SERVER] finished interrupted split of order %s\n", p.c_str());
  }
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
  recover_splits();

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

void server_order_upload_pass(order_buffer* orderbuf, const std::atomic<int>& running) {
  list_node* next = nullptr;
  for (list_node* n = order_list.next; n != &order_list; n = next) {
    next = n->next;
    // A stop ends the pass between files; what is left stays queued.
    if (!running) return;
    server_order* slot = list_entry<server_order>(n);
    if (slot->uploaded == 0) {
      // Its parts now stand in its place: go on with the first.
      list_node* before = n->prev;
      if (split_order(orderbuf, slot, running)) {
        next = before->next;
        continue;
      }
      if (server_do_upload_order(slot->filename) != 0) continue;
      slot->uploaded = 1;
    }
    move_to_backup(slot);
  }
}

void server_order_thread(server_data* arg) {
  order_buffer orders;
  if (server_order_init(&orders) != 0) return;
  arg->orders_waiting.store(count_queued(), std::memory_order_relaxed);
  while (arg->order_running) {
    int interval = mconf_get_int(MC_UPLOAD_INTERVAL);
    if (interval < 1) interval = 1;
    if (!server_wait(order_mutex, order_cond, arg->order_running, interval)) break;
    if (arg->status != SERVER_STATUS_SIGNED_IN) continue;
    server_order_add(&orders);
    server_order_upload_pass(&orders, arg->order_running);
    arg->orders_waiting.store(count_queued(), std::memory_order_relaxed);
  }
  list_init(&order_list);  // the slots go with `orders`
}

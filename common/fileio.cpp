#include "ztpu/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace ztpu::fileio {

namespace {

std::atomic<fault_fn> fault{nullptr};

using PathBuf = std::array<char, PATH_MAX>;

int injected(const char* path) {
  const fault_fn fn = fault.load();
  return fn != nullptr ? fn(path) : 0;
}

bool copy_path(PathBuf& out, const char* text) {
  const size_t n = std::strlen(text);
  if (n >= out.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(out.data(), text, n + 1);
  return true;
}

// Length of the directory part of `path` (up to its last '/'); 0 when none.
size_t dir_len(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path);
}

// Follows `path` through symbolic links to the file that holds the content,
// which may not exist yet (a dangling link names where it is to be made).
bool resolve_links(const char* path, PathBuf& out) {
  if (!copy_path(out, path)) return false;
  for (int hop = 0; hop < 16; ++hop) {
    struct stat st {};
    if (::lstat(out.data(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    PathBuf link{};
    const ssize_t n = ::readlink(out.data(), link.data(), link.size() - 1);
    if (n < 0) return false;
    link[static_cast<size_t>(n)] = '\0';
    if (link[0] == '/') {
      if (!copy_path(out, link.data())) return false;
      continue;
    }
    // A relative link is read from the directory that holds it.
    const size_t dl = std::strrchr(out.data(), '/') == nullptr ? 0 : dir_len(out.data()) + 1;
    if (dl + static_cast<size_t>(n) >= out.size()) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(out.data() + dl, link.data(), static_cast<size_t>(n) + 1);
  }
  errno = ELOOP;
  return false;
}

}  // namespace

bool write_all(int fd, const void* data, size_t n) noexcept {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int sync_dir_of(const char* path) noexcept {
  PathBuf dir{};
  const size_t n = dir_len(path);
  if (n >= dir.size()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (std::strrchr(path, '/') == nullptr) {
    dir[0] = '.';
  } else if (n == 0) {
    dir[0] = '/';
  } else {
    std::memcpy(dir.data(), path, n);
  }
  Fd fd(::open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok()) return -1;
  // Some file systems cannot sync a directory; they order metadata anyway.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return -1;
  return 0;
}

int replace_file(const char* path, const void* data, size_t len, mode_t mode) noexcept {
  if (path == nullptr || (data == nullptr && len > 0)) {
    errno = EINVAL;
    return -1;
  }
  PathBuf target{}, tmp{};
  if (!resolve_links(path, target)) return -1;
  const int tn = std::snprintf(tmp.data(), tmp.size(), "%s.tmp", target.data());
  if (tn < 0 || static_cast<size_t>(tn) >= tmp.size()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  struct stat old {};
  const bool existed = ::stat(target.data(), &old) == 0 && S_ISREG(old.st_mode);
  // What a power cut left at the temporary name (or someone planted there).
  if (::unlink(tmp.data()) != 0 && errno != ENOENT) return -1;
  Fd fd(::open(tmp.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.ok()) return -1;
  const auto fail = [&tmp](int err) {
    ::unlink(tmp.data());
    errno = err;
    return -1;
  };
  if (existed) {
    if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
        ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
      return fail(errno);
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return fail(errno);
  }
  if (const int err = injected(path); err != 0) {
    (void)write_all(fd.get(), data, len / 2);
    return fail(err);
  }
  if (!write_all(fd.get(), data, len) || ::fsync(fd.get()) != 0) return fail(errno);
  // The name must still be ours: an overlapping writer of the same path
  // would otherwise have its half-written file renamed into place.
  struct stat mine {
  }, named{};
  if (::fstat(fd.get(), &mine) != 0 || ::lstat(tmp.data(), &named) != 0 ||
      mine.st_ino != named.st_ino || mine.st_dev != named.st_dev) {
    errno = EBUSY;
    return -1;
  }
  if (::rename(tmp.data(), target.data()) != 0) return fail(errno);
  fd.reset();
  return sync_dir_of(target.data());
}

int append_file(const char* path, const void* data, size_t len, mode_t mode) noexcept {
  if (path == nullptr || (data == nullptr && len > 0)) {
    errno = EINVAL;
    return -1;
  }
  const bool existed = ::access(path, F_OK) == 0;
  Fd fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode));
  if (!fd.ok()) return -1;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return -1;
  int err = injected(path);
  if (err != 0) {
    (void)write_all(fd.get(), data, len / 2);
  } else if (!write_all(fd.get(), data, len) || ::fsync(fd.get()) != 0) {
    err = errno;
  }
  if (err != 0) {
    if (::ftruncate(fd.get(), st.st_size) == 0) (void)::fsync(fd.get());
    errno = err;
    return -1;
  }
  if (!existed) return sync_dir_of(path);
  return 0;
}

void set_fault(fault_fn fn) noexcept { fault.store(fn); }

}  // namespace ztpu::fileio

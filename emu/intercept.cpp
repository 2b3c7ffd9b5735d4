// The libc calls a program makes on FireWire character devices, answered by
// the emulated bus for /dev/fw<N> and its fds and passed on for everything
// else. /dev lists the emulated nodes in place of any real ones, so nothing
// run on the emulated bus reaches real hardware.
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <linux/close_range.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bus.h"

namespace emu {

template <typename T>
static void next_symbol(T *fn, const char *name) {
  *fn = reinterpret_cast<T>(dlsym(RTLD_NEXT, name));
  if (!*fn) {
    fprintf(stderr, "virizeda emulated bus: no %s after the preload\n", name);
    _exit(127);
  }
}

const Libc &libc() {
  static const Libc l = [] {
    Libc x;
    next_symbol(&x.open, "open");
    next_symbol(&x.close, "close");
    next_symbol(&x.ioctl, "ioctl");
    next_symbol(&x.mmap, "mmap");
    next_symbol(&x.munmap, "munmap");
    next_symbol(&x.read, "read");
    next_symbol(&x.write, "write");
    return x;
  }();
  return l;
}

namespace {

// A listing of /dev: the real entries but fw*, then the emulated nodes.
struct DevDir {
  std::vector<int> nodes;
  size_t next = 0;
  struct dirent ent;
  struct dirent64 ent64;
};

std::mutex g_dir_mu;
std::map<DIR *, DevDir *> g_dirs;
std::atomic<int> g_dir_count{0};

template <typename T>
T next_fn(const char *name) {
  T fn;
  next_symbol(&fn, name);
  return fn;
}

bool is_dev(const char *name) {
  if (!name) return false;
  std::string s(name);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s == "/dev";
}

bool is_fw_name(const char *n) {
  return n[0] == 'f' && n[1] == 'w' && n[2] >= '0' && n[2] <= '9';
}

DevDir *dev_dir(DIR *d) {
  if (g_dir_count.load() == 0) return nullptr;
  std::lock_guard<std::mutex> g(g_dir_mu);
  auto it = g_dirs.find(d);
  return it == g_dirs.end() ? nullptr : it->second;
}

// The next emulated entry's name, or false at the end.
bool next_node_name(DevDir *dd, char *name, size_t size) {
  if (dd->next >= dd->nodes.size()) return false;
  snprintf(name, size, "fw%d", dd->nodes[dd->next++]);
  return true;
}

template <typename Ent>
Ent *fill(Ent *e, const char *name, int n) {
  memset(e, 0, sizeof *e);
  e->d_ino = 0x7e000000 + n;
  e->d_type = DT_CHR;
  e->d_reclen = sizeof *e;
  snprintf(e->d_name, sizeof e->d_name, "%s", name);
  return e;
}

template <typename Ent>
Ent *read_dev(DIR *d, DevDir *dd, Ent *(*real)(DIR *), Ent *mine) {
  for (;;) {
    Ent *e = real(d);
    if (!e) break;
    if (!is_fw_name(e->d_name)) return e;   // real fw nodes stay hidden
  }
  char name[32];
  size_t at = dd->next;
  if (!next_node_name(dd, name, sizeof name)) return nullptr;
  return fill(mine, name, (int)at);
}

int open_common(const char *path, int flags, mode_t mode, int dirfd, bool at) {
  int node = fw_path_node(path, at ? dirfd : AT_FDCWD);
  if (node >= 0) return open_node(node, flags);
  if (at) {
    static auto real = next_fn<int (*)(int, const char *, int, ...)>("openat");
    return real(dirfd, path, flags, mode);
  }
  return libc().open(path, flags, mode);
}

mode_t mode_arg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
    return (mode_t)va_arg(ap, int);
  return 0;
}

}  // namespace
}  // namespace emu

using namespace emu;

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

EMU_EXPORT int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode, -1, false);
}

EMU_EXPORT int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags | O_LARGEFILE, mode, -1, false);
}

EMU_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode, dirfd, true);
}

EMU_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags | O_LARGEFILE, mode, dirfd, true);
}

// what fortified programs call
EMU_EXPORT int __open_2(const char *path, int flags) {
  return open_common(path, flags, 0, -1, false);
}
EMU_EXPORT int __open64_2(const char *path, int flags) {
  return open_common(path, flags | O_LARGEFILE, 0, -1, false);
}
EMU_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  return open_common(path, flags, 0, dirfd, true);
}
EMU_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  return open_common(path, flags | O_LARGEFILE, 0, dirfd, true);
}

// The bus's own descriptors are not the program's to close: for it they
// are not open.
EMU_EXPORT int close(int fd) {
  if (is_emulated(fd)) return close_fd(fd);
  if (owned_by_bus(fd)) {
    errno = EBADF;
    return -1;
  }
  return libc().close(fd);
}

// Closing a range of descriptors spares the bus's own and ends our nodes'
// clients as close does.
EMU_EXPORT int close_range(unsigned lo, unsigned hi, int flags) {
  static auto real = next_fn<int (*)(unsigned, unsigned, int)>("close_range");
  if (flags & CLOSE_RANGE_CLOEXEC) return real(lo, hi, flags);
  unsigned from = lo;
  for (unsigned fd = lo; fd <= hi && fd < (1u << 16); fd++) {
    bool node = is_emulated((int)fd);
    if (!node && !owned_by_bus((int)fd)) continue;
    if (from < fd && real(from, fd - 1, flags) < 0) return -1;
    if (node) close_fd((int)fd);
    from = fd + 1;
  }
  return from <= hi ? real(from, hi, flags) : 0;
}

EMU_EXPORT void closefrom(int lo) {
  if (lo >= 0) close_range((unsigned)lo, ~0u, 0);
}

EMU_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (is_emulated(fd)) return ioctl_fd(fd, request, arg);
  return libc().ioctl(fd, request, arg);
}

EMU_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd,
                      off_t off) {
  if (!(flags & MAP_ANONYMOUS) && is_emulated(fd))
    return mmap_fd(addr, len, prot, flags, fd, off);
  return libc().mmap(addr, len, prot, flags, fd, off);
}

EMU_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd,
                        off_t off) {
  return mmap(addr, len, prot, flags, fd, off);
}

EMU_EXPORT ssize_t read(int fd, void *buf, size_t n) {
  if (is_emulated(fd)) return read_fd(fd, buf, n);
  return libc().read(fd, buf, n);
}

EMU_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
  if (n > buflen) {
    fprintf(stderr, "*** buffer overflow detected ***: read\n");
    abort();
  }
  return read(fd, buf, n);
}

EMU_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
  if (is_emulated(fd)) {
    errno = EINVAL;   // the FireWire device takes no writes
    return -1;
  }
  return libc().write(fd, buf, n);
}

EMU_EXPORT DIR *opendir(const char *name) {
  static auto real = next_fn<DIR *(*)(const char *)>("opendir");
  DIR *d = real(name);
  if (!d || !is_dev(name)) return d;
  DevDir *dd = new DevDir;
  dd->nodes = listed_nodes();
  std::lock_guard<std::mutex> g(g_dir_mu);
  g_dirs[d] = dd;
  g_dir_count++;
  return d;
}

EMU_EXPORT struct dirent *readdir(DIR *d) {
  static auto real = next_fn<struct dirent *(*)(DIR *)>("readdir");
  DevDir *dd = dev_dir(d);
  if (!dd) return real(d);
  return read_dev(d, dd, real, &dd->ent);
}

EMU_EXPORT struct dirent64 *readdir64(DIR *d) {
  static auto real = next_fn<struct dirent64 *(*)(DIR *)>("readdir64");
  DevDir *dd = dev_dir(d);
  if (!dd) return real(d);
  return read_dev(d, dd, real, &dd->ent64);
}

EMU_EXPORT void rewinddir(DIR *d) {
  static auto real = next_fn<void (*)(DIR *)>("rewinddir");
  DevDir *dd = dev_dir(d);
  if (dd) {
    std::vector<int> nodes = listed_nodes();
    std::lock_guard<std::mutex> g(g_dir_mu);
    dd->nodes = nodes;
    dd->next = 0;
  }
  real(d);
}

EMU_EXPORT int closedir(DIR *d) {
  static auto real = next_fn<int (*)(DIR *)>("closedir");
  if (g_dir_count.load() != 0) {
    std::lock_guard<std::mutex> g(g_dir_mu);
    auto it = g_dirs.find(d);
    if (it != g_dirs.end()) {
      delete it->second;
      g_dirs.erase(it);
      g_dir_count--;
    }
  }
  return real(d);
}

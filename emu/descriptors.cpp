// The node fds: names in /dev, opening, closing, mapping and reading.
#include "bus.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "bus_state.h"

namespace emu {

namespace {

// The node a name in /dev names, however the path spells the directory.
int fw_name_node(const char *path) {
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  if (strncmp(base, "fw", 2) != 0 || base[2] < '0' || base[2] > '9') return -1;
  if (strncmp(path, "/dev/", 5) != 0 || base != path + 5) {
    std::string dir(path, base - path);
    char real[PATH_MAX];
    if (!realpath(dir.empty() ? "." : dir.c_str(), real) || strcmp(real, "/dev") != 0)
      return -1;
  }
  long n = 0;
  for (const char *p = base + 2; *p; p++) {
    if (*p < '0' || *p > '9' || n > 1000 || (p == base + 2 && *p == '0' && p[1]))
      return NOT_A_NODE;   // a FireWire-like name, but no node of ours
    n = n * 10 + (*p - '0');
  }
  return (int)n;
}

}  // namespace

// A name that is not a node's may be a symbolic link to one: followed
// here, so that no name of a node reaches the real open.
int fw_path_node(const char *path, int dirfd) {
  if (!path) return -1;
  std::string p = path;
  if (path[0] != '/' && dirfd != AT_FDCWD)
    p = "/proc/self/fd/" + std::to_string(dirfd) + "/" + p;
  for (int hops = 0; hops < 40; hops++) {   // the kernel's limit
    int n = fw_name_node(p.c_str());
    if (n != -1) return n;
    char to[PATH_MAX];
    ssize_t k = readlink(p.c_str(), to, sizeof to - 1);
    if (k <= 0) return -1;
    to[k] = 0;
    size_t slash = p.rfind('/');
    p = to[0] == '/' || slash == std::string::npos ? std::string(to)
                                                   : p.substr(0, slash + 1) + to;
  }
  return -1;
}

std::vector<int> listed_nodes() {
  Locked l(bus());
  Bus &b = ready_bus(l);
  std::vector<int> out;
  for (size_t n = 0; n < b.nodes.size(); n++)
    if (b.nodes[n].plugged) out.push_back((int)n);
  return out;
}

bool is_emulated(int fd) {
  if (fd < 0 || fd >= MAX_FDS) return false;
  uint8_t k = g_fds[fd].load();
  return k == FD_NODE || k == FD_GONE;
}

bool owned_by_bus(int fd) {
  return fd >= 0 && fd < MAX_FDS && g_fds[fd].load() == FD_BUS;
}

int open_node(int node, int flags) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  if (node < 0 || node >= (int)b.nodes.size() || !b.nodes[node].plugged) {
    errno = ENOENT;
    return -1;
  }
  if (!b.nodes[node].dev->openable()) {
    errno = EIO;
    return -1;
  }
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) return -1;
  if (sv[0] >= MAX_FDS) {
    libc().close(sv[0]);
    libc().close(sv[1]);
    errno = EMFILE;
    return -1;
  }
  sv[1] = bus_fd(sv[1]);
  int big = 4 << 20;
  if (setsockopt(sv[1], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) < 0)
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  if (!(flags & O_CLOEXEC)) fcntl(sv[0], F_SETFD, 0);
  if (flags & O_NONBLOCK) fcntl(sv[0], F_SETFL, O_NONBLOCK);
  Client *c = new Client;
  c->fd = sv[0];
  c->peer = sv[1];
  c->node = node;
  b.clients[c->fd] = c;
  g_fds[c->fd] = FD_NODE;
  return c->fd;
}

int close_fd(int fd) {
  {
    Locked l(bus());
    Bus &b = bus();
    Client *c = client_of(b, fd);
    if (c) {
      for (auto &r : c->resources) irm_give(b, r.second.channel, r.second.bandwidth);
      if (c->buf) libc().munmap(c->buf, c->buf_len);
      drop_bus_fd(c->peer);
      b.clients.erase(fd);
      delete c;
    }
    g_fds[fd] = 0;
  }
  return libc().close(fd);
}

// The buffer is a file of our own, mapped once for the program as it asks
// and once writable for the bus, which fills it as DMA would: a read-only
// mapping works, and what the program unmaps is never written to. As in the
// kernel, the buffer lasts as long as the fd and is mapped only once.
void *mmap_fd(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  Client *c = client_of(b, fd);
  if (!c) {
    errno = EBADF;
    return MAP_FAILED;
  }
  if (c->gone) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  if (c->buf) {
    errno = EBUSY;
    return MAP_FAILED;
  }
  if (!(flags & MAP_SHARED) || len == 0 || off != 0) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  long page = sysconf(_SC_PAGESIZE);
  size_t size = (len + page - 1) / page * page;
  int mem = memfd_create("fw-iso-buffer", MFD_CLOEXEC);
  if (mem < 0) return MAP_FAILED;
  void *own = MAP_FAILED, *p = MAP_FAILED;
  if (ftruncate(mem, (off_t)size) == 0)
    own = libc().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, mem, 0);
  if (own != MAP_FAILED)
    p = libc().mmap(addr, len, prot, (flags & ~0x0f) | MAP_SHARED, mem, 0);
  int e = errno;
  libc().close(mem);
  if (p == MAP_FAILED) {
    if (own != MAP_FAILED) libc().munmap(own, size);
    errno = e;
    return MAP_FAILED;
  }
  c->buf = (unsigned char *)own;
  c->buf_len = size;
  c->user = (uintptr_t)p;
  return p;
}

ssize_t read_fd(int fd, void *buf, size_t n) {
  if (g_fds[fd].load() == FD_GONE) {
    // unplugged: what was queued before, then ENODEV
    ssize_t got = recv(fd, buf, n, MSG_DONTWAIT);
    if (got > 0) return got;
    errno = ENODEV;
    return -1;
  }
  return libc().read(fd, buf, n);
}

}  // namespace emu

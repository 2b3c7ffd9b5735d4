// The emulated bus behind the kernel's FireWire character devices: what the
// libc wrappers of intercept.cpp hand over for emulated paths and fds.
#ifndef EMU_BUS_H
#define EMU_BUS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <vector>

namespace emu {

// The libc functions we stand in front of, as the next library has them.
struct Libc {
  int (*open)(const char *, int, ...);
  int (*close)(int);
  int (*ioctl)(int, unsigned long, ...);
  void *(*mmap)(void *, size_t, int, int, int, off_t);
  int (*munmap)(void *, size_t);
  ssize_t (*read)(int, void *, size_t);
  ssize_t (*write)(int, const void *, size_t);
};
const Libc &libc();

// Node number of a path to /dev/fw<N> (relative ones from dirfd or the
// working directory), NOT_A_NODE for another /dev/fw name, -1 for any
// other path. Real FireWire nodes are never opened.
const int NOT_A_NODE = 1 << 30;
int fw_path_node(const char *path, int dirfd);
// Nodes shown in /dev right now.
std::vector<int> listed_nodes();

// True when fd is one of ours (cheap, no lock).
bool is_emulated(int fd);
// True when fd is the bus's own, which the program never opened.
bool owned_by_bus(int fd);

// The kernel interface on our fds: each returns like the libc call
// (-1 with errno set on failure).
int open_node(int node, int flags);
int close_fd(int fd);
int ioctl_fd(int fd, unsigned long request, void *arg);
void *mmap_fd(void *addr, size_t len, int prot, int flags, int fd, off_t off);
ssize_t read_fd(int fd, void *buf, size_t n);

}  // namespace emu

#endif

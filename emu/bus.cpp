// The kernel side of the emulated bus: its state, its clock, its events (as
// datagrams on a socket pair per open node fd), bus resets and unplugging.
// The other parts: transactions, iso_resources, receive, pacer, descriptors,
// ioctl, hooks.
#include "bus.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <new>
#include <string>

#include "bus_state.h"

namespace emu {

std::atomic<uint8_t> g_fds[MAX_FDS];
thread_local bool t_in_bus = false;

namespace {

void before_fork();
void after_fork_parent();
void after_fork_child();

}  // namespace

Bus &bus() {
  static Bus *b = [] {
    Bus *n = new Bus;   // never destroyed: fds may be closed during exit
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    return n;
  }();
  return *b;
}

void drop_bus_fd(int fd) {
  if (fd < 0) return;
  if (fd < MAX_FDS) g_fds[fd] = 0;
  libc().close(fd);
}

// The bus's own descriptors live high, out of the way of a program that
// closes or reuses low numbers it does not know.
int bus_fd(int fd) {
  static const int low = [] {
    struct rlimit r;
    rlim_t top = MAX_FDS;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < top) top = r.rlim_cur;
    return (int)(top / 2);
  }();
  if (fd >= 0 && fd < low) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, low);
    if (high >= 0 && high < MAX_FDS) {
      libc().close(fd);
      fd = high;
    } else if (high >= 0) {
      libc().close(high);
    }
  }
  if (fd >= 0 && fd < MAX_FDS) g_fds[fd] = FD_BUS;
  return fd;
}

namespace {

// A pipe of the calling thread through which program memory is copied, so
// that the kernel checks each pointer (EFAULT, never a crash): on a cache
// the pacing thread has just swept, process_vm_readv/writev cost several
// times as much, and a frame takes three of these copies.
struct CopyPipe {
  int r = -1, w = -1;
  bool failed = false;
  ~CopyPipe() { drop(); }
  void drop() {
    drop_bus_fd(r);
    drop_bus_fd(w);
    r = w = -1;
  }
};
thread_local CopyPipe t_pipe;

// A fork never copies the lock held, nor the waiters of the condition
// variable (the parent's pacing thread), and the child, which has no pacing
// thread, starts its own when it needs one (and never waits for the
// parent's at exit). Receive buffers and event sockets are shared with the
// parent, which goes on filling them: the child's copy of the bus must not
// fill them a second time.
void before_fork() { bus().mu.lock(); }
void after_fork_parent() { bus().mu.unlock(); }
void after_fork_child() {
  t_pipe.drop();   // the parent's: its bytes would mix with ours
  Bus &b = bus();
  new (&b.pacer) std::thread();   // the parent's thread: not ours to join
  new (&b.cv) std::condition_variable();
  b.thread_started = false;
  for (auto &kv : b.clients) kv.second->inherited = true;
  b.mu.unlock();
}

}  // namespace

int64_t now_ns(Bus &b) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now() - b.t0).count();
}

int speed_code(const Bus &b) { return b.speed >= 800 ? 3 : 2; }
uint32_t node_id(int n) { return 0xffc0u | (n & 0x3f); }

// 16-bit isochronous timestamp: 3 bits of seconds, 13 of cycle count.
uint32_t iso_ts(uint64_t cycle) {
  return (uint32_t)(((cycle / 8000) & 7) << 13 | (cycle % 8000));
}

uint32_t cycle_timer(int64_t ns) {
  uint64_t cycles = (uint64_t)ns / CYCLE_NS;
  uint32_t offset = (uint32_t)((ns % CYCLE_NS) * 3072 / CYCLE_NS);
  return (uint32_t)(((cycles / 8000) & 0x7f) << 25 | (cycles % 8000) << 12 |
                    offset);
}

namespace {

// n bytes from src to dst through the thread's pipe: 1 copied, 0 a side
// the kernel could not reach, -1 no pipe to use.
int pipe_copy(void *dst, const void *src, size_t n) {
  CopyPipe &p = t_pipe;
  if (p.r < 0) {
    int fds[2];
    if (p.failed || pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) {
      p.failed = true;
      return -1;
    }
    p.r = bus_fd(fds[0]), p.w = bus_fd(fds[1]);
  }
  unsigned char *d = (unsigned char *)dst;
  const unsigned char *q = (const unsigned char *)src;
  while (n) {
    size_t k = n < 4096 ? n : 4096;   // an empty pipe takes it whole
    // raw calls: nothing between us and the kernel looks at the pointers
    ssize_t put = syscall(SYS_write, p.w, q, k);
    if (put < 0) return errno == EFAULT ? 0 : -1;
    ssize_t got = syscall(SYS_read, p.r, d, (size_t)put);
    if (got != put) {
      unsigned char junk[4096];
      while (syscall(SYS_read, p.r, junk, sizeof junk) > 0) {
      }
      return 0;
    }
    if ((size_t)put < k) return 0;    // the rest of src is unreadable
    d += put, q += put, n -= (size_t)put;
  }
  return 1;
}

}  // namespace

// Program memory through the kernel, so a bad pointer is EFAULT, not a crash.
bool copy_in(void *dst, uint64_t src, size_t n) {
  if (n == 0) return true;
  if (!src) return false;
  int piped = pipe_copy(dst, (const void *)(uintptr_t)src, n);
  if (piped >= 0) return piped == 1;
  struct iovec l = {dst, n}, r = {(void *)(uintptr_t)src, n};
  ssize_t got = syscall(SYS_process_vm_readv, getpid(), &l, 1, &r, 1, 0);
  if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
    memcpy(dst, r.iov_base, n);
    return true;
  }
  return got == (ssize_t)n;
}

bool copy_out(uint64_t dst, const void *src, size_t n) {
  if (n == 0) return true;
  if (!dst) return false;
  int piped = pipe_copy((void *)(uintptr_t)dst, src, n);
  if (piped >= 0) return piped == 1;
  struct iovec l = {(void *)src, n}, r = {(void *)(uintptr_t)dst, n};
  ssize_t got = syscall(SYS_process_vm_writev, getpid(), &l, 1, &r, 1, 0);
  if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
    memcpy(r.iov_base, src, n);
    return true;
  }
  return got == (ssize_t)n;
}

void send_event(Bus &b, Client *c, const void *p, size_t n) {
  if (c->gone || c->peer < 0) return;
  if (send(c->peer, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
  if (errno == EBADF || errno == ENOTSOCK) {
    fprintf(stderr, "virizeda emulated bus: /dev/fw%d: the program closed the "
            "bus's descriptor %d behind its back; the node's events are lost\n",
            c->node, c->peer);
    c->peer = -1;
    return;
  }
  if (b.lost_events++ == 0)
    fprintf(stderr, "virizeda emulated bus: /dev/fw%d: events are not read; "
            "the ones that do not fit are lost\n", c->node);
}

namespace {

void send_reset(Bus &b, Client *c) {
  struct fw_cdev_event_bus_reset e;
  memset(&e, 0, sizeof e);
  e.closure = c->reset_closure;
  e.type = FW_CDEV_EVENT_BUS_RESET;
  e.node_id = node_id(c->node);
  e.local_node_id = e.bm_node_id = e.irm_node_id = e.root_node_id =
      node_id(b.cameras);
  e.generation = b.generation;
  send_event(b, c, &e, sizeof e);
}

}  // namespace

void bus_reset(Bus &b) {
  b.generation++;
  for (NodeState &ns : b.nodes)
    if (ns.plugged) ns.dev->rom(ns.rom);
  for (auto &kv : b.clients)
    if (kv.second->listening) send_reset(b, kv.second);
}

void refresh_stream(Bus &b, NodeState &ns) {
  Stream s = ns.dev->stream();
  if (s.packet_bytes > 0xffff) s.packet_bytes = 0;      // no such packet
  if ((uint64_t)s.packet_bytes * s.packets > (1ull << 30)) s.packets = 0;
  if (s.frame_bytes > s.packet_bytes * s.packets)
    s.frame_bytes = s.packet_bytes * s.packets;
  bool was = ns.next_ns != 0;
  bool is = ns.plugged && s.on && s.period_ns > 0 && s.packets > 0;
  bool pace_changed = is != was || s.period_ns != ns.st.period_ns;
  ns.st = s;
  if (is && !was) {
    ns.seq = 0;
    ns.next_ns = now_ns(b) + s.period_ns;
    start_thread(b);
  } else if (!is) {
    ns.next_ns = 0;
  }
  if (pace_changed) b.cv.notify_all();   // the pacing thread sleeps otherwise
}

void unplug(Bus &b, int n) {
  NodeState &ns = b.nodes[n];
  if (!ns.plugged) return;
  ns.plugged = false;
  ns.next_ns = 0;
  for (auto &kv : b.clients) {
    Client *c = kv.second;
    if (c->node != n) continue;
    c->gone = true;
    c->ctx.running = false;
    g_fds[c->fd] = FD_GONE;
    drop_bus_fd(c->peer);   // the program's end sees a hang-up
    c->peer = -1;
  }
  bus_reset(b);
}

namespace {

// Faults from VIRIZEDA_EMU_FAULTS: "busy=N,reset_at_request=N,
// reset_at_frame=N,unplug=NODE@FRAMES"; all or nothing.
void read_faults(Bus &b) {
  const char *env = getenv("VIRIZEDA_EMU_FAULTS");
  if (!env || !*env) return;
  int busy = 0, reset_in = -1;
  long long reset_frame = -1;
  std::vector<std::pair<int, long long>> unplugs;
  std::string all(env), bad, no_camera;
  size_t pos = 0;
  while (pos <= all.size() && bad.empty() && no_camera.empty()) {
    size_t end = all.find(',', pos);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(pos, end - pos);
    pos = end + 1;
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq == std::string::npos ? 0 : eq);
    std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
    char *e = nullptr;
    errno = 0;
    long long v = strtoll(val.c_str(), &e, 10);
    bool num = !val.empty() && errno == 0 && v >= 0 && v <= 1000000000;
    if (key == "busy" && num && !*e) {
      busy = (int)v;
    } else if (key == "reset_at_request" && num && !*e) {
      reset_in = (int)v;
    } else if (key == "reset_at_frame" && num && !*e) {
      reset_frame = v;
    } else if (key == "unplug" && num && *e == '@' && v < 63) {
      char *e2 = nullptr;
      long long f = strtoll(e + 1, &e2, 10);
      if (e2 == e + 1 || *e2 || f < 0 || errno) bad = item;
      else if (v >= b.cameras) no_camera = item;
      else unplugs.push_back({(int)v, f});
    } else {
      bad = item;
    }
  }
  if (!bad.empty()) {
    fprintf(stderr, "virizeda emulated bus: VIRIZEDA_EMU_FAULTS: cannot use "
            "\"%s\" (expected busy=N, reset_at_request=N, reset_at_frame=N "
            "or unplug=NODE@FRAMES); no faults set\n", bad.c_str());
    return;
  }
  if (!no_camera.empty()) {
    fprintf(stderr, "virizeda emulated bus: VIRIZEDA_EMU_FAULTS: \"%s\": the "
            "bus has no camera of that number (%d camera%s); no faults set\n",
            no_camera.c_str(), b.cameras, b.cameras == 1 ? "" : "s");
    return;
  }
  b.busy = busy;
  b.reset_in = reset_in;
  b.reset_at_frame = reset_frame;
  for (auto &u : unplugs)
    b.nodes[u.first].unplug_after = u.second;
}

}  // namespace

Bus &ready_bus(Locked &) {
  Bus &b = bus();
  if (b.ready) return b;
  b.ready = true;
  b.t0 = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<Node>> nodes;
  std::string why;
  int speed = 800;
  if (!make_nodes(&nodes, &speed, &why)) {
    fprintf(stderr, "virizeda emulated bus: %s; the bus has no cameras\n",
            why.c_str());
    nodes.clear();
  }
  b.speed = speed;
  b.cameras = (int)nodes.size();
  if (why.empty())   // a bus that failed has no controller either
    nodes.push_back(make_local_node(speed, &b.bandwidth, &b.channels));
  b.nodes.resize(nodes.size());
  for (size_t i = 0; i < nodes.size(); i++) {
    b.nodes[i].dev = std::move(nodes[i]);
    b.nodes[i].dev->rom(b.nodes[i].rom);
  }
  read_faults(b);
  const char *debug = getenv("VIRIZEDA_EMU_DEBUG");
  b.debug = debug && *debug && strcmp(debug, "0") != 0;
  for (NodeState &ns : b.nodes) refresh_stream(b, ns);
  return b;
}

Client *client_of(Bus &b, int fd) {
  auto it = b.clients.find(fd);
  return it == b.clients.end() ? nullptr : it->second;
}

}  // namespace emu

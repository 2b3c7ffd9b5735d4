// The kernel side of the emulated bus: one client per open node fd, events
// as datagrams on a socket pair, the isochronous resource manager, receive
// contexts over mmap'd buffers, and the thread that sends the frames.
#include "bus.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <limits.h>
#include <pthread.h>
#include <linux/firewire-constants.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "emulated_bus.h"
#include "node.h"

namespace emu {
namespace {

const uint32_t BANDWIDTH_INITIAL = 4915;   // units per cycle for iso
const uint64_t CSR_BASE = 0xFFFFF0000000ull;
const uint32_t KERNEL_ABI = 5;
const uint32_t HEADER_PAGE = 4096;         // header data per interrupt
const size_t MAX_ENTRIES = 1 << 16;        // queued packets per context
const int64_t CYCLE_NS = 125000;
const int MAX_FDS = 1 << 16;
const int MAX_BURST = 16;                  // late frames sent at once

// An entry of QUEUE_ISO on a receive context.
struct Entry {
  size_t off;        // into the mapped buffer
  uint32_t slot;     // payload bytes per packet
  uint32_t count;    // packets
  uint32_t done = 0; // packets received so far
  bool irq, sync;
};

struct IsoCtx {
  bool exists = false, running = false;
  uint64_t closure = 0;
  uint32_t header_size = 0, tags = 0;
  int channel = 0;
  int64_t start_ns = 0;
  std::deque<Entry> queue;
  unsigned char headers[HEADER_PAGE];   // of the packets since the last interrupt
  uint32_t header_bytes = 0;
  uint32_t last_ts = 0;
};

struct Resource {
  uint64_t closure;
  int channel, bandwidth;
};

struct Client {
  int fd = -1, peer = -1, node = 0;
  uint32_t version = 0;
  bool listening = false;   // asked GET_INFO: gets bus reset events
  bool gone = false;        // its node was unplugged
  uint64_t reset_closure = 0;
  unsigned char *buf = nullptr;   // our own mapping of the receive buffer
  size_t buf_len = 0;
  uintptr_t user = 0;             // where the program mapped it
  IsoCtx ctx;
  std::map<uint32_t, Resource> resources;
};

struct NodeState {
  std::unique_ptr<Node> dev;
  uint32_t rom[256] = {};
  bool plugged = true;
  Stream st;
  uint64_t seq = 0;
  int64_t next_ns = 0;      // 0: not sending
  unsigned long long sent = 0, received = 0, dropped = 0;
  long long unplug_after = -1;
  std::vector<unsigned char> scratch;
};

struct Bus {
  std::mutex mu;
  std::condition_variable cv;
  bool ready = false, thread_started = false, quit = false;
  std::thread pacer;
  std::vector<NodeState> nodes;     // the cameras, then the host controller
  int cameras = 0;
  int speed = 800;
  uint32_t generation = 1;
  uint32_t bandwidth = BANDWIDTH_INITIAL;
  uint64_t channels = ~0ull;        // bit c set: channel c free
  std::map<int, Client *> clients;
  std::chrono::steady_clock::time_point t0;
  int busy = 0, reset_in = -1;
  long long reset_at_frame = -1;
  bool debug = false;   // VIRIZEDA_EMU_DEBUG: every request on stderr
  unsigned long long frames = 0, lost_events = 0;
};

// 0: not ours, 1: ours, 2: ours and its node is gone, 3: the bus's own
// (event sockets, copy pipes), which the program never sees
const uint8_t FD_NODE = 1, FD_GONE = 2, FD_BUS = 3;
std::atomic<uint8_t> g_fds[MAX_FDS];
thread_local bool t_in_bus = false;

void before_fork();
void after_fork_parent();
void after_fork_child();

Bus &bus() {
  static Bus *b = [] {
    Bus *n = new Bus;   // never destroyed: fds may be closed during exit
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    return n;
  }();
  return *b;
}

// A pipe of the calling thread through which program memory is copied, so
// that the kernel checks each pointer (EFAULT, never a crash): on a cache
// the pacing thread has just swept, process_vm_readv/writev cost several
// times as much, and a frame takes three of these copies.
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
// parent's at exit).
void before_fork() { bus().mu.lock(); }
void after_fork_parent() { bus().mu.unlock(); }
void after_fork_child() {
  t_pipe.drop();   // the parent's: its bytes would mix with ours
  Bus &b = bus();
  new (&b.pacer) std::thread();   // the parent's thread: not ours to join
  new (&b.cv) std::condition_variable();
  b.thread_started = false;
  b.mu.unlock();
}

struct Locked {
  std::unique_lock<std::mutex> lk;
  explicit Locked(Bus &b) : lk(b.mu) { t_in_bus = true; }
  ~Locked() { t_in_bus = false; }
};

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

void bus_reset(Bus &b) {
  b.generation++;
  for (NodeState &ns : b.nodes)
    if (ns.plugged) ns.dev->rom(ns.rom);
  for (auto &kv : b.clients)
    if (kv.second->listening) send_reset(b, kv.second);
}

void start_thread(Bus &b);

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

// ---- register transactions ----

int node_read(Bus &b, int n, uint64_t off, uint32_t *v) {
  if ((off >> 32) != 0xffff) return RCODE_ADDRESS_ERROR;
  return b.nodes[n].dev->read((uint32_t)off, v);
}

int node_write(Bus &b, int n, uint64_t off, uint32_t v) {
  if ((off >> 32) != 0xffff) return RCODE_ADDRESS_ERROR;
  int rc = b.nodes[n].dev->write((uint32_t)off, v);
  refresh_stream(b, b.nodes[n]);
  return rc;
}

// Carries out one request on node n; data in and out big-endian.
int transact(Bus &b, int n, uint32_t tcode, uint64_t off, uint32_t *data,
             uint32_t quads) {
  if (tcode >= TCODE_LOCK_MASK_SWAP) return RCODE_TYPE_ERROR;
  if (off & 3) return RCODE_ADDRESS_ERROR;
  bool rd = tcode == TCODE_READ_QUADLET_REQUEST ||
            tcode == TCODE_READ_BLOCK_REQUEST;
  for (uint32_t i = 0; i < quads; i++) {
    int rc;
    if (rd) {
      uint32_t v = 0;
      rc = node_read(b, n, off + 4 * i, &v);
      data[i] = htonl(v);
    } else {
      rc = node_write(b, n, off + 4 * i, ntohl(data[i]));
    }
    if (rc != RCODE_COMPLETE) return rc;
  }
  return RCODE_COMPLETE;
}

int send_request(Bus &b, Client *c, void *arg, bool broadcast) {
  struct fw_cdev_send_request r;
  memcpy(&r, arg, sizeof r);
  switch (r.tcode) {
    case TCODE_WRITE_QUADLET_REQUEST: case TCODE_WRITE_BLOCK_REQUEST:
      break;
    case TCODE_READ_QUADLET_REQUEST: case TCODE_READ_BLOCK_REQUEST:
    case TCODE_LOCK_MASK_SWAP: case TCODE_LOCK_COMPARE_SWAP:
    case TCODE_LOCK_FETCH_ADD: case TCODE_LOCK_LITTLE_ADD:
    case TCODE_LOCK_BOUNDED_ADD: case TCODE_LOCK_WRAP_ADD:
    case TCODE_LOCK_VENDOR_DEPENDENT:
      if (!broadcast) break;
      errno = EINVAL;
      return -1;
    default:
      errno = EINVAL;
      return -1;
  }
  if (broadcast && r.offset < CSR_BASE + 0x800) {
    errno = EACCES;   // only units space may be written to all nodes
    return -1;
  }
  if (r.length > 4096 || r.length > (512u << speed_code(b))) {
    errno = EIO;
    return -1;
  }
  bool quadlet = r.tcode == TCODE_READ_QUADLET_REQUEST ||
                 r.tcode == TCODE_WRITE_QUADLET_REQUEST;
  uint32_t bytes = quadlet ? 4 : r.length;
  if (quadlet && r.tcode == TCODE_WRITE_QUADLET_REQUEST && r.length < 4) {
    errno = EINVAL;
    return -1;
  }
  std::vector<uint32_t> data((bytes + 3) / 4 + 1, 0);
  bool rd = r.tcode == TCODE_READ_QUADLET_REQUEST ||
            r.tcode == TCODE_READ_BLOCK_REQUEST;
  if (!rd && !copy_in(data.data(), r.data, bytes)) {
    errno = EFAULT;
    return -1;
  }
  int rcode;
  if (b.reset_in == 0) {
    b.reset_in = -1;
    bus_reset(b);
    rcode = RCODE_GENERATION;   // flushed by the reset
  } else {
    if (b.reset_in > 0) b.reset_in--;
    if (r.generation != b.generation) {
      rcode = RCODE_GENERATION;
    } else if (b.busy > 0) {
      b.busy--;
      rcode = RCODE_BUSY;
    } else if (bytes & 3) {
      rcode = RCODE_TYPE_ERROR;
    } else if (broadcast) {
      for (size_t n = 0; n < b.nodes.size(); n++)
        if (b.nodes[n].plugged)
          transact(b, (int)n, r.tcode, r.offset, data.data(), bytes / 4);
      rcode = RCODE_COMPLETE;
    } else {
      rcode = transact(b, c->node, r.tcode, r.offset, data.data(), bytes / 4);
    }
  }
  if (b.debug)
    fprintf(stderr, "virizeda emulated bus: fw%d tcode %u at 0x%llx, %u bytes: "
            "rcode %d\n", c->node, r.tcode, (unsigned long long)r.offset, bytes,
            rcode);
  uint32_t len = (rd && rcode == RCODE_COMPLETE) ? bytes : 0;
  std::vector<unsigned char> ev(sizeof(struct fw_cdev_event_response) + len);
  struct fw_cdev_event_response head;
  memset(&head, 0, sizeof head);
  head.closure = r.closure;
  head.type = FW_CDEV_EVENT_RESPONSE;
  head.rcode = rcode;
  head.length = len;
  memcpy(ev.data(), &head, sizeof head);
  memcpy(ev.data() + offsetof(struct fw_cdev_event_response, data),
         data.data(), len);
  send_event(b, c, ev.data(), ev.size());
  return 0;
}

// ---- isochronous resources ----

bool irm_take(Bus &b, uint64_t mask, int32_t bw, int *channel) {
  *channel = -1;
  if (mask) {
    uint64_t avail = mask & b.channels;
    if (!avail) {
      *channel = -EBUSY;
      return false;
    }
    *channel = __builtin_ctzll(avail);
  }
  if ((uint32_t)bw > b.bandwidth) return false;
  b.bandwidth -= bw;
  if (*channel >= 0) b.channels &= ~(1ull << *channel);
  return true;
}

void irm_give(Bus &b, int channel, int32_t bw) {
  b.bandwidth += bw;
  if (b.bandwidth > BANDWIDTH_INITIAL) b.bandwidth = BANDWIDTH_INITIAL;
  if (channel >= 0 && channel < 64) b.channels |= 1ull << channel;
}

void send_resource_event(Bus &b, Client *c, uint32_t type, uint64_t closure,
                         uint32_t handle, int channel, int bw) {
  struct fw_cdev_event_iso_resource e;
  memset(&e, 0, sizeof e);
  e.closure = closure;
  e.type = type;
  e.handle = handle;
  e.channel = channel;
  e.bandwidth = bw;
  send_event(b, c, &e, sizeof e);
}

// An allocation request as the kernel takes it: something asked for, and
// no more bandwidth than a whole bus has.
bool alloc_request_ok(const struct fw_cdev_allocate_iso_resource &a) {
  int32_t bw = (int32_t)a.bandwidth;
  if ((a.channels == 0 && bw == 0) || bw < 0 ||
      bw > (int32_t)BANDWIDTH_INITIAL) {
    errno = EINVAL;
    return false;
  }
  return true;
}

int allocate_iso(Bus &b, Client *c, void *arg, bool once) {
  struct fw_cdev_allocate_iso_resource a;
  memcpy(&a, arg, sizeof a);
  if (!alloc_request_ok(a)) return -1;
  int32_t bw = (int32_t)a.bandwidth;
  uint32_t handle = 0;
  if (!once)
    while (c->resources.count(handle)) handle++;   // lowest free, as the kernel
  int ch;
  bool ok = irm_take(b, a.channels, bw, &ch);
  if (ok && !once) c->resources[handle] = {a.closure, ch, bw};
  send_resource_event(b, c, FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED, a.closure,
                      once ? (uint32_t)-1 : handle, ch, ok ? bw : 0);
  a.handle = once ? 0 : handle;
  memcpy(arg, &a, sizeof a);
  return 0;
}

int deallocate_iso(Bus &b, Client *c, void *arg) {
  struct fw_cdev_deallocate d;
  memcpy(&d, arg, sizeof d);
  auto it = c->resources.find(d.handle);
  if (it == c->resources.end()) {
    errno = EINVAL;
    return -1;
  }
  Resource r = it->second;
  c->resources.erase(it);
  irm_give(b, r.channel, r.bandwidth);
  send_resource_event(b, c, FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED, r.closure,
                      d.handle, r.channel, r.bandwidth);
  return 0;
}

int deallocate_iso_once(Bus &b, Client *c, void *arg) {
  struct fw_cdev_allocate_iso_resource a;
  memcpy(&a, arg, sizeof a);
  if (!alloc_request_ok(a)) return -1;
  int32_t bw = (int32_t)a.bandwidth;
  int ch = -1;
  uint64_t taken = a.channels & ~b.channels;
  if (a.channels) ch = taken ? __builtin_ctzll(taken) : -EBUSY;
  bool ok = (!a.channels || taken) &&
            b.bandwidth + (uint32_t)bw <= BANDWIDTH_INITIAL;
  if (ok) irm_give(b, ch, bw);
  send_resource_event(b, c, FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED, a.closure,
                      (uint32_t)-1, ch, ok ? bw : 0);
  return 0;
}

// ---- receive contexts ----

int create_context(Client *c, void *arg) {
  struct fw_cdev_create_iso_context a;
  memcpy(&a, arg, sizeof a);
  if (a.type != FW_CDEV_ISO_CONTEXT_RECEIVE || a.channel > 63 ||
      a.header_size < 4 || (a.header_size & 3) || a.header_size > HEADER_PAGE) {
    errno = EINVAL;   // transmit and multichannel contexts are not emulated
    return -1;
  }
  if (c->ctx.exists) {
    errno = EBUSY;
    return -1;
  }
  c->ctx = IsoCtx();
  c->ctx.exists = true;
  c->ctx.closure = a.closure;
  c->ctx.header_size = a.header_size;
  c->ctx.channel = (int)a.channel;
  a.handle = 0;
  memcpy(arg, &a, sizeof a);
  return 0;
}

int queue_iso(Client *c, void *arg) {
  struct fw_cdev_queue_iso a;
  memcpy(&a, arg, sizeof a);
  IsoCtx &x = c->ctx;
  if (!x.exists || a.handle != 0 || !c->buf) {
    errno = EINVAL;
    return -1;
  }
  uint64_t base = c->user;
  size_t room = MAX_ENTRIES - std::min(MAX_ENTRIES, x.queue.size());
  std::vector<uint32_t> ctls(std::min<size_t>(a.size / 4, room));
  if (!copy_in(ctls.data(), a.packets, ctls.size() * 4)) {
    errno = EFAULT;
    return -1;
  }
  for (uint32_t ctl : ctls) {
    uint32_t payload = ctl & 0xffff, hlen = ctl >> 24;
    if (hlen == 0 || hlen % x.header_size || a.data < base ||
        a.data - base + payload > c->buf_len) {
      errno = EINVAL;
      return -1;
    }
    Entry e;
    e.off = a.data - base;
    e.count = hlen / x.header_size;
    e.slot = payload / e.count;
    e.irq = ctl & FW_CDEV_ISO_INTERRUPT;
    e.sync = ctl & FW_CDEV_ISO_SYNC;
    x.queue.push_back(e);
    a.packets += 4;
    a.data += payload;
    a.size -= 4;
  }
  memcpy(arg, &a, sizeof a);
  return 0;
}

void send_interrupt(Bus &b, Client *c) {
  IsoCtx &x = c->ctx;
  size_t head = offsetof(struct fw_cdev_event_iso_interrupt, header);
  std::vector<unsigned char> ev(sizeof(struct fw_cdev_event_iso_interrupt) +
                                x.header_bytes);
  struct fw_cdev_event_iso_interrupt e;
  memset(&e, 0, sizeof e);
  e.closure = x.closure;
  e.type = FW_CDEV_EVENT_ISO_INTERRUPT;
  e.cycle = x.last_ts;
  e.header_length = x.header_bytes;
  memcpy(ev.data(), &e, head);
  memcpy(ev.data() + head, x.headers, x.header_bytes);
  send_event(b, c, ev.data(), ev.size());
  x.header_bytes = 0;
}

// Header data of packet k of a frame; older clients lose what passes a page.
void add_header(Bus &b, Client *c, const Stream &st, uint32_t k,
                uint64_t cycle, const unsigned char *payload) {
  IsoCtx &x = c->ctx;
  x.last_ts = iso_ts(cycle);
  if (x.header_bytes + x.header_size > HEADER_PAGE) {
    if (c->version < 5) return;
    send_interrupt(b, c);
    if (x.header_size > HEADER_PAGE) return;
  }
  uint32_t q[2];
  q[0] = htonl(st.packet_bytes << 16 | 1u << 14 | (uint32_t)st.channel << 8 |
               0xAu << 4 | (k == 0 ? 1u : 0u));
  q[1] = htonl(x.last_ts);
  unsigned char *h = x.headers + x.header_bytes;
  memcpy(h, q, x.header_size < 8 ? x.header_size : 8);
  if (x.header_size > 8) {
    size_t more = std::min<size_t>(x.header_size - 8, st.packet_bytes);
    memcpy(h + 8, payload, more);
    memset(h + 8 + more, 0, x.header_size - 8 - more);
  }
  x.header_bytes += x.header_size;
}

// Headers of packets k .. k + n - 1 of a frame, at most 8 bytes each (the
// payload stays whole in the buffer).
void add_headers(Bus &b, Client *c, const Stream &st, uint32_t k, uint32_t n,
                 uint64_t cycle) {
  IsoCtx &x = c->ctx;
  uint32_t hs = x.header_size, write = n;
  if (c->version < 5)   // what passes the page is dropped
    write = std::min(n, (HEADER_PAGE - x.header_bytes) / hs);
  uint32_t head = st.packet_bytes << 16 | 1u << 14 | (uint32_t)st.channel << 8 | 0xAu << 4;
  uint32_t sec = (uint32_t)(cycle / 8000) & 7, cyc = (uint32_t)(cycle % 8000);
  for (uint32_t i = 0; i < write; i++) {
    uint32_t ts = sec << 13 | cyc;
    if (x.header_bytes + hs > HEADER_PAGE) send_interrupt(b, c);
    uint32_t q[2] = {htonl(head | (k + i == 0 ? 1u : 0u)), htonl(ts)};
    memcpy(x.headers + x.header_bytes, q, hs);
    x.header_bytes += hs;
    if (++cyc == 8000) {
      cyc = 0;
      sec = (sec + 1) & 7;
    }
  }
  x.last_ts = iso_ts(cycle + n - 1);
}

void complete_packet(Bus &b, Client *c) {
  IsoCtx &x = c->ctx;
  Entry &e = x.queue.front();
  if (++e.done < e.count) return;
  bool irq = e.irq;
  x.queue.pop_front();
  if (irq) send_interrupt(b, c);
}

// Where the frame can go in one piece: packets in consecutive slots of its
// own size from the head of the queue, enough of them.
unsigned char *direct_target(Client *c, const Stream &st) {
  IsoCtx &x = c->ctx;
  if (!c->buf || x.header_size > 8 || x.queue.empty()) return nullptr;
  const Entry &f = x.queue.front();
  size_t expect = f.off + (size_t)f.done * f.slot;
  unsigned char *dst = c->buf + expect;
  uint32_t need = st.packets;
  bool first = true;
  for (const Entry &e : x.queue) {
    if (e.slot != st.packet_bytes) return nullptr;
    if (e.off + (size_t)e.done * e.slot != expect) return nullptr;
    if (!first && e.sync && e.done == 0) return nullptr;
    uint32_t take = std::min(need, e.count - e.done);
    expect += (size_t)take * e.slot;
    need -= take;
    first = false;
    if (need == 0) return dst;
  }
  return nullptr;
}

// One frame of a node arrives at a receive context; false when a packet of
// it found no buffer.
bool receive(Bus &b, Client *c, NodeState &ns, uint64_t last_cycle,
             const unsigned char *frame) {
  const Stream &st = ns.st;
  IsoCtx &x = c->ctx;
  uint64_t first_cycle = last_cycle - (st.packets - 1);
  size_t padded = (size_t)st.packets * st.packet_bytes;
  unsigned char *dst = direct_target(c, st);
  if (dst) {
    if (dst != frame) memcpy(dst, frame, padded);
    // entry by entry: the payload is in place, only headers to write
    uint32_t k = 0;
    while (k < st.packets) {
      Entry &e = x.queue.front();
      uint32_t take = std::min(st.packets - k, e.count - e.done);
      add_headers(b, c, st, k, take, first_cycle + k);
      k += take;
      e.done += take;
      if (e.done == e.count) {
        bool irq = e.irq;
        x.queue.pop_front();
        if (irq) send_interrupt(b, c);
      }
    }
    return true;
  }
  uint32_t strip = x.header_size > 8 ? x.header_size - 8 : 0;
  if (strip > st.packet_bytes) strip = st.packet_bytes;
  bool whole = true;
  for (uint32_t k = 0; k < st.packets; k++) {
    if (x.queue.empty()) return false;
    Entry &e = x.queue.front();
    if (e.sync && e.done == 0 && k != 0) {   // waits for a frame start
      whole = false;
      continue;
    }
    const unsigned char *p = frame + (size_t)k * st.packet_bytes;
    add_header(b, c, st, k, first_cycle + k, p);
    if (c->buf) {
      size_t n = std::min<size_t>(st.packet_bytes - strip, e.slot);
      memcpy(c->buf + e.off + (size_t)e.done * e.slot, p + strip, n);
    }
    complete_packet(b, c);
  }
  return whole;
}

bool listens(const Client *c, const NodeState &ns, int64_t t) {
  const IsoCtx &x = c->ctx;
  return !c->gone && x.exists && x.running && x.channel == ns.st.channel &&
         (x.tags & 2) && x.start_ns <= t;   // IIDC streams carry tag 1
}

void send_frame(Bus &b, int n, int64_t t_end) {
  NodeState &ns = b.nodes[n];
  if (ns.unplug_after >= 0 && (long long)ns.sent >= ns.unplug_after) {
    unplug(b, n);
    return;
  }
  uint64_t seq = ns.seq++;
  uint64_t last_cycle = (uint64_t)t_end / CYCLE_NS;
  if (last_cycle < ns.st.packets) last_cycle = ns.st.packets;
  const unsigned char *frame = nullptr;
  size_t padded = (size_t)ns.st.packets * ns.st.packet_bytes;
  bool sent = true, received = false;
  for (auto &kv : b.clients) {
    Client *c = kv.second;
    if (!listens(c, ns, t_end)) continue;
    if (!frame) {
      unsigned char *dst = direct_target(c, ns.st);
      if (!dst) {
        ns.scratch.resize(padded);
        dst = ns.scratch.data();
      }
      if (!ns.dev->render(seq, dst)) {
        sent = false;
        break;
      }
      memset(dst + ns.st.frame_bytes, 0, padded - ns.st.frame_bytes);
      frame = dst;
    }
    if (receive(b, c, ns, last_cycle, frame)) received = true;
    else ns.dropped++;
  }
  if (!sent) return;
  refresh_stream(b, ns);   // a one-shot frame ends the stream
  ns.sent++;
  if (received) ns.received++;
  b.frames++;
  if (b.reset_at_frame >= 0 && (long long)b.frames >= b.reset_at_frame) {
    b.reset_at_frame = -1;
    bus_reset(b);
  }
}

void pace(Bus &b) {
  Locked l(b);
  while (!b.quit) {
    int64_t now = now_ns(b), next = INT64_MAX;
    for (size_t n = 0; n < b.nodes.size(); n++) {
      NodeState &ns = b.nodes[n];
      for (int burst = 0; ns.next_ns && ns.next_ns <= now; burst++) {
        if (burst == MAX_BURST) {
          // far behind (a stalled process): those frames went by unseen
          int64_t late = (now - ns.next_ns) / ns.st.period_ns + 1;
          ns.seq += late;
          ns.sent += late;
          ns.dropped += late;
          ns.next_ns += late * ns.st.period_ns;
          break;
        }
        int64_t due = ns.next_ns;
        send_frame(b, (int)n, due);
        if (ns.next_ns) ns.next_ns = due + ns.st.period_ns;
      }
      if (ns.next_ns) next = std::min(next, ns.next_ns);
    }
    if (next == INT64_MAX)
      b.cv.wait(l.lk);
    else
      b.cv.wait_for(l.lk, std::chrono::nanoseconds(next - now_ns(b)));
  }
}

// At exit the thread stops first, so nothing runs while the process ends.
void stop_thread() {
  Bus &b = bus();
  {
    std::lock_guard<std::mutex> g(b.mu);
    b.quit = true;
    b.cv.notify_all();
  }
  if (b.pacer.joinable()) b.pacer.join();
}

void start_thread(Bus &b) {
  if (b.thread_started) return;
  b.thread_started = true;
  b.pacer = std::thread([&b] { pace(b); });
  atexit(stop_thread);
}

int start_iso(Bus &b, Client *c, void *arg) {
  struct fw_cdev_start_iso a;
  memcpy(&a, arg, sizeof a);
  if (!c->ctx.exists || a.handle != 0 || a.tags == 0 || a.tags > 15 ||
      a.sync > 15) {
    errno = EINVAL;
    return -1;
  }
  int64_t now = now_ns(b), start = now;
  if (a.cycle >= 0) {
    // first cycle (2 bits of seconds, 13 of count) matching a.cycle
    uint64_t span = 4 * 8000, cyc = (uint64_t)now / CYCLE_NS;
    uint64_t want = (uint64_t)(a.cycle & 0x7fff);
    want = (want >> 13) * 8000 + (want & 0x1fff) % 8000;
    uint64_t ahead = (want + span - cyc % span) % span;
    start = (int64_t)((cyc + ahead) * CYCLE_NS);
  }
  c->ctx.running = true;
  c->ctx.tags = a.tags;
  c->ctx.start_ns = start;
  start_thread(b);
  return 0;
}

int stop_iso(Client *c, void *arg) {
  struct fw_cdev_stop_iso a;
  memcpy(&a, arg, sizeof a);
  if (!c->ctx.exists || a.handle != 0) {
    errno = EINVAL;
    return -1;
  }
  c->ctx.running = false;
  return 0;
}

int get_info(Bus &b, Client *c, void *arg) {
  struct fw_cdev_get_info a;
  memcpy(&a, arg, sizeof a);
  c->version = a.version;
  if (a.rom) {
    uint32_t want = std::min<uint32_t>(a.rom_length, sizeof b.nodes[0].rom);
    if (!copy_out(a.rom, b.nodes[c->node].rom, want)) {
      errno = EFAULT;
      return -1;
    }
  }
  a.rom_length = sizeof b.nodes[0].rom;
  if (a.bus_reset) {
    struct fw_cdev_event_bus_reset e;
    memset(&e, 0, sizeof e);
    e.closure = a.bus_reset_closure;
    e.type = FW_CDEV_EVENT_BUS_RESET;
    e.node_id = node_id(c->node);
    e.local_node_id = e.bm_node_id = e.irm_node_id = e.root_node_id =
        node_id(b.cameras);
    e.generation = b.generation;
    if (!copy_out(a.bus_reset, &e, 36)) {   // the struct without its padding
      errno = EFAULT;
      return -1;
    }
  }
  c->reset_closure = a.bus_reset_closure;
  c->listening = true;
  a.version = KERNEL_ABI;
  a.card = 0;
  memcpy(arg, &a, sizeof a);
  return 0;
}

int cycle_timer_ioctl(Bus &b, void *arg, bool v2) {
  struct timespec mono, real;
  clock_gettime(CLOCK_MONOTONIC, &mono);
  int64_t ns = now_ns(b);
  clock_gettime(CLOCK_REALTIME, &real);
  if (!v2) {
    struct fw_cdev_get_cycle_timer a;
    a.local_time = (uint64_t)real.tv_sec * 1000000 + real.tv_nsec / 1000;
    a.cycle_timer = cycle_timer(ns);
    memcpy(arg, &a, sizeof a);
    return 0;
  }
  struct fw_cdev_get_cycle_timer2 a;
  memcpy(&a, arg, sizeof a);
  struct timespec t;
  if (a.clk_id == CLOCK_REALTIME) t = real;
  else if (a.clk_id == CLOCK_MONOTONIC) t = mono;
  else if (a.clk_id == CLOCK_MONOTONIC_RAW) clock_gettime(CLOCK_MONOTONIC_RAW, &t);
  else {
    errno = EINVAL;
    return -1;
  }
  a.tv_sec = t.tv_sec;
  a.tv_nsec = (int32_t)t.tv_nsec;
  a.cycle_timer = cycle_timer(ns);
  memcpy(arg, &a, sizeof a);
  return 0;
}

// By number, as the kernel: a request code naming another size still
// reaches its handler (libdc1394 frees iso resources that way).
int dispatch(Bus &b, Client *c, unsigned nr, void *arg) {
  switch (nr) {
    case _IOC_NR(FW_CDEV_IOC_GET_INFO): return get_info(b, c, arg);
    case _IOC_NR(FW_CDEV_IOC_SEND_REQUEST): return send_request(b, c, arg, false);
    case _IOC_NR(FW_CDEV_IOC_SEND_BROADCAST_REQUEST): return send_request(b, c, arg, true);
    case _IOC_NR(FW_CDEV_IOC_INITIATE_BUS_RESET): bus_reset(b); return 0;
    case _IOC_NR(FW_CDEV_IOC_CREATE_ISO_CONTEXT): return create_context(c, arg);
    case _IOC_NR(FW_CDEV_IOC_QUEUE_ISO): return queue_iso(c, arg);
    case _IOC_NR(FW_CDEV_IOC_START_ISO): return start_iso(b, c, arg);
    case _IOC_NR(FW_CDEV_IOC_STOP_ISO): return stop_iso(c, arg);
    case _IOC_NR(FW_CDEV_IOC_FLUSH_ISO):
      if (c->ctx.exists && *(uint32_t *)arg == 0) return 0;
      break;
    case _IOC_NR(FW_CDEV_IOC_GET_CYCLE_TIMER): return cycle_timer_ioctl(b, arg, false);
    case _IOC_NR(FW_CDEV_IOC_GET_CYCLE_TIMER2): return cycle_timer_ioctl(b, arg, true);
    case _IOC_NR(FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE): return allocate_iso(b, c, arg, false);
    case _IOC_NR(FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE_ONCE): return allocate_iso(b, c, arg, true);
    case _IOC_NR(FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE): return deallocate_iso(b, c, arg);
    case _IOC_NR(FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE_ONCE):
      return deallocate_iso_once(b, c, arg);
    case _IOC_NR(FW_CDEV_IOC_GET_SPEED): return speed_code(b);
  }
  // address ranges, responses, descriptors, stream and PHY packets and
  // multichannel reception are not emulated
  errno = EINVAL;
  return -1;
}

}  // namespace

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

namespace {

// The request's argument through a zeroed buffer of the size its code
// names, as the kernel passes it.
int run_ioctl(Bus &b, Client *c, unsigned long request, void *arg) {
  if (_IOC_TYPE(request) != '#' || _IOC_NR(request) > 0x18) {
    errno = ENOTTY;
    return -1;
  }
  union {
    unsigned char bytes[256];
    uint64_t align;
  } u;
  memset(&u, 0, sizeof u);
  size_t size = _IOC_SIZE(request);
  if (size > sizeof u.bytes) {
    errno = ENOTTY;
    return -1;
  }
  if ((_IOC_DIR(request) & _IOC_WRITE) && !copy_in(u.bytes, (uintptr_t)arg, size)) {
    errno = EFAULT;
    return -1;
  }
  int ret = dispatch(b, c, _IOC_NR(request), u.bytes);
  if (ret >= 0 && (_IOC_DIR(request) & _IOC_READ) &&
      !copy_out((uintptr_t)arg, u.bytes, size)) {
    errno = EFAULT;
    return -1;
  }
  return ret;
}

// The cycle timer reads only the bus clock, so a program asking for it as
// it takes each frame never waits for the pacing thread's lock.
bool reads_clock_only(int fd, unsigned long request) {
  unsigned nr = _IOC_NR(request);
  return _IOC_TYPE(request) == '#' &&
         (nr == _IOC_NR(FW_CDEV_IOC_GET_CYCLE_TIMER) ||
          nr == _IOC_NR(FW_CDEV_IOC_GET_CYCLE_TIMER2)) &&
         fd >= 0 && fd < MAX_FDS && g_fds[fd].load() == FD_NODE;
}

}  // namespace

int ioctl_fd(int fd, unsigned long request, void *arg) {
  // an open node means a ready bus, whose clock start never changes
  if (reads_clock_only(fd, request)) return run_ioctl(bus(), nullptr, request, arg);
  Locked l(bus());
  Bus &b = ready_bus(l);
  Client *c = client_of(b, fd);
  if (!c) {
    errno = EBADF;
    return -1;
  }
  if (c->gone) {
    errno = ENODEV;
    return -1;
  }
  return run_ioctl(b, c, request, arg);
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

// ---- test hooks ----

using namespace emu;

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

EMU_EXPORT int virizeda_emu_nodes(void) {
  Locked l(bus());
  return ready_bus(l).cameras;
}

EMU_EXPORT int virizeda_emu_bus_reset(void) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  bus_reset(b);
  return (int)b.generation;
}

EMU_EXPORT void virizeda_emu_reset_at_request(int n) {
  Locked l(bus());
  ready_bus(l).reset_in = n < 0 ? -1 : n;
}

EMU_EXPORT void virizeda_emu_busy_requests(int n) {
  Locked l(bus());
  ready_bus(l).busy = n < 0 ? 0 : n;
}

EMU_EXPORT int virizeda_emu_unplug(int node, long frames) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  if (node < 0 || node >= b.cameras || frames < 0) return -1;
  NodeState &ns = b.nodes[node];
  if (frames == 0) unplug(b, node);
  else ns.unplug_after = (long long)ns.sent + frames;
  return 0;
}

EMU_EXPORT int virizeda_emu_stats(int node, unsigned long long *sent,
                                  unsigned long long *received,
                                  unsigned long long *dropped) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  if (node < 0 || node >= b.cameras) return -1;
  NodeState &ns = b.nodes[node];
  if (sent) *sent = ns.sent;
  if (received) *received = ns.received;
  if (dropped) *dropped = ns.dropped;
  return 0;
}

EMU_EXPORT int virizeda_emu_send_frame(int node) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  if (node < 0 || node >= b.cameras || !b.nodes[node].next_ns) return -1;
  send_frame(b, node, now_ns(b));
  return 0;
}

EMU_EXPORT void virizeda_emu_iso_free(int *bandwidth, unsigned long long *channels) {
  Locked l(bus());
  Bus &b = ready_bus(l);
  if (bandwidth) *bandwidth = (int)b.bandwidth;
  if (channels) *channels = b.channels;
}

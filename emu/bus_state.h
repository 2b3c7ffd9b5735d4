// What the parts of the emulated bus share: the bus's state under its one
// lock, the clients (one per open node fd) and the helpers each part calls.
#ifndef EMU_BUS_STATE_H
#define EMU_BUS_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "node.h"

namespace emu {

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
  bool inherited = false;   // opened before a fork: the parent feeds it
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
extern std::atomic<uint8_t> g_fds[MAX_FDS];
extern thread_local bool t_in_bus;

struct Locked {
  std::unique_lock<std::mutex> lk;
  explicit Locked(Bus &b) : lk(b.mu) { t_in_bus = true; }
  ~Locked() { t_in_bus = false; }
};

// bus.cpp: the bus, its clock and its events
Bus &bus();
Bus &ready_bus(Locked &);
Client *client_of(Bus &b, int fd);
void drop_bus_fd(int fd);
int bus_fd(int fd);
int64_t now_ns(Bus &b);
int speed_code(const Bus &b);
uint32_t node_id(int n);
uint32_t iso_ts(uint64_t cycle);
uint32_t cycle_timer(int64_t ns);
bool copy_in(void *dst, uint64_t src, size_t n);
bool copy_out(uint64_t dst, const void *src, size_t n);
void send_event(Bus &b, Client *c, const void *p, size_t n);
void bus_reset(Bus &b);
void refresh_stream(Bus &b, NodeState &ns);
void unplug(Bus &b, int n);

// transactions.cpp
int send_request(Bus &b, Client *c, void *arg, bool broadcast);

// iso_resources.cpp
void irm_give(Bus &b, int channel, int32_t bw);
int allocate_iso(Bus &b, Client *c, void *arg, bool once);
int deallocate_iso(Bus &b, Client *c, void *arg);
int deallocate_iso_once(Bus &b, Client *c, void *arg);

// receive.cpp
int create_context(Client *c, void *arg);
int queue_iso(Client *c, void *arg);
int start_iso(Bus &b, Client *c, void *arg);
int stop_iso(Client *c, void *arg);
unsigned char *direct_target(Client *c, const Stream &st);
bool receive(Bus &b, Client *c, NodeState &ns, uint64_t last_cycle,
             const unsigned char *frame);
bool listens(const Client *c, const NodeState &ns, int64_t t);

// pacer.cpp
void send_frame(Bus &b, int n, int64_t t_end);
void start_thread(Bus &b);

}  // namespace emu

#endif

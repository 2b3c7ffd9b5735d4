// The ioctls of a node fd, dispatched by number as the kernel does.
#include "bus.h"

#include <errno.h>
#include <linux/firewire-cdev.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>

#include "bus_state.h"

namespace emu {

namespace {

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

}  // namespace emu

// The isochronous resource manager: channels and bandwidth, as the kernel
// hands them out and takes them back.
#include <errno.h>
#include <linux/firewire-cdev.h>
#include <string.h>

#include "bus_state.h"

namespace emu {

namespace {

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

}  // namespace

void irm_give(Bus &b, int channel, int32_t bw) {
  b.bandwidth += bw;
  if (b.bandwidth > BANDWIDTH_INITIAL) b.bandwidth = BANDWIDTH_INITIAL;
  if (channel >= 0 && channel < 64) b.channels |= 1ull << channel;
}

namespace {

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

}  // namespace

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

}  // namespace emu

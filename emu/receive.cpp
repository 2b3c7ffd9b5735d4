// Receive contexts: packets of a frame into the program's mmap'd buffer,
// with their headers and interrupts as the kernel writes them.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/firewire-cdev.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bus_state.h"

namespace emu {

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

namespace {

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

}  // namespace

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
  return !c->gone && !c->inherited && x.exists && x.running &&
         x.channel == ns.st.channel && (x.tags & 2) &&   // IIDC streams carry tag 1
         x.start_ns <= t;
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

}  // namespace emu

// The thread that sends each streaming node's frames at its period.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "bus_state.h"

namespace emu {

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

namespace {

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

}  // namespace

void start_thread(Bus &b) {
  if (b.thread_started) return;
  b.thread_started = true;
  b.pacer = std::thread([&b] { pace(b); });
  atexit(stop_thread);
}

}  // namespace emu

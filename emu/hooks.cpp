// The test hooks of emulated_bus.h, exported by name.
#include "bus_state.h"
#include "emulated_bus.h"

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

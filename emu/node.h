// A device on the emulated FireWire bus, as the bus sees it: a configuration
// ROM, a register space answered quadlet by quadlet, and an isochronous
// stream whose frames it makes on demand.
#ifndef EMU_NODE_H
#define EMU_NODE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace emu {

// What the node transmits right now, as its IIDC registers set it.
struct Stream {
  bool on = false;             // ISO_EN
  int channel = 0;
  int speed = 0;               // IIDC speed code: 2 S400, 3 S800
  uint32_t packet_bytes = 0;   // payload of every packet
  uint32_t packets = 0;        // packets per frame
  uint32_t frame_bytes = 0;    // at most packets * packet_bytes
  int64_t period_ns = 0;       // one frame
};

class Node {
 public:
  virtual ~Node() = default;
  // The ROM as a bus reset reads it: 256 quadlets in host order.
  virtual void rom(uint32_t out[256]) = 0;
  // Register access by the low 32 bits of the offset; an IEEE 1394 rcode.
  virtual int read(uint32_t addr, uint32_t *v) = 0;
  virtual int write(uint32_t addr, uint32_t v) = 0;
  virtual Stream stream() = 0;
  // Frame seq of the stream (0 the first after ISO_EN) into out,
  // stream().frame_bytes long. False: the camera sends no frame now.
  virtual bool render(uint64_t seq, unsigned char *out) = 0;
  // False: the node is listed but opening it fails (a broken device).
  virtual bool openable() { return true; }
};

// The nodes of the configured bus and its speed in Mb/s; false with a reason
// when the configuration cannot be used.
bool make_nodes(std::vector<std::unique_ptr<Node>> *nodes, int *bus_speed,
                std::string *why);

// The host controller's node; the resource manager's registers read the
// bus's free bandwidth and channels (bit c: channel c) through the pointers.
std::unique_ptr<Node> make_local_node(int bus_speed, const uint32_t *bandwidth,
                                      const uint64_t *channels);

}  // namespace emu

#endif

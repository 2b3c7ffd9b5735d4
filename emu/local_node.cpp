// The host controller's own node. The kernel gives it a /dev/fw node like
// any other, with the ROM it makes for the controller, and answers the
// registers the bus manager keeps; libraw1394 finds the local node there.
#include <linux/firewire-constants.h>

#include "iidc/rom.h"
#include "node.h"

namespace emu {
namespace {

const uint64_t LOCAL_GUID = 0x5649525A00000001ull;
const uint32_t BANDWIDTH_AVAILABLE = 0xF0000220u;
const uint32_t CHANNELS_AVAILABLE_HI = 0xF0000224u;
const uint32_t CHANNELS_AVAILABLE_LO = 0xF0000228u;

class LocalNode : public Node {
 public:
  LocalNode(int bus_speed, const uint32_t *bandwidth, const uint64_t *channels)
      : speed_(bus_speed), bandwidth_(bandwidth), channels_(channels) {}

  // As the kernel builds it: bus info block (irmc, cmc, isc, bmc, max_rec
  // 2048, link speed) and a root directory with the node capabilities only.
  void rom(uint32_t out[256]) override {
    for (int i = 0; i < 256; i++) out[i] = 0;
    out[1] = 0x31333934;   // "1394"
    out[2] = 0xF0000000u | 10u << 12 | 2u << 8 | 2u << 4 | (speed_ >= 800 ? 3u : 2u);
    out[3] = (uint32_t)(LOCAL_GUID >> 32);
    out[4] = (uint32_t)LOCAL_GUID;
    out[6] = 0x0C0083C0;
    out[0] = 4u << 24 | 4u << 16 | vz::iidc::crc16(out + 1, 4);
    out[5] = 1u << 16 | vz::iidc::crc16(out + 6, 1);
  }

  int read(uint32_t addr, uint32_t *v) override {
    if (addr >= vz::iidc::ROM_BASE && addr < vz::iidc::ROM_BASE + 1024) {
      uint32_t q[256];
      rom(q);
      *v = q[(addr - vz::iidc::ROM_BASE) / 4];
      return RCODE_COMPLETE;
    }
    // bit 31 of the high word is channel 0
    uint32_t hi = 0, lo = 0;
    for (int c = 0; c < 32; c++) {
      if (*channels_ >> c & 1) hi |= 1u << (31 - c);
      if (*channels_ >> (c + 32) & 1) lo |= 1u << (31 - c);
    }
    switch (addr) {
      case BANDWIDTH_AVAILABLE: *v = *bandwidth_; return RCODE_COMPLETE;
      case CHANNELS_AVAILABLE_HI: *v = hi; return RCODE_COMPLETE;
      case CHANNELS_AVAILABLE_LO: *v = lo; return RCODE_COMPLETE;
    }
    return RCODE_ADDRESS_ERROR;
  }

  int write(uint32_t, uint32_t) override { return RCODE_ADDRESS_ERROR; }
  Stream stream() override { return Stream(); }
  bool render(uint64_t, unsigned char *) override { return false; }

 private:
  int speed_;
  const uint32_t *bandwidth_;
  const uint64_t *channels_;
};

}  // namespace

std::unique_ptr<Node> make_local_node(int bus_speed, const uint32_t *bandwidth,
                                      const uint64_t *channels) {
  return std::unique_ptr<Node>(new LocalNode(bus_speed, bandwidth, channels));
}

}  // namespace emu

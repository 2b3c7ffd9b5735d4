// The simulated cameras on the emulated bus: the same vz::SimDevice, made
// by the same factory from VIRIZEDA_SIM_CONFIG and VIRIZEDA_SIM_STATE, as
// the in-process simulated bus. The configured refusals become what a
// camera on a real bus shows.
#include <linux/firewire-constants.h>
#include <stdio.h>
#include <string.h>

#include "core/diag.h"
#include "devices/sim/sim_device.h"
#include "iidc/iidc.h"
#include "iidc/rom.h"
#include "node.h"

namespace emu {
namespace {

class SimNode : public Node {
 public:
  explicit SimNode(std::unique_ptr<vz::SimDevice> d) : d_(std::move(d)) {}

  void rom(uint32_t out[256]) override {
    memcpy(out, d_->rom(), sizeof(uint32_t) * vz::iidc::ROM_QUADS);
  }

  int read(uint32_t addr, uint32_t *v) override {
    return d_->read_quadlet(addr, v) ? RCODE_COMPLETE : RCODE_ADDRESS_ERROR;
  }

  int write(uint32_t addr, uint32_t v) override {
    if (d_->faults().refuses_write(addr, v)) return RCODE_DATA_ERROR;
    unsigned long unmapped = d_->unmapped_writes();
    if (d_->write_quadlet(addr, v)) return RCODE_COMPLETE;
    // a read-only ROM quadlet or no register: the address takes no writes
    bool rom = addr >= vz::iidc::ROM_BASE && addr < vz::iidc::ROM_BASE + 4 * vz::iidc::ROM_QUADS;
    return rom || d_->unmapped_writes() != unmapped ? RCODE_ADDRESS_ERROR
                                                    : RCODE_DATA_ERROR;
  }

  Stream stream() override {
    Stream s;
    s.on = d_->iso_enabled() || d_->one_shot_pending();
    s.channel = d_->iso_channel();
    s.speed = d_->iso_speed();
    s.packet_bytes = d_->packet_bytes();
    s.packets = d_->packets_per_frame();
    s.frame_bytes = d_->frame_bytes();
    s.period_ns = (int64_t)(d_->frame_period_us() * 1000.0);
    return s;
  }

  bool render(uint64_t seq, unsigned char *out) override {
    if (!d_->faults().sends(seq)) return false;
    d_->render(seq, out);
    return true;
  }

  bool openable() override { return !d_->faults().refuses_open(); }

 private:
  std::unique_ptr<vz::SimDevice> d_;
};

void to_stderr(char *line) { fprintf(stderr, "%s\n", line); }

}  // namespace

bool make_nodes(std::vector<std::unique_ptr<Node>> *nodes, int *bus_speed,
                std::string *why) {
  vz_diag_set_sink(to_stderr);
  BusConfig conf;
  std::vector<std::unique_ptr<vz::SimDevice>> devs;
  if (!vz::sim_bus_devices(&conf, &devs, why)) return false;
  *bus_speed = conf.bus_speed;
  for (auto &d : devs) nodes->emplace_back(new SimNode(std::move(d)));
  return true;
}

}  // namespace emu

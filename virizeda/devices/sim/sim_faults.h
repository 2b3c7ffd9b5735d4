// The failures a simulated camera's configuration asks for, in one place
// for the device, the simulated bus and the emulated FireWire node.
//
// In process, register writes are not refused for fail_start or
// refuse_format: set_mode() and start() refuse instead. On the emulated bus
// the node answers the writes themselves with a data error, as a camera on
// a real bus does (refuses_write).
#ifndef VIRIZEDA_SIM_FAULTS_H
#define VIRIZEDA_SIM_FAULTS_H

#include <stdint.h>

#include <string>

#include "devices/sim/sim_config.h"

namespace vz {

class SimFaults {
 public:
  explicit SimFaults(const CamConfig &c) : c_(c) {}

  bool refuses_open() const;                     // fail_open
  bool refuses_start(std::string *why) const;    // fail_start
  bool refuses_mode(std::string *why) const;     // refuse_format, its text
  // A register write the camera answers with an error on the bus: format,
  // mode and rate under refuse_format, ISO_EN on under fail_start.
  bool refuses_write(uint32_t addr, uint32_t v) const;
  bool sends(uint64_t seq) const;   // frame seq comes (frames_stop_after)
  long stops_after() const;         // the first frame that does not; -1: none
  bool paced() const;               // frames wait for their time (unpaced)

 private:
  const CamConfig &c_;
};

}  // namespace vz

#endif

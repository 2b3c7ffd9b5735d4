#include "devices/sim/sim_faults.h"

#include "iidc/iidc.h"

namespace vz {

bool SimFaults::refuses_open() const { return c_.fail_open; }

bool SimFaults::refuses_start(std::string *why) const {
  if (!c_.fail_start) return false;
  if (why) *why = "the camera does not start (fail_start)";
  return true;
}

bool SimFaults::refuses_mode(std::string *why) const {
  if (!c_.refuse_format) return false;
  if (why) *why = c_.refuse_text;
  return true;
}

bool SimFaults::refuses_write(uint32_t addr, uint32_t v) const {
  uint32_t off = addr - iidc::DCAM_BASE;
  bool format = off == iidc::DC_CUR_V_FRM_RATE || off == iidc::DC_CUR_V_MODE ||
                off == iidc::DC_CUR_V_FORMAT;
  if (c_.refuse_format && format) return true;
  return c_.fail_start && off == iidc::DC_ISO_EN && (v >> 31);
}

bool SimFaults::sends(uint64_t seq) const {
  return c_.frames_stop_after < 0 || seq < (uint64_t)c_.frames_stop_after;
}

long SimFaults::stops_after() const { return c_.frames_stop_after; }

bool SimFaults::paced() const { return !c_.unpaced; }

}  // namespace vz

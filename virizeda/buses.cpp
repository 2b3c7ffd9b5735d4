// dSysInit and the table of buses: the one place that says which buses the
// library has, and chooses among them from VIRIZEDA_BUS and what is
// connected (core/bus_choice).
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "core/bus_choice.h"
#include "core/dcam_api.h"
#include "core/diag.h"
#include "devices/dc1394/dc1394_bus.h"
#include "devices/sim/sim_bus.h"

namespace {

// Library lines go to whatever dcamDebug holds at the time.
void to_dcam_debug(char *line) {
  if (dcamDebug) dcamDebug(line);
}

// A configuration file asks for the simulated bus, without a look at the
// others.
bool sim_probe(bool, std::string *why) {
  const char *conf = getenv("VIRIZEDA_SIM_CONFIG");
  if (!conf || !*conf) return false;  // empty is unset
  *why = std::string("simulated bus (VIRIZEDA_SIM_CONFIG=") + conf + ")";
  return true;
}

const vz::BusRow kBuses[] = {
    {"sim", "simulated", "simulated bus", 0, nullptr, true, sim_probe, vz_sim_bus_open},
    {"1394", "libdc1394", "libdc1394 bus", 1,
     "libdc1394 when it finds a camera or a FireWire node", false, vz_dc1394_probe,
     vz_dc1394_open},
};

}  // namespace

// names no bus until one is open: programs print it before dSysInit
char dcamVersion[64] = "virizeda 1.0";

void dSysInit() {
  vz_diag_set_sink(to_dcam_debug);
  delete dSys;  // a second call starts afresh with the configuration
  dSys = nullptr;
  vz::BusChoice c = vz::choose_buses(kBuses, sizeof kBuses / sizeof kBuses[0],
                                     getenv("VIRIZEDA_BUS"));
  if (c.taken.empty()) {
    snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (no bus)");
    vz_diag("%s", c.why.c_str());
    return;
  }
  // one bus at a time: the table has one real bus beside the simulated one
  const vz::BusRow *bus = c.taken.front();
  snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (%s)", bus->title);
  dSys = bus->open();
  // a bus that failed has said why; one that opened says why it was taken
  if (dSys) vz_diag("%s", c.why.c_str());
}

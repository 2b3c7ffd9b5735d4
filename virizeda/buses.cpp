// dSysInit: the one place that chooses the bus, from VIRIZEDA_BUS and what
// is connected.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "core/dcam_api.h"
#include "core/diag.h"
#include "devices/dc1394/dc1394_bus.h"
#include "devices/dc1394/dc1394_probe.h"
#include "devices/sim/sim_bus.h"

namespace {

// Library lines go to whatever dcamDebug holds at the time.
void to_dcam_debug(char *line) {
  if (dcamDebug) dcamDebug(line);
}

const char *env(const char *name) {
  const char *v = getenv(name);
  return v && *v ? v : nullptr;  // empty is unset
}

}  // namespace

// names no bus until one is open: programs print it before dSysInit
char dcamVersion[64] = "virizeda 1.0";

void dSysInit() {
  vz_diag_set_sink(to_dcam_debug);
  delete dSys;  // a second call starts afresh with the configuration
  dSys = nullptr;
  vz::BusProbe probe;
  std::string why;
  vz::BusKind kind = vz::choose_bus(env("VIRIZEDA_BUS"), env("VIRIZEDA_SIM_CONFIG"),
                                    &probe, "/dev", &why);
  for (const vz::FwNode &n : probe.nodes)
    if (n.open_errno) vz_diag("%s", vz::fw_node_problem(n).c_str());
  switch (kind) {
    case vz::BusKind::NONE:
      snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (no bus)");
      vz_diag("%s", why.c_str());
      return;
    case vz::BusKind::SIM:
      snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (simulated bus)");
      dSys = vz_sim_bus_open();
      break;
    case vz::BusKind::DC1394:
      snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (libdc1394 bus)");
      vz::dc1394_release_log(&probe);
      dSys = vz_dc1394_bus_open(&probe);
      break;
  }
  // a bus that failed has said why; one that opened says why it was taken
  if (dSys) vz_diag("%s", why.c_str());
}

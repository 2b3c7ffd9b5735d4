// dSysInit for running the bus-neutral contract suite on the GenICam bus
// alone, before it has its place among the library's buses: the cameras
// of VIRIZEDA_GENICAM_DEVICES, never discovery.
#include <stdlib.h>

#include "core/dcam_api.h"
#include "core/diag.h"
#include "devices/aravis/aravis_bus.h"

char dcamVersion[64] = "virizeda 1.0 (GenICam bus)";

namespace {
void to_dcam_debug(char *line) {
  if (dcamDebug) dcamDebug(line);
}
}  // namespace

void dSysInit() {
  vz_diag_set_sink(to_dcam_debug);
  delete dSys;
  dSys = nullptr;
  vz::AravisProbe p;
  vz::aravis_probe(&p, getenv("VIRIZEDA_GENICAM_DEVICES"), false, false);
  dSys = vz::vz_aravis_bus_open(&p);
}

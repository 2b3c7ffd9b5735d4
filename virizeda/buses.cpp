// dSysInit and the table of buses: the one place that says which buses the
// library has, and chooses among them from VIRIZEDA_BUS and what is
// connected (core/bus_choice).
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "core/bus_choice.h"
#include "core/camera_bus.h"
#include "core/dcam_api.h"
#include "core/diag.h"
#include "core/joined_bus.h"
#ifdef VIRIZEDA_HAVE_ARAVIS
#include "devices/aravis/aravis_bus.h"
#endif
#include "devices/dc1394/dc1394_bus.h"
#include "devices/sim/sim_bus.h"

// names no bus until one is open: programs print it before dSysInit
char dcamVersion[64] = "virizeda 1.0";

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
#ifdef VIRIZEDA_HAVE_ARAVIS
    {"genicam", "aravis", "GenICam bus", 2,
     "aravis when it finds a USB3 Vision camera or one of VIRIZEDA_GENICAM_DEVICES",
     false, vz_aravis_probe, vz_aravis_open},
#endif
};

// Each bus taken, opened; one that cannot be has said why. Several are
// joined into one list of cameras.
dSystem *open_buses(const std::vector<const vz::BusRow *> &rows) {
  std::vector<std::unique_ptr<vz::CameraBus>> parts;
  for (const vz::BusRow *r : rows) {
    dSystem *bus = r->open();
    if (rows.size() == 1) return bus;
    if (!bus) continue;
    // every bus of the table is a CameraBus
    parts.emplace_back(static_cast<vz::CameraBus *>(bus));
  }
  if (parts.empty()) return nullptr;
  if (parts.size() == 1) return parts[0].release();
  return new vz::JoinedBus(std::move(parts));
}

// "virizeda 1.0 (libdc1394 bus, GenICam bus)"
void name_version(const std::vector<const vz::BusRow *> &rows) {
  std::string titles;
  for (const vz::BusRow *r : rows) titles += (titles.empty() ? "" : ", ") + std::string(r->title);
  snprintf(dcamVersion, 64, "virizeda 1.0 (%s)", titles.c_str());
}

}  // namespace

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
  name_version(c.taken);
  dSys = open_buses(c.taken);
  // a bus that failed has said why; one that opened says why it was taken
  if (dSys) vz_diag("%s", c.why.c_str());
}

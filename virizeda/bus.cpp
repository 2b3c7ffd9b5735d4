// dSysInit: the one place that chooses the bus, from VIRIZEDA_BUS.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/dcam_api.h"
#include "core/diag.h"
#include "sim/sim_bus.h"

namespace {

struct Bus {
  const char *name;
  const char *version;
  dSystem *(*open)();
};
// unset or empty is the first
const Bus buses[] = {
    {"sim", "virizeda 1.0 (simulated bus)", vz_sim_bus_open},
};

// Library lines go to whatever dcamDebug holds at the time.
void to_dcam_debug(char *line) {
  if (dcamDebug) dcamDebug(line);
}

}  // namespace

char dcamVersion[64] = "virizeda 1.0 (simulated bus)";

void dSysInit() {
  vz_diag_set_sink(to_dcam_debug);
  delete dSys;  // a second call starts afresh with the configuration
  dSys = nullptr;
  const char *want = getenv("VIRIZEDA_BUS");
  const Bus *bus = nullptr;
  if (!want || !*want) bus = &buses[0];
  for (const Bus &b : buses)
    if (want && !strcmp(want, b.name)) bus = &b;
  if (!bus) {
    std::string names;
    for (const Bus &b : buses) names += std::string(names.empty() ? "" : ", ") + b.name;
    snprintf(dcamVersion, sizeof dcamVersion, "virizeda 1.0 (no bus)");
    vz_diag("VIRIZEDA_BUS \"%s\" names no bus; accepted values: %s (unset: %s)",
            want, names.c_str(), buses[0].name);
    return;
  }
  snprintf(dcamVersion, sizeof dcamVersion, "%s", bus->version);
  dSys = bus->open();
}

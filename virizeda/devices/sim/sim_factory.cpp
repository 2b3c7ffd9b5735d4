// The devices of the configured simulated bus, for the library, the
// emulated FireWire bus and the tests.
#include "devices/sim/sim_device.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/diag.h"
#include "devices/sim/sim_state.h"

namespace vz {

// ---------------------------------------------------------------- the bus

bool sim_bus_devices(BusConfig *conf,
                     std::vector<std::unique_ptr<SimDevice>> *devices,
                     std::string *why) {
  const char *path = getenv("VIRIZEDA_SIM_CONFIG");
  std::string err;
  BusConfig c;
  if (path && *path) {
    if (!vz_load_config(path, &c, &err)) {
      *why = std::string("configuration ") + path + ": " + err;
      return false;
    }
  } else {
    c = vz_default_bus();
  }
  if (c.bus_fail) {
    *why = std::string("simulated bus cannot be opened (bus_fail in ") +
           (path ? path : "") + ")";
    return false;
  }
  std::string dir = vz_state_dir();
  struct stat st;
  if (!dir.empty()) {
    const char *bad = nullptr;
    if (stat(dir.c_str(), &st) != 0 || access(dir.c_str(), W_OK | X_OK) != 0)
      bad = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
      bad = "not a directory";
    if (bad)
      vz_diag("state directory %s cannot be used: %s; device state will not "
              "persist", dir.c_str(), bad);
  }
  devices->clear();
  for (size_t i = 0; i < c.cams.size(); ++i)
    devices->emplace_back(new SimDevice(c.cams[i], (int)i, c.bus_speed));
  *conf = c;
  return true;
}

}  // namespace vz

// The default simulated bus: default_cameras.json, built in, read by the
// same parser as VIRIZEDA_SIM_CONFIG. A file it refuses is a build mistake,
// which the configuration tests catch.
#include <string>

#include "devices/sim/sim_config.h"

extern const char kDefaultCameras[];

BusConfig vz_default_bus() {
  BusConfig b;
  std::string unused;
  vz_parse_config(kDefaultCameras, &b, &unused);
  return b;
}

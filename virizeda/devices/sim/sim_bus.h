// The simulated IIDC bus as a dSystem: one vz::Camera over each simulated
// device of the configuration.
#ifndef VIRIZEDA_SIM_BUS_H
#define VIRIZEDA_SIM_BUS_H

#include "core/dcam_api.h"

// The bus of VIRIZEDA_SIM_CONFIG (or the default cameras); null, with the
// reason sent to the diagnostics, when it cannot be opened.
dSystem *vz_sim_bus_open();

#endif

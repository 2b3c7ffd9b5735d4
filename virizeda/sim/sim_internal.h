// Helpers private to the simulated bus.
#ifndef VIRIZEDA_SIM_INTERNAL_H
#define VIRIZEDA_SIM_INTERNAL_H

#include "core/call_log.h"
#include "core/clock.h"

class dSystem;
dSystem *vz_sim_bus_open();

#endif

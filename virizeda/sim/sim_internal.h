// Helpers private to the simulated bus.
#ifndef VIRIZEDA_SIM_INTERNAL_H
#define VIRIZEDA_SIM_INTERNAL_H

#include <stdint.h>

// Record one camera operation for the test hooks (virizeda_sim.h).
void vz_log_call(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

int64_t vz_mono_us();
int64_t vz_wall_us();
void vz_sleep_until(int64_t mono_us);

class dSystem;
dSystem *vz_sim_bus_open();

#endif
